#include <gtest/gtest.h>

#include <string>

#include "pipeline/video_relay.h"
#include "pipeline_fixture.h"

namespace quellvox::pipeline_testing {
namespace {

// What one CopyVideoFrame or CopyVideoFields call of row `Row` takes and
// leaves: the next capture position, the skipped frames and the fill.
struct VideoCopy {
  int64_t Next;
  int32_t Row = 0;
  int64_t Skipped = 0;
  int32_t Fill = -1;

  bool Frame(const PumpContext& ctx, int64_t newest) { return CopyVideoFrame(ctx, Row, newest, Next, Skipped, Fill); }
  bool Fields(const PumpContext& ctx, int64_t newest) {
    return CopyVideoFields(ctx, Row, newest, Next, Skipped, Fill);
  }
};

// One call of CopyVideoFrame (row 0: Cam25 into E25) or CopyVideoFields
// (row 0: Cam50 woven into E25i top) with the capture holding every frame
// below `newest`.
struct CopyCase {
  const char* Name;
  bool Weave;
  int32_t Delay;  // DelayInFrames: MaxLag is half of it
  int64_t Next;
  int64_t Newest;
  const char* LaterOp;  // a read that delivers `Later` frames later (negative: earlier) than asked, or nullptr
  int64_t Later;
  bool Copied;
  const char* Trace;
  int64_t Skipped;
  int32_t Fill;  // -1: untouched
  int64_t NextAfter;
};

void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.Name; }

class CopyVideo : public PipelineFixture, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(CopyVideo, MovesNextCountsSkipsAndTracesAsTheCaseSays) {
  const CopyCase& c = GetParam();
  if (c.Weave) {
    core_->Settings.CaptureSource = kCam50;
    core_->Settings.TitleEngineMask = (1u << kE25iTop) | (1u << kE25iBottom);
  }
  core_->Settings.DelayInFrames = c.Delay;
  auto ctx = Prepared();
  ASSERT_EQ(ctx->Rows[0].WeaveFields, c.Weave);
  CaptureUpTo(c.Weave ? kCam50 : kCam25, c.Newest);
  if (c.LaterOp) Fault(st::FaultRule::On(c.LaterOp).DeliveringLater(c.Later));  // negative: earlier
  VideoCopy v{c.Next};
  TraceCapture traces;
  EXPECT_EQ(c.Weave ? v.Fields(*ctx, c.Newest) : v.Frame(*ctx, c.Newest), c.Copied);
  EXPECT_EQ(traces.Take(), c.Trace);
  EXPECT_EQ(v.Skipped, c.Skipped);
  EXPECT_EQ(v.Fill, c.Fill);
  EXPECT_EQ(v.Next, c.NextAfter);
  // A buffer is borrowed only when there is something to copy.
  EXPECT_EQ(Layer(st::GetEngineReport(c.Weave ? kE25iTop : kE25))->BuffersLent, c.Copied ? 1 : 0);
}

const CopyCase kCopyCases[] = {
    // Frame for frame, DelayInFrames 10 (MaxLag 5) unless said otherwise.
    {"FrameNothingNewLendsNoBuffer", false, 10, 100, 100, nullptr, 0, false, "", 0, -1, 100},
    {"FrameTrailingBeyondMaxLagJumpsToTwoBehindNewest", false, 10, 100, 106, nullptr, 0, true,
     "Quellvox#T::CopyVideoFrame[0] -- Skip#1 4 frames  100 --> 106\n", 4, 104, 105},
    {"FrameTrailingByMaxLagExactlyDoesNotJump", false, 10, 100, 105, nullptr, 0, true, "", 0, 100, 101},
    {"FrameLaterDeliveredFrameCountsTheGap", false, 10, 100, 105, "ReadFrame", 3, true,
     "Quellvox#T::CopyVideoFrame[0] -- Skip#2 3 frames  100 --> 103 on frame 105\n", 3, 103, 104},
    // A capture that steps back delivers 98 for 100: traced, but no skip
    // (the count never goes down), and the relay goes on after what it got.
    {"FrameEarlierDeliveredFrameIsNoSkip", false, 10, 100, 105, "ReadFrame", -2, true,
     "Quellvox#T::CopyVideoFrame[0] -- Skip#2 -2 frames  100 --> 98 on frame 105\n", 0, 98, 99},
    // MaxLag 1: a lag of 2 exceeds it, and the jump to two behind newest is
    // a jump of nothing, traced as such.
    {"FrameSmallDelayJumpsNothingAndTracesIt", false, 2, 100, 102, nullptr, 0, true,
     "Quellvox#T::CopyVideoFrame[0] -- Skip#1 0 frames  100 --> 102\n", 0, 100, 101},
    // MaxLag 0 (or below, from a negative delay): a lag of 1 exceeds it, but
    // two behind newest would be a step back; the relay never goes back.
    {"FrameZeroMaxLagNeverStepsBack", false, 1, 100, 101, nullptr, 0, true, "", 0, 100, 101},
    {"FrameNegativeMaxLagNeverStepsBack", false, -6, 100, 101, nullptr, 0, true, "", 0, 100, 101},
    // Woven: two capture frames per target frame, numbered by next / 2.
    {"FieldsOneNewFrameIsNotAPair", true, 10, 100, 101, nullptr, 0, false, "", 0, -1, 100},
    {"FieldsTrailingBeyondMaxLagJumpsAnEvenNumber", true, 10, 100, 108, nullptr, 0, true,
     "Quellvox#T::CopyVideoFields[0] -- Skip#1 6 frames  100 --> 108\n", 6, 53, 108},
    {"FieldsOddLagBeyondMaxLagStillJumpsEvenly", true, 10, 100, 109, nullptr, 0, true,
     "Quellvox#T::CopyVideoFields[0] -- Skip#1 6 frames  100 --> 109\n", 6, 53, 108},
    {"FieldsSmallDelayJumpsNothingAndTracesIt", true, 2, 100, 103, nullptr, 0, true,
     "Quellvox#T::CopyVideoFields[0] -- Skip#1 0 frames  100 --> 103\n", 0, 50, 102},
    // The first read delivers 101 for 100, the second 102 as asked.
    {"FieldsReadsDeliveringOneLaterTraceAZeroSkip", true, 10, 100, 104, "ReadField", 1, true,
     "Quellvox#T::CopyVideoFields[0] -- Skip#2 0 frames  100 --> 104\n", 0, 50, 102},
    // 103 for 100, then 104 as asked.
    {"FieldsReadsDeliveringThreeLaterSkipTheEvenPart", true, 10, 100, 105, "ReadField", 3, true,
     "Quellvox#T::CopyVideoFields[0] -- Skip#2 2 frames  100 --> 105\n", 2, 50, 104},
};

INSTANTIATE_TEST_SUITE_P(Cases, CopyVideo, ::testing::ValuesIn(kCopyCases),
                         [](const ::testing::TestParamInfo<CopyCase>& p) { return std::string(p.param.Name); });

class CopyVideoFrameTest : public PipelineFixture {};

TEST_F(CopyVideoFrameTest, FailedReadAfterAJumpKeepsTheJump) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 106);
  Fault(st::FaultRule::On("ReadFrame").Returning(E_FAIL));
  VideoCopy v{100};
  TraceCapture traces;
  EXPECT_FALSE(v.Frame(*ctx, 106));
  traces.Take();
  EXPECT_EQ(v.Next, 104);
  const st::LayerReport after = *Layer(st::GetEngineReport(kE25));
  EXPECT_EQ(after.BuffersLent, 1);
  EXPECT_EQ(after.OnTime + after.Late, 0);
}

TEST_F(CopyVideoFrameTest, BufferOfAFailedReadGoesBackToTheLayer) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 40);
  Fault(st::FaultRule::On("ReadFrame").EveryNth(1).Returning(E_FAIL));
  VideoCopy v{38};
  // More failed attempts than the layer has buffers (delay + 10).
  for (int32_t i = 0; i < 3 * (10 + 10); ++i) EXPECT_FALSE(v.Frame(*ctx, 40));
  st::ClearFaults();
  EXPECT_TRUE(v.Frame(*ctx, 40));
  const st::LayerReport layer = *Layer(st::GetEngineReport(kE25));
  EXPECT_EQ(layer.BufferRefusals, 0);
  EXPECT_EQ(layer.BuffersLent, 3 * 20 + 1);
}

class CopyVideoFieldsTest : public PipelineFixture {
 protected:
  void SetUp() override {
    PipelineFixture::SetUp();
    core_->Settings.CaptureSource = kCam50;
    core_->Settings.TitleEngineMask = (1u << kE25iTop) | (1u << kE25iBottom);
  }
};

TEST_F(CopyVideoFieldsTest, AFailedSecondFieldSubmitsNothingAndKeepsNext) {
  auto ctx = Prepared();
  CaptureUpTo(kCam50, 104);
  Fault(st::FaultRule::On("ReadField").Skipping(1).Returning(E_FAIL));
  VideoCopy v{100};
  EXPECT_FALSE(v.Fields(*ctx, 104));
  EXPECT_EQ(v.Next, 100);
  EXPECT_EQ(v.Skipped, 0);
  const st::LayerReport layer = *Layer(st::GetEngineReport(kE25iTop));
  EXPECT_EQ(layer.BuffersLent, 1);
  EXPECT_EQ(layer.FramesDone, 0);
  EXPECT_EQ(layer.OnTime + layer.Late, 0);
}

// The engines read the two fields of every presented frame back from the
// test pattern: the earlier capture frame must be the field the target's
// field order shows first, the later one the other.
TEST_F(CopyVideoFieldsTest, EarlierFrameFillsTheFieldTheTargetShowsFirst) {
  auto ctx = Prepared();
  ASSERT_TRUE(ctx->Rows[0].TopFieldFirst);
  ASSERT_FALSE(ctx->Rows[1].TopFieldFirst);
  CaptureUpTo(kCam50, ctx->StartPosition + 4);
  for (int32_t row = 0; row < 2; ++row) {
    VideoCopy v{ctx->StartPosition, row};
    ASSERT_TRUE(v.Fields(*ctx, ctx->StartPosition + 4));
    ASSERT_TRUE(v.Fields(*ctx, ctx->StartPosition + 4));
    EXPECT_EQ(v.Skipped, 0);
  }
  for (const int32_t engine : {kE25iTop, kE25iBottom}) {
    const int32_t base = Layer(st::GetEngineReport(engine))->Base;
    st::AdvanceToEngineOutput(engine, base + 1);  // frames 0 and 1 presented
    const st::LayerReport layer = *Layer(st::GetEngineReport(engine));
    ASSERT_EQ(layer.Log.size(), 2u) << engine;
    for (int32_t f = 0; f < 2; ++f) {
      const st::PresentedFrame& p = layer.Log[static_cast<size_t>(f)];
      EXPECT_EQ(p.FrameNumber, f);
      EXPECT_EQ(p.CaptureFrame, ctx->StartPosition + 2 * f) << engine;
      EXPECT_EQ(p.LaterFieldFrame, ctx->StartPosition + 2 * f + 1) << engine;
    }
    EXPECT_EQ(layer.FieldOrderErrors, 0);
    EXPECT_EQ(layer.OnTime, 2);
    EXPECT_EQ(layer.Missing, 0);
  }
}

}  // namespace
}  // namespace quellvox::pipeline_testing
