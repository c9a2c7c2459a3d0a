#include "config/line_text.h"

#include <gtest/gtest.h>

namespace quellvox {
namespace {

TEST(ParseLineRef, ReadsThePrefixInAnyCase) {
  EXPECT_EQ(ParseLineRef("Stereo#1"), (AudioLineRef{Stereo, 0}));
  EXPECT_EQ(ParseLineRef("left#2"), (AudioLineRef{Left, 1}));
  EXPECT_EQ(ParseLineRef("RIGHT#8"), (AudioLineRef{Right, 7}));
}

}  // namespace
}  // namespace quellvox
