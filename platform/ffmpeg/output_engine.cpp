#include "platform/ffmpeg/output_engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
}

namespace quellvox::realmedia {

namespace {

constexpr HResult kUnexpected = static_cast<HResult>(0x8000FFFFu);
constexpr int64_t kDrainTicks = 5'000'000;    // 0.5 s: what the encoder may still write after the stop
constexpr int64_t kBlockedTicks = 1'000'000;  // 0.1 s: a write taking longer is blocked
// The most a layer's buffers, or the encoder's queue, may take: 2 GiB, some
// 500 UYVY frames of 1080 lines, as the studio caps what it prepares.
constexpr int64_t kMaxPreparedBytes = int64_t{2} << 30;

int64_t Wrap(int64_t v, int64_t m) {
  const int64_t r = v % m;
  return r < 0 ? r + m : r;
}

// The 64-bit value nearest to `near` whose low 32 bits are `low`.
int64_t ExtendPosition(int32_t low, int64_t near) {
  const int32_t delta = static_cast<int32_t>(static_cast<uint32_t>(low) - static_cast<uint32_t>(near));
  return near + delta;
}

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

}  // namespace

struct OutputEngine::Fifo {
  int32_t Number = 0;
  int32_t StartPosition = 0;
  bool Muted = false;
  double Volume = 1.0;
  int64_t Written = 0;
  int64_t capacity = 0;        // sample frames
  std::vector<float> ring;     // 2 x capacity, slot = absolute sample mod capacity
  std::vector<uint8_t> valid;  // capacity
  bool resolved = false;       // startAbs / writeAbs follow from base and the init position
  int64_t writtenSinceInit = 0;
  int64_t startAbs = 0;  // output sample from which data is expected
  int64_t readAbs = 0;   // next output sample to take
  int64_t writeAbs = 0;  // next sample written lands here
};

struct OutputEngine::Layer {
  int32_t Number = 0;
  bool Alive = true;
  bool Shown = true;  // until told otherwise, a layer shows what it is given
  bool Positioned = false;
  int32_t Base = 0;
  struct Queued {
    int32_t buffer;
    int32_t frameNumber;
  };
  std::vector<std::unique_ptr<uint8_t[]>> buffers;
  std::vector<uint8_t> bufferState;  // 0 free, 1 lent, 2 queued
  int32_t lent = -1;
  std::vector<Queued> queue;
  std::vector<std::unique_ptr<Fifo>> fifos;
};

// ---------------------------------------------------------------------------
// The encoder: opens the output, encodes jobs, writes the trailer. Used by
// the encoder thread only.

class OutputEngine::Encoder {
 public:
  Encoder(const std::string& name, const OutputSpec& spec, const MediaPicture& picture)
      : name_(name), spec_(spec), picture_(picture) {}
  ~Encoder() { Close(); }

  // False (reported once) when the output cannot be opened.
  bool Open(std::atomic<int64_t>& abortAt) {
    interrupt_ = &abortAt;
    std::string error;
    bool opened = false;
    try {
      opened = TryOpen(error);
    } catch (const std::bad_alloc&) {
      error = "out of memory";
    }
    if (!opened) {
      ReportLine("Real media: engine \"" + name_ + "\": cannot write \"" + spec_.Url + "\": " + error);
      Close();
      return false;
    }
    return true;
  }

  // False once writing failed (reported once); the output is then closed.
  bool Encode(const Job& job) {
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

  // Flushes the encoders (unless the time for it is over: what they still
  // hold is then lost) and writes the trailer.
  void Finish(bool flush) {
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

  int64_t Failures() const { return failures_; }

 private:
  // A write that has been blocked for a while (a peer gone) gives up once
  // the stop's drain time is over; a write merely late finishes.
  static int Interrupt(void* opaque) {
    const auto* self = static_cast<const Encoder*>(opaque);
    const int64_t now = NowTicks();
    return now > self->interrupt_->load(std::memory_order_relaxed) &&
                   now - self->ioStart_.load(std::memory_order_relaxed) > kBlockedTicks
               ? 1
               : 0;
  }
  void Io() { ioStart_.store(NowTicks(), std::memory_order_relaxed); }

  bool TryOpen(std::string& error) {
    const char* format = spec_.Format.empty() ? nullptr : spec_.Format.c_str();
    int rc = avformat_alloc_output_context2(&oc_, nullptr, format, spec_.Url.c_str());
    if (rc < 0 || !oc_) {
      error = AvError(rc);
      return false;
    }
    oc_->interrupt_callback.callback = &Encoder::Interrupt;
    oc_->interrupt_callback.opaque = this;
    const bool globalHeader = (oc_->oformat->flags & AVFMT_GLOBALHEADER) != 0;

    const AVCodec* vcodec = avcodec_find_encoder_by_name(spec_.VideoCodec.c_str());
    vc_.reset(avcodec_alloc_context3(vcodec));
    vc_->width = picture_.Width;
    vc_->height = picture_.Height;
    vc_->time_base = AVRational{static_cast<int>(picture_.Rate.Den), static_cast<int>(picture_.Rate.Num)};
    vc_->framerate = picture_.Rate.Av();
    vc_->pix_fmt = ChoosePixelFormat(vcodec, spec_.PixelFormat);
    vc_->thread_count = CodecThreads();
    if (picture_.Interlaced) {
      vc_->field_order = picture_.FieldOrder ? AV_FIELD_TT : AV_FIELD_BB;
      vc_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    }
    if (globalHeader) vc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    OptionList videoOptions = spec_.VideoOptions;
    if (vcodec->id == AV_CODEC_ID_FFV1) {
      // Level 3 codes slices in parallel and checks each with a CRC.
      bool hasLevel = false;
      for (const auto& o : videoOptions) hasLevel = hasLevel || o.first == "level";
      if (!hasLevel) videoOptions.emplace_back("level", "3");
    }
    Options vopts(videoOptions);
    rc = avcodec_open2(vc_.get(), vcodec, vopts.Put());
    if (rc < 0) {
      error = "video encoder " + spec_.VideoCodec + ": " + AvError(rc);
      return false;
    }
    if (!vopts.FirstUnused().empty()) {
      error = "video encoder " + spec_.VideoCodec + " has no option \"" + vopts.FirstUnused() + "\"";
      return false;
    }
    vs_ = avformat_new_stream(oc_, nullptr);
    avcodec_parameters_from_context(vs_->codecpar, vc_.get());
    vs_->time_base = vc_->time_base;
    vs_->avg_frame_rate = picture_.Rate.Av();

    const AVCodec* acodec = avcodec_find_encoder_by_name(spec_.AudioCodec.c_str());
    ac_.reset(avcodec_alloc_context3(acodec));
    ac_->sample_rate = picture_.SampleRate;
    ac_->sample_fmt = ChooseSampleFormat(acodec);
    av_channel_layout_default(&ac_->ch_layout, 2 * OutputPairs(picture_.StereoLines));
    ac_->time_base = AVRational{1, picture_.SampleRate};
    if (globalHeader) ac_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Options aopts(spec_.AudioOptions);
    rc = avcodec_open2(ac_.get(), acodec, aopts.Put());
    if (rc < 0) {
      error = "audio encoder " + spec_.AudioCodec + ": " + AvError(rc);
      return false;
    }
    if (!aopts.FirstUnused().empty()) {
      error = "audio encoder " + spec_.AudioCodec + " has no option \"" + aopts.FirstUnused() + "\"";
      return false;
    }
    as_ = avformat_new_stream(oc_, nullptr);
    avcodec_parameters_from_context(as_->codecpar, ac_.get());
    as_->time_base = ac_->time_base;

    if (!(oc_->oformat->flags & AVFMT_NOFILE)) {
      Io();
      rc = avio_open2(&oc_->pb, spec_.Url.c_str(), AVIO_FLAG_WRITE, &oc_->interrupt_callback, nullptr);
      if (rc < 0) {
        error = AvError(rc);
        return false;
      }
    }
    Options fopts(spec_.FormatOptions);
    Io();
    rc = avformat_write_header(oc_, fopts.Put());
    if (rc < 0) {
      error = AvError(rc);
      return false;
    }

    video_.reset(av_frame_alloc());
    video_->format = vc_->pix_fmt;
    video_->width = picture_.Width;
    video_->height = picture_.Height;
    if (av_frame_get_buffer(video_.get(), 0) < 0) {
      error = "out of memory";
      return false;
    }
    sws_.reset(sws_getContext(picture_.Width, picture_.Height, AV_PIX_FMT_UYVY422, picture_.Width, picture_.Height,
                              vc_->pix_fmt, SWS_POINT, nullptr, nullptr, nullptr));
    if (!sws_) {
      error = "no conversion to " + std::string(av_get_pix_fmt_name(vc_->pix_fmt));
      return false;
    }
    black_.resize(static_cast<size_t>(picture_.Width) * 2 * picture_.Height);
    for (size_t i = 0; i < black_.size(); i += 2) {
      black_[i] = 0x80;      // U or V
      black_[i + 1] = 0x10;  // Y
    }
    // Float interleaved audio goes to the encoder as it is when it takes any
    // frame size; otherwise it is converted and cut to the encoder's size.
    directAudio_ = ac_->sample_fmt == AV_SAMPLE_FMT_FLT &&
                   (ac_->frame_size == 0 || (acodec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
    if (!directAudio_) {
      SwrContext* s = nullptr;
      if (swr_alloc_set_opts2(&s, &ac_->ch_layout, ac_->sample_fmt, ac_->sample_rate, &ac_->ch_layout,
                              AV_SAMPLE_FMT_FLT, picture_.SampleRate, 0, nullptr) < 0 ||
          swr_init(s) < 0) {
        swr_free(&s);
        error = "no audio conversion for " + spec_.AudioCodec;
        return false;
      }
      swr_.reset(s);
      audioFifo_.reset(av_audio_fifo_alloc(ac_->sample_fmt, ac_->ch_layout.nb_channels, 4096));
    }
    audio_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    return true;
  }

  bool EncodeAudio(const Job& job) {
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

  bool SendAudioFromFifo(bool last) {
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

  bool Send(AVCodecContext* codec, AVStream* stream, AVFrame* frame) {
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

  bool Fail(const std::string& why) {
    ++failures_;
    ReportLine("Real media: engine \"" + name_ + "\": cannot write \"" + spec_.Url + "\": " + why +
               "; the output is closed, the engine goes on counting");
    Close();
    return false;
  }

  void Close() {
    if (oc_) {
      if (!(oc_->oformat->flags & AVFMT_NOFILE)) avio_closep(&oc_->pb);
      avformat_free_context(oc_);
      oc_ = nullptr;
    }
    vc_.reset();
    ac_.reset();
  }

  const std::string name_;
  const OutputSpec spec_;
  const MediaPicture picture_;
  std::atomic<int64_t>* interrupt_ = nullptr;
  std::atomic<int64_t> ioStart_{0};  // when the current write began
  AVFormatContext* oc_ = nullptr;
  AVStream* vs_ = nullptr;
  AVStream* as_ = nullptr;
  CodecContext vc_;
  CodecContext ac_;
  FramePtr video_;
  FramePtr audio_;
  PacketPtr packet_;
  SwsPtr sws_;
  SwrPtr swr_;
  AudioFifoPtr audioFifo_;
  int64_t fifoPts_ = 0;
  bool directAudio_ = true;
  bool havePicture_ = false;
  std::vector<uint8_t> black_;
  int64_t failures_ = 0;
};

struct OutputEngine::Session {
  Session(const std::string& name, const OutputSpec& spec, const MediaPicture& picture,
          std::shared_ptr<EncoderCounts> engineCounts)
      : encoder(name, spec, picture), counts(std::move(engineCounts)) {}
  Encoder encoder;  // the encoder thread's alone
  const std::shared_ptr<EncoderCounts> counts;
  std::mutex mu;  // the queue and the flags below
  std::condition_variable cv;
  std::vector<Job> jobs;
  std::vector<int32_t> free;
  std::vector<int32_t> ready;  // oldest first; sized up front, so queuing never allocates
  bool end = false;  // the stop came: drain until the deadline
  int64_t deadline = 0;
  bool finished = false;                    // the encoder thread is done with the output
  std::atomic<int64_t> abortAt{INT64_MAX};  // clock time after which blocked writes give up
};

// ---------------------------------------------------------------------------

OutputEngine::OutputEngine(std::string name, const OutputSpec& spec, const MediaPicture& picture)
    : name_(std::move(name)),
      spec_(spec),
      picture_(picture),
      regionBytes_(static_cast<int64_t>(picture.Width) * picture.Height * 2),
      maxSamples_(picture.Rate.SamplesInFrame(picture.SampleRate, 0) + 2) {
  report_.Url = spec.Url;
}

OutputEngine::~OutputEngine() { StopOutput(); }

OutputReport OutputEngine::Report() {
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  OutputReport r = report_;
  r.Encoded = counts_->Encoded.load(std::memory_order_relaxed);
  r.Dropped += counts_->Dropped.load(std::memory_order_relaxed);
  r.WriteFailures = counts_->WriteFailures.load(std::memory_order_relaxed);
  r.Writing = counts_->Open.load(std::memory_order_relaxed) > 0;
  r.OutputPosition = evaluatedPos_ == kNotStarted ? OutputPositionAt(NowTicks()) : evaluatedPos_;
  for (const auto& l : layers_) {
    for (const auto& f : l->fifos) r.WrittenSamples += f->Written;
  }
  return r;
}

// ---------------------------------------------------------------------------
// Evaluation: what the layers present at each output position.

void OutputEngine::EvaluateLocked(int64_t now) {
  const int64_t cur = OutputPositionAt(now);
  if (evaluatedPos_ == kNotStarted) {
    evaluatedPos_ = cur;
    return;
  }
  if (cur <= evaluatedPos_) return;
  bool anyAlive = false;
  for (const auto& l : layers_) anyAlive = anyAlive || l->Alive;
  if (!anyAlive) {
    evaluatedPos_ = cur;
    return;
  }
  const int32_t pairs = OutputPairs(picture_.StereoLines);
  for (int64_t q = evaluatedPos_ + 1; q <= cur; ++q) {
    const int64_t a = SampleOf(q);
    const int64_t b = SampleOf(q + 1);
    Job* job = nullptr;
    int32_t jobIndex = -1;
    if (session_) {
      std::lock_guard jobs(session_->mu);
      if (!session_->free.empty() && !session_->end) {
        jobIndex = session_->free.back();
        session_->free.pop_back();
        job = &session_->jobs[static_cast<size_t>(jobIndex)];
      }
    }
    float* mix = nullptr;
    if (job) {
      if (firstPos_ == kNotStarted) firstPos_ = q;
      job->HasPicture = false;
      job->Index = q - firstPos_;
      job->FirstSample = a - SampleOf(firstPos_);
      job->Samples = static_cast<int32_t>(std::min<int64_t>(b - a, maxSamples_));
      std::fill(job->Audio.begin(), job->Audio.begin() + static_cast<size_t>(job->Samples) * 2 * pairs, 0.0f);
      mix = job->Audio.data();
    }
    for (auto& layer : layers_) {
      if (!layer->Alive) continue;
      const int32_t buffer = PresentVideoLocked(*layer, q);
      if (buffer >= 0) {
        // The presented picture changes hands with the job's spare buffer:
        // nothing is copied under the lock.
        if (job && layer->Shown && !job->HasPicture) {
          std::swap(job->Picture, layer->buffers[static_cast<size_t>(buffer)]);
          job->HasPicture = true;
        }
        layer->bufferState[static_cast<size_t>(buffer)] = 0;
      }
      for (auto& fifo : layer->fifos) TakeAudioLocked(*fifo, a, b, mix);
    }
    if (job) {
      {
        std::lock_guard jobs(session_->mu);
        session_->ready.push_back(jobIndex);
      }
      session_->cv.notify_all();
      ++report_.Queued;
    } else {
      ++report_.Dropped;
    }
  }
  evaluatedPos_ = cur;
}

int32_t OutputEngine::PresentVideoLocked(Layer& layer, int64_t q) {
  const int32_t f = static_cast<int32_t>(static_cast<uint32_t>(q) - static_cast<uint32_t>(layer.Base));
  int32_t presented = -1;
  for (size_t i = 0; i < layer.queue.size();) {
    const Layer::Queued e = layer.queue[i];
    const int64_t at = ExtendPosition(
        static_cast<int32_t>(static_cast<uint32_t>(layer.Base) + static_cast<uint32_t>(e.frameNumber)), q);
    if (e.frameNumber == f && presented < 0) {
      presented = e.buffer;
      ++report_.OnTime;
    } else if (at > q) {
      ++i;
      continue;
    } else {
      ++report_.Discarded;  // a second frame for this position, or one whose position moved into the past
      layer.bufferState[static_cast<size_t>(e.buffer)] = 0;
    }
    layer.queue.erase(layer.queue.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (presented < 0 && layer.Positioned && f >= 0) ++report_.Missing;
  return presented;
}

void OutputEngine::TakeAudioLocked(Fifo& fifo, int64_t a, int64_t b, float* mix) {
  const bool counting = fifo.resolved;
  const int64_t cap = fifo.capacity;
  const int32_t pairs = OutputPairs(picture_.StereoLines);
  const int32_t pair = fifo.Number - FirstOutputFifo(picture_.StereoLines);
  const bool toMix = mix && !fifo.Muted && pair >= 0 && pair < pairs;
  const float gain = static_cast<float>(fifo.Volume);
  const int64_t dataEnd = std::min(b, fifo.writeAbs);
  const int64_t end = std::min<int64_t>(b, a + maxSamples_);
  if (dataEnd <= a) {
    if (counting) report_.SilenceSamples += b - std::max(a, std::min(b, fifo.startAbs));
    fifo.readAbs = std::max(fifo.readAbs, b);
    return;
  }
  for (int64_t s = a; s < b; ++s) {
    float left = 0.0f;
    float right = 0.0f;
    bool have = false;
    if (s < dataEnd && s >= fifo.readAbs) {
      const size_t slot = static_cast<size_t>(Wrap(s, cap));
      if (fifo.valid[slot]) {
        fifo.valid[slot] = 0;
        left = fifo.ring[2 * slot];
        right = fifo.ring[2 * slot + 1];
        have = true;
      }
    }
    if (!counting || s < fifo.startAbs) continue;
    if (have) {
      ++report_.PresentedSamples;
      if (toMix && s < end) {
        float* m = mix + (s - a) * 2 * pairs + 2 * pair;
        m[0] += gain * left;
        m[1] += gain * right;
      }
    } else {
      ++report_.SilenceSamples;
    }
  }
  fifo.readAbs = std::max(fifo.readAbs, b);
}

void OutputEngine::ResolveFifoLocked(Layer& layer, Fifo& fifo) {
  const int32_t low =
      static_cast<int32_t>(static_cast<uint32_t>(layer.Base) + static_cast<uint32_t>(fifo.StartPosition));
  const int64_t pos = ExtendPosition(low, evaluatedPos_);
  const int64_t w = SampleOf(pos);
  // Queued samples at or beyond the new write position are dropped.
  const int64_t from = std::max(w, fifo.readAbs);
  for (int64_t s = from; s < fifo.writeAbs && s < fifo.readAbs + fifo.capacity; ++s) {
    fifo.valid[static_cast<size_t>(Wrap(s, fifo.capacity))] = 0;
  }
  if (!fifo.resolved || fifo.Written == 0) fifo.startAbs = w;
  fifo.writeAbs = w;
  fifo.resolved = true;
  fifo.writtenSinceInit = 0;
}

OutputEngine::Fifo* OutputEngine::FindFifoLocked(Layer& layer, int32_t number) {
  for (auto& f : layer.fifos) {
    if (f->Number == number) return f.get();
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Layers

HResult OutputEngine::CreateLayer(const std::string&, int32_t number, int32_t depth, Layer*& out) {
  if (depth < 1 || depth > 1000) return E_INVALIDARG;
  if (depth * regionBytes_ > kMaxPreparedBytes) {
    return Refuse(E_OUTOFMEMORY, std::to_string(depth) + " layer buffers of " + Size() + " take more than " +
                                     std::to_string(kMaxPreparedBytes >> 20) + " MiB");
  }
  // Buffers exist and are paged in before the lock is taken, on the
  // caller's set-up path, as a real engine's are.
  auto layer = std::make_unique<Layer>();
  try {
    layer->Number = number;
    layer->buffers.resize(static_cast<size_t>(depth));
    for (auto& b : layer->buffers) {
      b = std::make_unique<uint8_t[]>(static_cast<size_t>(regionBytes_));
    }
    layer->bufferState.assign(static_cast<size_t>(depth), 0);
    layer->queue.reserve(static_cast<size_t>(depth));  // a submit never allocates
  } catch (const std::bad_alloc&) {
    return Refuse(E_OUTOFMEMORY, "no memory for " + std::to_string(depth) + " layer buffers of " + Size());
  }
  bool first = true;
  {
    std::lock_guard lock(mu_);
    EvaluateLocked(NowTicks());
    for (const auto& l : layers_) {
      if (l->Alive && l->Number == number) return S_FALSE;
      first = first && !l->Alive;
    }
  }
  if (first) {  // set-up thread: no other layer can come or go meanwhile
    if (const HResult hr = StartOutput(); hr != S_OK) return hr;
  }
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  out = layer.get();
  layers_.push_back(std::move(layer));
  return S_OK;
}

void OutputEngine::ReleaseLayer(Layer* layer) {
  bool last = false;
  {
    std::lock_guard lock(mu_);
    EvaluateLocked(NowTicks());
    layer->Alive = false;
    report_.Discarded += static_cast<int64_t>(layer->queue.size());
    layer->queue.clear();
    layer->buffers.clear();
    layer->bufferState.clear();
    layer->lent = -1;
    last = true;
    for (const auto& l : layers_) last = last && !l->Alive;
    // Only its counts stay: the fifos' rings and the buffers go now.
    for (auto& f : layer->fifos) {
      std::vector<float>().swap(f->ring);
      std::vector<uint8_t>().swap(f->valid);
    }
  }
  if (last) StopOutput();
}

HResult OutputEngine::StartOutput() {
  StopOutput();
  if (spec_.QueueFrames * regionBytes_ > kMaxPreparedBytes) {
    return Refuse(E_OUTOFMEMORY, std::to_string(spec_.QueueFrames) + " queued output frames of " + Size() +
                                     " take more than " + std::to_string(kMaxPreparedBytes >> 20) + " MiB");
  }
  std::shared_ptr<Session> session;
  try {
    session = std::make_shared<Session>(name_, spec_, picture_, counts_);
    session->jobs.resize(static_cast<size_t>(spec_.QueueFrames));
    for (Job& job : session->jobs) {
      job.Picture = std::make_unique<uint8_t[]>(static_cast<size_t>(regionBytes_));
      job.Audio.assign(static_cast<size_t>(maxSamples_) * 2 * OutputPairs(picture_.StereoLines), 0.0f);
    }
    for (int32_t i = spec_.QueueFrames - 1; i >= 0; --i) session->free.push_back(i);
    session->ready.reserve(static_cast<size_t>(spec_.QueueFrames));
  } catch (const std::bad_alloc&) {
    return Refuse(E_OUTOFMEMORY, "no memory for " + std::to_string(spec_.QueueFrames) + " queued output frames of " +
                                     Size());
  }
  counts_->Open.fetch_add(1, std::memory_order_relaxed);
  // Detached: the thread holds the session it works on, and a stop waits
  // for it only a bounded time (see StopOutput).
  std::thread([session] { RunEncoder(session); }).detach();
  {
    std::lock_guard lock(mu_);
    firstPos_ = kNotStarted;
    ++report_.Sessions;
    session_ = std::move(session);
  }
  outputStop_.store(false, std::memory_order_release);
  outputThread_ = std::thread([this] { OutputThread(); });
  return S_OK;
}

HResult OutputEngine::Refuse(HResult code, const std::string& reason) {
  const std::string line = "engine \"" + name_ + "\": " + reason;
  ReportLine("Real media: " + line);
  SetErrorDescription(line);
  return code;
}

std::string OutputEngine::Size() const {
  return std::to_string(picture_.Width) + "x" + std::to_string(picture_.Height);
}

bool OutputEngine::Active() {
  std::lock_guard lock(mu_);
  for (const auto& l : layers_) {
    if (l->Alive) return true;
  }
  return false;
}

void OutputEngine::RunEncoder(const std::shared_ptr<Session>& session) {
  Session& s = *session;
  EncoderCounts& counts = *s.counts;
  bool writing = s.encoder.Open(s.abortAt);
  if (!writing) counts.WriteFailures.fetch_add(1, std::memory_order_relaxed);
  for (;;) {
    int32_t index = -1;
    {
      std::unique_lock lock(s.mu);
      s.cv.wait(lock, [&] { return !s.ready.empty() || s.end; });
      if (s.ready.empty() || (s.end && NowTicks() > s.deadline)) break;
      index = s.ready.front();
      s.ready.erase(s.ready.begin());
    }
    writing = writing && s.encoder.Encode(s.jobs[static_cast<size_t>(index)]);
    (writing ? counts.Encoded : counts.Dropped).fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(s.mu);
    s.free.push_back(index);
  }
  bool flush = true;
  {
    std::lock_guard lock(s.mu);
    counts.Dropped.fetch_add(static_cast<int64_t>(s.ready.size()), std::memory_order_relaxed);
    s.ready.clear();
    flush = NowTicks() <= s.deadline || !s.end;
  }
  // The trailer gets its own time: writes that block beyond it give up.
  s.abortAt.store(std::max(s.abortAt.load(std::memory_order_relaxed), NowTicks() + kDrainTicks),
                  std::memory_order_relaxed);
  if (writing) s.encoder.Finish(flush);
  counts.WriteFailures.fetch_add(s.encoder.Failures(), std::memory_order_relaxed);
  counts.Open.fetch_sub(1, std::memory_order_relaxed);
  {
    std::lock_guard lock(s.mu);
    s.finished = true;
  }
  s.cv.notify_all();
}

void OutputEngine::OutputThread() {
  while (!outputStop_.load(std::memory_order_acquire)) {
    int64_t next = 0;
    {
      std::lock_guard lock(mu_);
      EvaluateLocked(NowTicks());
      next = PositionTime(evaluatedPos_ + 1);
    }
    std::unique_lock lock(outputWaitMu_);
    outputWaitCv_.wait_for(lock, std::chrono::nanoseconds(std::max<int64_t>(next - NowTicks(), 0) * 100 + 200'000),
                           [&] { return outputStop_.load(std::memory_order_acquire); });
  }
}

void OutputEngine::StopOutput() {
  if (outputThread_.joinable()) {
    {
      std::lock_guard lock(outputWaitMu_);
      outputStop_.store(true, std::memory_order_release);
    }
    outputWaitCv_.notify_all();
    outputThread_.join();
  }
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(mu_);
    session = std::move(session_);
  }
  if (!session) return;
  const int64_t now = NowTicks();
  session->abortAt.store(now + kDrainTicks + kDrainTicks / 2, std::memory_order_relaxed);
  std::unique_lock lock(session->mu);
  session->end = true;
  session->deadline = now + kDrainTicks;
  session->cv.notify_all();
  // The queue drains and the trailer is written within the wait; an encoder
  // still inside one long frame finishes later on its own.
  session->cv.wait_for(lock, std::chrono::nanoseconds((kDrainTicks + kDrainTicks / 2) * 100),
                       [&] { return session->finished; });
}

bool OutputEngine::WaitUntilClosed(int32_t milliseconds) const {
  const int64_t end = NowTicks() + int64_t{milliseconds} * 10'000;
  while (counts_->Open.load(std::memory_order_relaxed) > 0) {
    if (NowTicks() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

HResult OutputEngine::SetShown(Layer* layer, bool shown) {
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  layer->Shown = shown;
  return S_OK;
}

HResult OutputEngine::CreateFifo(Layer* layer, int32_t number, int32_t depth) {
  if (depth <= 0 || number < 0 || number > 63) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  if (FindFifoLocked(*layer, number)) return S_FALSE;
  auto fifo = std::make_unique<Fifo>();
  fifo->Number = number;
  fifo->capacity = std::max<int64_t>(1, SampleOf(evaluatedPos_ + 1 + depth) - SampleOf(evaluatedPos_ + 1));
  fifo->ring.assign(static_cast<size_t>(2 * fifo->capacity), 0.0f);
  fifo->valid.assign(static_cast<size_t>(fifo->capacity), 0);
  fifo->readAbs = SampleOf(evaluatedPos_ + 1);
  fifo->writeAbs = fifo->readAbs;
  layer->fifos.push_back(std::move(fifo));
  return S_OK;
}

HResult OutputEngine::InitFifo(Layer* layer, int32_t number, int32_t position) {
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->StartPosition = position;
  if (layer->Positioned) {
    ResolveFifoLocked(*layer, *fifo);
  } else {
    fifo->writtenSinceInit = 0;
  }
  return S_OK;
}

HResult OutputEngine::WriteFifo(Layer* layer, int32_t number, int32_t byteCount, const float* data,
                                uint32_t* outCount) {
  if (!data) return E_POINTER;
  if (byteCount <= 0 || byteCount % 8) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo || fifo->ring.empty()) return E_INVALIDARG;
  if (!fifo->resolved) ResolveFifoLocked(*layer, *fifo);
  const int64_t k = byteCount / 8;
  const int64_t w = fifo->writeAbs;
  const int64_t late = std::clamp<int64_t>(fifo->readAbs - w, 0, k);
  if (w + k - fifo->readAbs > fifo->capacity) {
    ++report_.RefusedWrites;
    return S_FALSE;
  }
  for (int64_t i = late; i < k; ++i) {
    const size_t slot = static_cast<size_t>(Wrap(w + i, fifo->capacity));
    fifo->ring[2 * slot] = data[2 * i];
    fifo->ring[2 * slot + 1] = data[2 * i + 1];
    fifo->valid[slot] = 1;
  }
  fifo->writeAbs = w + k;
  fifo->writtenSinceInit += k;
  fifo->Written += k;
  report_.LateSamples += late;
  if (outCount) *outCount = static_cast<uint32_t>(k - late);
  return S_OK;
}

HResult OutputEngine::SetMute(Layer* layer, int32_t number, bool mute) {
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->Muted = mute;
  return S_OK;
}

HResult OutputEngine::SetVolume(Layer* layer, int32_t number, double gain) {
  if (!(gain >= 0.0 && gain <= 16.0)) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  Fifo* fifo = FindFifoLocked(*layer, number);
  if (!fifo) return E_INVALIDARG;
  fifo->Volume = gain;
  return S_OK;
}

HResult OutputEngine::GetStatus(Layer* layer, LayerStatus* status) {
  if (!status) return E_POINTER;
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  *status = LayerStatus{};
  const uint32_t queued = static_cast<uint32_t>(layer->queue.size());
  std::memcpy(status->Bytes + 4, &queued, sizeof queued);
  status->SetOutputFrame(
      static_cast<int32_t>(static_cast<uint32_t>(evaluatedPos_) - static_cast<uint32_t>(layer->Base)));
  return S_OK;
}

HResult OutputEngine::SetPosition(Layer* layer, int32_t base) {
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  layer->Base = base;
  layer->Positioned = true;
  for (auto& f : layer->fifos) {
    if (!f->resolved || f->writtenSinceInit == 0) ResolveFifoLocked(*layer, *f);
  }
  return S_OK;
}

HResult OutputEngine::GetBuffer(Layer* layer, int32_t size, uint8_t** address, int32_t* inOutSize) {
  if (!address) return E_POINTER;
  if (size <= 0 || size > regionBytes_) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  if (layer->lent >= 0) layer->bufferState[static_cast<size_t>(layer->lent)] = 0;
  layer->lent = -1;
  for (size_t i = 0; i < layer->bufferState.size(); ++i) {
    if (layer->bufferState[i] != 0) continue;
    layer->bufferState[i] = 1;
    layer->lent = static_cast<int32_t>(i);
    *address = layer->buffers[i].get();
    if (inOutSize) *inOutSize = static_cast<int32_t>(regionBytes_);
    return S_OK;
  }
  ++report_.BufferRefusals;
  return E_PENDING;
}

HResult OutputEngine::SubmitBuffer(Layer* layer, int32_t size, const FrameDescriptor* d) {
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  if (layer->lent < 0) {
    ++report_.RefusedSubmits;
    return kUnexpected;
  }
  const int32_t buffer = layer->lent;
  layer->lent = -1;
  if (!d || d->Format != 2 || d->Width != picture_.Width || d->Height != picture_.Height || size <= 0 ||
      size > regionBytes_ || d->Size <= 0 || d->Size > regionBytes_) {
    ++report_.RefusedSubmits;
    layer->bufferState[static_cast<size_t>(buffer)] = 0;
    return d ? E_INVALIDARG : E_POINTER;
  }
  const int32_t low = static_cast<int32_t>(static_cast<uint32_t>(layer->Base) + static_cast<uint32_t>(d->FrameNumber));
  if (ExtendPosition(low, evaluatedPos_) <= evaluatedPos_) {
    ++report_.Late;
    layer->bufferState[static_cast<size_t>(buffer)] = 0;
    return S_OK;
  }
  layer->bufferState[static_cast<size_t>(buffer)] = 2;
  layer->queue.push_back({buffer, d->FrameNumber});
  return S_OK;
}

HResult OutputEngine::FrameDone(Layer*) {
  std::lock_guard lock(mu_);
  EvaluateLocked(NowTicks());
  ++report_.FramesDone;
  return S_OK;
}

}  // namespace quellvox::realmedia
