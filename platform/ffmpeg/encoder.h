// The encoder of a title engine's output: opens the container and its
// video and audio encoders, encodes one output frame at a time, writes the
// trailer. Used by the engine's encoder thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/status.h"
#include "platform/ffmpeg/av_support.h"
#include "platform/ffmpeg/media_description.h"

namespace quellvox::realmedia {

// The stereo pairs an engine's output holds are the lines the relay writes:
// an engine of more than one line keeps its first line (fifo 0) to itself
// and the relay writes fifos 1 .. L - 1, so the output holds L - 1 pairs,
// fifo f on pair f - 1; a one-line engine's fifo 0 is its one pair.
inline int32_t OutputPairs(int32_t stereoLines) { return stereoLines > 1 ? stereoLines - 1 : 1; }
inline int32_t FirstOutputFifo(int32_t stereoLines) { return stereoLines > 1 ? 1 : 0; }

// One output frame for the encoder.
struct EncoderJob {
  std::unique_ptr<uint8_t[]> Picture;  // UYVY, the engine's size
  bool HasPicture = false;             // false: the encoder repeats the last picture
  std::vector<float> Audio;            // interleaved, 2 x output pairs per sample frame
  int32_t Samples = 0;
  int64_t Index = 0;        // output frames since the output opened
  int64_t FirstSample = 0;  // output sample frames since the output opened
};

class Encoder {
 public:
  Encoder(const std::string& name, const OutputSettings& settings, const MediaPicture& picture)
      : name_(name), settings_(settings), picture_(picture) {}
  ~Encoder() { Close(); }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Opens the output; writes that block past `abortAt` (clock time) give
  // up. A failure is "engine "<name>": cannot write "<url>": <why>", and the
  // output stays closed.
  Status Open(std::atomic<int64_t>& abortAt);
  // False once writing failed (reported once); the output is then closed.
  bool Encode(const EncoderJob& job);
  // Flushes the encoders (unless the time for it is over: what they still
  // hold is then lost) and writes the trailer.
  void Finish(bool flush);

  int64_t Failures() const { return failures_; }

 private:
  static int Interrupt(void* opaque);
  void Io() { ioStart_.store(NowTicks(), std::memory_order_relaxed); }

  Status TryOpen();
  Status OpenVideo(bool globalHeader);
  Status OpenAudio(bool globalHeader);
  Status WriteHeader();
  Status PrepareFrames();
  bool EncodeAudio(const EncoderJob& job);
  bool SendAudioFromFifo(bool last);
  bool Send(AVCodecContext* codec, AVStream* stream, AVFrame* frame);
  bool Fail(const std::string& why);
  void Close();

  const std::string name_;
  const OutputSettings settings_;
  const MediaPicture picture_;
  std::atomic<int64_t>* interrupt_ = nullptr;
  std::atomic<int64_t> ioStart_{0};  // when the current write began
  AVFormatContext* oc_ = nullptr;
  AVStream* vs_ = nullptr;
  AVStream* as_ = nullptr;
  const AVCodec* acodec_ = nullptr;
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

}  // namespace quellvox::realmedia
