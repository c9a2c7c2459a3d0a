#include "platform/ffmpeg/input_feed.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace quellvox::realmedia {

namespace {

constexpr HResult kInsufficientBuffer = static_cast<HResult>(0x8007007Au);
constexpr size_t kMaxPending = 32;  // pictures waiting for audio before they go out with silence

HResult CodeOfOpenError(int error) {
  if (error == AVERROR(ENOENT)) return E_NOTFOUND;
  if (error == AVERROR(EACCES) || error == AVERROR(EPERM)) return E_ACCESSDENIED;
  return E_FAIL;
}

}  // namespace

InputFeed::InputFeed(std::string deviceName, const InputSpec& spec, const MediaPicture& picture,
                     std::shared_ptr<InputCounters> counters)
    : name_(std::move(deviceName)),
      spec_(spec),
      picture_(picture),
      counters_(std::move(counters)),
      frameBytes_(picture.Width * picture.Height * 2),
      maxSamples_(picture.Rate.SamplesInFrame(picture.SampleRate, 0) + 2),
      ring_(static_cast<size_t>(spec.RingFrames)),
      newest_(picture.StartPosition) {
  for (Slot& slot : ring_) {
    slot.Picture = std::make_unique<uint8_t[]>(static_cast<size_t>(frameBytes_));
    slot.Audio = std::make_unique<float[]>(static_cast<size_t>(maxSamples_) * static_cast<size_t>(picture.Channels));
  }
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
}

InputFeed::~InputFeed() {
  {
    std::lock_guard lock(waitMu_);
    stop_.store(true, std::memory_order_release);
  }
  waitCv_.notify_all();
  if (thread_.joinable()) thread_.join();
  Close();
}

HResult InputFeed::Start() {
  if (!spec_.Live) {
    std::string error;
    if (!Open(error)) {
      counters_->OpenFailures.fetch_add(1, std::memory_order_relaxed);
      ReportLine("Real media: capture \"" + name_ + "\": cannot open \"" + spec_.Url + "\": " + error);
      return lastOpenError_;
    }
  }
  paceOrigin_.store(NowTicks() - picture_.Rate.BoundaryTime(1), std::memory_order_relaxed);  // StartPosition is "now"
  thread_ = std::thread([this] { Run(); });
  return S_OK;
}

int InputFeed::Interrupt(void* opaque) {
  auto* self = static_cast<InputFeed*>(opaque);
  if (self->Stopping()) return 1;
  if (!self->spec_.Live) return 0;
  const int64_t last = self->lastPacketTicks_.load(std::memory_order_relaxed);
  if (last != 0 && NowTicks() - last > int64_t{self->spec_.StallMs} * 10'000) {
    self->stalled_.store(true, std::memory_order_relaxed);
    return 1;
  }
  return 0;
}

bool InputFeed::Open(std::string& error) {
  Close();
  AVFormatContext* ctx = avformat_alloc_context();
  if (!ctx) {
    error = "out of memory";
    lastOpenError_ = E_OUTOFMEMORY;
    return false;
  }
  ctx->interrupt_callback.callback = &InputFeed::Interrupt;
  ctx->interrupt_callback.opaque = this;
  const AVInputFormat* format = spec_.Format.empty() ? nullptr : av_find_input_format(spec_.Format.c_str());
  Options options(spec_.Options);
  stalled_.store(false, std::memory_order_relaxed);
  lastPacketTicks_.store(NowTicks(), std::memory_order_relaxed);
  int rc = avformat_open_input(&ctx, spec_.Url.c_str(), format, options.Put());
  if (rc < 0) {  // ctx is freed by the failed open
    error = AvError(rc);
    lastOpenError_ = CodeOfOpenError(rc);
    return false;
  }
  input_.reset(ctx);
  rc = avformat_find_stream_info(ctx, nullptr);
  if (rc < 0) {
    error = "no stream found (" + AvError(rc) + ")";
    lastOpenError_ = E_FAIL;
    Close();
    return false;
  }
  videoStream_ = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  audioStream_ = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (videoStream_ < 0) {
    error = "no video stream";
    lastOpenError_ = E_FAIL;
    Close();
    return false;
  }
  auto openDecoder = [&](int index, CodecContext& out) {
    const AVStream* stream = ctx->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return false;
    out.reset(avcodec_alloc_context3(codec));
    if (!out || avcodec_parameters_to_context(out.get(), stream->codecpar) < 0) return false;
    out->pkt_timebase = stream->time_base;
    out->thread_count = 0;  // the decoder picks its threads
    return avcodec_open2(out.get(), codec, nullptr) >= 0;
  };
  if (!openDecoder(videoStream_, video_)) {
    error = std::string("cannot decode its video (") +
            avcodec_get_name(ctx->streams[videoStream_]->codecpar->codec_id) + ")";
    lastOpenError_ = E_FAIL;
    Close();
    return false;
  }
  if (audioStream_ >= 0 && !openDecoder(audioStream_, audio_)) {
    audio_.reset();
    audioStream_ = -1;  // a picture without sound: the device's audio is silence
  }
  videoTimeBase_ = ctx->streams[videoStream_]->time_base;
  swr_.reset();
  audioDirect_ = false;
  pending_.clear();
  audioAcc_.clear();
  audioRead_ = 0;
  firstPts_ = AV_NOPTS_VALUE;
  counters_->Open.store(true, std::memory_order_relaxed);
  return true;
}

void InputFeed::Close() {
  video_.reset();
  audio_.reset();
  input_.reset();
  swr_.reset();
  videoStream_ = -1;
  audioStream_ = -1;
  counters_->Open.store(false, std::memory_order_relaxed);
}

bool InputFeed::WaitUntil(int64_t ticks) {
  std::unique_lock lock(waitMu_);
  while (!Stopping()) {
    const int64_t now = NowTicks();
    if (now >= ticks) return true;
    waitCv_.wait_for(lock, std::chrono::nanoseconds((ticks - now) * 100));
  }
  return false;
}

bool InputFeed::WaitFor(int32_t ms) { return WaitUntil(NowTicks() + int64_t{ms} * 10'000); }

void InputFeed::Run() {
  int32_t backoff = spec_.BackoffMinMs;
  everOpened_ = input_ != nullptr;
  while (!Stopping()) {
    if (!input_) {
      std::string error;
      if (!Open(error)) {
        if (Stopping()) break;
        counters_->OpenFailures.fetch_add(1, std::memory_order_relaxed);
        if (!failing_) {
          ReportLine("Real media: capture \"" + name_ + "\": cannot open \"" + spec_.Url + "\": " + error +
                     "; trying again");
        }
        failing_ = true;
        if (!WaitFor(backoff)) break;
        backoff = std::min(backoff * 2, spec_.BackoffMaxMs);
        continue;
      }
      if (everOpened_) {
        counters_->Reconnects.fetch_add(1, std::memory_order_relaxed);
        ReportLine("Real media: capture \"" + name_ + "\": \"" + spec_.Url + "\" open again");
      }
      everOpened_ = true;
      failing_ = false;
      backoff = spec_.BackoffMinMs;
    }
    const int rc = av_read_frame(input_.get(), packet_.get());
    if (rc == AVERROR(EAGAIN)) {
      WaitFor(5);
      continue;
    }
    if (rc < 0) {
      if (Stopping()) break;
      // Whatever the decoders still hold goes out first.
      if (video_) Decode(video_.get(), nullptr);
      if (audio_) Decode(audio_.get(), nullptr);
      PublishReady(true);
      if (rc == AVERROR_EOF && spec_.Loop &&
          av_seek_frame(input_.get(), -1, input_->start_time == AV_NOPTS_VALUE ? 0 : input_->start_time,
                        AVSEEK_FLAG_BACKWARD) >= 0) {
        avcodec_flush_buffers(video_.get());
        if (audio_) avcodec_flush_buffers(audio_.get());
        audioAcc_.clear();
        audioRead_ = 0;
        firstPts_ = AV_NOPTS_VALUE;  // the next picture follows the last one
        continue;
      }
      const bool stalled = stalled_.load(std::memory_order_relaxed);
      (stalled ? counters_->Stalls : counters_->Ends).fetch_add(1, std::memory_order_relaxed);
      Close();
      if (!spec_.Live || !spec_.Reconnect) {
        ReportLine("Real media: capture \"" + name_ + "\": \"" + spec_.Url + "\" ended (" +
                   (rc == AVERROR_EOF ? std::string("end of input") : AvError(rc)) + ")");
        break;  // what was captured stays readable
      }
      ReportLine("Real media: capture \"" + name_ + "\": \"" + spec_.Url + "\" " +
                 (stalled ? "stalled" : "dropped (" + AvError(rc) + ")") + "; reconnecting");
      if (!WaitFor(backoff)) break;
      continue;
    }
    lastPacketTicks_.store(NowTicks(), std::memory_order_relaxed);
    if (packet_->stream_index == videoStream_) {
      Decode(video_.get(), packet_.get());
    } else if (packet_->stream_index == audioStream_) {
      Decode(audio_.get(), packet_.get());
    }
    av_packet_unref(packet_.get());
    PublishReady(false);
  }
  pending_.clear();
}

void InputFeed::Decode(AVCodecContext* codec, AVPacket* packet) {
  if (avcodec_send_packet(codec, packet) < 0) {
    counters_->DecodeErrors.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  for (;;) {
    const int rc = avcodec_receive_frame(codec, frame_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) {
      counters_->DecodeErrors.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (codec == video_.get()) {
      TakeVideoFrame(frame_.get());
    } else {
      TakeAudioFrame(frame_.get());
    }
    av_frame_unref(frame_.get());
  }
}

void InputFeed::TakeVideoFrame(AVFrame* frame) {
  int64_t pts = frame->best_effort_timestamp;
  const int64_t now = NowTicks();
  if (firstPts_ == AV_NOPTS_VALUE) {
    firstPts_ = pts == AV_NOPTS_VALUE ? 0 : pts;
    const int64_t previous = pending_.empty() ? last_ : pending_.back().Position;
    if (spec_.Live) {
      // A live input's positions go on with the clock from the device's
      // start, as a card's do with or without a signal: a frame takes the
      // position of its arrival, and the time the stream was away (or had
      // not come yet) is a gap the relay skips.
      const int64_t origin = paceOrigin_.load(std::memory_order_relaxed);
      const int64_t byClock = picture_.StartPosition + picture_.Rate.FramesAt(now - origin) - 1;
      base_ = std::max(previous < 0 ? picture_.StartPosition : previous + 1, byClock);
    } else if (previous < 0) {
      // A file is paced from its first picture: captured now, each next one
      // a frame period later, as a live feed would deliver them.
      base_ = picture_.StartPosition;
      paceOrigin_.store(now - picture_.Rate.BoundaryTime(1), std::memory_order_relaxed);
    } else {
      base_ = previous + 1;  // a loop goes on where it ended
    }
  }
  if (pts == AV_NOPTS_VALUE) {
    pts = firstPts_ + av_rescale_q(pending_.empty() ? last_ + 1 - base_ : pending_.back().Position + 1 - base_,
                                   AVRational{static_cast<int>(picture_.Rate.Den), static_cast<int>(picture_.Rate.Num)},
                                   videoTimeBase_);
  }
  const int64_t position =
      base_ + av_rescale_q_rnd(pts - firstPts_, videoTimeBase_,
                               AVRational{static_cast<int>(picture_.Rate.Den), static_cast<int>(picture_.Rate.Num)},
                               static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  const int64_t previous = pending_.empty() ? last_ : pending_.back().Position;
  if (position <= previous) {
    counters_->Dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  FramePtr copy(av_frame_alloc());
  if (!copy || av_frame_ref(copy.get(), frame) < 0) return;
  pending_.push_back({std::move(copy), position});
}

void InputFeed::TakeAudioFrame(AVFrame* frame) {
  const int32_t channels = picture_.Channels;
  if (!swr_ && !audioDirect_) {
    audioDirect_ = frame->format == AV_SAMPLE_FMT_FLT && frame->sample_rate == picture_.SampleRate &&
                   frame->ch_layout.nb_channels == channels;
    if (!audioDirect_) {
      AVChannelLayout out{};
      if (frame->ch_layout.nb_channels == channels) {
        av_channel_layout_copy(&out, &frame->ch_layout);
      } else {
        av_channel_layout_default(&out, channels);
      }
      SwrContext* s = nullptr;
      const int rc = swr_alloc_set_opts2(&s, &out, AV_SAMPLE_FMT_FLT, picture_.SampleRate, &frame->ch_layout,
                                         static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&out);
      if (rc < 0 || swr_init(s) < 0) {
        swr_free(&s);
        counters_->DecodeErrors.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      swr_.reset(s);
    }
  }
  if (audioRead_ > 0 && audioRead_ * 2 > audioAcc_.size()) {
    audioAcc_.erase(audioAcc_.begin(), audioAcc_.begin() + static_cast<std::ptrdiff_t>(audioRead_));
    audioRead_ = 0;
  }
  const size_t at = audioAcc_.size();
  if (audioDirect_) {
    const auto* src = reinterpret_cast<const float*>(frame->data[0]);
    audioAcc_.insert(audioAcc_.end(), src, src + static_cast<size_t>(frame->nb_samples) * channels);
    return;
  }
  const int room = swr_get_out_samples(swr_.get(), frame->nb_samples);
  if (room <= 0) return;
  audioAcc_.resize(at + static_cast<size_t>(room) * channels);
  uint8_t* out = reinterpret_cast<uint8_t*>(audioAcc_.data() + at);
  const int got =
      swr_convert(swr_.get(), &out, room, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  audioAcc_.resize(at + static_cast<size_t>(std::max(got, 0)) * channels);
}

void InputFeed::PublishReady(bool flushing) {
  const int32_t channels = picture_.Channels;
  while (!pending_.empty() && !Stopping()) {
    Pending& front = pending_.front();
    const int32_t need = picture_.Rate.SamplesInFrame(picture_.SampleRate, front.Position);
    const int64_t have = static_cast<int64_t>(audioAcc_.size() - audioRead_) / channels;
    if (audioStream_ >= 0 && have < need && !flushing && pending_.size() < kMaxPending) return;
    if (!spec_.Live && !WaitUntil(PositionTime(front.Position + 1))) return;
    Publish(front.Frame.get(), front.Position, need);
    pending_.erase(pending_.begin());
  }
}

void InputFeed::Publish(AVFrame* frame, int64_t position, int32_t samples) {
  const int32_t channels = picture_.Channels;
  Slot& slot = ring_[static_cast<size_t>(position % static_cast<int64_t>(ring_.size()))];
  // seq_cst pairs with the reader's pin: either the reader sees the slot
  // taken, or this thread sees the reader and waits for its copy to end.
  slot.Stamp.store(-1, std::memory_order_seq_cst);
  while (slot.Readers.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();

  const int32_t w = picture_.Width;
  const int32_t h = picture_.Height;
  const bool sameSize = frame->width == w && frame->height == h;
  sws_.reset(sws_getCachedContext(sws_.release(), frame->width, frame->height,
                                  static_cast<AVPixelFormat>(frame->format), w, h, AV_PIX_FMT_UYVY422,
                                  sameSize ? SWS_POINT : SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (sws_) {
    uint8_t* dst[4] = {slot.Picture.get(), nullptr, nullptr, nullptr};
    int dstPitch[4] = {w * 2, 0, 0, 0};
    sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, dst, dstPitch);
  } else {
    counters_->DecodeErrors.fetch_add(1, std::memory_order_relaxed);
  }

  const int64_t have = static_cast<int64_t>(audioAcc_.size() - audioRead_) / channels;
  const int32_t take = static_cast<int32_t>(std::min<int64_t>(have, samples));
  float* audio = slot.Audio.get();
  if (take > 0) std::copy_n(audioAcc_.data() + audioRead_, static_cast<size_t>(take) * channels, audio);
  std::fill(audio + static_cast<size_t>(take) * channels, audio + static_cast<size_t>(samples) * channels, 0.0f);
  audioRead_ += static_cast<size_t>(take) * channels;
  if (take < samples) counters_->AudioFilled.fetch_add(samples - take, std::memory_order_relaxed);
  slot.Samples = samples;

  slot.Stamp.store(position, std::memory_order_release);
  newest_.store(position + 1, std::memory_order_release);
  counters_->Captured.fetch_add(1, std::memory_order_relaxed);
  if (last_ >= 0 && position > last_ + 1) counters_->Gaps.fetch_add(position - last_ - 1, std::memory_order_relaxed);
  last_ = position;
}

const InputFeed::Slot* InputFeed::Pin(int64_t asked, int64_t& delivered) const {
  const int64_t newest = newest_.load(std::memory_order_acquire);
  const int64_t n = static_cast<int64_t>(ring_.size());
  for (int64_t p = std::max<int64_t>({asked, newest - n, 0}); p < newest; ++p) {
    const Slot& slot = ring_[static_cast<size_t>(p % n)];
    slot.Readers.fetch_add(1, std::memory_order_seq_cst);
    if (slot.Stamp.load(std::memory_order_seq_cst) == p) {
      delivered = p;
      return &slot;
    }
    Unpin(&slot);
  }
  return nullptr;
}

HResult InputFeed::ReadPicture(int64_t* position, uint8_t* dst, int32_t pitch, int32_t firstLine,
                               int32_t lineStep) const {
  int64_t delivered = 0;
  const Slot* slot = Pin(*position, delivered);
  if (!slot) return E_PENDING;
  const int32_t row = picture_.Width * 2;
  for (int32_t line = firstLine, i = 0; line < picture_.Height; line += lineStep, ++i) {
    std::memcpy(dst + static_cast<int64_t>(i) * pitch, slot->Picture.get() + static_cast<int64_t>(line) * row,
                static_cast<size_t>(row));
  }
  Unpin(slot);
  *position = delivered;
  return S_OK;
}

HResult InputFeed::ReadAudio(int64_t* position, uint32_t mask, float* out, int32_t capacity, int32_t* bytes) const {
  int64_t delivered = 0;
  const Slot* slot = Pin(*position, delivered);
  if (!slot) return E_PENDING;
  const int32_t channels = picture_.Channels;
  const int32_t taken = std::popcount(mask);
  const int64_t size = static_cast<int64_t>(slot->Samples) * taken * 4;
  if (size > capacity) {
    Unpin(slot);
    return kInsufficientBuffer;
  }
  const float* src = slot->Audio.get();
  for (int32_t s = 0; s < slot->Samples; ++s) {
    int32_t k = 0;
    for (int32_t c = 0; c < channels; ++c) {
      if ((mask >> c) & 1u) out[static_cast<int64_t>(s) * taken + k++] = src[static_cast<int64_t>(s) * channels + c];
    }
  }
  Unpin(slot);
  *bytes = static_cast<int32_t>(size);
  *position = delivered;
  return S_OK;
}

}  // namespace quellvox::realmedia
