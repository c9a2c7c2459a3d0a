#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <utility>

#include "audio/gain.h"
#include "pipeline_fixture.h"
#include "platform/system/thread_priority.h"

namespace quellvox::pipeline_testing {
namespace {

struct CopyResult {
  bool Copied = false;
  int64_t Next = 0;
  int64_t Skipped = 0;
  std::string Traces;
};

// One CopyAudio call with the capture's newest position `pos` and the pump's
// next position `next`: its result, the positions it leaves and its traces.
CopyResult CopyOnce(PumpContext& ctx, int64_t pos, int64_t next) {
  CopyResult r;
  r.Next = next;
  TraceCapture traces;
  r.Copied = CopyAudio(ctx, pos, r.Next, r.Skipped);
  r.Traces = traces.Take();
  return r;
}

// Whether the call copied and left the traces, skip count and next position
// given.
::testing::AssertionResult CopiedWith(const CopyResult& r, const std::string& traces, int64_t skipped, int64_t next) {
  if (r.Copied && r.Traces == traces && r.Skipped == skipped && r.Next == next) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "copied " << r.Copied << ", traces \"" << r.Traces << "\" (want \"" << traces
                                       << "\"), skipped " << r.Skipped << " (want " << skipped << "), next " << r.Next
                                       << " (want " << next << ")";
}

class CopyAudioTest : public PipelineFixture {};

TEST_F(CopyAudioTest, TrailingBeyondMaxLagSkipsToTwoFramesBehindAndRebases) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 106);
  const CopyResult r = CopyOnce(*ctx, 106, 100);
  // Frame 104 was copied.
  ASSERT_TRUE(CopiedWith(r, "Quellvox#T::CopyAudio -- Skip#1 4 frames  100 --> 106\n", 4, 105));
  EXPECT_EQ(ctx->Rows[0].FifoBase, 104);
  EXPECT_EQ(ctx->Rows[0].FifoSamples, 1920);
  const st::EngineReport report = st::GetEngineReport(kE25);
  for (const int32_t fifo : {1, 2}) {
    const st::FifoReport* f = FindFifo(*Layer(report), fifo);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->StartPosition, 104);
    EXPECT_EQ(f->WrittenSamples, 1920);
  }
}

// A re-base after blocks were written: the fifos start over at the new
// position, and so does the count of what was written to them (the
// fullness would otherwise count the old blocks on top of the new base).
TEST_F(CopyAudioTest, ARebaseAfterWrittenBlocksCountsOnlyWhatFollowsIt) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 102);
  ASSERT_TRUE(CopiedWith(CopyOnce(*ctx, 102, 100), "", 0, 101));
  ASSERT_TRUE(CopiedWith(CopyOnce(*ctx, 102, 101), "", 0, 102));
  ASSERT_EQ(ctx->Rows[0].FifoSamples, 2 * 1920);
  CaptureUpTo(kCam25, 110);
  ASSERT_TRUE(CopiedWith(CopyOnce(*ctx, 110, 102), "Quellvox#T::CopyAudio -- Skip#1 6 frames  102 --> 110\n", 6, 109));
  EXPECT_EQ(ctx->Rows[0].FifoBase, 108);
  EXPECT_EQ(ctx->Rows[0].FifoSamples, 1920);
  // One block written from 108: the fifo holds up to 108, so an output at
  // 100 runs 8 frames behind it.
  EXPECT_EQ(AudioFullnessSample(*ctx, 0, 100), 8);
}

TEST_F(CopyAudioTest, TrailingByMaxLagExactlyCopiesWithoutSkipping) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 105);
  const CopyResult r = CopyOnce(*ctx, 105, 100);
  ASSERT_TRUE(CopiedWith(r, "", 0, 101));
  EXPECT_EQ(ctx->Rows[0].FifoBase, 0);  // the assembly's position stands
}

TEST_F(CopyAudioTest, NoNewFrameCopiesNothing) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 100);
  const CopyResult r = CopyOnce(*ctx, 100, 100);
  EXPECT_FALSE(r.Copied);
  EXPECT_EQ(r.Next, 100);
  EXPECT_EQ(ctx->Rows[0].FifoSamples, 0);
}

TEST_F(CopyAudioTest, LaterDeliveredFrameIsSkipTwoAndTheBlockLandsThere) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 204);
  Fault(st::FaultRule::On("ReadAudio").At("device 0").DeliveringLater(3));
  const CopyResult r = CopyOnce(*ctx, 204, 200);
  ASSERT_TRUE(CopiedWith(r, "Quellvox#T::CopyAudio -- Skip#2 3 frames  200 --> 204\n", 3, 204));
  EXPECT_EQ(ctx->Rows[0].FifoBase, 203);
  const st::EngineReport report = st::GetEngineReport(kE25);
  EXPECT_EQ(FindFifo(*Layer(report), 1)->StartPosition, 203);
  EXPECT_EQ(FindFifo(*Layer(report), 1)->WrittenSamples, 1920);
}

// The capture's audio, delivering the frame `Back` frames before the one
// asked for (a source whose clock went back).
class EarlierAudio final : public ComObjectBase, public IZRCaptureAudio {
 public:
  EarlierAudio(ComPtr<IZRCaptureAudio> inner, int64_t back) : inner_(std::move(inner)), back_(back) {}
  QUELLVOX_COM_REFCOUNT
  HResult QueryInterface(const Guid& iid, void** out) override {
    if (!(iid == Unknown::kIid || iid == IZRCaptureAudio::kIid)) return E_NOINTERFACE;
    AddRef();
    *out = static_cast<IZRCaptureAudio*>(this);
    return S_OK;
  }
  HResult ReadAudio(void* buffer, int32_t capacity, int64_t* position, int32_t* byteCount, int32_t mode,
                    uint32_t channelMask) override {
    *position -= back_;
    return inner_->ReadAudio(buffer, capacity, position, byteCount, mode, channelMask);
  }
  HResult Reserved4() override { return E_NOTIMPL; }
  HResult Reserved5() override { return E_NOTIMPL; }
  HResult GetAudioFormat(AudioFormat* format) override { return inner_->GetAudioFormat(format); }

  static ComPtr<IZRCaptureAudio> Wrap(const ComPtr<IZRCaptureAudio>& inner, int64_t back) {
    ComPtr<IZRCaptureAudio> p;
    p.Attach(new EarlierAudio(inner, back));
    return p;
  }

 private:
  ComPtr<IZRCaptureAudio> inner_;
  int64_t back_;
};

TEST_F(CopyAudioTest, EarlierDeliveredFrameIsSkipTwoWithANegativeCount) {
  auto ctx = Prepared();
  ctx->MainAudio = EarlierAudio::Wrap(ctx->MainAudio, 1);
  CaptureUpTo(kCam25, 102);
  const CopyResult r = CopyOnce(*ctx, 102, 100);
  // Frame 99 was copied.
  ASSERT_TRUE(CopiedWith(r, "Quellvox#T::CopyAudio -- Skip#2 -1 frames  100 --> 102\n", -1, 100));
  EXPECT_EQ(ctx->Rows[0].FifoBase, 99);
}

TEST_F(CopyAudioTest, EarlierFrameAfterSkipOneCountsOnlyTheFramesNeverRead) {
  auto ctx = Prepared();
  ctx->MainAudio = EarlierAudio::Wrap(ctx->MainAudio, 1);
  CaptureUpTo(kCam25, 106);
  const CopyResult r = CopyOnce(*ctx, 106, 100);
  // Skipped: frames 100 to 102; 103 was read.
  ASSERT_TRUE(CopiedWith(r,
                         "Quellvox#T::CopyAudio -- Skip#1 4 frames  100 --> 106\n"
                         "Quellvox#T::CopyAudio -- Skip#2 -1 frames  104 --> 106\n",
                         3, 104));
  EXPECT_EQ(ctx->Rows[0].FifoBase, 103);
}

TEST_F(CopyAudioTest, WovenTargetRebasesToHalfTheDistance) {
  core_->Settings.CaptureSource = kCam50;
  core_->Settings.TitleEngineMask = (1u << kE25iTop) | (1u << kE50);
  auto ctx = Prepared();
  CaptureUpTo(kCam50, 106);
  const CopyResult r = CopyOnce(*ctx, 106, 100);
  ASSERT_TRUE(r.Copied);
  EXPECT_EQ(ctx->Rows[0].FifoBase, 52);   // woven
  EXPECT_EQ(ctx->Rows[1].FifoBase, 104);  // frame for frame
  EXPECT_EQ(FindFifo(*Layer(st::GetEngineReport(kE25iTop)), 0)->StartPosition, 52);
  EXPECT_EQ(FindFifo(*Layer(st::GetEngineReport(kE50)), 1)->StartPosition, 104);
  EXPECT_DOUBLE_EQ(ctx->Rows[0].SamplesPerTargetFrame, 1920.0);
  EXPECT_DOUBLE_EQ(ctx->Rows[1].SamplesPerTargetFrame, 960.0);
}

struct SmallDelayCase {
  int32_t Delay;
  int64_t Pos;
  int64_t NextAfter;
  const char* Trace;
};

constexpr const char* kZeroJump = "Quellvox#T::CopyAudio -- Skip#1 0 frames  100 --> 102\n";

class CopyAudioSmallDelay : public PipelineFixture, public ::testing::WithParamInterface<SmallDelayCase> {};

// A delay below 4 leaves MaxLag at 0 or 1 (negative for a negative stored
// delay): a lag of 1 would jump backwards, so there is no jump; a lag of 2
// jumps 0 frames, traced as such.
TEST_P(CopyAudioSmallDelay, NeverStepsBackNorCountsNegativeSkips) {
  core_->Settings.DelayInFrames = GetParam().Delay;
  auto ctx = Prepared();
  CaptureUpTo(kCam25, GetParam().Pos);
  const CopyResult r = CopyOnce(*ctx, GetParam().Pos, 100);
  ASSERT_TRUE(CopiedWith(r, GetParam().Trace, 0, GetParam().NextAfter));
}

INSTANTIATE_TEST_SUITE_P(MaxLagZeroOrOne, CopyAudioSmallDelay,
                         ::testing::Values(SmallDelayCase{1, 101, 101, ""},
                                           SmallDelayCase{1, 102, 101, kZeroJump},
                                           SmallDelayCase{2, 102, 101, kZeroJump},
                                           SmallDelayCase{3, 101, 101, ""},
                                           SmallDelayCase{-9, 101, 101, ""},
                                           SmallDelayCase{-9, 102, 101, kZeroJump}));

TEST_F(CopyAudioTest, SmallDelayStillJumpsWhenFarBehind) {
  core_->Settings.DelayInFrames = 1;  // MaxLag 0
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 110);
  const CopyResult r = CopyOnce(*ctx, 110, 100);
  ASSERT_TRUE(CopiedWith(r, "Quellvox#T::CopyAudio -- Skip#1 8 frames  100 --> 110\n", 8, 109));
}

TEST_F(CopyAudioTest, EveryFifoOfAFourFifoTargetTakesTheWholeBlock) {
  core_->Settings.TitleEngineMask = 1u << kE25iBottom;  // five lines: fifos 1 to 4
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 1);
  ASSERT_TRUE(CopyOnce(*ctx, 1, 0).Copied);
  const st::EngineReport report = st::GetEngineReport(kE25iBottom);
  ASSERT_EQ(Layer(report)->Fifos.size(), 4u);
  // 1920 sample frames of 8 channels came in (61,440 bytes); 1920 stereo
  // frames (15,360 bytes) went to each fifo.
  for (const auto& f : Layer(report)->Fifos) EXPECT_EQ(f.WrittenSamples, 1920) << f.Number;
}

TEST_F(CopyAudioTest, PlaneJGoesToFifoFirstPlusJ) {
  core_->Settings.TitleEngineMask = 1u << kE25iBottom;  // fifos 1 to 4
  core_->Settings.UseCommon = false;                    // every line counts as voice
  core_->Settings.Lines[0] = {true, {Stereo, 3}, {Stereo, 0}, 0};
  core_->Settings.Lines[1] = {true, {Stereo, 2}, {Stereo, 3}, 0};
  st::KeepPresentedAudio(4 * 1920);
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 1);
  ASSERT_TRUE(CopyOnce(*ctx, 1, 0).Copied);

  const int32_t base = Layer(st::GetEngineReport(kE25iBottom))->Base;
  st::AdvanceToEngineOutput(kE25iBottom, base + 1);  // target frame 0 presented
  const st::EngineReport report = st::GetEngineReport(kE25iBottom);
  st::KeepPresentedAudio(0);
  const std::vector<float> source = st::ExpectedCaptureAudio(kCam25, 0);
  ASSERT_EQ(source.size(), 1920u * 8);
  const int64_t first = st::EngineSampleOfPosition(kE25iBottom, base);
  // Fifo 1 carries pair 3, fifo 4 pair 2, bit for bit (gain 1); 2 and 3 silence.
  const int32_t pairOf[5] = {-1, 3, -1, -1, 2};
  for (const auto& f : Layer(report)->Fifos) {
    ASSERT_GE(f.PresentedStartSample, 0);
    const int64_t at = first - f.PresentedStartSample;
    ASSERT_GE(at, 0);
    ASSERT_GE(static_cast<int64_t>(f.Presented.size()), (at + 1920) * 2);
    int64_t wrong = 0;
    for (int64_t s = 0; s < 1920; ++s) {
      for (int32_t c = 0; c < 2; ++c) {
        const float want = pairOf[f.Number] < 0 ? 0.0f : source[static_cast<size_t>(s * 8 + 2 * pairOf[f.Number] + c)];
        if (f.Presented[static_cast<size_t>((at + s) * 2 + c)] != want) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0) << "fifo " << f.Number;
  }
}

TEST_F(CopyAudioTest, RefusedWriteIsRedoneOnlyForTheFifosStillWaiting) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 2);
  // The second WriteFifo (fifo 2 of block 0) is refused.
  Fault(st::FaultRule::On("WriteFifo").Skipping(1));
  int64_t next = 0;
  int64_t skipped = 0;
  EXPECT_FALSE(CopyAudio(*ctx, 2, next, skipped));
  EXPECT_EQ(next, 0);
  EXPECT_EQ(ctx->Rows[0].FifoSamples, 0);
  ASSERT_TRUE(CopyAudio(*ctx, 2, next, skipped));  // block 0 again
  ASSERT_TRUE(CopyAudio(*ctx, 2, next, skipped));  // block 1
  EXPECT_EQ(next, 2);
  EXPECT_EQ(ctx->Rows[0].FifoSamples, 2 * 1920);
  const st::EngineReport report = st::GetEngineReport(kE25);
  EXPECT_EQ(FindFifo(*Layer(report), 1)->WrittenSamples, 2 * 1920);
  EXPECT_EQ(FindFifo(*Layer(report), 2)->WrittenSamples, 2 * 1920);
}

class PumpPass : public PipelineFixture {
 protected:
  // A pass that copies nothing: the capture's newest position is `pos` and
  // the pump already stands there.
  void IdlePasses(PumpContext& ctx, PumpLoopState& loop, int32_t passes) {
    for (int32_t i = 0; i < passes; ++i) ASSERT_FALSE(RunPumpPass(ctx, loop, core_->Stats));
  }
};

TEST_F(PumpPass, FullnessVerdictIsTracedOnlyWhenItChanges) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 50);
  PumpLoopState loop;
  loop.NextPos = 50;
  LayerStatus status;
  ctx->Rows[0].LayerVideo->GetStatus(&status);
  const int32_t output = status.OutputFrame();
  ASSERT_GE(output, 0);

  TraceCapture traces;
  ctx->Rows[0].FifoBase = output + 5;  // 4 frames queued ahead: good
  IdlePasses(*ctx, loop, 100);
  EXPECT_EQ(core_->Stats.AudioFullness[0].Min.load(), 4);
  EXPECT_EQ(core_->Stats.AudioFullness[0].MeanWhole.load(), 4);
  ctx->Rows[0].FifoBase = 0;  // behind the output: 0
  IdlePasses(*ctx, loop, 99);
  EXPECT_EQ(core_->Stats.AudioFullness[0].Min.load(), 4) << "published before the 100th sample";
  IdlePasses(*ctx, loop, 1);
  EXPECT_EQ(core_->Stats.AudioFullness[0].Min.load(), 0);
  IdlePasses(*ctx, loop, 100);  // bad again: no second trace
  ctx->Rows[0].FifoBase = output + 5;
  IdlePasses(*ctx, loop, 100);
  ctx->Rows[0].FifoBase = 0;
  IdlePasses(*ctx, loop, 100);
  EXPECT_EQ(traces.Take(),
            "Quellvox#T::Audio fullness BAD - goto ZERO!!!\n"
            "Quellvox#T::Audio fullness OK - goto big!!!\n"
            "Quellvox#T::Audio fullness BAD - goto ZERO!!!\n");
}

TEST_F(PumpPass, ResetInAPassWithSkipsLeavesEveryCounterAtZero) {
  auto ctx = Prepared();
  PipelineStats& stats = core_->Stats;
  stats.SkipAudio = 7;
  stats.SkipVideo[0] = 3;
  stats.SkipVideo[31] = 2;
  stats.ResetRequested.store(1, std::memory_order_release);
  CaptureUpTo(kCam25, 106);
  PumpLoopState loop;
  loop.NextPos = 100;
  TraceCapture traces;
  ASSERT_TRUE(RunPumpPass(*ctx, loop, stats));  // Skip#1 of 4 frames in this pass
  EXPECT_EQ(stats.SkipAudio.load(), 0);
  EXPECT_EQ(stats.SkipVideo[0].load(), 0);
  EXPECT_EQ(stats.SkipVideo[31].load(), 0);
  EXPECT_EQ(stats.ResetRequested.load(), 0);
  // Without a request the next skip counts again.
  CaptureUpTo(kCam25, 120);
  ASSERT_TRUE(RunPumpPass(*ctx, loop, stats));
  EXPECT_EQ(stats.SkipAudio.load(), 13);
  traces.Take();
}

TEST_F(PumpPass, AnEarlierFrameAloneAddsNoSkip) {
  auto ctx = Prepared();
  ctx->MainAudio = EarlierAudio::Wrap(ctx->MainAudio, 2);
  core_->Stats.SkipAudio = 5;
  CaptureUpTo(kCam25, 101);
  PumpLoopState loop;
  loop.NextPos = 100;
  TraceCapture traces;
  ASSERT_TRUE(RunPumpPass(*ctx, loop, core_->Stats));
  EXPECT_EQ(traces.Take(), "Quellvox#T::CopyAudio -- Skip#2 -2 frames  100 --> 101\n");
  EXPECT_EQ(core_->Stats.SkipAudio.load(), 5);
  EXPECT_EQ(loop.NextPos, 99);
}

TEST_F(PumpPass, VoiceStaysDetectedForFourFramesAfterTheLastVoice) {
  auto ctx = Prepared();
  CaptureUpTo(kCam25, 50);
  PumpLoopState loop;
  loop.NextPos = 50;
  ctx->Mixer.LastVoicePos[4] = 46;  // pos 50 = last voice + 4
  ctx->Mixer.LastVoicePos[5] = 45;  // pos 50 = last voice + 5
  // The comparison is unsigned: a last voice at a negative position reads
  // as one far ahead of pos.
  ctx->Mixer.LastVoicePos[6] = -100;
  ctx->Mixer.LastVoicePos[7] = kNoVoiceYet;  // as the pump starts
  core_->Stats.VoiceLevelDB[4] = 9;
  core_->Stats.InterNoiseDB = 9;
  IdlePasses(*ctx, loop, 1);
  EXPECT_EQ(core_->Stats.VoiceDetected[4].load(), 1);
  EXPECT_EQ(core_->Stats.VoiceDetected[5].load(), 0);
  EXPECT_EQ(core_->Stats.VoiceDetected[6].load(), 1);
  EXPECT_EQ(core_->Stats.VoiceDetected[7].load(), 0);
  EXPECT_EQ(core_->Stats.VoiceLevelDB[4].load(), 0);
  EXPECT_EQ(core_->Stats.InterNoiseDB.load(), 0);
  EXPECT_EQ(core_->Stats.ProcessingSeconds.load(), 2);
}

struct SecondsCase {
  int64_t Pos;
  int64_t Start;
  double Rate;
  int32_t Seconds;
};

class ProcessingSeconds : public ::testing::TestWithParam<SecondsCase> {};

TEST_P(ProcessingSeconds, RoundsAndNeverOverflows) {
  const SecondsCase c = GetParam();
  EXPECT_EQ(ProcessingSecondsFor(c.Pos, c.Start, c.Rate), c.Seconds);
}

constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();
constexpr int32_t kMax32 = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessingSeconds,
    ::testing::Values(SecondsCase{262, 0, 25.0, 10}, SecondsCase{263, 0, 25.0, 11},
                      SecondsCase{0, 100, 25.0, -3},  // a failed position reads as before the start
                      SecondsCase{500, 0, 0.0, 0}, SecondsCase{500, 0, -25.0, 0},
                      SecondsCase{500, 0, std::numeric_limits<double>::quiet_NaN(), 0},
                      SecondsCase{500, 0, std::numeric_limits<double>::infinity(), 0},
                      SecondsCase{kMax64, kMin64, 25.0, kMax32}, SecondsCase{kMin64, kMax64, 25.0, kMin32},
                      SecondsCase{kMax64, 0, 1e-300, kMax32}));

TEST(AudioFullnessSample, RoundsQueuedSamplesUpFromFourFifthsOfAFrame) {
  PumpContext ctx;
  ctx.Rows[0].SamplesPerTargetFrame = 1920.0;
  ctx.Rows[0].FifoBase = 10;
  ctx.Rows[0].FifoSamples = 1537;  // 0.8005 frames: not yet one
  EXPECT_EQ(AudioFullnessSample(ctx, 0, 2), 7);
  ctx.Rows[0].FifoSamples = 1538;  // 0.8010 frames: one
  EXPECT_EQ(AudioFullnessSample(ctx, 0, 2), 8);
  ctx.Rows[0].FifoSamples = 3 * 1920;
  EXPECT_EQ(AudioFullnessSample(ctx, 0, 2), 10);
  EXPECT_EQ(AudioFullnessSample(ctx, 0, 100), 0) << "behind the output counts 0";
}

TEST(AudioFullnessSample, ZeroOrBrokenSampleRateCountsNoQueuedFrame) {
  PumpContext ctx;
  ctx.Rows[0].FifoBase = 10;
  ctx.Rows[0].FifoSamples = 5000;
  for (const double perFrame : {0.0, -1920.0, std::numeric_limits<double>::quiet_NaN(),
                                std::numeric_limits<double>::infinity()}) {
    ctx.Rows[0].SamplesPerTargetFrame = perFrame;
    EXPECT_EQ(AudioFullnessSample(ctx, 0, 2), 7) << perFrame;
  }
}

TEST(AudioFullnessSample, TinyFrameLengthSaturatesInsteadOfOverflowing) {
  PumpContext ctx;
  ctx.Rows[0].FifoBase = std::numeric_limits<int32_t>::max();
  ctx.Rows[0].FifoSamples = 5000;
  ctx.Rows[0].SamplesPerTargetFrame = 1e-300;
  EXPECT_EQ(AudioFullnessSample(ctx, 0, std::numeric_limits<int32_t>::min()), std::numeric_limits<int32_t>::max());
  ctx.Rows[0].FifoBase = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(AudioFullnessSample(ctx, 0, std::numeric_limits<int32_t>::max()), std::numeric_limits<int32_t>::max());
}

class PumpStart : public PipelineFixture {};

TEST_F(PumpStart, MissingClockEndsThePumpBeforeAnyVideoThread) {
  core_->Settings.TitleEngineMask = (1u << kE25) | (1u << kE25iBottom);
  ASSERT_EQ(core_->AssemblePipeline().Message(), "");
  core_->Pipeline.Rows[1].Clock.Reset();
  core_->Stats.ProcessingSeconds = 12345;
  core_->Stats.SkipVideo[0] = 4;
  CaptureUpTo(kCam25, 30);

  std::atomic<uint8_t> stop{0};
  std::atomic<bool> ended{false};
  std::thread pump([&] {
    RunAudioPump(CreatePumpContext(core_->InstanceId, core_->Pipeline, core_->Settings), stop, core_->Mixer,
                 core_->Stats);
    ended.store(true);
  });
  const bool endedAlone = WaitFor([&] { return ended.load(); }, std::chrono::milliseconds(5000));
  stop.store(1, std::memory_order_release);
  pump.join();
  EXPECT_TRUE(endedAlone) << "the pump ran its loop";
  for (const int32_t engine : {kE25, kE25iBottom}) {
    const st::EngineReport report = st::GetEngineReport(engine);
    const st::LayerReport* layer = Layer(report);
    ASSERT_NE(layer, nullptr);
    EXPECT_FALSE(layer->Positioned);
    EXPECT_EQ(layer->BuffersLent, 0);
    for (const auto& f : layer->Fifos) EXPECT_EQ(f.WrittenSamples, 0);
  }
  EXPECT_EQ(core_->Stats.ProcessingSeconds.load(), 12345);
  EXPECT_EQ(core_->Stats.SkipVideo[0].load(), 4);
}

TEST_F(PumpStart, ChangedMixerSettingsAreTakenOnceAndTheLineStateStays) {
  auto ctx = Prepared();
  ctx->Mixer.FloorGain[0] = 0.3f;
  ctx->Mixer.LastVoicePos[0] = 77;
  DuckerSettings& shared = core_->Settings;
  shared.TimeoutInFrames = 50;
  shared.DecreaseDB = 6;
  shared.Lines[0].VolumeDB = -6;
  shared.Lines[7] = {true, {Left, 2}, {Right, 1}, 3};
  shared.UseCommon = false;
  shared.CommonLine = {Right, 3};
  shared.NoiseLevelDB = 20;
  shared.CpuPriority = 1;
  shared.DelayInFrames = 99;       // not taken while running
  shared.RegionName = "Renamed";   // not taken while running
  core_->PublishMixerSettings();

  EXPECT_TRUE(ReloadMixerSettings(*ctx, core_->Mixer));
  EXPECT_FALSE(core_->Mixer.MixerChanged());
  EXPECT_EQ(ctx->Settings.TimeoutInFrames, 50);
  EXPECT_EQ(ctx->Settings.Lines[7], shared.Lines[7]);
  EXPECT_EQ(ctx->Mixer.LineGain[0], DbToGain(-6));
  EXPECT_EQ(ctx->Mixer.DuckGain, DbToGain(-6));
  EXPECT_FALSE(ctx->Settings.UseCommon);
  EXPECT_EQ(ctx->Settings.CommonLine, (AudioLineRef{Right, 3}));
  EXPECT_EQ(ctx->Mixer.VoiceThreshold, 0.1f);
  EXPECT_EQ(ctx->Settings.CpuPriority.Load(), 1);
  EXPECT_EQ(ctx->Settings.DelayInFrames, 10);
  EXPECT_EQ(ctx->Settings.RegionName, "Relay");
  EXPECT_EQ(ctx->MaxLag, 5);
  EXPECT_EQ(ctx->Mixer.FloorGain[0], 0.3f);
  EXPECT_EQ(ctx->Mixer.LastVoicePos[0], 77);
  EXPECT_FALSE(ReloadMixerSettings(*ctx, core_->Mixer));
  ApplyThreadPriority(0);  // the reload raised this test thread's priority
}

// Every field of part n follows from n, so that a part made of two
// publications shows at once.
MixerPart NumberedPart(int32_t n) {
  MixerPart p;
  for (int32_t i = 0; i < kVoiceOverLines; ++i) {
    p.Lines[i] = {(n + i) % 2 == 0, {(n + i) % 3, (n + i) % 9}, {(n + 2 * i) % 3, (n * 7 + i) % 9}, n + i};
  }
  p.UseCommon = n % 2 == 1;
  p.CommonLine = {n % 3, n % 9};
  p.DecreaseDB = n;
  p.NoiseLevelDB = n * 3;
  p.TimeoutInFrames = n ^ 0x5A5A;
  p.CpuPriority = 0;  // the reload applies it to the reading thread
  return p;
}

// The user-interface side publishes thousands of parts while a pump takes
// them pass after pass: every part the pump ends up with is one that was
// published whole, and never older than the one it had.
TEST(MixerHandoffRace, ThePumpNeverMixesWithAHalfWrittenPart) {
  constexpr int32_t kParts = 20000;
  MixerHandoff handoff;
  std::atomic<bool> go{false};
  std::atomic<int32_t> taken{0};
  std::atomic<int32_t> torn{0};
  std::atomic<int32_t> older{0};
  std::atomic<bool> published{false};
  std::atomic<int32_t> lastTaken{-1};
  std::thread pump([&] {
    PumpContext ctx;
    int32_t last = -1;
    while (!go.load(std::memory_order_acquire)) {
    }
    // The last part must arrive: once every part is out, a few seconds
    // (far more than a pass takes, also on a loaded machine under the
    // sanitizers) bound the wait, so that a lost publish fails here instead
    // of looping until the suite's own timeout.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    while (last < kParts) {
      if (deadline == std::chrono::steady_clock::time_point::max() && published.load(std::memory_order_acquire)) {
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      }
      if (!ReloadMixerSettings(ctx, handoff)) {
        if (std::chrono::steady_clock::now() > deadline) break;
        continue;
      }
      const MixerPart got = MixerPartOf(ctx.Settings);
      const int32_t n = got.DecreaseDB;
      if (!(got == NumberedPart(n))) torn.fetch_add(1, std::memory_order_relaxed);
      if (n < last) older.fetch_add(1, std::memory_order_relaxed);
      last = n;
      taken.fetch_add(1, std::memory_order_relaxed);
    }
    lastTaken.store(last, std::memory_order_relaxed);
  });
  go.store(true, std::memory_order_release);
  for (int32_t n = 1; n <= kParts; ++n) handoff.Publish(NumberedPart(n));
  published.store(true, std::memory_order_release);
  pump.join();
  EXPECT_EQ(lastTaken.load(), kParts) << "the newest part never reached the pump";
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(older.load(), 0);
  EXPECT_GE(taken.load(), 1);
  EXPECT_FALSE(handoff.MixerChanged());
}

// A part published while nothing ran is older than the copy a new pump
// starts from: the start drops it, so the pump keeps the record's values.
TEST_F(PumpStart, APartPublishedWhileStoppedIsNotTakenByTheNextRun) {
  core_->Settings.DecreaseDB = 6;
  core_->PublishMixerSettings();
  core_->Settings.DecreaseDB = 12;  // changed again, not published
  core_->Settings.TitleEngineMask = 1u << kE25;
  ASSERT_TRUE(core_->StartPipeline());
  EXPECT_FALSE(core_->Mixer.MixerChanged());
  core_->StopPipeline();
}

struct PositionCase {
  const char* Name;
  int64_t ClockPos;
  int64_t ClockTime;
  int64_t StartTime;
  double Rate;
  int32_t Delay;
  bool Weave;
  int64_t Base;
};

void PrintTo(const PositionCase& c, std::ostream* os) { *os << c.Name; }

class LayerPosition : public ::testing::TestWithParam<PositionCase> {};

TEST_P(LayerPosition, PutsTheFirstFrameDelayCaptureFramesAfterTheStart) {
  const PositionCase c = GetParam();
  EXPECT_EQ(LayerStartPosition(c.ClockPos, c.ClockTime, c.StartTime, c.Rate, c.Delay, c.Weave), c.Base);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayerPosition,
    ::testing::Values(
        PositionCase{"SameInstant", 750, 30'000'000, 30'000'000, 25.0, 10, false, 760},
        PositionCase{"ClockOneFrameLater", 751, 30'400'000, 30'000'000, 25.0, 10, false, 760},
        PositionCase{"HalfAFrameElapsedRoundsDown", 751, 30'200'000, 30'000'000, 25.0, 10, false, 761},
        PositionCase{"MoreThanHalfAFrameRoundsUp", 751, 30'201'000, 30'000'000, 25.0, 10, false, 760},
        // Woven: positions and the elapsed time count target frames (25/s).
        PositionCase{"WovenSameInstant", 919, 7'600'000, 7'600'000, 50.0, 10, true, 924},
        PositionCase{"WovenTwoCaptureFramesLater", 920, 8'000'000, 7'600'000, 50.0, 10, true, 924},
        // Half a target frame after the start: the pair goes to the next
        // target frame, never to an earlier one.
        PositionCase{"WovenHalfAFrameAfterTheStart", 919, 7'800'000, 7'600'000, 50.0, 10, true, 924},
        PositionCase{"WovenHalfAFrameBeforeTheStart", 950, 20'000'000, 20'200'000, 50.0, 10, true, 956},
        PositionCase{"WovenOddDelayRoundsTheBaseDown", 919, 7'600'000, 7'600'000, 50.0, 11, true, 924},
        PositionCase{"ZeroRate", 100, 99'000'000, 0, 0.0, 10, false, 110}),
    [](const ::testing::TestParamInfo<PositionCase>& p) { return std::string(p.param.Name); });

}  // namespace
}  // namespace quellvox::pipeline_testing
