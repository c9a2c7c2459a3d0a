#include <gtest/gtest.h>

#include <string>

#include "pipeline/video_relay.h"
#include "pipeline_fixture.h"

namespace quellvox::pipeline_testing {
namespace {

void Fault(const st::FaultRule& rule) {
  std::string error;
  ASSERT_TRUE(st::AddFault(rule, &error)) << error;
}

class CopyVideoFrameTest : public PipelineFixture {};

TEST_F(CopyVideoFrameTest, NothingNewLendsNoBuffer) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 100);
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  EXPECT_FALSE(CopyVideoFrame(*ctx, 0, 100, next, skipped, fill));
  EXPECT_EQ(next, 100);
  EXPECT_EQ(Layer(st::GetEngineReport(kE25))->BuffersLent, 0);
}

TEST_F(CopyVideoFrameTest, TrailingBeyondMaxLagJumpsToTwoBehindNewest) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 106);
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  ASSERT_TRUE(CopyVideoFrame(*ctx, 0, 106, next, skipped, fill));
  EXPECT_EQ(traces.Take(), "Quellvox#T::CopyVideoFrame[0] -- Skip#1 4 frames  100 --> 106\n");
  EXPECT_EQ(skipped, 4);
  EXPECT_EQ(fill, 104);
  EXPECT_EQ(next, 105);
}

TEST_F(CopyVideoFrameTest, TrailingByMaxLagExactlyDoesNotJump) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 105);
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  ASSERT_TRUE(CopyVideoFrame(*ctx, 0, 105, next, skipped, fill));
  EXPECT_EQ(traces.Take(), "");
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(fill, 100);
  EXPECT_EQ(next, 101);
}

TEST_F(CopyVideoFrameTest, LaterDeliveredFrameCountsTheGap) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 105);
  Fault(st::FaultRule::On("ReadFrame").At("device 0").DeliveringLater(3));
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  ASSERT_TRUE(CopyVideoFrame(*ctx, 0, 105, next, skipped, fill));
  EXPECT_EQ(traces.Take(), "Quellvox#T::CopyVideoFrame[0] -- Skip#2 3 frames  100 --> 103 on frame 105\n");
  EXPECT_EQ(skipped, 3);
  EXPECT_EQ(fill, 103);
  EXPECT_EQ(next, 104);
}

TEST_F(CopyVideoFrameTest, SmallDelayNeverStepsBack) {
  core_->Settings.DelayInFrames = 2;  // MaxLag 1
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 102);
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  ASSERT_TRUE(CopyVideoFrame(*ctx, 0, 102, next, skipped, fill));
  EXPECT_EQ(traces.Take(), "");
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(fill, 100);
  EXPECT_EQ(next, 101);
}

TEST_F(CopyVideoFrameTest, FailedReadAfterAJumpKeepsTheJump) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 106);
  Fault(st::FaultRule::On("ReadFrame").Returning(E_FAIL));
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  EXPECT_FALSE(CopyVideoFrame(*ctx, 0, 106, next, skipped, fill));
  traces.Take();
  EXPECT_EQ(next, 104);
  const st::LayerReport after = *Layer(st::GetEngineReport(kE25));
  EXPECT_EQ(after.BuffersLent, 1);
  EXPECT_EQ(after.OnTime + after.Late, 0);
}

TEST_F(CopyVideoFrameTest, BufferOfAFailedReadGoesBackToTheLayer) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 40);
  Fault(st::FaultRule::On("ReadFrame").EveryNth(1).Returning(E_FAIL));
  int64_t next = 38;
  int64_t skipped = 0;
  int32_t fill = -1;
  // More failed attempts than the layer has buffers (delay + 10).
  for (int32_t i = 0; i < 3 * (10 + 10); ++i) EXPECT_FALSE(CopyVideoFrame(*ctx, 0, 40, next, skipped, fill));
  st::ClearFaults();
  EXPECT_TRUE(CopyVideoFrame(*ctx, 0, 40, next, skipped, fill));
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

TEST_F(CopyVideoFieldsTest, OneNewFrameIsNotAPair) {
  auto ctx = Prepared();
  ASSERT_TRUE(ctx->WeaveFields[0]);
  CaptureUpTo(kCam50, 101);
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  EXPECT_FALSE(CopyVideoFields(*ctx, 0, 101, next, skipped, fill));
  EXPECT_EQ(next, 100);
}

TEST_F(CopyVideoFieldsTest, TrailingBeyondMaxLagJumpsAnEvenNumber) {
  auto ctx = Prepared();
  CaptureUpTo(kCam50, 108);
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  ASSERT_TRUE(CopyVideoFields(*ctx, 0, 108, next, skipped, fill));
  EXPECT_EQ(traces.Take(), "Quellvox#T::CopyVideoFields[0] -- Skip#1 6 frames  100 --> 108\n");
  EXPECT_EQ(skipped, 6);
  EXPECT_EQ(fill, 53);  // (106 - 0) / 2
  EXPECT_EQ(next, 108);
}

TEST_F(CopyVideoFieldsTest, OddLagBeyondMaxLagStillJumpsEvenly) {
  auto ctx = Prepared();
  CaptureUpTo(kCam50, 109);
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  ASSERT_TRUE(CopyVideoFields(*ctx, 0, 109, next, skipped, fill));
  EXPECT_EQ(traces.Take(), "Quellvox#T::CopyVideoFields[0] -- Skip#1 6 frames  100 --> 109\n");
  EXPECT_EQ(next, 108);
}

TEST_F(CopyVideoFieldsTest, ReadsDeliveringOneLaterTraceAZeroSkip) {
  auto ctx = Prepared();
  CaptureUpTo(kCam50, 104);
  Fault(st::FaultRule::On("ReadField").DeliveringLater(1));  // the first read delivers 101 for 100
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  ASSERT_TRUE(CopyVideoFields(*ctx, 0, 104, next, skipped, fill));
  EXPECT_EQ(traces.Take(), "Quellvox#T::CopyVideoFields[0] -- Skip#2 0 frames  100 --> 104\n");
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(fill, 50);  // numbered by the position asked for
  EXPECT_EQ(next, 102);
}

TEST_F(CopyVideoFieldsTest, ReadsDeliveringThreeLaterSkipTheEvenPart) {
  auto ctx = Prepared();
  CaptureUpTo(kCam50, 105);
  Fault(st::FaultRule::On("ReadField").DeliveringLater(3));  // 103 for 100, then 104 as asked
  int64_t next = 100;
  int64_t skipped = 0;
  int32_t fill = -1;
  TraceCapture traces;
  ASSERT_TRUE(CopyVideoFields(*ctx, 0, 105, next, skipped, fill));
  EXPECT_EQ(traces.Take(), "Quellvox#T::CopyVideoFields[0] -- Skip#2 2 frames  100 --> 105\n");
  EXPECT_EQ(skipped, 2);
  EXPECT_EQ(next, 104);
}

// The engines read the two fields of every presented frame back from the
// test pattern: the earlier capture frame must be the field the target's
// field order shows first, the later one the other.
TEST_F(CopyVideoFieldsTest, EarlierFrameFillsTheFieldTheTargetShowsFirst) {
  auto ctx = Prepared();
  ASSERT_TRUE(ctx->TopFieldFirst[0]);
  ASSERT_FALSE(ctx->TopFieldFirst[1]);
  CaptureUpTo(kCam50, ctx->StartPosition + 4);
  for (int32_t row = 0; row < 2; ++row) {
    int64_t next = ctx->StartPosition;
    int64_t skipped = 0;
    int32_t fill = -1;
    ASSERT_TRUE(CopyVideoFields(*ctx, row, ctx->StartPosition + 4, next, skipped, fill));
    ASSERT_TRUE(CopyVideoFields(*ctx, row, ctx->StartPosition + 4, next, skipped, fill));
    EXPECT_EQ(skipped, 0);
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
