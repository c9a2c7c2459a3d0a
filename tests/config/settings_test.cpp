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

TEST(DuckerSettings, NewRecordHasTheDefaults) {
  const DuckerSettings s;
  EXPECT_EQ(s.CpuPriority.Load(), 0);
  EXPECT_EQ(s.TitleEngineMask, 0u);
  EXPECT_TRUE(s.RegionName.empty());
  EXPECT_EQ(s.ShowOnStartType, 0);
  EXPECT_EQ(s.CaptureSource, -1);
  EXPECT_EQ(s.DelayInFrames, 10);
  EXPECT_EQ(s.MixerChanged.Load(), 0);
  EXPECT_TRUE(s.UseCommon);
  EXPECT_EQ(s.CommonLine, (AudioLineRef{Stereo, 0}));
  EXPECT_EQ(s.DecreaseDB, 18);
  EXPECT_EQ(s.NoiseLevelDB, 32);
  EXPECT_EQ(s.TimeoutInFrames, 30);
  for (const VoiceOverLine& line : s.Lines) {
    EXPECT_EQ(line, (VoiceOverLine{false, {Stereo, 0}, {Stereo, 0}, 0}));
  }
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

TEST(DuckerSettings, CopyCarriesTheSharedValues) {
  DuckerSettings s;
  s.CpuPriority = 3;
  s.MixerChanged.Store(1, std::memory_order_release);
  const DuckerSettings copy = s;
  EXPECT_EQ(copy.CpuPriority.Load(), 3);
  EXPECT_EQ(copy.MixerChanged.Load(), 1);
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
