// Small helpers around FFmpeg's C interfaces: owning handles, error texts,
// the provider's clock and exact frame/sample timing.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quellvox::realmedia {

__extension__ typedef __int128 Int128;

inline constexpr int64_t kTicksPerSecond = 10'000'000;  // clock unit: 100 ns

// The steady clock in 100 ns units. Any thread; lock-free.
int64_t NowTicks();

// A frame rate as a fraction, so that positions, clock times and sample
// cadences follow from each other without drift (25/1, 30000/1001).
struct FrameRate {
  int64_t Num = 25;
  int64_t Den = 1;
  double Value() const { return static_cast<double>(Num) / static_cast<double>(Den); }
  AVRational Av() const { return AVRational{static_cast<int>(Num), static_cast<int>(Den)}; }

  // Whole frames completed in [0, ticks) for ticks >= 0.
  int64_t FramesAt(int64_t ticks) const {
    return static_cast<int64_t>(static_cast<Int128>(ticks) * Num / (static_cast<Int128>(kTicksPerSecond) * Den));
  }
  // First tick at which frame boundary k (k >= 0) is reached.
  int64_t BoundaryTime(int64_t k) const {
    const Int128 n = static_cast<Int128>(k) * kTicksPerSecond * Den;
    return static_cast<int64_t>((n + Num - 1) / Num);
  }
  // Sample frames before frame k (k >= 0) at `sampleRate`.
  int64_t SamplesBefore(int64_t sampleRate, int64_t k) const {
    return static_cast<int64_t>(static_cast<Int128>(k) * sampleRate * Den / Num);
  }
  int32_t SamplesInFrame(int64_t sampleRate, int64_t k) const {
    return static_cast<int32_t>(SamplesBefore(sampleRate, k + 1) - SamplesBefore(sampleRate, k));
  }
};

// FFmpeg's text for an error code.
std::string AvError(int code);

struct FormatContextCloser {
  void operator()(AVFormatContext* c) const;
};
struct CodecContextCloser {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameCloser {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketCloser {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsCloser {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct SwrCloser {
  void operator()(SwrContext* c) const { swr_free(&c); }
};
struct AudioFifoCloser {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

using InputContext = std::unique_ptr<AVFormatContext, FormatContextCloser>;  // closed with avformat_close_input
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketCloser>;
using SwsPtr = std::unique_ptr<SwsContext, SwsCloser>;
using SwrPtr = std::unique_ptr<SwrContext, SwrCloser>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoCloser>;

// Owns an option dictionary built from the description's name/value pairs.
class Options {
 public:
  explicit Options(const std::vector<std::pair<std::string, std::string>>& pairs);
  ~Options() { av_dict_free(&dict_); }
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
  AVDictionary** Put() { return &dict_; }
  // The first option the component did not take, or empty.
  std::string FirstUnused() const;

 private:
  AVDictionary* dict_ = nullptr;
};

// One line on standard error, written with one call (as every trace is).
void ReportLine(const std::string& line);

}  // namespace quellvox::realmedia
