#include "audio/gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace quellvox {
namespace {

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
  block[2] = std::nextafter(t, 1.0f);
  EXPECT_TRUE(PeakExceeds(block.data(), 2, 0, 2, t));
}

}  // namespace
}  // namespace quellvox
