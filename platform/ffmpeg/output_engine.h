// A title engine whose output is encoded and written with libavformat: the
// engine core (output clock at the engine's rate on the steady clock,
// layers, fifos, evaluation) as the virtual studio's engines have it, and
// per output position one encoder job (the picture the layers present and
// the program audio their fifos hold).
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

#include "platform/engine_core/engine_core.h"
#include "platform/ffmpeg/encoder.h"
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

class OutputEngine final : public engine::EngineCore {
 public:
  OutputEngine(std::string name, const OutputSettings& settings, const MediaPicture& picture);
  ~OutputEngine() override;

  const std::string& Name() const { return name_; }
  const MediaPicture& Picture() const { return picture_; }

  using Layer = engine::Layer;
  // Set-up thread: 0 and the new layer (its buffers allocated here); S_FALSE
  // when a live layer has the number. The first layer starts the output.
  // Buffers beyond the cap, or more than memory holds: E_OUTOFMEMORY, with
  // a line and the thread's error description naming the engine.
  HResult CreateLayer(const std::string& name, int32_t number, int32_t depth, Layer*& out);
  // The last live layer's release ends the output and joins its threads.
  void ReleaseLayer(Layer* layer);

  // The layer operations (engine_core): any thread, a short lock, no wait
  // on the encoder.

  OutputReport Report();
  // Any thread: a layer lives, so the output is being written.
  bool Active();
  // Test and tool thread: waits until no encoder thread of this engine runs.
  bool WaitUntilClosed(int32_t milliseconds) const;

 private:
  int64_t Now() const override { return NowTicks(); }
  engine::MixTarget BeginPositionLocked(int64_t q, int64_t a, int64_t b) override;
  void PresentedLocked(Layer& layer, const Layer::Queued& queued, int64_t q) override;
  void EndPositionLocked(int64_t q, int64_t a, int64_t b) override;
  HResult StartOutput();
  void StopOutput();
  void OutputThread();
  HResult Refuse(HResult code, const std::string& reason);  // one line, and the reason for the caller
  std::string Size() const;

  const std::string name_;
  const OutputSettings settings_;
  const MediaPicture picture_;
  const int32_t maxSamples_;

  // Under mu_.
  OutputReport report_;  // what the layers do not count: sessions and jobs
  int64_t firstPos_ = 0;  // the output position encoded as frame 0
  EncoderJob* job_ = nullptr;  // the job of the position being evaluated
  int32_t jobIndex_ = -1;

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
