// Fault injection of the virtual studio.
#include "studio_fixture.h"
#include "tests/support/status_assert.h"

namespace quellvox::testing_studio {
namespace {

class StudioFaults : public StudioFixture {
 protected:
  void SetUp() override {
    StudioFixture::SetUp();
    Load(SmallStudio());
    st::AdvanceToCaptureFrame(0, kStart + 20);
    video_ = Video(0, kDeviceKindPrimary);
    buffer_.resize(static_cast<size_t>(kW) * kH * 2);
  }
  void TearDown() override {
    video_ = nullptr;
    StudioFixture::TearDown();
  }
  void Add(st::FaultRule rule) {
    ASSERT_TRUE(test_support::IsOk(st::AddFault(rule)));
  }
  HResult Read(int64_t& pos) {
    return video_->ReadFrame(buffer_.data(), static_cast<int32_t>(buffer_.size()), kW * 2, &pos, nullptr, 2);
  }
  HResult ReadAt(int64_t at) {
    int64_t pos = at;
    return Read(pos);
  }

  ComPtr<IZRCaptureVideoEx> video_;
  std::vector<uint8_t> buffer_;
};

TEST_F(StudioFaults, OnceFailsTheFirstCallOnly) {
  Add(st::FaultRule::On("ReadFrame").At("device 0").Returning(E_ACCESSDENIED));
  EXPECT_EQ(ReadAt(kStart), E_ACCESSDENIED);
  EXPECT_EQ(ReadAt(kStart), S_OK);
  EXPECT_EQ(ReadAt(kStart), S_OK);
  EXPECT_EQ(st::FaultsFired(), 1);
}

TEST_F(StudioFaults, EveryNthCallFailsAfterTheSkippedOnes) {
  Add(st::FaultRule::On("ReadFrame").Returning(7).EveryNth(3).Skipping(2));
  std::vector<HResult> got;
  for (int i = 0; i < 10; ++i) got.push_back(ReadAt(kStart));
  const std::vector<HResult> want = {0, 0, 0, 0, 7, 0, 0, 7, 0, 0};
  EXPECT_EQ(got, want);
}

TEST_F(StudioFaults, RandomFaultsFollowTheirRateAndRepeatWithTheSeed) {
  auto run = [&] {
    st::ClearFaults();
    Add(st::FaultRule::On("GetPosition").Randomly(0.25, 42));
    std::vector<bool> failed;
    for (int i = 0; i < 2000; ++i) {
      int64_t pos = 0;
      failed.push_back(video_->GetPosition(nullptr, nullptr, &pos, nullptr) != S_OK);
    }
    return failed;
  };
  const auto first = run();
  const auto second = run();
  EXPECT_EQ(first, second);
  const auto n = std::count(first.begin(), first.end(), true);
  EXPECT_NEAR(static_cast<double>(n) / 2000.0, 0.25, 0.04);
}

TEST_F(StudioFaults, AFaultOnAnotherDeviceLeavesThisOneAlone) {
  Add(st::FaultRule::On("ReadFrame").At("device 1").EveryNth(1));
  EXPECT_EQ(ReadAt(kStart), S_OK);
}

TEST_F(StudioFaults, ACaptureCanDeliverALaterFrameThanAsked) {
  Add(st::FaultRule::On("ReadFrame").DeliveringLater(3));
  int64_t pos = kStart + 5;
  ASSERT_EQ(Read(pos), S_OK);
  EXPECT_EQ(pos, kStart + 8);
  EXPECT_EQ(st::DecodeFrameNumber(buffer_.data(), kW, kH, kW * 2), kStart + 8);
  pos = kStart + 5;
  ASSERT_EQ(Read(pos), S_OK);
  EXPECT_EQ(pos, kStart + 5);
}

TEST_F(StudioFaults, ALaterFrameIsNeverBeyondTheNewest) {
  Add(st::FaultRule::On("ReadAudio").DeliveringLater(50));
  ComPtr<IZRCaptureAudio> audio;
  ASSERT_GE(video_.As(audio), 0);
  std::vector<float> block(307200 / 4);
  int64_t pos = kStart + 10;
  int32_t bytes = 0;
  ASSERT_EQ(audio->ReadAudio(block.data(), 307200, &pos, &bytes, 2, 0xFF), S_OK);
  EXPECT_EQ(pos, kStart + 20);
}

TEST_F(StudioFaults, AQueryCanBeMadeToFailForOneInterface) {
  Add(st::FaultRule::On("QueryInterface").ForInterface("IZRCaptureAudio").Returning(E_NOINTERFACE).EveryNth(1));
  ComPtr<IZRCaptureAudio> audio;
  EXPECT_EQ(video_.As(audio), E_NOINTERFACE);
  ComPtr<IZRCaptureVideoEx> again;
  EXPECT_EQ(video_.As(again), S_OK);
}

TEST_F(StudioFaults, ComponentCreationCanFail) {
  Add(st::FaultRule::On("CreateTitleTarget").Returning(REGDB_E_CLASSNOTREG));
  ComPtr<IZRTitleEngine> e;
  EXPECT_EQ(CreateInstance(kClsidTitleTarget, e), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CreateInstance(kClsidTitleTarget, e), S_OK);
}

TEST_F(StudioFaults, LayerOperationsFailOnTheirEngineOnly) {
  Add(st::FaultRule::On("WriteFifo").At("engine 1").EveryNth(1));
  Target t0 = AttachTarget(0);
  Target t1 = AttachTarget(1);
  LayerSet l0 = MakeLayer(t0, -1000);
  LayerSet l1 = MakeLayer(t1, -1000);
  ASSERT_EQ(l0.Audio->CreateFifo(0, 10), S_OK);
  ASSERT_EQ(l1.Audio->CreateFifo(0, 10), S_OK);
  const float data[4] = {};
  EXPECT_EQ(l0.Audio->WriteFifo(0, 16, data, nullptr, 0), S_OK);
  EXPECT_EQ(l1.Audio->WriteFifo(0, 16, data, nullptr, 0), E_FAIL);
}

TEST_F(StudioFaults, AnEngineCanReportAnotherFormatThanItHas) {
  st::EngineReports reports;
  reports.Width = 1280;
  reports.Height = 720;
  reports.Rate = 50.0;
  reports.FieldPhase1 = 0.0;
  reports.FieldPhase2 = 0.0;
  reports.FieldOrder = 0;
  reports.StereoLines = -1;
  st::SetEngineReports(1, reports);
  Target t = AttachTarget(1);
  int32_t w = 0, h = 0;
  ASSERT_EQ(t.Regions->GetRegionSize(&w, &h, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 720);
  VideoFormat f;
  ASSERT_EQ(t.Engine->GetFrameRate(&f), S_OK);
  EXPECT_EQ(f.Rate, 50.0);
  EXPECT_LT(f.FieldPhase2, 0.001);
  EXPECT_EQ(f.FieldOrder, 0);
  LayerSet l = MakeLayer(t, -1000);
  int32_t lines = 0;
  ASSERT_EQ(l.Audio->GetAudioInfo(&lines), S_OK);
  EXPECT_EQ(lines, -1);
  // Its real output is unchanged: a buffer of its true size is lent.
  uint8_t* buffer = nullptr;
  int32_t size = kW * kH * 2;
  EXPECT_EQ(l.Video->GetBuffer(size, size, &buffer, &size, 0), S_OK);
}

TEST_F(StudioFaults, BadRulesAreRefused) {
  EXPECT_FALSE(st::AddFault(st::FaultRule::On("ReadFrames")).IsOk());
  EXPECT_FALSE(st::AddFault(st::FaultRule::On("ReadFrame").At("device x")).IsOk());
  EXPECT_FALSE(st::AddFault(st::FaultRule::On("WriteFifo").DeliveringLater(2)).IsOk());
  EXPECT_FALSE(st::AddFault(st::FaultRule::On("ReadFrame").EveryNth(0)).IsOk());
}

TEST_F(StudioFaults, FaultsFromTheDescriptionAreActive) {
  Load(SmallStudio().substr(0, SmallStudio().rfind('}')) +
       R"(, "faults": [{"target": "device 0", "operation": "GetVideoFormat", "code": "0x80004005"}]})");
  auto v = Video(0, kDeviceKindPrimary);
  VideoFormat f;
  EXPECT_EQ(v->GetVideoFormat(&f), E_FAIL);
  EXPECT_EQ(v->GetVideoFormat(&f), S_OK);
}

}  // namespace
}  // namespace quellvox::testing_studio
