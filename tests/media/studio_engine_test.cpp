// Title engines of the virtual studio: layers, presentation and fifos on the
// manual clock.
#include <numeric>

#include "studio_fixture.h"

namespace quellvox::testing_studio {
namespace {

constexpr int64_t kOut0 = 700000;  // engine 0's output position at time 0
constexpr int32_t kBytes = kW * kH * 2;

using st::EngineReport;
using st::LayerReport;

class TitleEngine : public StudioFixture {
 protected:
  void SetUp() override {
    StudioFixture::SetUp();
    Load(SmallStudio());
    capture_ = Video(0, kDeviceKindPrimary);
    target_ = AttachTarget(0);
    layer_ = MakeLayer(target_, -1000, 4);
    ASSERT_TRUE(layer_.Layer && layer_.Audio && layer_.Video);
  }
  void TearDown() override {
    layer_ = {};
    target_ = {};
    capture_ = nullptr;
    StudioFixture::TearDown();
  }

  // Lends a buffer, fills it with capture frame `capturePos` and submits it as `frameNumber`.
  HResult SubmitCaptureFrame(const LayerSet& layer, int64_t capturePos, int32_t frameNumber) {
    uint8_t* buffer = nullptr;
    int32_t size = kBytes;
    HResult hr = layer.Video->GetBuffer(kBytes, kBytes, &buffer, &size, 0);
    if (hr != S_OK) return hr;
    if (st::CaptureNewestPosition(0) <= capturePos) st::AdvanceToCaptureFrame(0, capturePos);
    int64_t pos = capturePos;
    hr = capture_->ReadFrame(buffer, size, kW * 2, &pos, nullptr, 2);
    if (hr != S_OK) return hr;
    FrameDescriptor d{2, frameNumber, kW, kH, kBytes};
    return layer.Video->SubmitBuffer(0, kBytes, &d);
  }

  const LayerReport& Report(int32_t number = -1000) {
    report_ = st::GetEngineReport(0);
    const LayerReport* l = report_.FindLayer(number);
    EXPECT_NE(l, nullptr);
    static const LayerReport empty;
    return l ? *l : empty;
  }

  ComPtr<IZRCaptureVideoEx> capture_;
  Target target_;
  LayerSet layer_;
  EngineReport report_;
};

TEST_F(TitleEngine, ClockGivesTheOutputPositionAndItsStartTime) {
  st::SetClock(st::EngineOutputTime(0, kOut0 + 3) + 5);
  int64_t pos = 0, time = 0;
  ASSERT_EQ(target_.Clock->GetClock(&pos, nullptr, &time, nullptr), S_OK);
  EXPECT_EQ(pos, kOut0 + 3);
  EXPECT_EQ(time, 3 * 400'000);
}

TEST_F(TitleEngine, ALayerNumberTakenOnTheEngineIsRefusedWithAPositiveCode) {
  Target other = AttachTarget(0);
  ComPtr<Unknown> object;
  ComStringHolder name(ComStringFromUtf8("Relay"));
  const HResult hr = other.Regions->CreateLayer(name.Get(), -1000, 0, 4, object.Put());
  EXPECT_GT(hr, 0);
  EXPECT_FALSE(object);
  EXPECT_EQ(other.Regions->CreateLayer(name.Get(), -1001, 0, 4, object.Put()), S_OK);
}

TEST_F(TitleEngine, ALayerNumberIsFreeAgainOnceItsLayerIsReleased) {
  layer_ = {};
  ComPtr<Unknown> object;
  ComStringHolder name(ComStringFromUtf8("Relay"));
  EXPECT_EQ(target_.Regions->CreateLayer(name.Get(), -1000, 0, 4, object.Put()), S_OK);
}

TEST_F(TitleEngine, SameNumberOnAnotherEngineIsAccepted) {
  Target other = AttachTarget(1);
  LayerSet l = MakeLayer(other, -1000);
  EXPECT_TRUE(l.Video);
}

TEST_F(TitleEngine, SubmittedFrameIsPresentedAtTheBasePlusItsNumber) {
  ASSERT_EQ(layer_.Video->SetPosition(1, 1, static_cast<int32_t>(kOut0 + 10)), S_OK);
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart, 0), S_OK);
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart + 1, 1), S_OK);
  st::AdvanceToEngineOutput(0, kOut0 + 11);
  const LayerReport& r = Report();
  EXPECT_EQ(r.OnTime, 2);
  EXPECT_EQ(r.Missing, 0);
  EXPECT_EQ(r.Late, 0);
  ASSERT_EQ(r.Log.size(), 2u);
  EXPECT_EQ(r.Log[0].OutputPosition, kOut0 + 10);
  EXPECT_EQ(r.Log[0].FrameNumber, 0);
  EXPECT_EQ(r.Log[0].CaptureFrame, kStart);
  EXPECT_EQ(r.Log[1].OutputPosition, kOut0 + 11);
  EXPECT_EQ(r.Log[1].CaptureFrame, kStart + 1);
}

TEST_F(TitleEngine, StatusNamesTheFrameNumberPresentedNow) {
  ASSERT_EQ(layer_.Video->SetPosition(1, 1, static_cast<int32_t>(kOut0 + 10)), S_OK);
  st::AdvanceToEngineOutput(0, kOut0 + 14);
  LayerStatus status;
  ASSERT_EQ(layer_.Video->GetStatus(&status), S_OK);
  EXPECT_EQ(status.OutputFrame(), 4);
}

TEST_F(TitleEngine, PositionsWithoutAFrameFromTheBaseOnAreMissing) {
  ASSERT_EQ(layer_.Video->SetPosition(1, 1, static_cast<int32_t>(kOut0 + 2)), S_OK);
  st::AdvanceToEngineOutput(0, kOut0 + 6);  // 2, 3, 4, 5, 6 expected
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart, 5), S_OK);  // 7: on time
  st::AdvanceToEngineOutput(0, kOut0 + 7);
  const LayerReport& r = Report();
  EXPECT_EQ(r.Missing, 5);
  EXPECT_EQ(r.OnTime, 1);
}

TEST_F(TitleEngine, AFrameSubmittedAfterItsPositionPassedIsLate) {
  ASSERT_EQ(layer_.Video->SetPosition(1, 1, static_cast<int32_t>(kOut0)), S_OK);
  st::AdvanceToEngineOutput(0, kOut0 + 3);
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart, 3), S_OK);
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart + 1, 4), S_OK);
  st::AdvanceToEngineOutput(0, kOut0 + 4);
  const LayerReport& r = Report();
  EXPECT_EQ(r.Late, 1);
  EXPECT_EQ(r.OnTime, 1);
  EXPECT_EQ(r.Missing, 3);  // 1 to 3: position 0 was already on air when the base was set
}

TEST_F(TitleEngine, RepeatedAndOutOfOrderCaptureFramesAreReadBackFromThePicture) {
  st::AdvanceToCaptureFrame(0, kStart + 8);
  const int64_t base = st::EngineOutputPosition(0) + 1;
  ASSERT_EQ(layer_.Video->SetPosition(1, 1, static_cast<int32_t>(base)), S_OK);
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart + 5, 0), S_OK);
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart + 5, 1), S_OK);  // repeated
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart + 4, 2), S_OK);  // out of order
  st::AdvanceToEngineOutput(0, base + 2);
  ASSERT_EQ(SubmitCaptureFrame(layer_, kStart + 8, 3), S_OK);  // 5, 6, 7 left out
  st::AdvanceToEngineOutput(0, base + 3);
  const LayerReport& r = Report();
  EXPECT_EQ(r.OnTime, 4);
  EXPECT_EQ(r.Repeated, 1);
  EXPECT_EQ(r.OutOfOrder, 1);
  EXPECT_EQ(r.CaptureGaps, 3);
}

TEST_F(TitleEngine, ALentBufferNeverSubmittedGoesBackToThePool) {
  for (int i = 0; i < 10; ++i) {
    uint8_t* buffer = nullptr;
    int32_t size = kBytes;
    ASSERT_EQ(layer_.Video->GetBuffer(kBytes, kBytes, &buffer, &size, 0), S_OK) << i;
    EXPECT_EQ(size, kBytes);
  }
}

TEST_F(TitleEngine, ThePoolHoldsAsManyQueuedFramesAsTheLayersDepth) {
  st::AdvanceToCaptureFrame(0, kStart + 3);
  const int64_t base = st::EngineOutputPosition(0) + 1;
  ASSERT_EQ(layer_.Video->SetPosition(1, 1, static_cast<int32_t>(base)), S_OK);
  for (int32_t f = 0; f < 4; ++f) ASSERT_EQ(SubmitCaptureFrame(layer_, kStart + f, f), S_OK);
  uint8_t* buffer = nullptr;
  int32_t size = kBytes;
  EXPECT_NE(layer_.Video->GetBuffer(kBytes, kBytes, &buffer, &size, 0), S_OK);
  st::AdvanceToEngineOutput(0, base);  // frame 0 presented, its buffer free
  EXPECT_EQ(layer_.Video->GetBuffer(kBytes, kBytes, &buffer, &size, 0), S_OK);
}

TEST_F(TitleEngine, SubmitWithoutALentBufferIsRefused) {
  FrameDescriptor d{2, 0, kW, kH, kBytes};
  EXPECT_NE(layer_.Video->SubmitBuffer(0, kBytes, &d), S_OK);
}

TEST_F(TitleEngine, VisibilityFollowsTheWordAtByteTwenty) {
  const uint32_t zero = 0;
  LayerVisibilityBlock block;
  block.SetShown(true);
  ASSERT_EQ(layer_.Layer->SetProperty(kLayerPropertyVisibility, &zero, &block), S_OK);
  EXPECT_TRUE(Report().Shown);
  block.SetShown(false);
  ASSERT_EQ(layer_.Layer->SetProperty(kLayerPropertyVisibility, &zero, &block), S_OK);
  EXPECT_FALSE(Report().Shown);
}

TEST_F(TitleEngine, AudioInfoGivesTheEnginesStereoLines) {
  int32_t lines = 0;
  ASSERT_EQ(layer_.Audio->GetAudioInfo(&lines), S_OK);
  EXPECT_EQ(lines, 3);
}

class TitleEngineAudio : public TitleEngine {
 protected:
  void SetUp() override {
    TitleEngine::SetUp();
    st::KeepPresentedAudio(48000);  // for the fifos the tests create
  }

  // Creates `fifo`, `depth` deep, starts it at `initPosition` and puts the
  // engine's video at kOut0 + `videoFrame`.
  void StartFifo(int32_t fifo, int32_t depth, int32_t initPosition, int64_t videoFrame) {
    ASSERT_EQ(layer_.Audio->CreateFifo(fifo, depth), S_OK);
    ASSERT_EQ(layer_.Audio->InitFifo(fifo, initPosition), S_OK);
    ASSERT_EQ(layer_.Video->SetPosition(1, 1, static_cast<int32_t>(kOut0 + videoFrame)), S_OK);
  }

  std::vector<float> Ramp(int32_t frames, float from) {
    std::vector<float> v(static_cast<size_t>(frames) * 2);
    for (int32_t i = 0; i < frames; ++i) {
      v[2 * i] = from + static_cast<float>(i);
      v[2 * i + 1] = -(from + static_cast<float>(i));
    }
    return v;
  }
};

TEST_F(TitleEngineAudio, FifoAudioIsPresentedFromTheBasePlusItsInitPosition) {
  ASSERT_NO_FATAL_FAILURE(StartFifo(1, 20, 2, 10));
  const std::vector<float> block = Ramp(1920, 1.0f);
  uint32_t accepted = 0;
  ASSERT_EQ(layer_.Audio->WriteFifo(1, 1920 * 8, block.data(), &accepted, 0), S_OK);
  EXPECT_EQ(accepted, 1920u);
  st::AdvanceToEngineOutput(0, kOut0 + 13);
  const LayerReport& r = Report();
  ASSERT_EQ(r.Fifos.size(), 1u);
  const auto& f = r.Fifos[0];
  EXPECT_EQ(f.PresentedStartSample, st::EngineSampleOfPosition(0, kOut0 + 12));
  EXPECT_EQ(f.PresentedSamples, 1920);
  EXPECT_EQ(f.SilenceSamples, 1920);  // position 13 had nothing
  ASSERT_GE(f.Presented.size(), block.size());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), f.Presented.begin()));
}

TEST_F(TitleEngineAudio, AudioWrittenAfterItsTimeIsDroppedAsLate) {
  ASSERT_NO_FATAL_FAILURE(StartFifo(0, 20, 0, 1));
  st::AdvanceToEngineOutput(0, kOut0 + 1);  // frame 0's audio is taken now
  const std::vector<float> block = Ramp(1920 * 2, 1.0f);
  uint32_t accepted = 0;
  ASSERT_EQ(layer_.Audio->WriteFifo(0, 1920 * 2 * 8, block.data(), &accepted, 0), S_OK);
  EXPECT_EQ(accepted, 1920u);
  st::AdvanceToEngineOutput(0, kOut0 + 2);
  const auto& f = Report().Fifos[0];
  EXPECT_EQ(f.LateSamples, 1920);
  EXPECT_EQ(f.PresentedSamples, 1920);
  EXPECT_EQ(f.SilenceSamples, 1920);
}

TEST_F(TitleEngineAudio, AFullFifoRefusesTheWriteWithAPositiveCode) {
  ASSERT_NO_FATAL_FAILURE(StartFifo(0, 2, 0, 1));
  const std::vector<float> block = Ramp(1920, 0.0f);
  uint32_t accepted = 0;
  EXPECT_EQ(layer_.Audio->WriteFifo(0, 1920 * 8, block.data(), &accepted, 0), S_OK);
  EXPECT_EQ(layer_.Audio->WriteFifo(0, 1920 * 8, block.data(), &accepted, 0), S_OK);
  EXPECT_GT(layer_.Audio->WriteFifo(0, 1920 * 8, block.data(), &accepted, 0), 0);
  st::AdvanceToEngineOutput(0, kOut0 + 1);
  EXPECT_EQ(layer_.Audio->WriteFifo(0, 1920 * 8, block.data(), &accepted, 0), S_OK);
  EXPECT_EQ(Report().Fifos[0].RefusedWrites, 1);
}

TEST_F(TitleEngineAudio, ReinitialisingAFifoMovesItsWritePosition) {
  ASSERT_NO_FATAL_FAILURE(StartFifo(1, 20, 0, 1));
  const std::vector<float> block = Ramp(1920, 1.0f);
  ASSERT_EQ(layer_.Audio->WriteFifo(1, 1920 * 8, block.data(), nullptr, 0), S_OK);
  ASSERT_EQ(layer_.Audio->InitFifo(1, 3), S_OK);
  ASSERT_EQ(layer_.Audio->WriteFifo(1, 1920 * 8, block.data(), nullptr, 0), S_OK);
  st::AdvanceToEngineOutput(0, kOut0 + 4);  // frames 0..3 taken: data, hole, hole, data
  const auto& f = Report().Fifos[0];
  EXPECT_EQ(f.PresentedSamples, 2 * 1920);
  EXPECT_EQ(f.SilenceSamples, 2 * 1920);
  ASSERT_GE(f.Presented.size(), 4u * 1920 * 2);
  EXPECT_EQ(f.Presented[3 * 1920 * 2], 1.0f);
}

TEST_F(TitleEngineAudio, MovingAFifoBackDropsWhatWasQueuedBeyondTheNewPosition) {
  ASSERT_NO_FATAL_FAILURE(StartFifo(1, 20, 0, 1));
  const std::vector<float> block = Ramp(1920 * 3, 1.0f);
  ASSERT_EQ(layer_.Audio->WriteFifo(1, 1920 * 3 * 8, block.data(), nullptr, 0), S_OK);
  ASSERT_EQ(layer_.Audio->InitFifo(1, 1), S_OK);
  st::AdvanceToEngineOutput(0, kOut0 + 3);
  const auto& f = Report().Fifos[0];
  EXPECT_EQ(f.DiscardedSamples, 2 * 1920);
  EXPECT_EQ(f.PresentedSamples, 1920);
}

TEST_F(TitleEngineAudio, MuteAndVolumeAreKeptPerFifo) {
  ASSERT_EQ(layer_.Audio->CreateFifo(1, 20), S_OK);
  ASSERT_EQ(layer_.Audio->SetMute(1, 1), S_OK);
  ASSERT_EQ(layer_.Audio->SetVolume(1, 0.5), S_OK);
  ASSERT_EQ(layer_.Audio->InitFifo(1, 0), S_OK);
  ASSERT_EQ(layer_.Video->SetPosition(1, 1, static_cast<int32_t>(kOut0 + 1)), S_OK);
  const auto& f = Report().Fifos[0];
  EXPECT_TRUE(f.Muted);
  EXPECT_EQ(f.Volume, 0.5);
}

TEST_F(TitleEngine, InterlacedEngineReadsBothFieldsOfAWovenFrame) {
  layer_ = {};
  Target t = AttachTarget(1);
  LayerSet l = MakeLayer(t, -1000, 4);
  st::AdvanceToCaptureFrame(0, kStart + 3);
  const int64_t base = st::EngineOutputPosition(1) + 1;
  ASSERT_EQ(l.Video->SetPosition(1, 1, static_cast<int32_t>(base)), S_OK);
  const int32_t pitch = kW * 2;
  auto weave = [&](int64_t first, int64_t second, int32_t number) {
    uint8_t* buffer = nullptr;
    int32_t size = kBytes;
    ASSERT_EQ(l.Video->GetBuffer(kBytes, kBytes, &buffer, &size, 0), S_OK);
    st::AdvanceToCaptureFrame(0, std::max(first, second));
    int64_t p = first;
    ASSERT_EQ(capture_->ReadField(buffer, size, 2 * pitch, &p, nullptr, 2, 1), S_OK);
    p = second;
    ASSERT_EQ(capture_->ReadField(buffer + pitch, size, 2 * pitch, &p, nullptr, 2, 0), S_OK);
    FrameDescriptor d{2, number, kW, kH, kBytes};
    ASSERT_EQ(l.Video->SubmitBuffer(0, kBytes, &d), S_OK);
  };
  weave(kStart, kStart + 1, 0);
  weave(kStart + 3, kStart + 2, 1);  // fields swapped
  st::AdvanceToEngineOutput(1, base + 1);
  EngineReport rep = st::GetEngineReport(1);
  const LayerReport* r = rep.FindLayer(-1000);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->Log.size(), 2u);
  EXPECT_EQ(r->Log[0].CaptureFrame, kStart);
  EXPECT_EQ(r->Log[0].LaterFieldFrame, kStart + 1);
  EXPECT_EQ(r->FieldOrderErrors, 1);
}

// SetPosition and InitFifo carry 32-bit positions; an engine whose output
// position has left the 32-bit range takes them by their low bits, also
// across a carry into bit 32.
TEST_F(StudioFixture, OutputPositionsBeyondThirtyTwoBitsTakeTheBaseByItsLowBits) {
  // Two frames after the start the output stands at 2^33 - 2.
  constexpr int64_t kFar = (int64_t{1} << 33) - 2;
  Load(R"({"devices": [{"kind": 2, "width": 384, "height": 216, "rate": 25, "channels": 2, "startPosition": 0}],
           "engines": [{"name": "Far", "width": 384, "height": 216, "rate": 25, "startPosition": 8589934588}]})");
  st::KeepPresentedAudio(48000);
  {
    auto capture = Video(0, kDeviceKindPrimary);
    Target t = AttachTarget(0);
    LayerSet l = MakeLayer(t, -1000, 4);
    ASSERT_EQ(l.Audio->CreateFifo(0, 20), S_OK);
    ASSERT_EQ(l.Audio->InitFifo(0, 0), S_OK);
    st::AdvanceToCaptureFrame(0, 1);
    ASSERT_EQ(st::EngineOutputPosition(0), kFar);
    ASSERT_EQ(l.Video->SetPosition(1, 1, static_cast<int32_t>(static_cast<uint32_t>(kFar + 1))), S_OK);  // -1
    for (int32_t f = 0; f < 2; ++f) {
      uint8_t* buffer = nullptr;
      int32_t size = kBytes;
      ASSERT_EQ(l.Video->GetBuffer(kBytes, kBytes, &buffer, &size, 0), S_OK);
      int64_t pos = f;
      ASSERT_EQ(capture->ReadFrame(buffer, size, kW * 2, &pos, nullptr, 2), S_OK);
      FrameDescriptor d{2, f, kW, kH, kBytes};
      ASSERT_EQ(l.Video->SubmitBuffer(0, kBytes, &d), S_OK);
    }
    const std::vector<float> block(1920 * 2, 0.25f);
    ASSERT_EQ(l.Audio->WriteFifo(0, 1920 * 8, block.data(), nullptr, 0), S_OK);
    st::AdvanceToEngineOutput(0, kFar + 2);
    LayerStatus status;
    ASSERT_EQ(l.Video->GetStatus(&status), S_OK);
    EXPECT_EQ(status.OutputFrame(), 1);
    const EngineReport report = st::GetEngineReport(0);
    const LayerReport* r = report.FindLayer(-1000);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->OnTime, 2);
    EXPECT_EQ(r->Late + r->Missing, 0);
    ASSERT_EQ(r->Log.size(), 2u);
    EXPECT_EQ(r->Log[0].OutputPosition, kFar + 1);
    EXPECT_EQ(r->Log[1].OutputPosition, kFar + 2);
    EXPECT_EQ(r->Log[1].CaptureFrame, 1);
    ASSERT_EQ(r->Fifos.size(), 1u);
    EXPECT_EQ(r->Fifos[0].PresentedStartSample, st::EngineSampleOfPosition(0, kFar + 1));
    EXPECT_EQ(r->Fifos[0].PresentedSamples, 1920);
  }
  st::KeepPresentedAudio(0);
}

TEST_F(TitleEngine, AnEngineDescribedAsNotUsableCannotBeAttached) {
  Load(R"({"engines": [{"name": "Down", "width": 384, "height": 216, "usable": false}]})");
  ComPtr<IZRTitleEngine> e;
  ASSERT_EQ(CreateInstance(kClsidTitleTarget, e), S_OK);
  EXPECT_LT(e->Attach(&kClsidTitleEngineList, 0), 0);
  EXPECT_LT(e->Attach(&kClsidTitleTarget, 0), 0);
}

TEST_F(TitleEngine, ATargetAnswersOnlyAfterItIsAttached) {
  ComPtr<IZRTitleEngine> e;
  ASSERT_EQ(CreateInstance(kClsidTitleTarget, e), S_OK);
  VideoFormat f;
  EXPECT_LT(e->GetFrameRate(&f), 0);
  ASSERT_EQ(e->Attach(&kClsidTitleEngineList, 1), S_OK);
  ASSERT_EQ(e->GetFrameRate(&f), S_OK);
  EXPECT_EQ(f.Rate, 25.0);
  EXPECT_GE(f.FieldPhase2, 0.001);
  EXPECT_NE(f.FieldOrder, 0);
}

}  // namespace
}  // namespace quellvox::testing_studio
