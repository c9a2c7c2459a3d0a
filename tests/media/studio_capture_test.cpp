// Capture devices of the virtual studio on the manual clock.
#include <atomic>
#include <thread>
#include <vector>

#include "studio_fixture.h"
#include "tests/support/status_assert.h"

namespace quellvox::testing_studio {
namespace {

class CaptureObject : public StudioFixture {
 protected:
  void SetUp() override {
    StudioFixture::SetUp();
    Load(SmallStudio());
    video_ = Video(0, kDeviceKindPrimary);
    audio_ = Audio(0, kDeviceKindPrimary);
    ASSERT_TRUE(video_ && audio_);
    frame_.assign(static_cast<size_t>(kW) * kH * 2, 0);
  }
  void TearDown() override {
    video_ = nullptr;
    audio_ = nullptr;
    StudioFixture::TearDown();
  }

  int64_t Newest() {
    int64_t pos = 0;
    uint32_t w1 = 1, w2 = 1, w3 = 1;
    EXPECT_EQ(video_->GetPosition(&w1, &w2, &pos, &w3), S_OK);
    return pos;
  }
  HResult ReadFrame(int64_t& pos) {
    int32_t notRead = 0;
    return video_->ReadFrame(frame_.data(), static_cast<int32_t>(frame_.size()), kW * 2, &pos, &notRead, 2);
  }
  int64_t Stamp() { return st::DecodeFrameNumber(frame_.data(), kW, kH, kW * 2); }

  ComPtr<IZRCaptureVideoEx> video_;
  ComPtr<IZRCaptureAudio> audio_;
  std::vector<uint8_t> frame_;
};

TEST_F(CaptureObject, StartsAtItsDescribedPositionBeyondThirtyTwoBits) {
  EXPECT_EQ(Newest(), kStart);
  int64_t pos = 0, time = -1;
  EXPECT_EQ(video_->GetStartPosition(&pos, &time), S_OK);
  EXPECT_EQ(pos, kStart);
  EXPECT_EQ(time, 0);
}

TEST_F(CaptureObject, FrameBecomesReadableExactlyWhenItsTimePasses) {
  const int64_t ready = st::CaptureReadableTime(0, kStart);
  EXPECT_EQ(ready, 400'000);  // one frame at 25 frames/s
  st::SetClock(ready - 1);
  int64_t pos = kStart;
  EXPECT_NE(ReadFrame(pos), S_OK);
  EXPECT_EQ(Newest(), kStart);
  st::SetClock(ready);
  EXPECT_EQ(Newest(), kStart + 1);
  pos = kStart;
  ASSERT_EQ(ReadFrame(pos), S_OK);
  EXPECT_EQ(pos, kStart);
  EXPECT_EQ(Stamp(), kStart);
}

TEST_F(CaptureObject, ReadOfAFrameNotYetCapturedWritesNothing) {
  int64_t pos = kStart + 3;
  EXPECT_EQ(ReadFrame(pos), E_PENDING);
  EXPECT_EQ(pos, kStart + 3);
  EXPECT_EQ(frame_[1], 0);
}

TEST_F(CaptureObject, FrameLeavesTheRingAfterItsDepthAndTheOldestHeldIsDelivered) {
  // 2 s at 25 frames/s: 50 frames stay readable.
  st::AdvanceToCaptureFrame(0, kStart + 59);
  EXPECT_EQ(Newest(), kStart + 60);
  int64_t pos = kStart + 10;
  ASSERT_EQ(ReadFrame(pos), S_OK);
  EXPECT_EQ(pos, kStart + 10);
  pos = kStart + 9;
  ASSERT_EQ(ReadFrame(pos), S_OK);
  EXPECT_EQ(pos, kStart + 10);
  EXPECT_EQ(Stamp(), kStart + 10);
}

TEST_F(CaptureObject, ReadFrameHonoursTheCallersPitch) {
  st::AdvanceToCaptureFrame(0, kStart + 4);
  const int32_t pitch = kW * 2 + 64;
  std::vector<uint8_t> wide(static_cast<size_t>(pitch) * kH, 0xAB);
  int64_t pos = kStart + 4;
  ASSERT_EQ(video_->ReadFrame(wide.data(), static_cast<int32_t>(wide.size()), pitch, &pos, nullptr, 2), S_OK);
  EXPECT_EQ(st::DecodeFrameNumber(wide.data(), kW, kH, pitch), kStart + 4);
  EXPECT_EQ(wide[static_cast<size_t>(kW) * 2], 0xAB);  // padding untouched
}

TEST_F(CaptureObject, ReadFrameRefusesABufferTooSmallForTheFrame) {
  st::AdvanceToCaptureFrame(0, kStart);
  int64_t pos = kStart;
  EXPECT_NE(video_->ReadFrame(frame_.data(), static_cast<int32_t>(frame_.size()) - 1, kW * 2, &pos, nullptr, 2), S_OK);
  EXPECT_EQ(frame_[1], 0);
}

TEST_F(CaptureObject, FrameContentIsTheSameOnEveryRead) {
  st::AdvanceToCaptureFrame(0, kStart + 2);
  int64_t pos = kStart + 1;
  ASSERT_EQ(ReadFrame(pos), S_OK);
  const std::vector<uint8_t> first = frame_;
  pos = kStart + 2;
  ASSERT_EQ(ReadFrame(pos), S_OK);
  EXPECT_NE(first, frame_) << "the pattern moves";
  pos = kStart + 1;
  ASSERT_EQ(ReadFrame(pos), S_OK);
  EXPECT_EQ(first, frame_);
}

TEST_F(CaptureObject, WovenFieldsEachCarryTheirOwnFrameNumber) {
  st::AdvanceToCaptureFrame(0, kStart + 1);
  const int32_t pitch = kW * 2;
  int64_t pos = kStart;
  ASSERT_EQ(video_->ReadField(frame_.data(), static_cast<int32_t>(frame_.size()), 2 * pitch, &pos, nullptr, 2, 1),
            S_OK);
  pos = kStart + 1;
  ASSERT_EQ(video_->ReadField(frame_.data() + pitch, static_cast<int32_t>(frame_.size()), 2 * pitch, &pos, nullptr, 2,
                              0),
            S_OK);
  EXPECT_EQ(st::DecodeFrameNumber(frame_.data(), kW, kH / 2, 2 * pitch), kStart);
  EXPECT_EQ(st::DecodeFrameNumber(frame_.data() + pitch, kW, kH / 2, 2 * pitch), kStart + 1);
}

TEST_F(CaptureObject, FieldOfTheFirstLineIsTheFramesEvenLines) {
  st::AdvanceToCaptureFrame(0, kStart);
  const int32_t pitch = kW * 2;
  int64_t pos = kStart;
  ASSERT_EQ(ReadFrame(pos), S_OK);
  const std::vector<uint8_t> whole = frame_;
  std::vector<uint8_t> woven(frame_.size(), 0);
  pos = kStart;
  ASSERT_EQ(video_->ReadField(woven.data(), static_cast<int32_t>(woven.size()), 2 * pitch, &pos, nullptr, 2, 1), S_OK);
  pos = kStart;
  ASSERT_EQ(video_->ReadField(woven.data() + pitch, static_cast<int32_t>(woven.size()), 2 * pitch, &pos, nullptr, 2, 0),
            S_OK);
  EXPECT_EQ(woven, whole);
}

TEST_F(CaptureObject, AudioOfAFrameIsItsShareOfTheSampleClock) {
  st::AdvanceToCaptureFrame(0, kStart);
  std::vector<float> block(307200 / 4);
  int64_t pos = kStart;
  int32_t bytes = 0;
  ASSERT_EQ(audio_->ReadAudio(block.data(), 307200, &pos, &bytes, 2, 0xFF), S_OK);
  EXPECT_EQ(bytes, 1920 * 8 * 4);
  const std::vector<float> expected = st::ExpectedCaptureAudio(0, kStart);
  ASSERT_EQ(expected.size(), 1920u * 8);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), block.begin()));
}

TEST_F(CaptureObject, AudioDeliversOnlyTheChannelsOfTheMask) {
  st::AdvanceToCaptureFrame(0, kStart);
  std::vector<float> block(307200 / 4);
  int64_t pos = kStart;
  int32_t bytes = 0;
  ASSERT_EQ(audio_->ReadAudio(block.data(), 307200, &pos, &bytes, 2, 0x30), S_OK);  // pair 3
  EXPECT_EQ(bytes, 1920 * 2 * 4);
  const std::vector<float> all = st::ExpectedCaptureAudio(0, kStart);
  for (int i = 0; i < 1920; ++i) {
    ASSERT_EQ(block[2 * i], all[8 * i + 4]);
    ASSERT_EQ(block[2 * i + 1], all[8 * i + 5]);
  }
}

TEST_F(CaptureObject, AudioReadIsRefusedWhenTheBlockWouldNotFit) {
  st::AdvanceToCaptureFrame(0, kStart);
  std::vector<float> block(1920 * 8, -7.0f);
  int64_t pos = kStart;
  int32_t bytes = 0;
  EXPECT_NE(audio_->ReadAudio(block.data(), 1920 * 8 * 4 - 4, &pos, &bytes, 2, 0xFF), S_OK);
  EXPECT_EQ(bytes, 0);
  EXPECT_EQ(block[0], -7.0f);
}

TEST_F(CaptureObject, AudioOfALostFrameComesFromTheOldestHeld) {
  st::AdvanceToCaptureFrame(0, kStart + 80);
  std::vector<float> block(307200 / 4);
  int64_t pos = kStart;
  int32_t bytes = 0;
  ASSERT_EQ(audio_->ReadAudio(block.data(), 307200, &pos, &bytes, 2, 0xFF), S_OK);
  EXPECT_EQ(pos, kStart + 81 - 50);
}

TEST(CaptureCadence, FractionalRatesSpreadTheSamplesExactly) {
  RegisterVirtualStudio();
  st::UseManualClock(0);
  ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionText(
      R"({"devices": [{"kind": 2, "width": 384, "height": 216, "rate": 29.97, "channels": 2, "startPosition": 0}]})")));
  // 48000 x 1001 / 30000 = 1601.6 samples per frame: 1601, 1602, 1601, 1602, 1602 ...
  int64_t total = 0;
  for (int64_t n = 0; n < 5; ++n) total += st::CaptureSamplesInFrame(0, n);
  EXPECT_EQ(total, 8008);
  EXPECT_EQ(st::CaptureSamplesInFrame(0, 0), 1601);
  EXPECT_EQ(st::CaptureSamplesInFrame(0, 1), 1602);
  int64_t sum = 0;
  for (int64_t n = 0; n < 30000; ++n) sum += st::CaptureSamplesInFrame(0, n);
  EXPECT_EQ(sum, 48000 * 1001);
}

TEST_F(CaptureObject, TwoObjectsOfOneDeviceShareItsTimeline) {
  auto other = Video(0, kDeviceKindPrimary);
  st::AdvanceToCaptureFrame(0, kStart + 7);
  int64_t a = 0, b = 0;
  video_->GetPosition(nullptr, nullptr, &a, nullptr);
  other->GetPosition(nullptr, nullptr, &b, nullptr);
  EXPECT_EQ(a, b);
}

TEST_F(CaptureObject, ConcurrentReadersWhileTheClockRunsAlwaysGetTheFrameTheyAreTold) {
  constexpr int kReaders = 4;
  std::atomic<bool> stop{false};
  std::atomic<int64_t> wrong{0};
  std::atomic<int64_t> reads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kReaders; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint8_t> buf(static_cast<size_t>(kW) * kH * 2);
      std::vector<float> block(307200 / 4);
      while (!stop.load(std::memory_order_acquire)) {
        int64_t newest = 0;
        video_->GetPosition(nullptr, nullptr, &newest, nullptr);
        int64_t pos = newest - 1 - t;
        if (t % 2 == 0) {
          if (video_->ReadFrame(buf.data(), static_cast<int32_t>(buf.size()), kW * 2, &pos, nullptr, 2) == S_OK) {
            if (st::DecodeFrameNumber(buf.data(), kW, kH, kW * 2) != pos) wrong.fetch_add(1);
            reads.fetch_add(1);
          }
        } else {
          int32_t bytes = 0;
          if (audio_->ReadAudio(block.data(), 307200, &pos, &bytes, 2, 0xFF) == S_OK) {
            if (bytes != st::CaptureSamplesInFrame(0, pos) * 8 * 4) wrong.fetch_add(1);
            reads.fetch_add(1);
          }
        }
      }
    });
  }
  for (int step = 0; step < 400; ++step) st::AdvanceClock(100'000);  // 10 ms steps
  while (reads.load() < 200) st::AdvanceClock(100'000);
  stop.store(true, std::memory_order_release);
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace quellvox::testing_studio
