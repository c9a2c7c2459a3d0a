#include "platform/ffmpeg/input_feed.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/ffmpeg/local_files.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace quellvox::realmedia {

namespace {

constexpr HResult kInsufficientBuffer = static_cast<HResult>(0x8007007Au);
constexpr size_t kMaxPending = 32;  // pictures waiting for audio before they go out with silence
// The most a device's ring of captured frames may take, as the studio caps
// what an engine prepares up front: 2 GiB, some 500 UYVY frames of 1080 lines.
constexpr int64_t kMaxRingBytes = int64_t{2} << 30;
// An open of an input that takes longer than this gives up (a file on a
// mount that no longer answers, a stream that never says what it carries).
constexpr int64_t kOpenTicks = 100'000'000;  // 10 s

// Why a UDP input could not be opened, where the library's own text says
// nothing to the point: its local port taken by another program.
std::string UdpReason(const std::string& url) {
  if (url.rfind("udp://", 0) != 0) return {};
  const size_t hostEnd = url.find_first_of("/?", 6);
  const std::string authority = url.substr(6, hostEnd == std::string::npos ? std::string::npos : hostEnd - 6);
  const size_t colon = authority.rfind(':');
  if (colon == std::string::npos) return {};
  char* end = nullptr;
  const long port = std::strtol(authority.c_str() + colon + 1, &end, 10);
  if (!end || *end != '\0' || port <= 0 || port > 65535) return {};
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool inUse = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
  ::close(fd);
  return inUse ? "UDP port " + std::to_string(port) + " is in use by another program" : std::string();
}

HResult CodeOfOpenError(int error) {
  if (error == AVERROR(ENOENT)) return E_NOTFOUND;
  if (error == AVERROR(EACCES) || error == AVERROR(EPERM)) return E_ACCESSDENIED;
  return E_FAIL;
}

}  // namespace

InputFeed::InputFeed(std::string deviceName, const InputSettings& settings, const MediaPicture& picture,
                     std::shared_ptr<InputCounters> counters)
    : name_(std::move(deviceName)),
      settings_(settings),
      picture_(picture),
      counters_(std::move(counters)),
      frameBytes_(static_cast<int64_t>(picture.Width) * picture.Height * 2),
      maxSamples_(picture.Rate.SamplesInFrame(picture.SampleRate, 0) + 2),
      ring_(static_cast<size_t>(settings.RingFrames)),
      newest_(picture.StartPosition) {
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

HResult InputFeed::Refuse(HResult code, const std::string& reason) {
  const std::string line = "capture \"" + name_ + "\": " + reason;
  ReportLine("Real media: " + line);
  SetErrorDescription(line);
  return code;
}

HResult InputFeed::Start() {
  std::vector<std::string> files;
  if (const Status local = InputFiles(settings_, files); !local.IsOk()) {
    counters_->OpenFailures.fetch_add(1, std::memory_order_relaxed);
    return Refuse(local.Code(), "cannot open \"" + settings_.Url + "\": " + local.Message());
  }
  const int64_t slotBytes = frameBytes_ + int64_t{maxSamples_} * picture_.Channels * 4;
  if (slotBytes * settings_.RingFrames > kMaxRingBytes) {
    return Refuse(E_OUTOFMEMORY, std::to_string(settings_.RingFrames) + " ring frames of " +
                                     std::to_string(picture_.Width) + "x" + std::to_string(picture_.Height) +
                                     " take more than " + std::to_string(kMaxRingBytes >> 20) +
                                     " MiB (fewer \"ringFrames\" or a smaller picture)");
  }
  try {
    // Not zero-filled: a slot is written whole before it is first read, so
    // pages are only touched as frames arrive.
    for (Slot& slot : ring_) {
      slot.Picture = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(frameBytes_));
      slot.Audio = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(maxSamples_) *
                                                           static_cast<size_t>(picture_.Channels));
    }
  } catch (const std::bad_alloc&) {
    for (Slot& slot : ring_) {
      slot.Picture.reset();
      slot.Audio.reset();
    }
    return Refuse(E_OUTOFMEMORY, "no memory for " + std::to_string(settings_.RingFrames) + " ring frames of " +
                                     std::to_string(picture_.Width) + "x" + std::to_string(picture_.Height));
  }
  if (!settings_.Live) {
    if (const Status opened = Open(); !opened.IsOk()) {
      counters_->OpenFailures.fetch_add(1, std::memory_order_relaxed);
      return Refuse(opened.Code(), "cannot open \"" + settings_.Url + "\": " + opened.Message());
    }
  }
  paceOrigin_.store(NowTicks() - picture_.Rate.BoundaryTime(1), std::memory_order_relaxed);  // StartPosition is "now"
  thread_ = std::thread([this] { Run(); });
  return S_OK;
}

int InputFeed::Interrupt(void* opaque) {
  auto* self = static_cast<InputFeed*>(opaque);
  if (self->Stopping()) return 1;
  if (NowTicks() > self->openDeadline_.load(std::memory_order_relaxed)) return 1;
  if (!self->settings_.Live) return 0;
  const int64_t last = self->lastPacketTicks_.load(std::memory_order_relaxed);
  if (last != 0 && NowTicks() - last > int64_t{self->settings_.StallMs} * 10'000) {
    self->stalled_.store(true, std::memory_order_relaxed);
    return 1;
  }
  return 0;
}

Status InputFeed::Open() {
  Close();
  AVFormatContext* ctx = avformat_alloc_context();
  if (!ctx) {
    return Status::Failed(E_OUTOFMEMORY, "out of memory");
  }
  ctx->interrupt_callback.callback = &InputFeed::Interrupt;
  ctx->interrupt_callback.opaque = this;
  const AVInputFormat* format = settings_.Format.empty() ? nullptr : av_find_input_format(settings_.Format.c_str());
  Options options(settings_.Options);
  stalled_.store(false, std::memory_order_relaxed);
  lastPacketTicks_.store(NowTicks(), std::memory_order_relaxed);
  openDeadline_.store(NowTicks() + kOpenTicks, std::memory_order_relaxed);
  int rc = avformat_open_input(&ctx, settings_.Url.c_str(), format, options.Put());
  if (rc < 0) {  // ctx is freed by the failed open
    openDeadline_.store(INT64_MAX, std::memory_order_relaxed);
    const std::string udp = UdpReason(settings_.Url);
    return Status::Failed(CodeOfOpenError(rc),
                          !udp.empty() ? udp
                          : rc == AVERROR_EXIT && !Stopping()
                              ? "no answer within " + std::to_string(kOpenTicks / kTicksPerSecond) + " s"
                              : AvError(rc));
  }
  input_.reset(ctx);
  rc = avformat_find_stream_info(ctx, nullptr);
  openDeadline_.store(INT64_MAX, std::memory_order_relaxed);
  if (rc < 0) {
    Close();
    return Status::Failed("no stream found (" + AvError(rc) + ")");
  }
  videoStream_ = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  audioStream_ = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (videoStream_ < 0) {
    Close();
    return Status::Failed("no video stream");
  }
  auto openDecoder = [&](int index, CodecContext& out) {
    const AVStream* stream = ctx->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return false;
    out.reset(avcodec_alloc_context3(codec));
    if (!out || avcodec_parameters_to_context(out.get(), stream->codecpar) < 0) return false;
    out->pkt_timebase = stream->time_base;
    out->thread_count = CodecThreads();
    return avcodec_open2(out.get(), codec, nullptr) >= 0;
  };
  if (!openDecoder(videoStream_, video_)) {
    const std::string codec = avcodec_get_name(ctx->streams[videoStream_]->codecpar->codec_id);
    Close();
    return Status::Failed("cannot decode its video (" + codec + ")");
  }
  if (audioStream_ >= 0 && !openDecoder(audioStream_, audio_)) {
    audio_.reset();
    audioStream_ = -1;  // a picture without sound: the device's audio is silence
  }
  videoTimeBase_ = ctx->streams[videoStream_]->time_base;
  swr_.reset();
  audioDirect_ = false;
  inputChannels_ = 0;
  pending_.clear();
  audioAcc_.clear();
  audioRead_ = 0;
  firstPts_ = AV_NOPTS_VALUE;
  publishedThisPass_ = 0;
  counters_->Open.store(true, std::memory_order_relaxed);
  return Status::Ok();
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
  int32_t backoff = settings_.BackoffMinMs;
  loopBackoff_ = settings_.BackoffMinMs;
  everOpened_ = input_ != nullptr;
  while (!Stopping()) {
    if (!input_) {
      const Step opened = OpenInput(backoff);
      if (opened == Step::Stop) break;
      if (opened == Step::Again) continue;
    }
    const int rc = av_read_frame(input_.get(), packet_.get());
    if (rc == AVERROR(EAGAIN)) {
      WaitFor(5);
      continue;
    }
    if (rc < 0) {
      if (Stopping() || InputEnded(rc, backoff) == Step::Stop) break;
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

InputFeed::Step InputFeed::OpenInput(int32_t& backoff) {
  if (const Status opened = Open(); !opened.IsOk()) {
    if (Stopping()) return Step::Stop;
    counters_->OpenFailures.fetch_add(1, std::memory_order_relaxed);
    if (!failing_) {
      ReportLine("Real media: capture \"" + name_ + "\": cannot open \"" + settings_.Url + "\": " +
                 opened.Message() + "; trying again");
    }
    failing_ = true;
    if (!WaitFor(backoff)) return Step::Stop;
    backoff = std::min(backoff * 2, settings_.BackoffMaxMs);
    return Step::Again;
  }
  if (everOpened_) {
    counters_->Reconnects.fetch_add(1, std::memory_order_relaxed);
    ReportLine("Real media: capture \"" + name_ + "\": \"" + settings_.Url + "\" open again");
  }
  everOpened_ = true;
  failing_ = false;
  backoff = settings_.BackoffMinMs;
  return Step::Go;
}

InputFeed::Step InputFeed::InputEnded(int rc, int32_t backoff) {
  // Whatever the decoders still hold goes out first.
  if (video_) Decode(video_.get(), nullptr);
  if (audio_) Decode(audio_.get(), nullptr);
  PublishReady(true);
  if (rc == AVERROR_EOF && settings_.Loop &&
      av_seek_frame(input_.get(), -1, input_->start_time == AV_NOPTS_VALUE ? 0 : input_->start_time,
                    AVSEEK_FLAG_BACKWARD) >= 0) {
    return StartOver();
  }
  const bool stalled = stalled_.load(std::memory_order_relaxed);
  (stalled ? counters_->Stalls : counters_->Ends).fetch_add(1, std::memory_order_relaxed);
  Close();
  if (!settings_.Live || !settings_.Reconnect) {
    ReportLine("Real media: capture \"" + name_ + "\": \"" + settings_.Url + "\" ended (" +
               (rc == AVERROR_EOF ? std::string("end of input") : AvError(rc)) + ")");
    return Step::Stop;  // what was captured stays readable
  }
  ReportLine("Real media: capture \"" + name_ + "\": \"" + settings_.Url + "\" " +
             (stalled ? "stalled" : "dropped (" + AvError(rc) + ")") + "; reconnecting");
  return WaitFor(backoff) ? Step::Again : Step::Stop;
}

InputFeed::Step InputFeed::StartOver() {
  if (publishedThisPass_ == 0) {
    // A pass that gave no frame (a file emptied or overwritten under the
    // feed) would spin: wait before each next pass, and say so once.
    if (!emptyLoopReported_) {
      ReportLine("Real media: capture \"" + name_ + "\": \"" + settings_.Url +
                 "\" gives no frame to loop over; trying again");
    }
    emptyLoopReported_ = true;
    if (!WaitFor(loopBackoff_)) return Step::Stop;
    loopBackoff_ = std::min(loopBackoff_ * 2, settings_.BackoffMaxMs);
  } else {
    loopBackoff_ = settings_.BackoffMinMs;
  }
  publishedThisPass_ = 0;
  avcodec_flush_buffers(video_.get());
  if (audio_) avcodec_flush_buffers(audio_.get());
  audioAcc_.clear();
  audioRead_ = 0;
  firstPts_ = AV_NOPTS_VALUE;  // the next picture follows the last one
  return Step::Again;
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
    if (settings_.Live) {
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
  const int32_t in = frame->ch_layout.nb_channels;
  if (in <= 0 || audioStream_ < 0) return;
  if (inputChannels_ != in) {
    // The input's channels are converted to the device's rate and sample
    // format only, never remixed: channel c of the input is channel c of
    // the device (a mono input feeds both channels of the first pair).
    inputChannels_ = in;
    swr_.reset();
    audioDirect_ = frame->format == AV_SAMPLE_FMT_FLT && frame->sample_rate == picture_.SampleRate;
    if (!audioDirect_) {
      SwrContext* s = nullptr;
      const int rc = swr_alloc_set_opts2(&s, &frame->ch_layout, AV_SAMPLE_FMT_FLT, picture_.SampleRate,
                                         &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                         frame->sample_rate, 0, nullptr);
      if (rc < 0 || swr_init(s) < 0) {
        swr_free(&s);
        ReportLine("Real media: capture \"" + name_ + "\": cannot convert the audio of \"" + settings_.Url + "\" (" +
                   std::to_string(in) + " channels at " + std::to_string(frame->sample_rate) +
                   " Hz); the device's audio is silence");
        audioStream_ = -1;  // pictures go out with silence from here on
        return;
      }
      swr_.reset(s);
    }
    if (in != channels && !channelsReported_) {
      channelsReported_ = true;
      std::string how;
      if (in == 1) {
        how = "its one channel feeds channels 1 and 2";
      } else if (in > channels) {
        how = "channels 1 to " + std::to_string(channels) + " are taken, the others left out";
      } else {
        how = "channels " + std::to_string(in + 1) + " to " + std::to_string(channels) + " are silent";
      }
      ReportLine("Real media: capture \"" + name_ + "\": \"" + settings_.Url + "\" has " + std::to_string(in) +
                 (in == 1 ? " audio channel" : " audio channels") + " and the device " + std::to_string(channels) + ": " + how);
    }
  }
  if (audioRead_ > 0 && audioRead_ * 2 > audioAcc_.size()) {
    audioAcc_.erase(audioAcc_.begin(), audioAcc_.begin() + static_cast<std::ptrdiff_t>(audioRead_));
    audioRead_ = 0;
  }
  const float* src = nullptr;
  int64_t got = 0;
  if (audioDirect_) {
    src = reinterpret_cast<const float*>(frame->data[0]);
    got = frame->nb_samples;
  } else {
    const int room = swr_get_out_samples(swr_.get(), frame->nb_samples);
    if (room <= 0) return;
    converted_.resize(static_cast<size_t>(room) * in);
    uint8_t* out = reinterpret_cast<uint8_t*>(converted_.data());
    got = std::max(swr_convert(swr_.get(), &out, room, const_cast<const uint8_t**>(frame->extended_data),
                               frame->nb_samples),
                   0);
    src = converted_.data();
  }
  const size_t at = audioAcc_.size();
  if (in == channels) {
    audioAcc_.insert(audioAcc_.end(), src, src + static_cast<size_t>(got) * channels);
    return;
  }
  audioAcc_.resize(at + static_cast<size_t>(got) * channels, 0.0f);
  float* dst = audioAcc_.data() + at;
  const int32_t taken = std::min(in, channels);
  for (int64_t i = 0; i < got; ++i) {
    for (int32_t c = 0; c < taken; ++c) dst[i * channels + c] = src[i * in + c];
    if (in == 1 && channels >= 2) dst[i * channels + 1] = src[i];
  }
}

void InputFeed::PublishReady(bool flushing) {
  const int32_t channels = picture_.Channels;
  while (!pending_.empty() && !Stopping()) {
    Pending& front = pending_.front();
    const int32_t need = picture_.Rate.SamplesInFrame(picture_.SampleRate, front.Position);
    const int64_t have = static_cast<int64_t>(audioAcc_.size() - audioRead_) / channels;
    if (audioStream_ >= 0 && have < need && !flushing && pending_.size() < kMaxPending) return;
    if (!settings_.Live && !WaitUntil(PositionTime(front.Position + 1))) return;
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
  ++publishedThisPass_;
  if (publishedThisPass_ == 1 && emptyLoopReported_) {
    emptyLoopReported_ = false;
    ReportLine("Real media: capture \"" + name_ + "\": \"" + settings_.Url + "\" gives frames again");
  }
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
