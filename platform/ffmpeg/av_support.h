// Small helpers around FFmpeg's C interfaces: owning handles, error texts,
// the provider's clock; frame and sample timing is the engines' own.
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

#include "platform/engine_core/timing.h"

namespace quellvox::realmedia {

using engine::FrameRate;
using engine::Int128;
using engine::kTicksPerSecond;

// The steady clock in 100 ns units. Any thread; lock-free.
int64_t NowTicks();

// A rate as FFmpeg takes it.
inline AVRational AvRate(const FrameRate& rate) { return AVRational{static_cast<int>(rate.Num), static_cast<int>(rate.Den)}; }

// Worker threads for a codec: 0 lets the codec choose. Under
// ThreadSanitizer each codec runs on its caller's thread alone: the
// libraries' own workers synchronise inside uninstrumented code, which the
// sanitizer would report as races of ours.
inline int CodecThreads() {
#if defined(__SANITIZE_THREAD__)
  return 1;
#else
  return 0;
#endif
}

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
