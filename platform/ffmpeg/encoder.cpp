#include "platform/ffmpeg/encoder.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
}

namespace quellvox::realmedia {

namespace {

constexpr int64_t kBlockedTicks = 1'000'000;  // 0.1 s: a write taking longer is blocked

AVPixelFormat ChoosePixelFormat(const AVCodec* codec, const std::string& wanted) {
  if (!wanted.empty()) return av_get_pix_fmt(wanted.c_str());
  const AVPixelFormat preferred = codec->id == AV_CODEC_ID_FFV1 ? AV_PIX_FMT_YUV422P : AV_PIX_FMT_YUV420P;
  if (!codec->pix_fmts) return preferred;
  for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
    if (*f == preferred) return preferred;
  }
  return codec->pix_fmts[0];
}

AVSampleFormat ChooseSampleFormat(const AVCodec* codec) {
  if (!codec->sample_fmts) return AV_SAMPLE_FMT_FLT;
  for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == AV_SAMPLE_FMT_FLT) return AV_SAMPLE_FMT_FLT;
  }
  return codec->sample_fmts[0];
}

// "video encoder ffv1: <why>", and the like for the audio encoder.
Status CodecFailed(const char* which, const std::string& codec, const std::string& why) {
  return Status::Failed(std::string(which) + " encoder " + codec + why);
}

}  // namespace

Status Encoder::Open(std::atomic<int64_t>& abortAt) {
  interrupt_ = &abortAt;
  Status opened;
  try {
    opened = TryOpen();
  } catch (const std::bad_alloc&) {
    opened = Status::Failed(E_OUTOFMEMORY, "out of memory");
  }
  if (opened.IsOk()) return opened;
  Close();
  return Status::Failed(opened.Code(),
                        "engine \"" + name_ + "\": cannot write \"" + settings_.Url + "\": " + opened.Message());
}

bool Encoder::Encode(const EncoderJob& job) {
  if (!oc_) return false;
  AVFrame* v = video_.get();
  if (job.HasPicture || !havePicture_) {
    if (av_frame_make_writable(v) < 0) return Fail("out of memory");
    const uint8_t* src[4] = {job.HasPicture ? job.Picture.get() : black_.data(), nullptr, nullptr, nullptr};
    const int srcPitch[4] = {picture_.Width * 2, 0, 0, 0};
    sws_scale(sws_.get(), src, srcPitch, 0, picture_.Height, v->data, v->linesize);
    havePicture_ = havePicture_ || job.HasPicture;
  }
  v->pts = job.Index;
  if (picture_.Interlaced) {
    v->interlaced_frame = 1;
    v->top_field_first = picture_.FieldOrder != 0;
  }
  if (!Send(vc_.get(), vs_, v)) return false;
  return EncodeAudio(job);
}

void Encoder::Finish(bool flush) {
  if (oc_) {
    if (flush && audioFifo_ && av_audio_fifo_size(audioFifo_.get()) > 0) SendAudioFromFifo(true);
    if (!flush || (Send(vc_.get(), vs_, nullptr) && Send(ac_.get(), as_, nullptr))) {
      Io();
      const int rc = av_write_trailer(oc_);
      if (rc < 0) Fail(AvError(rc));
    }
  }
  Close();
}

// A write that has been blocked for a while (a peer gone) gives up once
// the stop's drain time is over; a write merely late finishes.
int Encoder::Interrupt(void* opaque) {
  const auto* self = static_cast<const Encoder*>(opaque);
  const int64_t now = NowTicks();
  return now > self->interrupt_->load(std::memory_order_relaxed) &&
                 now - self->ioStart_.load(std::memory_order_relaxed) > kBlockedTicks
             ? 1
             : 0;
}

Status Encoder::TryOpen() {
  const char* format = settings_.Format.empty() ? nullptr : settings_.Format.c_str();
  const int rc = avformat_alloc_output_context2(&oc_, nullptr, format, settings_.Url.c_str());
  if (rc < 0 || !oc_) return Status::Failed(AvError(rc));
  oc_->interrupt_callback.callback = &Encoder::Interrupt;
  oc_->interrupt_callback.opaque = this;
  const bool globalHeader = (oc_->oformat->flags & AVFMT_GLOBALHEADER) != 0;
  if (Status s = OpenVideo(globalHeader); !s.IsOk()) return s;
  if (Status s = OpenAudio(globalHeader); !s.IsOk()) return s;
  if (Status s = WriteHeader(); !s.IsOk()) return s;
  return PrepareFrames();
}

Status Encoder::OpenVideo(bool globalHeader) {
  const AVCodec* vcodec = avcodec_find_encoder_by_name(settings_.VideoCodec.c_str());
  vc_.reset(avcodec_alloc_context3(vcodec));
  vc_->width = picture_.Width;
  vc_->height = picture_.Height;
  vc_->time_base = AVRational{static_cast<int>(picture_.Rate.Den), static_cast<int>(picture_.Rate.Num)};
  vc_->framerate = AvRate(picture_.Rate);
  vc_->pix_fmt = ChoosePixelFormat(vcodec, settings_.PixelFormat);
  vc_->thread_count = CodecThreads();
  if (picture_.Interlaced) {
    vc_->field_order = picture_.FieldOrder ? AV_FIELD_TT : AV_FIELD_BB;
    vc_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
  }
  if (globalHeader) vc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  OptionList videoOptions = settings_.VideoOptions;
  if (vcodec->id == AV_CODEC_ID_FFV1) {
    // Level 3 codes slices in parallel and checks each with a CRC.
    bool hasLevel = false;
    for (const auto& o : videoOptions) hasLevel = hasLevel || o.first == "level";
    if (!hasLevel) videoOptions.emplace_back("level", "3");
  }
  Options vopts(videoOptions);
  const int rc = avcodec_open2(vc_.get(), vcodec, vopts.Put());
  if (rc < 0) return CodecFailed("video", settings_.VideoCodec, ": " + AvError(rc));
  if (!vopts.FirstUnused().empty()) {
    return CodecFailed("video", settings_.VideoCodec, " has no option \"" + vopts.FirstUnused() + "\"");
  }
  vs_ = avformat_new_stream(oc_, nullptr);
  avcodec_parameters_from_context(vs_->codecpar, vc_.get());
  vs_->time_base = vc_->time_base;
  vs_->avg_frame_rate = AvRate(picture_.Rate);
  return Status::Ok();
}

Status Encoder::OpenAudio(bool globalHeader) {
  acodec_ = avcodec_find_encoder_by_name(settings_.AudioCodec.c_str());
  ac_.reset(avcodec_alloc_context3(acodec_));
  ac_->sample_rate = picture_.SampleRate;
  ac_->sample_fmt = ChooseSampleFormat(acodec_);
  av_channel_layout_default(&ac_->ch_layout, 2 * OutputPairs(picture_.StereoLines));
  ac_->time_base = AVRational{1, picture_.SampleRate};
  if (globalHeader) ac_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Options aopts(settings_.AudioOptions);
  const int rc = avcodec_open2(ac_.get(), acodec_, aopts.Put());
  if (rc < 0) return CodecFailed("audio", settings_.AudioCodec, ": " + AvError(rc));
  if (!aopts.FirstUnused().empty()) {
    return CodecFailed("audio", settings_.AudioCodec, " has no option \"" + aopts.FirstUnused() + "\"");
  }
  as_ = avformat_new_stream(oc_, nullptr);
  avcodec_parameters_from_context(as_->codecpar, ac_.get());
  as_->time_base = ac_->time_base;
  return Status::Ok();
}

Status Encoder::WriteHeader() {
  int rc = 0;
  if (!(oc_->oformat->flags & AVFMT_NOFILE)) {
    Io();
    rc = avio_open2(&oc_->pb, settings_.Url.c_str(), AVIO_FLAG_WRITE, &oc_->interrupt_callback, nullptr);
    if (rc < 0) return Status::Failed(AvError(rc));
  }
  Options fopts(settings_.FormatOptions);
  Io();
  rc = avformat_write_header(oc_, fopts.Put());
  if (rc < 0) return Status::Failed(AvError(rc));
  return Status::Ok();
}

Status Encoder::PrepareFrames() {
  video_.reset(av_frame_alloc());
  video_->format = vc_->pix_fmt;
  video_->width = picture_.Width;
  video_->height = picture_.Height;
  if (av_frame_get_buffer(video_.get(), 0) < 0) return Status::Failed(E_OUTOFMEMORY, "out of memory");
  sws_.reset(sws_getContext(picture_.Width, picture_.Height, AV_PIX_FMT_UYVY422, picture_.Width, picture_.Height,
                            vc_->pix_fmt, SWS_POINT, nullptr, nullptr, nullptr));
  if (!sws_) return Status::Failed("no conversion to " + std::string(av_get_pix_fmt_name(vc_->pix_fmt)));
  black_.resize(static_cast<size_t>(picture_.Width) * 2 * picture_.Height);
  for (size_t i = 0; i < black_.size(); i += 2) {
    black_[i] = 0x80;      // U or V
    black_[i + 1] = 0x10;  // Y
  }
  // Float interleaved audio goes to the encoder as it is when it takes any
  // frame size; otherwise it is converted and cut to the encoder's size.
  directAudio_ = ac_->sample_fmt == AV_SAMPLE_FMT_FLT &&
                 (ac_->frame_size == 0 || (acodec_->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
  if (!directAudio_) {
    SwrContext* s = nullptr;
    if (swr_alloc_set_opts2(&s, &ac_->ch_layout, ac_->sample_fmt, ac_->sample_rate, &ac_->ch_layout,
                            AV_SAMPLE_FMT_FLT, picture_.SampleRate, 0, nullptr) < 0 ||
        swr_init(s) < 0) {
      swr_free(&s);
      return Status::Failed("no audio conversion for " + settings_.AudioCodec);
    }
    swr_.reset(s);
    audioFifo_.reset(av_audio_fifo_alloc(ac_->sample_fmt, ac_->ch_layout.nb_channels, 4096));
  }
  audio_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  return Status::Ok();
}

bool Encoder::EncodeAudio(const EncoderJob& job) {
  if (job.Samples <= 0) return true;
  if (directAudio_) {
    AVFrame* a = audio_.get();
    av_frame_unref(a);
    a->format = AV_SAMPLE_FMT_FLT;
    a->sample_rate = picture_.SampleRate;
    av_channel_layout_copy(&a->ch_layout, &ac_->ch_layout);
    a->nb_samples = job.Samples;
    if (av_frame_get_buffer(a, 0) < 0) return Fail("out of memory");
    std::memcpy(a->data[0], job.Audio.data(),
                static_cast<size_t>(job.Samples) * 2 * OutputPairs(picture_.StereoLines) * sizeof(float));
    a->pts = job.FirstSample;
    return Send(ac_.get(), as_, a);
  }
  if (av_audio_fifo_size(audioFifo_.get()) == 0) fifoPts_ = job.FirstSample;
  const int room = swr_get_out_samples(swr_.get(), job.Samples);
  uint8_t** out = nullptr;
  if (av_samples_alloc_array_and_samples(&out, nullptr, ac_->ch_layout.nb_channels, room, ac_->sample_fmt, 0) < 0) {
    return Fail("out of memory");
  }
  const uint8_t* in = reinterpret_cast<const uint8_t*>(job.Audio.data());
  const int got = swr_convert(swr_.get(), out, room, &in, job.Samples);
  if (got > 0) av_audio_fifo_write(audioFifo_.get(), reinterpret_cast<void**>(out), got);
  av_freep(&out[0]);
  av_freep(&out);
  return SendAudioFromFifo(false);
}

bool Encoder::SendAudioFromFifo(bool last) {
  const int size = ac_->frame_size > 0 ? ac_->frame_size : 1024;
  while (av_audio_fifo_size(audioFifo_.get()) >= size || (last && av_audio_fifo_size(audioFifo_.get()) > 0)) {
    AVFrame* a = audio_.get();
    av_frame_unref(a);
    a->format = ac_->sample_fmt;
    a->sample_rate = ac_->sample_rate;
    av_channel_layout_copy(&a->ch_layout, &ac_->ch_layout);
    a->nb_samples = size;
    if (av_frame_get_buffer(a, 0) < 0) return Fail("out of memory");
    const int got = av_audio_fifo_read(audioFifo_.get(), reinterpret_cast<void**>(a->data), size);
    if (got < size) {
      av_samples_set_silence(a->data, got, size - got, ac_->ch_layout.nb_channels, ac_->sample_fmt);
    }
    a->pts = fifoPts_;
    fifoPts_ += size;
    if (!Send(ac_.get(), as_, a)) return false;
  }
  return true;
}

bool Encoder::Send(AVCodecContext* codec, AVStream* stream, AVFrame* frame) {
  int rc = avcodec_send_frame(codec, frame);
  if (rc < 0 && rc != AVERROR_EOF) return Fail(std::string(codec->codec->name) + ": " + AvError(rc));
  for (;;) {
    rc = avcodec_receive_packet(codec, packet_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) return Fail(std::string(codec->codec->name) + ": " + AvError(rc));
    av_packet_rescale_ts(packet_.get(), codec->time_base, stream->time_base);
    packet_->stream_index = stream->index;
    Io();
    rc = av_interleaved_write_frame(oc_, packet_.get());
    if (rc < 0) return Fail(AvError(rc));
  }
}

bool Encoder::Fail(const std::string& why) {
  ++failures_;
  ReportLine("Real media: engine \"" + name_ + "\": cannot write \"" + settings_.Url + "\": " + why +
             "; the output is closed, the engine goes on counting");
  Close();
  return false;
}

void Encoder::Close() {
  if (oc_) {
    if (!(oc_->oformat->flags & AVFMT_NOFILE)) avio_closep(&oc_->pb);
    avformat_free_context(oc_);
    oc_ = nullptr;
  }
  vc_.reset();
  ac_.reset();
}

}  // namespace quellvox::realmedia
