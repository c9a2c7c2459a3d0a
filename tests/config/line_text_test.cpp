#include "config/line_text.h"

#include <gtest/gtest.h>

#include <string>

namespace quellvox {
namespace {

TEST(ParseLineRef, ReadsThePrefixInAnyCase) {
  EXPECT_EQ(ParseLineRef("Stereo#1"), (AudioLineRef{Stereo, 0}));
  EXPECT_EQ(ParseLineRef("left#2"), (AudioLineRef{Left, 1}));
  EXPECT_EQ(ParseLineRef("RIGHT#8"), (AudioLineRef{Right, 7}));
}

TEST(ParseLineRef, ReadsOnlyTheOneCharacterAfterTheHash) {
  EXPECT_EQ(ParseLineRef("Stereo#12"), (AudioLineRef{Stereo, 0}));
  EXPECT_EQ(ParseLineRef("Left#9x"), (AudioLineRef{Left, 8}));
}

TEST(ParseLineRef, TextWithoutAKnownPrefixIsTheFirstStereoPair) {
  EXPECT_EQ(ParseLineRef(""), (AudioLineRef{Stereo, 0}));
  EXPECT_EQ(ParseLineRef("Mono#3"), (AudioLineRef{Stereo, 0}));
  EXPECT_EQ(ParseLineRef("Stereo3"), (AudioLineRef{Stereo, 0}));
  EXPECT_EQ(ParseLineRef(" Left#2"), (AudioLineRef{Stereo, 0}));
}

// A stored text may carry any character after the "#": the pair is its
// code minus that of "1", so the mixer and the pipeline must expect pairs
// far outside 0..7.
TEST(ParseLineRef, StoredTextsGivePairsOutsideTheOfferedRange) {
  EXPECT_EQ(ParseLineRef("Stereo#0"), (AudioLineRef{Stereo, -1}));
  EXPECT_EQ(ParseLineRef("Left#!"), (AudioLineRef{Left, '!' - '1'}));
  EXPECT_EQ(ParseLineRef("Right#Y"), (AudioLineRef{Right, 'Y' - '1'}));
  EXPECT_EQ(ParseLineRef("Stereo#"), (AudioLineRef{Stereo, -'1'}));
}

// The character after the "#" counts with its UTF-16 code, as the stored
// text holds it, not with the first byte of its UTF-8 form.
TEST(ParseLineRef, ACharacterBeyondAsciiCountsWithItsUtf16Code) {
  EXPECT_EQ(ParseLineRef("Stereo#\xC3\xA9"), (AudioLineRef{Stereo, 0xE9 - '1'}));           // é
  EXPECT_EQ(ParseLineRef("Left#\xE4\xB8\xAD" "3"), (AudioLineRef{Left, 0x4E2D - '1'}));    // 中
  EXPECT_EQ(ParseLineRef("Right#\xF0\x9F\x8E\xA4"), (AudioLineRef{Right, 0xD83C - '1'}));  // U+1F3A4, leading surrogate
  EXPECT_EQ(ParseLineRef("Right#\xFF" "1"), (AudioLineRef{Right, 0xFFFD - '1'}));          // not UTF-8
}

TEST(FormatLineRef, WritesTheKindAndTheOneBasedPair) {
  EXPECT_EQ(FormatLineRef({Left, 2}), "Left#3");
  EXPECT_EQ(FormatLineRef({Right, 7}), "Right#8");
  EXPECT_EQ(FormatLineRef({5, 0}), "Stereo#1");
  EXPECT_EQ(FormatLineRef({Stereo, -3}), "Stereo#-2");
}

TEST(FormatLineRef, ReadsBackForEveryKindAndTheNineSingleDigitPairs) {
  for (int32_t kind = 0; kind <= 2; ++kind) {
    for (int32_t pair = 0; pair <= 8; ++pair) {
      const AudioLineRef ref{kind, pair};
      EXPECT_EQ(ParseLineRef(FormatLineRef(ref)), ref) << FormatLineRef(ref);
    }
  }
}

}  // namespace
}  // namespace quellvox
