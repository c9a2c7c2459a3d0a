#include <gtest/gtest.h>

#include <string>

#include "audio/pipeline_stats.h"

namespace quellvox {
namespace {

// Fresh counters and settings without the floor, unless a test says otherwise.
class StatisticsText : public ::testing::Test {
 protected:
  void SetUp() override { settings.UseCommon = false; }
  std::string Text(int32_t targets) const { return BuildStatisticsText(stats, targets, settings); }

  PipelineStats stats;
  DuckerSettings settings;
};

TEST_F(StatisticsText, FreshCountersWithoutFloorShowOnlyTheThreeHeadings) {
  EXPECT_EQ(Text(0),
            "Processing time: \t0 sec.\r\nSkip audio: \t0\r\nSkip video: \t\r\nFullness video: \t\r\nFullness audio: \t");
}

TEST_F(StatisticsText, UnpublishedRecordsShowMeanZeroMinimumThousandMaximumZero) {
  stats.SkipVideo[0] = 3;
  stats.SkipVideo[1] = -2;
  stats.SkipAudio = 7;
  stats.ProcessingSeconds = 65;
  EXPECT_EQ(Text(2),
            "Processing time: \t65 sec.\r\nSkip audio: \t7\r\nSkip video: \t3  -2  "
            "\r\nFullness video: \t0.0 [1000..0]  0.0 [1000..0]  "
            "\r\nFullness audio: \t0.0 [1000..0]  0.0 [1000..0]  ");
}

TEST_F(StatisticsText, FloorInUseListsOnlyTheLinesInUseWithTheirNumbers) {
  settings.UseCommon = true;
  settings.Lines[0].Use = true;
  settings.Lines[2].Use = true;
  stats.VoiceDetected[2] = 1;
  stats.VoiceDetected[1] = 1;  // not in use: not shown
  stats.AudioFullness[0].Min = 8;
  stats.AudioFullness[0].Max = 11;
  stats.AudioFullness[0].MeanWhole = 9;
  stats.AudioFullness[0].MeanTenth = 4;
  EXPECT_EQ(Text(1),
            "Processing time: \t0 sec.\r\nSkip audio: \t0\r\nSkip video: \t0  "
            "\r\nFullness video: \t0.0 [1000..0]  \r\nFullness audio: \t9.4 [8..11]  "
            "\r\nInternoise level: \t0dB\r\nVoiceOver #1: \tno voice (0dB)\r\nVoiceOver #3: \tvoice detected (0dB)\r\n");
}

TEST_F(StatisticsText, WithoutFloorNoLineIsListedWhateverItsUse) {
  const std::string none = Text(1);
  for (auto& line : settings.Lines) line.Use = true;
  stats.VoiceDetected[0] = 1;
  EXPECT_EQ(Text(1), none);
  EXPECT_EQ(none.find("VoiceOver"), std::string::npos);
  EXPECT_EQ(none.find("Internoise"), std::string::npos);
}

TEST_F(StatisticsText, TargetCountOutsideTheRowsIsKeptInsideThem) {
  const std::string all = Text(32);
  EXPECT_EQ(Text(1000), all);
  EXPECT_EQ(Text(-5), Text(0));
}

struct MeanCase {
  int64_t Sum;
  int32_t Whole;
  int32_t Tenth;
  int32_t Min;
  int32_t Max;
};

class FullnessMean : public ::testing::TestWithParam<MeanCase> {};

TEST_P(FullnessMean, HundredSamplesRoundToTenths) {
  const MeanCase c = GetParam();
  FullnessAccumulator acc;
  FullnessRecord record;
  // 100 samples with the wanted sum: the remainder spread one per sample.
  int32_t published = -1;
  bool done = false;
  for (int32_t i = 0; i < kFullnessSamples; ++i) {
    const int32_t sample = static_cast<int32_t>(c.Sum / kFullnessSamples + (i < c.Sum % kFullnessSamples ? 1 : 0));
    done = acc.Add(sample, record, &published);
    EXPECT_EQ(done, i == kFullnessSamples - 1);
  }
  EXPECT_EQ(record.MeanWhole.load(), c.Whole);
  EXPECT_EQ(record.MeanTenth.load(), c.Tenth);
  EXPECT_EQ(record.Min.load(), c.Min);
  EXPECT_EQ(record.Max.load(), c.Max);
}

INSTANTIATE_TEST_SUITE_P(Rounding, FullnessMean,
                         ::testing::Values(MeanCase{287, 2, 9, 2, 3}, MeanCase{5, 0, 1, 0, 1},
                                           MeanCase{4, 0, 0, 0, 1}, MeanCase{250, 2, 5, 2, 3},
                                           MeanCase{1000, 10, 0, 10, 10},
                                           // the first sample alone is the largest: it is the
                                           // first minimum and the maximum at once
                                           MeanCase{201, 2, 0, 2, 3}));

TEST(FullnessAccumulator, PublishesMinAndMaxAndStartsOver) {
  FullnessAccumulator acc;
  FullnessRecord record;
  int32_t published = -1;
  for (int32_t i = 0; i < kFullnessSamples; ++i) acc.Add(i == 40 ? 0 : (i == 60 ? 25 : 10), record, &published);
  EXPECT_EQ(record.Min.load(), 0);
  EXPECT_EQ(record.Max.load(), 25);
  EXPECT_EQ(published, 0);
  EXPECT_EQ(acc.Count, 0);
  EXPECT_EQ(acc.Min, 1000);
  EXPECT_EQ(acc.Max, 0);
  // 99 further samples publish nothing.
  for (int32_t i = 0; i < kFullnessSamples - 1; ++i) EXPECT_FALSE(acc.Add(3, record));
  EXPECT_EQ(record.Min.load(), 0);
}

TEST(FullnessAccumulator, SamplesNearTheIntegerLimitDoNotWrapTheMean) {
  FullnessAccumulator acc;
  FullnessRecord record;
  for (int32_t i = 0; i < kFullnessSamples; ++i) acc.Add(2'000'000'000, record);
  EXPECT_EQ(record.MeanWhole.load(), 2'000'000'000);
  EXPECT_EQ(record.MeanTenth.load(), 0);
}

}  // namespace
}  // namespace quellvox
