#include "config/settings.h"

#include <gtest/gtest.h>

namespace quellvox {
namespace {

DuckerSettings CompleteRecord() {
  DuckerSettings s;
  s.TitleEngineMask = 1;
  s.RegionName = "Titles";
  s.CaptureSource = 0;
  s.Lines[4].Use = true;
  return s;
}

TEST(IsComplete, NewRecordIsIncomplete) { EXPECT_FALSE(IsComplete(DuckerSettings{})); }

TEST(IsComplete, EngineLayerSourceAndOneRowMakeItComplete) {
  EXPECT_TRUE(IsComplete(CompleteRecord()));
  DuckerSettings s = CompleteRecord();
  s.RegionName.clear();
  EXPECT_FALSE(IsComplete(s));
  s = CompleteRecord();
  s.TitleEngineMask = 0;
  EXPECT_FALSE(IsComplete(s));
  s = CompleteRecord();
  s.CaptureSource = -1;
  EXPECT_FALSE(IsComplete(s));
}

TEST(IsComplete, FloorLineDoesNotCountAsARow) {
  DuckerSettings s = CompleteRecord();
  s.Lines[4].Use = false;
  s.UseCommon = true;
  EXPECT_FALSE(IsComplete(s));
}

TEST(CpuPriorityName, UnknownValuesReadAsHighest) {
  EXPECT_STREQ(CpuPriorityName(0), "Normal");
  EXPECT_STREQ(CpuPriorityName(1), "Above Normal");
  EXPECT_STREQ(CpuPriorityName(2), "Highest");
  EXPECT_STREQ(CpuPriorityName(3), "Realtime");
  EXPECT_STREQ(CpuPriorityName(7), "Highest");
  EXPECT_STREQ(CpuPriorityName(-1), "Highest");
}

}  // namespace
}  // namespace quellvox
