// Shared helpers of the pipeline tests: a small studio on the manual clock,
// an instance core with a message recorder, and bounded waits for the
// pipeline's threads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_core.h"
#include "tests/support/recording_messages.h"
#include "tests/support/ready_instance.h"
#include "tests/support/wait_for.h"
#include "pipeline/audio_pump.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "tests/support/status_assert.h"

namespace quellvox::pipeline_testing {

namespace st = quellvox::studio_test;

// The pipeline's threads make the progress, the studio's clock stands still.
using test_support::WaitFor;

// Adds a fault to the studio; the test fails if the rule is refused.
inline void Fault(const st::FaultRule& rule) {
  ASSERT_TRUE(test_support::IsOk(st::AddFault(rule)));
}

// The fifo of `layer` with the number `number`, or nullptr.
inline const st::FifoReport* FindFifo(const st::LayerReport& layer, int32_t number) {
  for (const auto& f : layer.Fifos) {
    if (f.Number == number) return &f;
  }
  return nullptr;
}

// Whether the layer presented every frame: none missing, late or repeated,
// no capture gap and no field in the wrong order.
inline ::testing::AssertionResult PresentedCleanly(const st::LayerReport& l) {
  if (l.Missing == 0 && l.Late == 0 && l.Repeated == 0 && l.CaptureGaps == 0 && l.FieldOrderErrors == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "missing " << l.Missing << ", late " << l.Late << ", repeated "
                                       << l.Repeated << ", capture gaps " << l.CaptureGaps << ", field order errors "
                                       << l.FieldOrderErrors;
}

inline constexpr int32_t kW = 256;
inline constexpr int32_t kH = 64;
inline constexpr int32_t kCam25 = 0;  // device and capture catalogue position
inline constexpr int32_t kCam50 = 1;
inline constexpr int32_t kE25 = 0;    // engine and title-engine catalogue position: 25p, 3 lines
inline constexpr int32_t kE25iTop = 1;     // 25 interlaced, top field first, 1 line
inline constexpr int32_t kE25iBottom = 2;  // 25 interlaced, bottom field first, 5 lines
inline constexpr int32_t kE50 = 3;         // 50p, 2 lines

// Capture positions start at 0 so that the tests can name them directly.
inline std::string PipelineStudio() {
  return R"({
  "devices": [
    {"kind": 2, "name": "Cam25", "width": 256, "height": 64, "rate": 25, "channels": 8,
     "ringSeconds": 8, "startPosition": 0,
     "audio": [{"source": "floor", "seed": 7}, {"source": "speech", "seed": 1},
               {"source": "tone", "frequency": 440, "levelDb": -12}, {"source": "tone", "frequency": 880}]},
    {"kind": 2, "name": "Cam50", "width": 256, "height": 64, "rate": 50, "channels": 8,
     "ringSeconds": 8, "startPosition": 0,
     "audio": [{"source": "floor", "seed": 8}, {"source": "speech", "seed": 2}]},
    {"kind": 12, "name": "Aux"}
  ],
  "engines": [
    {"name": "E25", "width": 256, "height": 64, "rate": 25, "stereoLines": 3, "startPosition": 700},
    {"name": "E25i top", "width": 256, "height": 64, "rate": 25, "interlaced": true, "fieldOrder": "top",
     "stereoLines": 1, "startPosition": 900},
    {"name": "E25i bottom", "width": 256, "height": 64, "rate": 25, "interlaced": true, "fieldOrder": "bottom",
     "stereoLines": 5, "startPosition": 300},
    {"name": "E50", "width": 256, "height": 64, "rate": 50, "stereoLines": 2, "startPosition": 50}
  ]
})";
}

class PipelineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterVirtualStudio();
    st::UseManualClock(0);
    st::ClearFaults();
    LoadStudio(PipelineStudio());
    live_ = st::LiveObjects();
    MakeCore();
  }

  void TearDown() override {
    core_.reset();
    st::ClearFaults();
    EXPECT_EQ(st::LiveObjects(), live_) << "a component reference was not released";
    st::UseManualClock(0);
  }

  void LoadStudio(const std::string& json) {
    ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionText(json)));
  }

  // A fresh instance with both catalogues filled and settings that relay
  // Cam25 into E25: speech (pair 1) over the floor (pair 0) on line 1.
  void MakeCore() {
    core_.reset();
    core_ = test_support::MakeInstance("#T", messages_);
    test_support::MakeRelaySettings(core_->Settings, kCam25, 1u << kE25, "Relay");
  }

  // Moves the manual clock so that capture positions below `newest` of the
  // device are captured.
  static void CaptureUpTo(int32_t device, int64_t newest) { st::AdvanceToCaptureFrame(device, newest - 1); }

  // Waits until each of the last `rows` capture objects made on the device
  // (one per row of a started pipeline) has answered one more position read:
  // every video thread has then finished the pass it was in.
  static void WaitForNextPass(int32_t device, int32_t rows) {
    for (int32_t r = 0; r < rows; ++r) {
      const int64_t seen = st::CapturePositionReads(device, r);
      EXPECT_TRUE(WaitFor([&] { return st::CapturePositionReads(device, r) > seen; })) << "row object " << r;
    }
  }

  // The assembled pipeline's pump context, its relay prepared, on the test
  // thread: the Copy functions can then be called directly.
  std::unique_ptr<PumpContext> Prepared() {
    const std::string text = core_->AssemblePipeline().Message();
    EXPECT_EQ(text, "");
    auto ctx = CreatePumpContext(core_->InstanceId, core_->Pipeline, core_->Settings);
    EXPECT_TRUE(ctx->Complete);
    EXPECT_TRUE(PrepareRelay(*ctx));
    return ctx;
  }

  static const st::LayerReport* Layer(const st::EngineReport& report, int32_t number = -1000) {
    return report.FindLayer(number);
  }

  RecordingMessages messages_;
  std::unique_ptr<InstanceCore> core_;
  int64_t live_ = 0;
};

// Everything written to standard error (the traces) while it lives.
class TraceCapture {
 public:
  TraceCapture() { ::testing::internal::CaptureStderr(); }
  ~TraceCapture() {
    if (!taken_) ::testing::internal::GetCapturedStderr();
  }
  std::string Take() {
    taken_ = true;
    return ::testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

}  // namespace quellvox::pipeline_testing
