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

#include "platform/engine_core/engine_core.h"
#include "platform/media_api/media_components.h"
#include "platform/media/audio_generators.h"
#include "platform/media/fault_table.h"
#include "platform/media/studio_description.h"
#include "platform/media/test_pattern.h"

namespace quellvox::studio {

// Codes of the studio besides the common ones.
inline constexpr HResult kUnexpected = E_UNEXPECTED;                                 // not attached, nothing lent
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
// they presented (engine_core), and what the studio adds: the frame numbers
// read back from each presented picture, a log of them, and the recording
// of the program audio.
class EngineState final : public engine::EngineCore {
 public:
  EngineState(Studio& studio, const EngineDescription& desc, int32_t index);
  ~EngineState() override;

  const EngineDescription& Desc() const { return desc_; }
  int32_t Index() const { return index_; }

  studio_test::EngineReports Reports();
  void SetReports(const studio_test::EngineReports& reports);

  using Layer = engine::Layer;
  // 0 and the new layer; kRefused when the number is taken by a live layer,
  // E_OUTOFMEMORY when its buffers or the engine's recording cannot be held.
  HResult CreateLayer(const std::string& name, int32_t number, int32_t depth, Layer*& out);
  void ReleaseLayer(Layer* layer) { ReleaseLayerCore(layer); }

  studio_test::EngineReport Report();
  // Writes <folder>/engine-<index>.json and .wav when the description asks.
  void WriteRecording(const std::string& folder);

 private:
  struct Stamps;
  int64_t Now() const override;
  void LayerAddingLocked() override;
  int64_t KeepPresentedLocked() const override;
  void SubmittedLocked(Layer& layer, Layer::Queued& queued, const uint8_t* image) override;
  engine::MixTarget BeginPositionLocked(int64_t q, int64_t a, int64_t b) override;
  void PresentedLocked(Layer& layer, const Layer::Queued& queued, int64_t q) override;
  void EndPositionLocked(int64_t q, int64_t a, int64_t b) override;

  Studio& studio_;
  EngineDescription desc_;
  int32_t index_;

  // Under mu_.
  studio_test::EngineReports reports_;
  std::vector<float> mix_;        // one output frame of program audio, 2 x lines floats per sample
  bool recording_ = false;
  bool recordingPosition_ = false;  // the position being evaluated is recorded
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
