#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pipeline_fixture.h"

namespace quellvox::pipeline_testing {
namespace {

using st::FaultRule;

constexpr HResult kDenied = static_cast<HResult>(0x80070005u);  // -2147024891
constexpr HResult kOdd = static_cast<HResult>(0x8004ABCDu);     // -2147177523

// Rows 0 and 1 are engines 0 and 2, both frame for frame from Cam25: a
// failure on row 1 must name catalogue position 2.
void TwoRows(InstanceCore& c) { c.Settings.TitleEngineMask = (1u << kE25) | (1u << kE25iBottom); }

// Two rows, the show-on-start type `show` (unless negative) and `rule`.
std::function<void(InstanceCore&)> OnTwoRows(FaultRule rule, int32_t show = -1) {
  return [rule, show](InstanceCore& c) {
    TwoRows(c);
    if (show >= 0) c.Settings.ShowOnStartType = show;
    Fault(rule);
  };
}

struct MessageCase {
  const char* Name;
  std::function<void(InstanceCore&)> Arrange;
  const char* Text;
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.Name; }

class AssemblyMessage : public PipelineFixture, public ::testing::WithParamInterface<MessageCase> {};

// Every start that fails shows exactly one message box with the assembly's
// text, captioned with the program name, error icon and topmost, and leaves
// nothing running.
TEST_P(AssemblyMessage, StartShowsTheMessageWordForWord) {
  GetParam().Arrange(*core_);
  EXPECT_FALSE(core_->StartPipeline());
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text, GetParam().Text);
  EXPECT_EQ(messages_.Shown[0].Caption, "Quellvox");
  EXPECT_EQ(messages_.Shown[0].Style, 0x00040010u);
  EXPECT_FALSE(core_->Pipeline.AudioThread.joinable());
  core_->StopPipeline();
  st::ClearFaults();
  EXPECT_EQ(st::LiveObjects(), live_ + 3) << "only the catalogues' components stay";
}

const MessageCase kMessages[] = {
    {"CaptureObject_SourceOutsideCatalogue", [](InstanceCore& c) { c.Settings.CaptureSource = 2; },
     "Can't create capture object, error = 0x80004005/-2147467259."},
    {"CaptureObject_CreateDeviceFails",
     [](InstanceCore&) { Fault(FaultRule::On("CreateDevice").At("device 0").Returning(kDenied)); },
     "Can't create capture object, error = 0x80070005/-2147024891."},
    {"CaptureInterfaces_NoAudioInterface",
     [](InstanceCore&) {
       Fault(FaultRule::On("QueryInterface").ForInterface("IZRCaptureAudio").At("device 0").Returning(E_NOINTERFACE));
     },
     "System error: Capture object don't support required interfaces."},
    {"InputVideoFormat", [](InstanceCore&) { Fault(FaultRule::On("GetVideoFormat").Returning(kOdd)); },
     "System error: Can't obtain input video format, error = 0x8004ABCD/-2147177523."},
    {"InputAudioFormat", [](InstanceCore&) { Fault(FaultRule::On("GetAudioFormat").Returning(E_FAIL)); },
     "System error: Can't obtain input audio format, error = 0x80004005/-2147467259."},
    {"SourceLine_SourcePairBeyondTheLines",
     [](InstanceCore& c) {
       c.Settings.Lines[3] = {true, {Left, 4}, {Stereo, 0}, 0};  // row 4 asks for stereo line 5 of 4
     },
     "Wrong configuration for Lang.#4:\r\nSource audio don't have stereo line #5\r\n(it have 4 stereo lines only)."},
    {"SourceLine_MonoInput",
     [](InstanceCore& c) {
       c.Settings.Lines[0].From.Pair = 0;
       st::CaptureReports mono;
       mono.Channels = 1;
       st::SetCaptureReports(kCam25, mono);
     },
     "Wrong configuration for Lang.#1:\r\nSource audio don't have stereo line #1\r\n(it have 0 stereo lines only)."},
    {"SourceLine_NegativeSourcePair", [](InstanceCore& c) { c.Settings.Lines[0].From.Pair = -1; },
     "Wrong configuration for Lang.#1:\r\nSource audio don't have stereo line #0\r\n(it have 4 stereo lines only)."},
    {"FloorLine_FloorPairBeyondTheLines",
     [](InstanceCore& c) {
       c.Settings.UseCommon = false;  // checked whether or not the floor is used
       c.Settings.CommonLine.Pair = 4;
     },
     "Wrong configuration for Sinderlift:\r\nSource audio don't have stereo line #5\r\n(it have 4 stereo lines "
     "only)."},
    {"FloorLine_MonoInputWithoutRows",
     [](InstanceCore& c) {
       c.Settings.Lines[0].Use = false;
       st::CaptureReports mono;
       mono.Channels = 1;
       st::SetCaptureReports(kCam25, mono);
     },
     "Wrong configuration for Sinderlift:\r\nSource audio don't have stereo line #1\r\n(it have 0 stereo lines only)."},
    {"FloorLine_NegativeFloorPair", [](InstanceCore& c) { c.Settings.CommonLine.Pair = -3; },
     "Wrong configuration for Sinderlift:\r\nSource audio don't have stereo line #-2\r\n(it have 4 stereo lines "
     "only)."},
    {"TitleTargetCreationFails",
     [](InstanceCore&) { Fault(FaultRule::On("CreateTitleTarget").Returning(kDenied)); },
     "Can't create title target[0], error = 0x80070005/-2147024891."},
    {"TitleTarget_MaskBitBeyondTheCatalogue", [](InstanceCore& c) { c.Settings.TitleEngineMask = 1u << 9; },
     "Can't create title target[9], error = 0x80004005/-2147467259."},
    {"TargetInterfaces_NoClockInterface",
     [](InstanceCore&) {
       Fault(FaultRule::On("QueryInterface").ForInterface("IZRTitleClock").At("engine 0").Returning(E_NOINTERFACE));
     },
     "System error: Target[0] object don't support required interfaces."},
    {"RegionSize",
     [](InstanceCore& c) {
       c.Settings.TitleEngineMask = 1u << kE50;
       c.Settings.CaptureSource = kCam50;
       Fault(FaultRule::On("GetRegionSize").At("engine 3").Returning(E_FAIL));
     },
     "Can't obtain title[3] region size, error = 0x80004005/-2147467259."},
    {"VideoFormat_DifferentSize",
     [](InstanceCore&) {
       st::EngineReports r;
       r.Height = kH + 2;
       st::SetEngineReports(kE25, r);
     },
     "Wrong configuration: Source and target[0] has different video format"},
    {"TargetFrameRate", [](InstanceCore&) { Fault(FaultRule::On("GetFrameRate").Returning(kOdd)); },
     "Can't obtain title[0] region frame rate, error = 0x8004ABCD/-2147177523."},
    {"RateMismatch_TargetAtTwiceTheInputRate", [](InstanceCore& c) { c.Settings.TitleEngineMask = 1u << kE50; },
     "Wrong configuration: Source and target[3] has different frame rate"},
    {"RateMismatch_InterlacedInputAtTwiceTheTargetRate",
     [](InstanceCore& c) {
       c.Settings.CaptureSource = kCam50;
       c.Settings.TitleEngineMask = 1u << kE25iTop;
       st::CaptureReports interlaced;
       interlaced.FieldPhase2 = 0.5;
       st::SetCaptureReports(kCam50, interlaced);
     },
     "Wrong configuration: Source and target[1] has different frame rate"},
    {"RateMismatch_ProgressiveTargetAtHalfTheInputRate",
     [](InstanceCore& c) {
       c.Settings.CaptureSource = kCam50;
       c.Settings.TitleEngineMask = 1u << kE25;
     },
     "Wrong configuration: Source and target[0] has different frame rate"},
    {"LayerCreationFails",
     [](InstanceCore&) { Fault(FaultRule::On("CreateLayer").EveryNth(1).Returning(kDenied)); },
     "Can't create title[0] region (layer), error = 0x80070005/-2147024891."},
    {"LayerInterfaces_SixteenRefusals",
     [](InstanceCore&) { Fault(FaultRule::On("CreateLayer").EveryNth(1).Returning(S_FALSE)); },
     "System error: Layer (title[0] region) don't support required interfaces."},
    {"LayerInterfaces_NoFifoInterface",
     [](InstanceCore&) {
       Fault(FaultRule::On("QueryInterface").ForInterface("IZRLayerAudio").At("engine 0").Returning(E_NOINTERFACE));
     },
     "System error: Layer (title[0] region) don't support required interfaces."},
    {"LayerVisibility",
     [](InstanceCore& c) {
       c.Settings.ShowOnStartType = 1;
       Fault(FaultRule::On("SetProperty").Returning(E_FAIL));
     },
     "Can't manage title[0] region (layer), error = 0x80004005/-2147467259."},
    {"TargetAudioInfo", [](InstanceCore&) { Fault(FaultRule::On("GetAudioInfo").Returning(kOdd)); },
     "System error: Can't obtain target[0] audio info, error = 0x8004ABCD/-2147177523."},
    {"TargetLine_TargetPairBeyondTheUsableLines",
     [](InstanceCore& c) { c.Settings.Lines[5] = {true, {Stereo, 1}, {Right, 2}, 0}; },
     "Wrong configuration for Lang.#6:\r\nTarget[0] audio don't have stereo line #3\r\n(it have 2 stereo lines only)."},
    {"TargetLine_NegativeTargetPair", [](InstanceCore& c) { c.Settings.Lines[0].To.Pair = -1; },
     "Wrong configuration for Lang.#1:\r\nTarget[0] audio don't have stereo line #0\r\n(it have 2 stereo lines only)."},
    {"CreateFifo",
     [](InstanceCore&) { Fault(FaultRule::On("CreateFifo").Skipping(1).Returning(kDenied)); },
     "Can't create output audio fifo #2, error = 0x80070005/-2147024891."},
    {"InitFifo", [](InstanceCore&) { Fault(FaultRule::On("InitFifo").Returning(E_FAIL)); },
     "Can't init target[0] audio fifo #1, error = 0x80004005/-2147467259."},
    {"FifoMute",
     [](InstanceCore& c) {
       c.Settings.ShowOnStartType = 2;
       Fault(FaultRule::On("SetMute").Skipping(1).Returning(kOdd));
     },
     "Can't unmute target[0] audio fifo #2, error = 0x8004ABCD/-2147177523."},
    {"FifoVolume",
     [](InstanceCore& c) {
       c.Settings.ShowOnStartType = 7;  // acts as Hide
       Fault(FaultRule::On("SetVolume").Returning(E_FAIL));
     },
     "Can't set volume for target[0] audio fifo #1, error = 0x80004005/-2147467259."},
    {"RowCaptureObject",
     [](InstanceCore& c) {
       c.Settings.TitleEngineMask = (1u << kE25) | (1u << kE25iBottom);
       c.Settings.CaptureSource = kCam25;  // both rows frame for frame
       Fault(FaultRule::On("CreateDevice").At("device 0").Skipping(2).Returning(kDenied));
     },
     "Can't create capture object for TE[2/2], error = 0x80070005/-2147024891."},
    {"RowCaptureInterface",
     [](InstanceCore&) {
       Fault(FaultRule::On("QueryInterface")
                 .ForInterface("IZRCaptureVideoEx")
                 .At("device 0")
                 .Skipping(1)
                 .Returning(E_NOINTERFACE));
     },
     "System error: Capture object don't support interface IZRCaptureVideoEx, region[1/1]."},
    // The 16 layer numbers: the last result decides between 13 and 14.
    {"Layer_LastOfSixteenNegative",
     [](InstanceCore&) {
       Fault(FaultRule::On("CreateLayer").Skipping(15).Returning(kOdd));
       Fault(FaultRule::On("CreateLayer").EveryNth(1).Returning(S_FALSE));
     },
     "Can't create title[0] region (layer), error = 0x8004ABCD/-2147177523."},
    {"LayerInterfaces_LastOfSixteenPositive",
     [](InstanceCore&) {
       Fault(FaultRule::On("CreateLayer").Skipping(15).Returning(S_FALSE));
       Fault(FaultRule::On("CreateLayer").EveryNth(1).Returning(kDenied));
     },
     "System error: Layer (title[0] region) don't support required interfaces."},
    // Failures on the second row name the engine by its catalogue position.
    {"TitleTarget_SecondRow",
     OnTwoRows(FaultRule::On("CreateTitleTarget").Skipping(1).Returning(kDenied)),
     "Can't create title target[2], error = 0x80070005/-2147024891."},
    {"TargetInterfaces_SecondRow",
     OnTwoRows(FaultRule::On("QueryInterface").ForInterface("IZRTitleRegions").At("engine 2").Returning(E_NOINTERFACE)),
     "System error: Target[2] object don't support required interfaces."},
    {"RegionSize_SecondRow",
     OnTwoRows(FaultRule::On("GetRegionSize").At("engine 2").Returning(kOdd)),
     "Can't obtain title[2] region size, error = 0x8004ABCD/-2147177523."},
    {"VideoFormat_SecondRow",
     [](InstanceCore& c) {
       TwoRows(c);
       st::EngineReports r;
       r.Width = kW * 2;
       st::SetEngineReports(kE25iBottom, r);
     },
     "Wrong configuration: Source and target[2] has different video format"},
    {"TargetFrameRate_SecondRow",
     OnTwoRows(FaultRule::On("GetFrameRate").At("engine 2").Returning(E_FAIL)),
     "Can't obtain title[2] region frame rate, error = 0x80004005/-2147467259."},
    {"RateMismatch_SecondRow",
     [](InstanceCore& c) {
       TwoRows(c);
       st::EngineReports r;
       r.Rate = 30.0;
       st::SetEngineReports(kE25iBottom, r);
     },
     "Wrong configuration: Source and target[2] has different frame rate"},
    {"Layer_SecondRow",
     OnTwoRows(FaultRule::On("CreateLayer").At("engine 2").EveryNth(1).Returning(kDenied)),
     "Can't create title[2] region (layer), error = 0x80070005/-2147024891."},
    {"LayerInterfaces_SecondRow",
     OnTwoRows(FaultRule::On("QueryInterface").ForInterface("IZRLayer").At("engine 2").Returning(E_NOINTERFACE)),
     "System error: Layer (title[2] region) don't support required interfaces."},
    {"LayerVisibility_SecondRow",
     OnTwoRows(FaultRule::On("SetProperty").At("engine 2").Returning(kOdd), 2),
     "Can't manage title[2] region (layer), error = 0x8004ABCD/-2147177523."},
    {"TargetAudioInfo_SecondRow",
     OnTwoRows(FaultRule::On("GetAudioInfo").At("engine 2").Returning(E_FAIL)),
     "System error: Can't obtain target[2] audio info, error = 0x80004005/-2147467259."},
    {"TargetLine_SecondRow",
     [](InstanceCore& c) {
       TwoRows(c);
       c.Settings.Lines[0].To.Pair = 1;  // engine 0 has 2 usable lines, engine 2 reports 2 lines: 1 usable
       st::EngineReports r;
       r.StereoLines = 2;
       st::SetEngineReports(kE25iBottom, r);
     },
     "Wrong configuration for Lang.#1:\r\nTarget[2] audio don't have stereo line #2\r\n(it have 1 stereo lines only)."},
    {"CreateFifo_SecondRow",
     OnTwoRows(FaultRule::On("CreateFifo").At("engine 2").Skipping(3).Returning(kDenied)),
     "Can't create output audio fifo #4, error = 0x80070005/-2147024891."},
    {"InitFifo_SecondRow",
     OnTwoRows(FaultRule::On("InitFifo").At("engine 2").Skipping(2).Returning(kOdd)),
     "Can't init target[2] audio fifo #3, error = 0x8004ABCD/-2147177523."},
    {"FifoMute_SecondRow",
     OnTwoRows(FaultRule::On("SetMute").At("engine 2").Returning(kDenied), 1),
     "Can't unmute target[2] audio fifo #1, error = 0x80070005/-2147024891."},
    {"FifoVolume_SecondRow",
     OnTwoRows(FaultRule::On("SetVolume").At("engine 2").Skipping(3).Returning(E_FAIL), 1),
     "Can't set volume for target[2] audio fifo #4, error = 0x80004005/-2147467259."},
};

INSTANTIATE_TEST_SUITE_P(AllMessages, AssemblyMessage, ::testing::ValuesIn(kMessages),
                         [](const ::testing::TestParamInfo<MessageCase>& p) { return std::string(p.param.Name); });

// The frame-rate test between the input (Cam25) and a target (E25), on the
// rates and field phases the two report: frame for frame when the ratio q
// lies strictly between 0.999 and 1.001; woven when it lies strictly
// between 1.999 and 2.001, the input is progressive (both phases below
// 0.001) and the target is not (a phase of 0.001 or more); else the rates do not fit.
struct RateCase {
  const char* Name;
  double InRate;
  double InPhase1;
  double InPhase2;
  double OutRate;
  double OutPhase1;
  double OutPhase2;
  enum { Plain, Woven, Refused } Expect;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.Name; }

class FrameRateRatio : public PipelineFixture, public ::testing::WithParamInterface<RateCase> {};

TEST_P(FrameRateRatio, DecidesBetweenFramesFieldsAndRefusalWithStrictBounds) {
  const RateCase& c = GetParam();
  st::CaptureReports in;
  in.Rate = c.InRate;
  in.FieldPhase1 = c.InPhase1;
  in.FieldPhase2 = c.InPhase2;
  st::SetCaptureReports(kCam25, in);
  st::EngineReports out;
  out.Rate = c.OutRate;
  out.FieldPhase1 = c.OutPhase1;
  out.FieldPhase2 = c.OutPhase2;
  st::SetEngineReports(kE25, out);
  const std::string text = core_->AssemblePipeline().Message();
  if (c.Expect == RateCase::Refused) {
    EXPECT_EQ(text, "Wrong configuration: Source and target[0] has different frame rate");
    return;
  }
  ASSERT_EQ(text, "");
  EXPECT_EQ(core_->Pipeline.Rows[0].WeaveFields, c.Expect == RateCase::Woven);
}

const RateCase kRateCases[] = {
    {"Equal", 25.0, 0, 0, 25.0, 0, 0, RateCase::Plain},
    {"EqualInterlacedBothSides", 25.0, 0, 0.5, 25.0, 0, 0.5, RateCase::Plain},
    {"JustAbove0999", 0.9991, 0, 0, 1.0, 0, 0, RateCase::Plain},
    {"At0999", 0.999, 0, 0, 1.0, 0, 0, RateCase::Refused},
    {"JustBelow1001", 1.0009, 0, 0, 1.0, 0, 0, RateCase::Plain},
    {"At1001", 1.001, 0, 0, 1.0, 0, 0, RateCase::Refused},
    {"Twice", 50.0, 0, 0, 25.0, 0, 0.5, RateCase::Woven},
    {"JustAbove1999", 1.9991, 0, 0, 1.0, 0, 0.5, RateCase::Woven},
    {"At1999", 1.999, 0, 0, 1.0, 0, 0.5, RateCase::Refused},
    {"JustBelow2001", 2.0009, 0, 0, 1.0, 0, 0.5, RateCase::Woven},
    {"At2001", 2.001, 0, 0, 1.0, 0, 0.5, RateCase::Refused},
    {"TwiceInputFirstPhaseAt0001", 50.0, 0.001, 0, 25.0, 0, 0.5, RateCase::Refused},
    {"TwiceInputSecondPhaseAt0001", 50.0, 0, 0.001, 25.0, 0, 0.5, RateCase::Refused},
    {"TwiceInputPhasesJustBelow0001", 50.0, 0.000999, 0.000999, 25.0, 0, 0.5, RateCase::Woven},
    {"TwiceTargetFirstPhaseAt0001", 50.0, 0, 0, 25.0, 0.001, 0, RateCase::Woven},
    {"TwiceTargetSecondPhaseAt0001", 50.0, 0, 0, 25.0, 0, 0.001, RateCase::Woven},
    {"TwiceTargetProgressive", 50.0, 0, 0, 25.0, 0.000999, 0.000999, RateCase::Refused},
    {"Half", 25.0, 0, 0, 50.0, 0, 0.5, RateCase::Refused},
    {"TargetRateZero", 25.0, 0, 0, 0.0, 0, 0, RateCase::Refused},
};

INSTANTIATE_TEST_SUITE_P(Ratios, FrameRateRatio, ::testing::ValuesIn(kRateCases),
                         [](const ::testing::TestParamInfo<RateCase>& p) { return std::string(p.param.Name); });

class Assembly : public PipelineFixture {};

TEST_F(Assembly, EmptyMaskAssemblesNoTarget) {
  core_->Settings.TitleEngineMask = 0;
  EXPECT_EQ(core_->AssemblePipeline().Message(), "");
  EXPECT_EQ(core_->Pipeline.TargetCount, 0);
  EXPECT_TRUE(core_->Pipeline.MainVideo);
}

TEST_F(Assembly, RowsFollowTheMaskInCatalogueOrder) {
  core_->Settings.CaptureSource = kCam50;
  core_->Settings.TitleEngineMask = (1u << kE50) | (1u << kE25iTop) | (1u << kE25iBottom);
  ASSERT_EQ(core_->AssemblePipeline().Message(), "");
  const MediaPipeline& p = core_->Pipeline;
  ASSERT_EQ(p.TargetCount, 3);
  // Row 0 is E25i top (position 1), row 1 E25i bottom (2), row 2 E50 (3).
  EXPECT_TRUE(p.Rows[0].WeaveFields);
  EXPECT_TRUE(p.Rows[0].TopFieldFirst);
  EXPECT_TRUE(p.Rows[1].WeaveFields);
  EXPECT_FALSE(p.Rows[1].TopFieldFirst);
  EXPECT_FALSE(p.Rows[2].WeaveFields);
  EXPECT_FALSE(p.Rows[2].TopFieldFirst);
  EXPECT_EQ(p.InputChannels, 8);
  EXPECT_DOUBLE_EQ(p.SamplesPerFrame, 960.0);
  for (int32_t r = 0; r < 3; ++r) {
    EXPECT_TRUE(p.Rows[r].RegionCapture);
    EXPECT_TRUE(p.Rows[r].Layer);
    EXPECT_TRUE(p.Rows[r].LayerAudio);
    EXPECT_TRUE(p.Rows[r].Clock);
  }
  EXPECT_FALSE(p.Rows[3].Layer);
}

TEST_F(Assembly, FifosSkipLineZeroOfATargetWithSeveralLines) {
  core_->Settings.CaptureSource = kCam50;
  core_->Settings.TitleEngineMask = (1u << kE25iTop) | (1u << kE25iBottom) | (1u << kE50);
  ASSERT_EQ(core_->AssemblePipeline().Message(), "");
  const MediaPipeline& p = core_->Pipeline;
  EXPECT_EQ(p.Rows[0].FirstFifo, 0);  // one line: fifo 0
  EXPECT_EQ(p.Rows[0].FifoCount, 1);
  EXPECT_EQ(p.Rows[1].FirstFifo, 1);  // five lines: fifos 1 to 4
  EXPECT_EQ(p.Rows[1].FifoCount, 4);
  EXPECT_EQ(p.Rows[2].FirstFifo, 1);  // two lines: fifo 1
  EXPECT_EQ(p.Rows[2].FifoCount, 1);
  const st::EngineReport bottom = st::GetEngineReport(kE25iBottom);
  const st::LayerReport* layer = Layer(bottom);
  ASSERT_NE(layer, nullptr);
  ASSERT_EQ(layer->Fifos.size(), 4u);
  for (int32_t j = 0; j < 4; ++j) {
    EXPECT_EQ(layer->Fifos[static_cast<size_t>(j)].Number, j + 1);
    EXPECT_EQ(layer->Fifos[static_cast<size_t>(j)].DepthFrames, 10 + 15);
  }
  EXPECT_EQ(layer->DepthFrames, 10 + 10);
  EXPECT_EQ(layer->Name, "Relay");
}

TEST_F(Assembly, TargetReportingNoOrNegativeLinesGetsFifoZero) {
  for (const int32_t lines : {0, 1, -3}) {
    st::EngineReports r;
    r.StereoLines = lines;
    st::SetEngineReports(kE25, r);
    ASSERT_EQ(core_->AssemblePipeline().Message(), "") << lines;
    EXPECT_EQ(core_->Pipeline.Rows[0].FirstFifo, 0) << lines;
    EXPECT_EQ(core_->Pipeline.Rows[0].FifoCount, 1) << lines;
    core_->StopPipeline();
  }
}

TEST_F(Assembly, TakenLayerNumberMovesToTheNext) {
  // Another instance holds layer -1000 on E25.
  ComPtr<Unknown> other;
  ASSERT_EQ(core_->TitleEngines.CreateTitleTarget(kE25, other), S_OK);
  ComPtr<IZRTitleRegions> regions;
  ASSERT_EQ(other.As(regions), S_OK);
  ComPtr<Unknown> held;
  const ComStringHolder name(ComStringFromUtf8("Other"));
  ASSERT_EQ(regions->CreateLayer(name.Get(), -1000, 0, 5, held.Put()), S_OK);

  ASSERT_EQ(core_->AssemblePipeline().Message(), "");
  const st::EngineReport report = st::GetEngineReport(kE25);
  const st::LayerReport* layer = Layer(report, -1001);
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(layer->Name, "Relay");
  EXPECT_TRUE(layer->Alive);
}

TEST_F(Assembly, SixteenTakenNumbersFailWithMessageFourteen) {
  ComPtr<Unknown> other;
  ASSERT_EQ(core_->TitleEngines.CreateTitleTarget(kE25, other), S_OK);
  ComPtr<IZRTitleRegions> regions;
  ASSERT_EQ(other.As(regions), S_OK);
  const ComStringHolder name(ComStringFromUtf8("Other"));
  std::vector<ComPtr<Unknown>> held(16);
  for (int32_t i = 0; i < 16; ++i) ASSERT_EQ(regions->CreateLayer(name.Get(), -1000 - i, 0, 5, held[i].Put()), S_OK);
  EXPECT_EQ(core_->AssemblePipeline().Message(), "System error: Layer (title[0] region) don't support required interfaces.");
}

TEST_F(Assembly, AutoVisibilityCallsNeitherPropertyNorMuteNorVolume) {
  core_->Settings.ShowOnStartType = 0;
  for (const char* op : {"SetProperty", "SetMute", "SetVolume"}) Fault(FaultRule::On(op).EveryNth(1).Returning(E_FAIL));
  EXPECT_EQ(core_->AssemblePipeline().Message(), "");
  EXPECT_EQ(st::FaultsFired(), 0);
}

TEST_F(Assembly, ShowUnmutesAndEveryOtherValueHidesAndMutesEveryFifo) {
  core_->Settings.ShowOnStartType = 1;
  ASSERT_EQ(core_->AssemblePipeline().Message(), "");
  {
    const st::EngineReport report = st::GetEngineReport(kE25);
    const st::LayerReport* layer = Layer(report);
    ASSERT_NE(layer, nullptr);
    EXPECT_TRUE(layer->Shown);
    for (const auto& f : layer->Fifos) EXPECT_FALSE(f.Muted);
  }
  for (const int32_t hide : {2, 7, -1}) {
    core_->StopPipeline();
    core_->Settings.ShowOnStartType = hide;
    ASSERT_EQ(core_->AssemblePipeline().Message(), "");
    const st::EngineReport report = st::GetEngineReport(kE25);
    const st::LayerReport* layer = nullptr;
    for (const auto& l : report.Layers) {
      if (l.Alive) layer = &l;
    }
    ASSERT_NE(layer, nullptr);
    EXPECT_FALSE(layer->Shown) << hide;
    ASSERT_EQ(layer->Fifos.size(), 2u);
    for (const auto& f : layer->Fifos) EXPECT_TRUE(f.Muted) << hide;
  }
}

TEST_F(Assembly, FifteenTakenNumbersLeaveTheLastOfTheSixteen) {
  ComPtr<Unknown> other;
  ASSERT_EQ(core_->TitleEngines.CreateTitleTarget(kE25, other), S_OK);
  ComPtr<IZRTitleRegions> regions;
  ASSERT_EQ(other.As(regions), S_OK);
  const ComStringHolder name(ComStringFromUtf8("Other"));
  std::vector<ComPtr<Unknown>> held(15);
  for (int32_t i = 0; i < 15; ++i) ASSERT_EQ(regions->CreateLayer(name.Get(), -1000 - i, 0, 5, held[i].Put()), S_OK);
  ASSERT_EQ(core_->AssemblePipeline().Message(), "");
  const st::EngineReport report = st::GetEngineReport(kE25);
  const st::LayerReport* layer = Layer(report, -1015);
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(layer->Name, "Relay");
  EXPECT_TRUE(layer->Alive);
}

TEST_F(Assembly, ANegativeCodeForOneNumberDoesNotEndTheSearch) {
  Fault(FaultRule::On("CreateLayer").Returning(kDenied));
  ASSERT_EQ(core_->AssemblePipeline().Message(), "");
  const st::EngineReport report = st::GetEngineReport(kE25);
  EXPECT_EQ(Layer(report, -1000), nullptr);
  const st::LayerReport* layer = Layer(report, -1001);
  ASSERT_NE(layer, nullptr);
  EXPECT_TRUE(layer->Alive);
}

TEST_F(Assembly, FailedAssemblyKeepsWhatItStoredUntilStop) {
  core_->Settings.TitleEngineMask = (1u << kE25) | (1u << kE50);  // E50 fails: its rate does not fit
  EXPECT_EQ(core_->AssemblePipeline().Message(), "Wrong configuration: Source and target[3] has different frame rate");
  EXPECT_TRUE(core_->Pipeline.MainVideo);
  EXPECT_TRUE(core_->Pipeline.Rows[0].Layer);
  EXPECT_EQ(core_->Pipeline.TargetCount, 0);
  core_->StopPipeline();
  EXPECT_FALSE(core_->Pipeline.MainVideo);
  EXPECT_FALSE(core_->Pipeline.Rows[0].Layer);
  EXPECT_EQ(st::LiveObjects(), live_ + 3);
}

TEST_F(Assembly, SecondStartStopsTheRunningPipelineFirst) {
  ASSERT_TRUE(core_->StartPipeline());
  ASSERT_TRUE(core_->StartPipeline());
  EXPECT_TRUE(messages_.Shown.empty());
  // One live layer on the engine: the first run's layer was released.
  const st::EngineReport report = st::GetEngineReport(kE25);
  int32_t alive = 0;
  for (const auto& l : report.Layers) alive += l.Alive ? 1 : 0;
  EXPECT_EQ(alive, 1);
  EXPECT_EQ(report.Layers.size(), 2u);
}

TEST_F(Assembly, StartClearsTheSkipCounters) {
  core_->Stats.SkipAudio = 5;
  core_->Stats.SkipVideo[31] = 9;
  core_->Stats.ProcessingSeconds = 77;
  ASSERT_TRUE(core_->StartPipeline());
  EXPECT_EQ(core_->Stats.SkipAudio.load(), 0);
  EXPECT_EQ(core_->Stats.SkipVideo[31].load(), 0);
  core_->StopPipeline();
  EXPECT_EQ(core_->Pipeline.TargetCount, 0);
}

}  // namespace
}  // namespace quellvox::pipeline_testing
