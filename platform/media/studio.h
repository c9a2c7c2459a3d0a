// The inside of the virtual studio: one Studio per loaded description, its
// capture devices (timelines shared by every capture object of a device)
// and its title engines (output clock, layers, fifos, what was presented).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/media_api/media_components.h"
#include "platform/media/audio_generators.h"
#include "platform/media/fault_table.h"
#include "platform/media/studio_description.h"
#include "platform/media/test_pattern.h"

namespace quellvox::studio {

// Codes of the studio besides the common ones.
inline constexpr HResult kUnexpected = static_cast<HResult>(0x8000FFFFu);            // not attached, nothing lent
inline constexpr HResult kInsufficientBuffer = static_cast<HResult>(0x8007007Au);    // the caller's buffer is too small
inline constexpr HResult kNotCaptured = E_PENDING;                                   // the frame is not captured yet
inline constexpr HResult kNoFreeBuffer = E_PENDING;                                  // every buffer of the layer is queued
inline constexpr HResult kRefused = S_FALSE;                                         // layer number taken, fifo full

class Studio;

// The timeline and the content of one capture device. Immutable after
// construction apart from the reported-format overrides: every capture
// object of the device may call it from any thread without a lock.
class CaptureDevice {
 public:
  CaptureDevice(const DeviceDescription& desc, int32_t index);

  const DeviceDescription& Desc() const { return desc_; }
  int32_t Index() const { return index_; }
  bool IsCapture() const { return desc_.Kind != kDeviceKindAuxiliary; }

  // Newest position at clock time t: frames below it are captured.
  int64_t NewestAt(int64_t t) const { return desc_.StartPosition + desc_.Rate.FramesAt(desc_.Clock.LocalTime(t)); }
  // Clock time at which `position` became the newest position.
  int64_t PositionTime(int64_t position) const {
    return desc_.Clock.StudioTime(desc_.Rate.BoundaryTime(position - desc_.StartPosition));
  }
  int64_t RingFrames() const { return ringFrames_; }
  // Oldest position still held when `newest` is the newest.
  int64_t OldestHeld(int64_t newest) const { return newest - ringFrames_ > 0 ? newest - ringFrames_ : 0; }

  int64_t FirstSample(int64_t position) const { return desc_.Rate.SamplesBefore(desc_.SampleRate, position); }
  int32_t SamplesInFrame(int64_t position) const {
    return static_cast<int32_t>(FirstSample(position + 1) - FirstSample(position));
  }

  // Writes lines firstLine, firstLine + lineStep, ... of frame `position`.
  void RenderFrame(int64_t position, uint8_t* dst, int32_t pitch, int32_t firstLine, int32_t lineStep) const {
    pattern_->Render(position, dst, pitch, firstLine, lineStep);
  }
  // Writes the frame's audio for the channels in `mask` (ascending, interleaved).
  void RenderAudio(int64_t position, uint32_t mask, float* out) const;

  studio_test::CaptureReports Reports() const;
  void SetReports(const studio_test::CaptureReports& reports);

  // Test support: how often each capture object of the device answered
  // GetPosition, the objects numbered in the order they were made (the
  // first kCountedObjects of them). Any thread; relaxed counters.
  static constexpr int32_t kCountedObjects = 128;
  int32_t NewObjectSerial() { return objectsMade_.fetch_add(1, std::memory_order_relaxed); }
  int32_t ObjectsMade() const { return objectsMade_.load(std::memory_order_relaxed); }
  void CountPositionRead(int32_t serial) {
    if (serial >= 0 && serial < kCountedObjects) positionReads_[serial].fetch_add(1, std::memory_order_relaxed);
  }
  int64_t PositionReads(int32_t serial) const {
    return serial >= 0 && serial < kCountedObjects ? positionReads_[serial].load(std::memory_order_relaxed) : 0;
  }

 private:
  DeviceDescription desc_;
  int32_t index_;
  int64_t ringFrames_ = 1;
  std::unique_ptr<TestPattern> pattern_;
  std::vector<std::unique_ptr<PairGenerator>> pairs_;
  mutable std::mutex reportsMu_;
  studio_test::CaptureReports reports_;
  std::atomic<int32_t> objectsMade_{0};
  std::atomic<int64_t> positionReads_[kCountedObjects] = {};
};

// One title engine: its output clock, the layers made on it and everything
// they presented. All layer state is guarded by one mutex per engine, held
// only for bookkeeping (never while a caller copies a frame).
class EngineState {
 public:
  EngineState(Studio& studio, const EngineDescription& desc, int32_t index);
  ~EngineState();

  const EngineDescription& Desc() const { return desc_; }
  int32_t Index() const { return index_; }

  // The output clock runs on the engine's own crystal (desc_.Clock), and so
  // does its audio: SampleOf counts the samples of each output frame.
  int64_t OutputPositionAt(int64_t t) const {
    return desc_.StartPosition + desc_.Rate.FramesAt(desc_.Clock.LocalTime(t));
  }
  int64_t PositionTime(int64_t position) const {
    return desc_.Clock.StudioTime(desc_.Rate.BoundaryTime(position - desc_.StartPosition));
  }
  int64_t SampleOf(int64_t position) const {
    return desc_.Rate.SamplesBefore(desc_.SampleRate, position - desc_.StartPosition);
  }

  studio_test::EngineReports Reports();
  void SetReports(const studio_test::EngineReports& reports);

  struct Layer;
  // 0 and the new layer; kRefused when the number is taken by a live layer,
  // E_OUTOFMEMORY when its buffers or the engine's recording cannot be held.
  HResult CreateLayer(const std::string& name, int32_t number, int32_t depth, Layer*& out);
  void ReleaseLayer(Layer* layer);

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

  studio_test::EngineReport Report();
  // Writes <folder>/engine-<index>.json and .wav when the description asks.
  void WriteRecording(const std::string& folder);

 private:
  struct Fifo;
  // Takes the lock; `ready` holds the layer's buffers when made up front.
  HResult AddLayer(const std::string& name, int32_t number, int32_t depth,
                   std::vector<std::unique_ptr<uint8_t[]>> ready, Layer*& out);
  void EvaluateLocked(int64_t now);
  void PresentVideoLocked(Layer& layer, int64_t q);
  void TakeAudioLocked(Fifo& fifo, int64_t a, int64_t b, float* mix);
  void ResolveFifoLocked(Layer& layer, Fifo& fifo);
  Fifo* FindFifoLocked(Layer& layer, int32_t number);
  void FreeBufferLocked(Layer& layer, int32_t buffer);

  Studio& studio_;
  EngineDescription desc_;
  int32_t index_;
  int64_t regionBytes_;

  std::mutex mu_;
  studio_test::EngineReports reports_;
  static constexpr int64_t kNotStarted = INT64_MIN;
  int64_t evaluatedPos_ = kNotStarted;  // output positions up to this one are done
  std::vector<std::unique_ptr<Layer>> layers_;
  std::vector<float> mix_;        // one output frame of program audio, 2 x lines floats per sample
  bool recording_ = false;
  int64_t recordMaxFrames_ = 0;   // sample frames
  std::vector<float> recorded_;
  // Where the recording lies on the output: one span per stretch of
  // consecutive output positions recorded (a new span starts when positions
  // passed unrecorded, while no layer was alive). The WAV is the spans in order.
  struct RecordedSpan {
    int64_t FromPosition = 0;  // output position of the span's first sample frame
    int64_t Positions = 0;     // output positions recorded, whole or cut by the cap
    int64_t FromSample = 0;    // the engine's sample clock at FromPosition
    int64_t SampleFrames = 0;
  };
  std::vector<RecordedSpan> recordedSpans_;
  bool recordingWritten_ = false;
};

class Studio {
 public:
  Studio(StudioDescription desc, bool failed, std::string source);
  ~Studio();

  const StudioDescription& Desc() const { return desc_; }
  bool Failed() const { return failed_; }
  const std::string& Source() const { return source_; }

  int32_t DeviceCount() const { return static_cast<int32_t>(devices_.size()); }
  CaptureDevice* Device(int32_t i) const {
    return i >= 0 && i < DeviceCount() ? devices_[static_cast<size_t>(i)].get() : nullptr;
  }
  int32_t EngineCount() const { return static_cast<int32_t>(engines_.size()); }
  EngineState* Engine(int32_t i) const {
    return i >= 0 && i < EngineCount() ? engines_[static_cast<size_t>(i)].get() : nullptr;
  }

  FaultTable& Faults() { return faults_; }
  std::atomic<int64_t>& KeepPresented() { return keepPresented_; }

  void WriteRecordings();

 private:
  StudioDescription desc_;
  bool failed_;
  std::string source_;
  std::vector<std::unique_ptr<CaptureDevice>> devices_;
  std::vector<std::unique_ptr<EngineState>> engines_;
  FaultTable faults_;
  std::atomic<int64_t> keepPresented_{0};
};

// The studio new components are made from: loaded on first use from
// QUELLVOX_STUDIO or the default. Never null.
std::shared_ptr<Studio> CurrentStudio();
void ReplaceStudio(std::shared_ptr<Studio> studio);
// Drops the current studio; the next CurrentStudio() loads again.
void DropStudio();

// The component objects (studio_objects.cpp).
HResult CreateDeviceEnumerator(const Guid& iid, void** out);
HResult CreateTitleEngineList(const Guid& iid, void** out);
HResult CreateTitleTarget(const Guid& iid, void** out);

}  // namespace quellvox::studio
