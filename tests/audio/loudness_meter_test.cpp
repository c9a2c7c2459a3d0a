#include "audio/loudness_meter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

#include "audio/plane_loudness.h"

namespace quellvox {
namespace {

constexpr int64_t kRate = 48000;
constexpr int32_t kFrames = 1920;  // one capture frame at 25 frames/s

// A 1 kHz sine, equal on both channels, with its peak at `peakDbfs`,
// starting at sample frame `first` so that consecutive blocks join up.
void Sine(float* interleaved, int64_t frames, double peakDbfs, int64_t first = 0) {
  const double a = std::pow(10.0, peakDbfs / 20.0);
  for (int64_t s = 0; s < frames; ++s) {
    const float v = static_cast<float>(a * std::sin(2.0 * std::numbers::pi * 1000.0 * static_cast<double>(first + s) / kRate));
    interleaved[2 * s] = v;
    interleaved[2 * s + 1] = v;
  }
}

// Waits, without a deadline of its own, until the meter thread took `n`
// blocks; ctest's timeout ends a hang.
void WaitConsumed(const LoudnessMeter& meter, uint64_t n) {
  while (meter.TEST_Consumed() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The reference level of loudness metering: a stereo 1 kHz sine with its
// peak at -23 dBFS reads -23.0 LUFS momentary, short-term and integrated.
TEST(PlaneLoudness, AStereoSineAtMinus23DbfsReadsMinus23Lufs) {
  for (const auto gating : {PlaneLoudness::Gating::Exact, PlaneLoudness::Gating::Histogram}) {
    PlaneLoudness meter(kRate, gating);
    ASSERT_TRUE(meter.Valid());
    std::vector<float> block(2 * kRate);
    for (int second = 0; second < 20; ++second) {
      Sine(block.data(), kRate, -23.0, int64_t{second} * kRate);
      meter.Add(block.data(), kRate);
    }
    const LoudnessFigures f = meter.Read();
    EXPECT_NEAR(f.MomentaryLufs, -23.0, 0.1);
    EXPECT_NEAR(f.ShortTermLufs, -23.0, 0.1);
    EXPECT_NEAR(f.IntegratedLufs, -23.0, 0.1);
    EXPECT_NEAR(f.RangeLu, 0.0, 0.1);  // a steady tone has no range
    EXPECT_NEAR(f.TruePeakDbtp, -23.0, 0.1);
  }
}

TEST(PlaneLoudness, SilenceAndARefusedRateAreNotKnown) {
  PlaneLoudness meter(kRate, PlaneLoudness::Gating::Histogram);
  std::vector<float> silence(2 * kRate, 0.0f);
  meter.Add(silence.data(), kRate);
  const LoudnessFigures f = meter.Read();
  EXPECT_TRUE(std::isinf(f.IntegratedLufs) && f.IntegratedLufs < 0);  // below the absolute gate
  EXPECT_TRUE(std::isinf(f.TruePeakDbtp) && f.TruePeakDbtp < 0);
  PlaneLoudness refused(0, PlaneLoudness::Gating::Exact);
  EXPECT_FALSE(refused.Valid());
  refused.Add(silence.data(), kRate);  // ignored, no crash
  EXPECT_TRUE(std::isinf(refused.Read().MomentaryLufs));
}

class LoudnessMeterTest : public ::testing::Test {
 protected:
  // Fills plane k of the mix area with a sine at levels[k] dBFS.
  void FillBlock(const std::vector<double>& levels, int64_t first) {
    for (size_t k = 0; k < levels.size(); ++k) {
      Sine(MixPlane(*mix_, static_cast<int32_t>(k), kFrames), kFrames, levels[k], first);
    }
  }

  std::unique_ptr<MixArea> mix_ = std::make_unique<MixArea>();
  LoudnessMeter meter_;
};

// Each plane is metered on its own, through the ring, as a meter fed
// directly would read it.
TEST_F(LoudnessMeterTest, MetersEachPlaneOfTheOfferedBlocks) {
  ASSERT_TRUE(meter_.Start(kRate, 3));
  const std::vector<double> levels = {-23.0, -33.0, -13.0, -3.0};  // the fourth plane is not metered
  constexpr int32_t kBlocks = 250;                                // 10 s
  int32_t queued = 0;
  for (int32_t b = 0; b < kBlocks; ++b) {
    FillBlock(levels, int64_t{b} * kFrames);
    while (!meter_.Offer_AudioThread(*mix_, 4, kFrames)) {
      // A full ring: wait for the meter thread here, as the pump never does.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ++queued;
  }
  WaitConsumed(meter_, static_cast<uint64_t>(queued));
  meter_.Stop();  // publishes the final figures
  const LoudnessSnapshot s = meter_.Figures();
  EXPECT_EQ(s.Planes, 3);
  EXPECT_EQ(s.BlocksMetered, static_cast<uint64_t>(kBlocks));
  for (int32_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(s.Plane[static_cast<size_t>(k)].IntegratedLufs, levels[static_cast<size_t>(k)], 0.1) << "plane " << k;
    EXPECT_NEAR(s.Plane[static_cast<size_t>(k)].MomentaryLufs, levels[static_cast<size_t>(k)], 0.1) << "plane " << k;
    EXPECT_NEAR(s.Plane[static_cast<size_t>(k)].TruePeakDbtp, levels[static_cast<size_t>(k)], 0.1) << "plane " << k;
  }
}

// The pump never waits: with the meter thread held, the ring takes its
// slots' worth and every further block is dropped and counted.
TEST_F(LoudnessMeterTest, AFullRingDropsTheBlockAndCountsIt) {
  ASSERT_TRUE(meter_.Start(kRate, 2));
  meter_.TEST_HoldConsumer(true);
  FillBlock({-20.0, -20.0}, 0);
  for (int32_t b = 0; b < LoudnessMeter::kRingSlots; ++b) EXPECT_TRUE(meter_.Offer_AudioThread(*mix_, 2, kFrames));
  EXPECT_FALSE(meter_.Offer_AudioThread(*mix_, 2, kFrames));
  EXPECT_FALSE(meter_.Offer_AudioThread(*mix_, 2, kFrames));
  EXPECT_EQ(meter_.Figures().BlocksDropped, 2u);
  meter_.TEST_HoldConsumer(false);
  WaitConsumed(meter_, LoudnessMeter::kRingSlots);
  EXPECT_TRUE(meter_.Offer_AudioThread(*mix_, 2, kFrames));  // room again
  // A block too long for a slot's planes is dropped, never cut.
  EXPECT_FALSE(meter_.Offer_AudioThread(*mix_, 2, kBlockFloats));
  meter_.Stop();
  EXPECT_EQ(meter_.Figures().BlocksMetered, LoudnessMeter::kRingSlots + 1u);
  EXPECT_EQ(meter_.Figures().BlocksDropped, 3u);
}

// Every start begins from nothing: no figures, no counts, the loudness of
// the new run alone.
TEST_F(LoudnessMeterTest, EveryStartResetsTheMetersAndTheCounts) {
  ASSERT_TRUE(meter_.Start(kRate, 1));
  meter_.TEST_HoldConsumer(true);
  for (int32_t b = 0; b < LoudnessMeter::kRingSlots + 3; ++b) {
    FillBlock({-10.0}, int64_t{b} * kFrames);
    meter_.Offer_AudioThread(*mix_, 1, kFrames);
  }
  meter_.TEST_HoldConsumer(false);
  meter_.Stop();
  ASSERT_NEAR(meter_.Figures().Plane[0].TruePeakDbtp, -10.0, 0.1);

  ASSERT_TRUE(meter_.Start(kRate, 1));
  LoudnessSnapshot s = meter_.Figures();
  EXPECT_EQ(s.BlocksMetered, 0u);
  EXPECT_EQ(s.BlocksDropped, 0u);
  EXPECT_TRUE(std::isinf(s.Plane[0].TruePeakDbtp));
  EXPECT_TRUE(std::isinf(s.Plane[0].IntegratedLufs));
  for (int32_t b = 0; b < 100; ++b) {
    FillBlock({-30.0}, int64_t{b} * kFrames);
    while (!meter_.Offer_AudioThread(*mix_, 1, kFrames)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  meter_.Stop();
  s = meter_.Figures();
  EXPECT_NEAR(s.Plane[0].TruePeakDbtp, -30.0, 0.1);  // the louder first run is forgotten
  EXPECT_NEAR(s.Plane[0].IntegratedLufs, -30.0, 0.1);
}

TEST_F(LoudnessMeterTest, OffersOutsideARunAreIgnored) {
  EXPECT_FALSE(meter_.Offer_AudioThread(*mix_, 2, kFrames));
  ASSERT_TRUE(meter_.Start(kRate, 2));
  meter_.Stop();
  EXPECT_FALSE(meter_.Offer_AudioThread(*mix_, 2, kFrames));
  EXPECT_EQ(meter_.Figures().BlocksDropped, 0u);  // not a drop: nothing was running
  EXPECT_FALSE(meter_.Start(0, 2));                // a rate the meters refuse
  EXPECT_FALSE(meter_.Offer_AudioThread(*mix_, 2, kFrames));
}

// A producer that offers as fast as it can against the meter thread: every
// block is either metered or counted as dropped, and the figures read while
// both run are always ones a block produced.
TEST_F(LoudnessMeterTest, EveryOfferedBlockIsMeteredOrCountedUnderARace) {
  ASSERT_TRUE(meter_.Start(kRate, 8));
  FillBlock(std::vector<double>(8, -20.0), 0);
  constexpr int32_t kOffers = 2000;
  std::thread producer([&] {
    for (int32_t b = 0; b < kOffers; ++b) meter_.Offer_AudioThread(*mix_, 8, kFrames);
  });
  for (int i = 0; i < 200; ++i) {
    const double peak = meter_.Figures().Plane[7].TruePeakDbtp;
    EXPECT_TRUE(std::isinf(peak) || std::abs(peak + 20.0) < 0.2) << peak;
  }
  producer.join();
  meter_.Stop();
  const LoudnessSnapshot s = meter_.Figures();
  EXPECT_EQ(s.BlocksMetered + s.BlocksDropped, static_cast<uint64_t>(kOffers));
  EXPECT_GE(s.BlocksMetered, static_cast<uint64_t>(LoudnessMeter::kRingSlots));
}

}  // namespace
}  // namespace quellvox
