#include "audio/gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "config/settings.h"
#include "float_bits.h"

namespace quellvox {
namespace {

// The scaled add as the arithmetic is defined, written plainly: the
// reference against which the routed adds are checked to the bit.
void ReferenceAddScaled(const float* s, int32_t c, float* d, int32_t frames, float g, float st) {
  if (std::fabs(static_cast<double>(st)) > 0.0001) {
    for (int32_t i = 0; i < frames; ++i) {
      d[2 * i] = s[i * c] * g + d[2 * i];
      g = g + st;
    }
  } else if (std::fabs(static_cast<double>(g) - 1.0) > 0.0001) {
    for (int32_t i = 0; i < frames; ++i) d[2 * i] = s[i * c] * g + d[2 * i];
  } else {
    for (int32_t i = 0; i < frames; ++i) d[2 * i] = s[i * c] + d[2 * i];
  }
}

// The routing table, one or two reference scaled adds per cell.
void ReferenceAddRouted(const float* pair, int32_t c, int32_t srcKind, float* plane, int32_t dstKind, int32_t frames,
                        float g, float st) {
  const float* l = pair;
  const float* r = pair + 1;
  const bool stereo = srcKind != 1 && srcKind != 2;
  const float* one = srcKind == 2 ? r : l;
  if (dstKind == 1 || dstKind == 2) {
    float* out = dstKind == 1 ? plane : plane + 1;
    if (stereo) {
      ReferenceAddScaled(l, c, out, frames, 0.5f * g, 0.5f * st);
      ReferenceAddScaled(r, c, out, frames, 0.5f * g, 0.5f * st);
    } else {
      ReferenceAddScaled(one, c, out, frames, g, st);
    }
  } else if (stereo) {
    ReferenceAddScaled(l, c, plane, frames, g, st);
    ReferenceAddScaled(r, c, plane + 1, frames, g, st);
  } else {
    ReferenceAddScaled(one, c, plane, frames, g, st);
    ReferenceAddScaled(one, c, plane + 1, frames, g, st);
  }
}

std::vector<float> Noise(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

TEST(DbToGain, GivesTheDocumentedValues) {
  EXPECT_EQ(DbToGain(0), 1.0f);
  EXPECT_EQ(DbToGain(-6), 0.5011872f);
  EXPECT_EQ(DbToGain(-20), 0.1f);
  EXPECT_EQ(DbToGain(-40), 0.01f);
}

TEST(PeakExceeds, ThresholdItselfIsNotVoiceButTheNextFloatIs) {
  const float t = DbToGain(-40);
  std::vector<float> block = {0.0f, 0.0f, t, 0.0f};
  EXPECT_FALSE(PeakExceeds(block.data(), 2, 0, 2, t));
  // The single-channel scans keep the same strict rule.
  EXPECT_FALSE(PeakExceeds(block.data(), 2, Left, 2, t));
  const std::vector<float> right = {0.0f, 0.0f, 0.0f, t};
  EXPECT_FALSE(PeakExceeds(right.data(), 2, Right, 2, t));
  block[2] = std::nextafter(t, 1.0f);
  EXPECT_TRUE(PeakExceeds(block.data(), 2, 0, 2, t));
  EXPECT_TRUE(PeakExceeds(block.data(), 2, Left, 2, t));
}

TEST(PeakExceeds, SilenceAndNegativeSamplesNeverExceedAnyThreshold) {
  std::vector<float> block(4 * 300, 0.0f);
  for (size_t i = 0; i < block.size(); i += 3) block[i] = -1.0f;
  for (int32_t db = 0; db <= 96; db += 8) {
    EXPECT_FALSE(PeakExceeds(block.data(), 4, 0, 300, DbToGain(-db))) << db;
    EXPECT_FALSE(PeakExceeds(block.data() + 2, 4, 0, 300, DbToGain(-db))) << db;
  }
}

TEST(PeakExceeds, StereoCountsEitherChannelAndLeftIgnoresTheRight) {
  // Pair 1 of a 6-channel block; the loud sample is the last frame's right
  // channel, past several scan chunks.
  const int32_t frames = 200;
  std::vector<float> block(6 * frames, 0.0f);
  block[(frames - 1) * 6 + 3] = 0.5f;
  const float* pair = block.data() + 2;
  EXPECT_TRUE(PeakExceeds(pair, 6, Stereo, frames, 0.1f));
  EXPECT_TRUE(PeakExceeds(pair, 6, 7, frames, 0.1f));  // unknown kinds count as stereo
  EXPECT_TRUE(PeakExceeds(pair, 6, Right, frames, 0.1f));
  EXPECT_FALSE(PeakExceeds(pair, 6, Left, frames, 0.1f));
}

TEST(PeakExceeds, LooksOnlyAtItsOwnPair) {
  std::vector<float> block(8 * 50, 0.0f);
  for (int32_t s = 0; s < 50; ++s) {
    block[s * 8 + 0] = 0.9f;  // pair 0 loud
    block[s * 8 + 5] = 0.9f;  // pair 2 right loud
  }
  EXPECT_FALSE(PeakExceeds(block.data() + 2, 8, Stereo, 50, 0.01f));
  EXPECT_FALSE(PeakExceeds(block.data() + 4, 8, Left, 50, 0.01f));
  EXPECT_TRUE(PeakExceeds(block.data() + 4, 8, Right, 50, 0.01f));
}

TEST(AddScaled, GainWithinATenThousandthOfOneAddsWithoutMultiplying) {
  // 0.3f * 1.00005f is not 0.3f, so a multiplication would show.
  ASSERT_NE(0.3f * 1.00005f, 0.3f);
  std::vector<float> src = {0.3f, 0.7f};
  std::vector<float> dst = {0.25f, 9.0f, 0.5f, 9.0f};
  AddScaled(src.data(), 1, dst.data(), 2, 1.00005f, 0.0f);
  EXPECT_EQ(dst[0], 0.3f + 0.25f);
  EXPECT_EQ(dst[2], 0.7f + 0.5f);
  EXPECT_EQ(dst[1], 9.0f);  // the other side of the plane is untouched
  EXPECT_EQ(dst[3], 9.0f);
}

TEST(AddScaled, GainOfOnePointZeroZeroZeroTwoIsApplied) {
  std::vector<float> src = {0.3f};
  std::vector<float> dst = {0.25f, 0.0f};
  AddScaled(src.data(), 1, dst.data(), 1, 1.0002f, 0.0f);
  EXPECT_EQ(dst[0], 0.3f * 1.0002f + 0.25f);
}

TEST(AddScaled, StepOfATenThousandthOrLessIsDropped) {
  std::vector<float> src(4 * 100, 1.0f);
  std::vector<float> dst(200, 0.0f);
  AddScaled(src.data(), 4, dst.data(), 100, 0.5f, 0.0001f);
  AddScaled(src.data(), 4, dst.data(), 100, 0.5f, -0.0001f);
  for (int32_t i = 0; i < 100; ++i) EXPECT_EQ(dst[2 * i], 1.0f) << i;
}

TEST(AddScaled, RampStartsAtTheGainAndMovesOneStepPerFrame) {
  const int32_t frames = 1920;
  std::vector<float> src(2 * frames, 1.0f);
  std::vector<float> dst(2 * frames, 0.0f);
  const float step = (0.125f - 1.0f) / frames;
  AddScaled(src.data(), 2, dst.data(), frames, 1.0f, step);
  float g = 1.0f;
  for (int32_t i = 0; i < frames; ++i) {
    ASSERT_EQ(Bits(dst[2 * i]), Bits(g)) << i;
    g = g + step;
  }
  // The float steps add up to the end gain within rounding (1e-4).
  EXPECT_NEAR(dst[2 * (frames - 1)], 0.125f - step, 1e-4);
}

TEST(AddRouted, StereoIntoLeftAddsTheHalfSumAndLeavesTheRightSide) {
  std::vector<float> src = {0.3f, 0.7f, 5.0f, 5.0f};  // one frame, pair 0 of 4 channels
  std::vector<float> plane = {0.1f, 0.2f};
  AddRouted(src.data(), 4, Stereo, plane.data(), Left, 1, 1.0f, 0.0f);
  const float expected = 0.7f * 0.5f + (0.3f * 0.5f + 0.1f);
  EXPECT_EQ(plane[0], expected);
  EXPECT_EQ(plane[1], 0.2f);
}

TEST(AddRouted, RightSourceIntoStereoFillsBothSides) {
  std::vector<float> src = {0.3f, 0.7f};
  std::vector<float> plane = {0.0f, 0.0f};
  AddRouted(src.data(), 2, Right, plane.data(), Stereo, 1, 1.0f, 0.0f);
  EXPECT_EQ(plane[0], 0.7f);
  EXPECT_EQ(plane[1], 0.7f);
}

TEST(AddRouted, UnityGainCopiesIntoAClearedPlaneBitForBit) {
  const int32_t frames = 300;
  const std::vector<float> src = Noise(6 * frames, 1);
  std::vector<float> plane(2 * frames, 0.0f);
  AddRouted(src.data() + 2, 6, Stereo, plane.data(), Stereo, frames, DbToGain(0), 0.0f);
  for (int32_t i = 0; i < frames; ++i) {
    ASSERT_EQ(Bits(plane[2 * i]), Bits(src[6 * i + 2]));
    ASSERT_EQ(Bits(plane[2 * i + 1]), Bits(src[6 * i + 3]));
  }
}

// Every cell of the routing table, for the channel counts with their own
// fast paths and one without, at unity, scaled and ramped gains: the result
// is that of the plain scaled adds, to the bit.
class RoutingTable : public ::testing::TestWithParam<std::tuple<int32_t, int32_t, int32_t>> {};

TEST_P(RoutingTable, MatchesThePlainScaledAddsToTheBit) {
  const auto [channels, srcKind, dstKind] = GetParam();
  const int32_t frames = 1001;
  const std::vector<float> block = Noise(static_cast<size_t>(channels) * frames, 7);
  const std::vector<float> start = Noise(2 * frames, 8);
  const float* pair = block.data() + (channels >= 4 ? 2 : 0);
  const std::tuple<float, float> gains[] = {{1.0f, 0.0f},      {1.00005f, 0.00005f}, {0.7f, 0.0f},
                                            {1.0f, -0.00047f}, {0.1f, 0.0009f},      {0.5f, 0.00015f}};
  for (const auto& [gain, step] : gains) {
    std::vector<float> expected = start;
    std::vector<float> actual = start;
    ReferenceAddRouted(pair, channels, srcKind, expected.data(), dstKind, frames, gain, step);
    AddRouted(pair, channels, srcKind, actual.data(), dstKind, frames, gain, step);
    for (int32_t i = 0; i < 2 * frames; ++i) {
      ASSERT_EQ(Bits(actual[i]), Bits(expected[i])) << "float " << i << " gain " << gain << " step " << step;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AddRouted, RoutingTable,
                         ::testing::Combine(::testing::Values(2, 3, 4, 8, 16), ::testing::Values(0, 1, 2, 5),
                                            ::testing::Values(0, 1, 2, -3)));

TEST(RoutedAdd, PiecesGiveTheSameBitsAsOneCall) {
  const int32_t frames = 1920;
  const std::vector<float> block = Noise(4 * frames, 3);
  std::vector<float> whole(2 * frames, 0.0f);
  std::vector<float> pieces(2 * frames, 0.0f);
  AddRouted(block.data(), 4, Stereo, whole.data(), Left, frames, 0.9f, -0.0003f);
  RoutedAdd add(block.data(), 4, Stereo, pieces.data(), Left, 0.9f, -0.0003f);
  add.AddFrames(0, 1);
  add.AddFrames(1, 700);
  add.AddFrames(700, frames);
  for (int32_t i = 0; i < 2 * frames; ++i) ASSERT_EQ(Bits(pieces[i]), Bits(whole[i])) << i;
}

}  // namespace
}  // namespace quellvox
