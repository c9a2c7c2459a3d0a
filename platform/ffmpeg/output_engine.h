// A title engine whose output is encoded and written with libavformat: an
// output clock at the engine's rate (the steady clock), layers with their
// buffer pools, frame queues and audio fifos as the virtual studio keeps
// them, and per output position one encoder job (the picture the layers
// present and the program audio their fifos hold).
//
// Threads: component calls (the relay, the pump, set-up) take the engine's
// mutex for bookkeeping only. While a layer lives, an output thread brings
// the engine up to the clock once per output frame and hands the jobs to an
// encoder thread through a bounded queue; when the queue is full the job is
// dropped and counted, so a slow encoder never holds up a caller. The last
// layer's release ends the output (within a second) and writes the trailer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ffmpeg/media_description.h"
#include "platform/media_api/media_components.h"

namespace quellvox::realmedia {

// What an engine did, over every run.
struct OutputReport {
  std::string Url;
  int64_t OutputPosition = 0;
  int64_t Sessions = 0;  // outputs opened (one per run of the pipeline)
  bool Writing = false;  // an output is open now
  // Frames, as the studio's engine counts them.
  int64_t OnTime = 0;
  int64_t Late = 0;     // submitted for a position already presented
  int64_t Missing = 0;  // a positioned layer had nothing: the previous picture is repeated
  int64_t Discarded = 0;
  int64_t RefusedSubmits = 0;
  int64_t BufferRefusals = 0;
  int64_t FramesDone = 0;
  // Audio, summed over the fifos.
  int64_t WrittenSamples = 0;
  int64_t PresentedSamples = 0;
  int64_t SilenceSamples = 0;  // positions after a fifo's start with nothing queued
  int64_t LateSamples = 0;
  int64_t RefusedWrites = 0;
  // The encoder.
  int64_t Queued = 0;         // output frames handed to the encoder
  int64_t Dropped = 0;        // output frames lost: the queue was full, or the stop came first
  int64_t Encoded = 0;        // output frames encoded and written
  int64_t WriteFailures = 0;  // the output could not be opened or written
};

// The stereo pairs an engine's output holds are the lines the relay writes:
// an engine of more than one line keeps its first line (fifo 0) to itself
// and the relay writes fifos 1 .. L - 1, so the output holds L - 1 pairs,
// fifo f on pair f - 1; a one-line engine's fifo 0 is its one pair.
inline int32_t OutputPairs(int32_t stereoLines) { return stereoLines > 1 ? stereoLines - 1 : 1; }
inline int32_t FirstOutputFifo(int32_t stereoLines) { return stereoLines > 1 ? 1 : 0; }

class OutputEngine {
 public:
  OutputEngine(std::string name, const OutputSpec& spec, const MediaPicture& picture);
  ~OutputEngine();
  OutputEngine(const OutputEngine&) = delete;
  OutputEngine& operator=(const OutputEngine&) = delete;

  const std::string& Name() const { return name_; }
  const MediaPicture& Picture() const { return picture_; }
  int64_t OutputPositionAt(int64_t ticks) const { return picture_.StartPosition + picture_.Rate.FramesAt(ticks); }
  int64_t PositionTime(int64_t position) const { return picture_.Rate.BoundaryTime(position - picture_.StartPosition); }

  struct Layer;
  // Set-up thread: 0 and the new layer (its buffers allocated here); S_FALSE
  // when a live layer has the number. The first layer starts the output.
  // Buffers beyond the cap, or more than memory holds: E_OUTOFMEMORY, with
  // a line and the thread's error description naming the engine.
  HResult CreateLayer(const std::string& name, int32_t number, int32_t depth, Layer*& out);
  // The last live layer's release ends the output and joins its threads.
  void ReleaseLayer(Layer* layer);

  // Component calls: any thread, a short lock, no wait on the encoder.
  HResult SetShown(Layer* layer, bool shown);
  HResult CreateFifo(Layer* layer, int32_t fifo, int32_t depth);
  HResult InitFifo(Layer* layer, int32_t fifo, int32_t position);
  HResult WriteFifo(Layer* layer, int32_t fifo, int32_t byteCount, const float* data, uint32_t* outCount);
  HResult SetMute(Layer* layer, int32_t fifo, bool mute);
  HResult SetVolume(Layer* layer, int32_t fifo, double gain);
  HResult GetStatus(Layer* layer, LayerStatus* status);
  HResult SetPosition(Layer* layer, int32_t base);
  HResult GetBuffer(Layer* layer, int32_t size, uint8_t** address, int32_t* inOutSize);
  HResult SubmitBuffer(Layer* layer, int32_t size, const FrameDescriptor* descriptor);
  HResult FrameDone(Layer* layer);

  OutputReport Report();
  // Any thread: a layer lives, so the output is being written.
  bool Active();
  // Test and tool thread: waits until no encoder thread of this engine runs.
  bool WaitUntilClosed(int32_t milliseconds) const;

 private:
  struct Fifo;
  struct Job {
    std::unique_ptr<uint8_t[]> Picture;  // UYVY, the engine's size
    bool HasPicture = false;             // false: the encoder repeats the last picture
    std::vector<float> Audio;            // interleaved, 2 x stereo lines per sample frame
    int32_t Samples = 0;
    int64_t Index = 0;        // output frames since the output opened
    int64_t FirstSample = 0;  // output sample frames since the output opened
  };
  class Encoder;

  int64_t SampleOf(int64_t position) const {
    return picture_.Rate.SamplesBefore(picture_.SampleRate, position - picture_.StartPosition);
  }
  void EvaluateLocked(int64_t now);
  int32_t PresentVideoLocked(Layer& layer, int64_t q);  // the buffer presented at q, or -1
  void TakeAudioLocked(Fifo& fifo, int64_t a, int64_t b, float* mix);
  void ResolveFifoLocked(Layer& layer, Fifo& fifo);
  Fifo* FindFifoLocked(Layer& layer, int32_t number);
  HResult StartOutput();
  void StopOutput();
  void OutputThread();
  HResult Refuse(HResult code, const std::string& reason);  // one line, and the reason for the caller
  std::string Size() const;

  const std::string name_;
  const OutputSpec spec_;
  const MediaPicture picture_;
  const int64_t regionBytes_;
  const int32_t maxSamples_;

  std::mutex mu_;  // the layers, fifos, counts and the evaluation
  OutputReport report_;
  static constexpr int64_t kNotStarted = INT64_MIN;
  int64_t evaluatedPos_ = kNotStarted;
  int64_t firstPos_ = 0;  // the output position encoded as frame 0
  std::vector<std::unique_ptr<Layer>> layers_;

  // One run of the output: the encoder and its job queue, shared with the
  // encoder thread. A stop waits a bounded time for the thread to drain and
  // write the trailer; an encoder still busy beyond it (a frame that takes
  // longer than that) finishes on its own with the session it holds.
  struct Session;
  struct EncoderCounts {
    std::atomic<int64_t> Encoded{0};
    std::atomic<int64_t> Dropped{0};
    std::atomic<int64_t> WriteFailures{0};
    std::atomic<int32_t> Open{0};  // sessions whose encoder thread has not ended
  };
  static void RunEncoder(const std::shared_ptr<Session>& session);

  std::shared_ptr<Session> session_;  // under mu_
  const std::shared_ptr<EncoderCounts> counts_ = std::make_shared<EncoderCounts>();
  std::thread outputThread_;
  std::atomic<bool> outputStop_{false};
  std::mutex outputWaitMu_;
  std::condition_variable outputWaitCv_;
};

}  // namespace quellvox::realmedia
