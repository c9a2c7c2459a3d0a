// The demo: its command line, the measurement it makes on a recording, the
// verdict, the picture, and one short run of the program itself.
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "audio/gain.h"
#include "child_process.h"
#include "config/line_text.h"
#include "tools/demo/demo_analysis.h"
#include "tools/demo/demo_chart.h"
#include "tools/demo/demo_options.h"

#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer only: Qt's libraries are not built for it, and the
// image work Qt hands to its own thread pool while the pictures are drawn
// shows up as races that their uninstrumented locks do not explain.
extern "C" const char* __tsan_default_suppressions() { return "race:libQt6Gui.so\nrace:libQt6Core.so\n"; }
#endif

namespace quellvox::demo {
namespace {

namespace fs = std::filesystem;
using testing_tools::ReadFileText;
using testing_tools::RunToEnd;

// ---------------------------------------------------------------------------
// Command line

TEST(DemoOptions, DefaultsAndValues) {
  DemoOptions defaults;
  ASSERT_TRUE(ParseDemoOptions({}, defaults).IsOk());
  EXPECT_EQ(defaults.Seconds, 20);
  EXPECT_EQ(defaults.OutDir, "quellvox-demo-out");
  DemoOptions given;
  const Status parsed = ParseDemoOptions({"--out", "x y", "--seconds", "600"}, given);
  ASSERT_TRUE(parsed.IsOk()) << parsed.Message();
  EXPECT_EQ(given.Seconds, 600);
  EXPECT_EQ(given.OutDir, "x y");
  DemoOptions help;
  ASSERT_TRUE(ParseDemoOptions({"--help"}, help).IsOk());
  EXPECT_TRUE(help.Help);
}

TEST(DemoOptions, RefusesWhatItCannotRun) {
  const std::vector<std::vector<std::string>> cases = {
      {"--seconds", "0"},  {"--seconds", "601"}, {"--seconds", "1.5"}, {"--seconds", "-3"}, {"--seconds", " 3"},
      {"--seconds", ""},   {"--seconds"},        {"--out"},            {"--out", ""},       {"--frames", "3"},
      {"out-dir"},
  };
  for (const auto& args : cases) {
    DemoOptions options;
    const Status parsed = ParseDemoOptions(args, options);
    EXPECT_FALSE(parsed.IsOk()) << ::testing::PrintToString(args);
    EXPECT_FALSE(parsed.Message().empty());
  }
}

// ---------------------------------------------------------------------------
// Measurement: a recording made here by hand, with the floor gains known.

constexpr int32_t kSampleRate = 12000;
constexpr int32_t kFrameSamples = 480;  // 25 frames per second
constexpr int32_t kCaptureChannels = 6;
constexpr int64_t kStart = 5000;        // capture start position
constexpr int32_t kBase = 70;           // frame f due at output position 70 + f
constexpr int kFrames = 75;

bool SpeechOn(int line, int64_t frame) {
  return line == 0 ? (frame >= 25 && frame < 45) : (frame >= 55 && frame < 65);
}

// Floor on pair 1, the speech of line 1 on pair 2 and of line 2 on pair 3.
std::vector<float> Capture(int64_t captureFrame) {
  const int64_t frame = captureFrame - kStart;
  std::vector<float> audio(static_cast<size_t>(kFrameSamples * kCaptureChannels));
  for (int s = 0; s < kFrameSamples; ++s) {
    const double t = static_cast<double>(frame * kFrameSamples + s);
    float* a = &audio[static_cast<size_t>(s * kCaptureChannels)];
    a[0] = static_cast<float>(0.2 * std::sin(0.031 * t));
    a[1] = static_cast<float>(0.2 * std::sin(0.017 * t + 1.0));
    for (int line = 0; line < 2; ++line) {
      const float v = SpeechOn(line, frame) ? static_cast<float>(0.4 * std::sin(0.11 * t + line)) : 0.0f;
      a[2 + 2 * line] = v;
      a[3 + 2 * line] = 0.5f * v;
    }
  }
  return audio;
}

DuckerSettings DemoSettings() {
  DuckerSettings s;
  s.Lines[0] = {true, ParseLineRef("Stereo#2"), ParseLineRef("Left#1"), 0};
  s.Lines[1] = {true, ParseLineRef("Stereo#3"), ParseLineRef("Right#1"), 0};
  s.CommonLine = ParseLineRef("Stereo#1");
  s.DecreaseDB = 18;
  return s;
}

// An engine with three stereo lines whose plane 0 went to fifo 1 (channels
// 2 and 3): each side the half-sum of the floor at the line's gain plus the
// half-sum of the line's speech. Frame f of the relay is at output position
// kBase + f and carries capture frame kStart + f.
EngineRecording MakeRecording(const std::vector<double>& leftDb, const std::vector<double>& rightDb) {
  EngineRecording r;
  r.Engine = 0;
  r.Name = "Engine 1";
  r.SampleRate = kSampleRate;
  r.Channels = 6;
  r.Base = kBase;
  r.OnTime = kFrames;
  r.Fifos = {1, 2};
  r.Spans.push_back({kBase, kFrames, 0, int64_t{kFrames} * kFrameSamples});
  for (int f = 0; f < kFrames; ++f) {
    r.Log.push_back({kBase + f, f, kStart + f});
    const std::vector<float> c = Capture(kStart + f);
    const double gains[2] = {std::pow(10.0, leftDb[static_cast<size_t>(f)] / 20.0),
                             std::pow(10.0, rightDb[static_cast<size_t>(f)] / 20.0)};
    for (int s = 0; s < kFrameSamples; ++s) {
      const float* a = &c[static_cast<size_t>(s * kCaptureChannels)];
      float out[6] = {};
      for (int side = 0; side < 2; ++side) {
        out[2 + side] = static_cast<float>(0.5 * (a[0] + a[1]) * gains[side] + 0.5 * (a[2 + 2 * side] + a[3 + 2 * side]));
      }
      r.Audio.insert(r.Audio.end(), out, out + 6);
    }
  }
  return r;
}

// The program's voice bits as the pump publishes them: for the newest
// position P, voice seen in one of the blocks P - 5 .. P - 1.
VoiceTimeline Voice() {
  VoiceTimeline v;
  for (int64_t f = 0; f <= kFrames; ++f) {
    uint8_t mask = 0;
    for (int line = 0; line < 2; ++line) {
      for (int64_t back = 1; back <= 5; ++back) {
        if (f - back >= 0 && SpeechOn(line, f - back)) mask |= static_cast<uint8_t>(1 << line);
      }
    }
    v[kStart + f] = mask;
  }
  return v;
}

AnalysisInput Input() {
  AnalysisInput in;
  in.Settings = DemoSettings();
  in.CaptureChannels = kCaptureChannels;
  in.CaptureAudio = [](int64_t frame, std::vector<float>& audio) {
    audio = Capture(frame);
    return true;
  };
  in.Voice = Voice();
  return in;
}

// Gains per frame: open, down to `depth` while the line speaks (and for
// `hold` frames after), open again.
std::vector<double> Ducked(int line, double depth, int hold) {
  std::vector<double> g(kFrames, 0.0);
  for (int f = 0; f < kFrames; ++f) {
    for (int back = 0; back <= hold; ++back) {
      if (f - back >= 0 && SpeechOn(line, f - back)) g[static_cast<size_t>(f)] = depth;
    }
  }
  return g;
}

TEST(DemoAnalysis, MeasuresEachLinesFloorGainWhereItWasApplied) {
  const EngineAnalysis a = AnalyseEngine(MakeRecording(Ducked(0, -18.0, 4), Ducked(1, -9.0, 0)), Input());
  ASSERT_TRUE(a.Problem.empty()) << a.Problem;
  ASSERT_EQ(a.Frames.size(), static_cast<size_t>(kFrames));
  EXPECT_NEAR(a.Rate, 25.0, 1e-9);
  for (int f = 0; f < kFrames; ++f) {
    const OutputFrame& frame = a.Frames[static_cast<size_t>(f)];
    EXPECT_EQ(frame.CaptureFrame, kStart + f);
    EXPECT_NEAR(frame.FloorDb[0], Ducked(0, -18.0, 4)[static_cast<size_t>(f)], 0.01) << f;
    EXPECT_NEAR(frame.FloorDb[1], Ducked(1, -9.0, 0)[static_cast<size_t>(f)], 0.01) << f;
    EXPECT_EQ(frame.Voice[0], f >= 25 && f < 49) << f;  // four frames beyond the speech, as published
    EXPECT_TRUE(std::isnan(frame.FloorDb[2]));
  }
  // Line 1 speaks over frames 25..44 and holds for 4 more: one dip of 24 frames.
  ASSERT_EQ(a.Lines[0].Episodes.size(), 1u);
  EXPECT_NEAR(a.Lines[0].Episodes[0].StartSeconds, 25 / 25.0, 1e-9);
  EXPECT_NEAR(a.Lines[0].Episodes[0].EndSeconds, 49 / 25.0, 1e-9);
  EXPECT_NEAR(a.Lines[0].Episodes[0].DepthDb, -18.0, 0.01);
  EXPECT_NEAR(a.Lines[0].FloorUnderSpeechDb, -18.0, 0.01);
  EXPECT_NEAR(a.Lines[1].FloorUnderSpeechDb, -9.0, 0.01);
  // The level of the output: the loud speech frames stand above the floor alone.
  EXPECT_GT(a.Frames[30].LevelDb[0], a.Frames[10].LevelDb[0] + 3.0f);
}

TEST(DemoAnalysis, TakesNothingBeforeTheRelaysFirstFrameNorFromSilentFrames) {
  EngineRecording r = MakeRecording(Ducked(0, -18.0, 0), Ducked(1, -18.0, 0));
  // Five positions recorded before frame 0 was due, silent as a layer's
  // fifos are then; and frame 30 lost its audio.
  r.Audio.insert(r.Audio.begin(), static_cast<size_t>(5 * kFrameSamples * 6), 0.0f);
  r.Spans[0] = {kBase - 5, kFrames + 5, 0, int64_t{kFrames + 5} * kFrameSamples};
  std::fill_n(r.Audio.begin() + (5 + 30) * kFrameSamples * 6, kFrameSamples * 6, 0.0f);
  const EngineAnalysis a = AnalyseEngine(r, Input());
  ASSERT_EQ(a.Frames.size(), static_cast<size_t>(kFrames));
  EXPECT_EQ(a.Frames[0].Position, kBase);
  EXPECT_EQ(a.Frames[0].Seconds, 0.0);
  EXPECT_NEAR(a.Frames[29].FloorDb[0], -18.0, 0.01);
  EXPECT_TRUE(std::isnan(a.Frames[30].FloorDb[0]));
  EXPECT_NEAR(a.Frames[31].FloorDb[0], -18.0, 0.01);
}

TEST(DemoAnalysis, LeavesTheAttackOutOfTheMeasureUnderSpeech) {
  // The first two frames of speech are still on the way down.
  std::vector<double> left = Ducked(0, -18.0, 0);
  left[25] = -4.0;
  left[26] = -11.0;
  const EngineAnalysis a = AnalyseEngine(MakeRecording(left, Ducked(1, -18.0, 0)), Input());
  EXPECT_EQ(a.Lines[0].SpeechFrames, 24 - 2);
  EXPECT_NEAR(a.Lines[0].FloorUnderSpeechDb, -18.0, 0.01);
}

TEST(DemoAnalysis, ALineSharingItsChannelsWithAnotherIsNotMeasured) {
  AnalysisInput in = Input();
  in.Settings.Lines[1].To = ParseLineRef("Stereo#1");
  const EngineAnalysis a = AnalyseEngine(MakeRecording(Ducked(0, -18.0, 0), Ducked(1, -18.0, 0)), in);
  EXPECT_FALSE(a.Lines[0].Measurable);
  EXPECT_FALSE(a.Lines[1].Measurable);
  const Verdict v = Judge({a}, {0}, 0, in.Settings);
  EXPECT_FALSE(v.Good);
  EXPECT_NE(v.Text.find("line 1 not measurable"), std::string::npos) << v.Text;
}

TEST(DemoAnalysis, CountsMissingAndRepeatedFramesOnlyAfterTheFirstSecond) {
  EngineRecording r = MakeRecording(Ducked(0, -18.0, 0), Ducked(1, -18.0, 0));
  auto at = [&](int64_t position) {
    return std::find_if(r.Log.begin(), r.Log.end(), [&](const auto& p) { return p.Position == position; });
  };
  r.Log.erase(at(kBase + 3));        // within the first second
  r.Log.erase(at(kBase + 40));       // later: missing
  at(kBase + 50)->CaptureFrame = at(kBase + 49)->CaptureFrame;  // later: repeated
  const EngineAnalysis a = AnalyseEngine(r, Input());
  EXPECT_EQ(a.MissingAfterFirstSecond, 1);
  EXPECT_EQ(a.RepeatedAfterFirstSecond, 1);
  EXPECT_FALSE(Judge({a}, {0}, 0, DemoSettings()).Good);
}

TEST(DemoAnalysis, FindsNothingToMeasureWithoutPresentedFrames) {
  EngineRecording r = MakeRecording(Ducked(0, -18.0, 0), Ducked(1, -18.0, 0));
  r.Log.clear();
  const EngineAnalysis a = AnalyseEngine(r, Input());
  EXPECT_EQ(a.Problem, "no frame was presented");
  EXPECT_FALSE(Judge({a}, {0}, 0, DemoSettings()).Good);
}

TEST(DemoVerdict, ALineThatDidNotSpeakIsReportedAndOnlyNoSpeechAtAllFails) {
  AnalysisInput in = Input();
  in.Voice.clear();
  const EngineAnalysis none = AnalyseEngine(MakeRecording(Ducked(0, -18.0, 0), Ducked(1, -18.0, 0)), in);
  const Verdict v = Judge({none}, {0}, 0, DemoSettings());
  EXPECT_FALSE(v.Good);
  EXPECT_NE(v.Text.find("no speech on line 1, no speech on line 2"), std::string::npos) << v.Text;

  // Line 2 is silent in this run; line 1 measured right.
  for (auto& [position, mask] : in.Voice = Voice()) mask &= 1;
  const EngineAnalysis one = AnalyseEngine(MakeRecording(Ducked(0, -18.0, 0), std::vector<double>(kFrames, 0.0)), in);
  const Verdict w = Judge({one}, {0}, 0, DemoSettings());
  EXPECT_TRUE(w.Good) << w.Text;
  EXPECT_NE(w.Text.find("-18.00 dB on line 1, no speech on line 2"), std::string::npos) << w.Text;
}

struct JudgeCase {
  const char* Name;
  double LeftDb;
  double RightDb;
  bool Good;
};

TEST(DemoVerdict, AttenuationWithinHalfADecibelOfTheSetting) {
  const JudgeCase cases[] = {
      {"exact", -18.0, -18.0, true},
      {"just inside", -17.6, -18.45, true},
      {"one line too shallow", -17.4, -18.0, false},
      {"one line too deep", -18.0, -18.6, false},
  };
  for (const JudgeCase& c : cases) {
    const EngineAnalysis a = AnalyseEngine(MakeRecording(Ducked(0, c.LeftDb, 0), Ducked(1, c.RightDb, 0)), Input());
    const Verdict v = Judge({a, a}, {0, 0}, 0, DemoSettings());
    EXPECT_EQ(v.Good, c.Good) << c.Name << ": " << v.Text;
    EXPECT_EQ(v.Text.rfind(c.Good ? "GOOD - " : "BAD - ", 0), 0u) << v.Text;
  }
}

TEST(DemoVerdict, NamesFramesPerEngineAndTheFloorPerLine) {
  const EngineAnalysis a = AnalyseEngine(MakeRecording(Ducked(0, -18.0, 0), Ducked(1, -18.0, 0)), Input());
  const Verdict v = Judge({a}, {3}, 2, DemoSettings());
  EXPECT_TRUE(v.Good) << v.Text;  // skips alone do not fail it
  EXPECT_EQ(v.Text,
            "GOOD - Engine 1: 75 frames relayed, 3 skipped, 0 missing; audio skipped 2; floor under speech "
            "-18.00 dB on line 1, -18.00 dB on line 2 (set -18 dB, within 0.5 dB)");
}

// ---------------------------------------------------------------------------
// Files

class DemoFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quellvox-demo-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(DemoFiles, ReadsTheStudiosReportAndRecordingAndChecksThatTheyAgree) {
  const EngineRecording made = MakeRecording(Ducked(0, -18.0, 0), Ducked(1, -18.0, 0));
  nlohmann::json log = nlohmann::json::array();
  for (const auto& p : made.Log) log.push_back({p.Position, p.FrameNumber, p.CaptureFrame, -1});
  nlohmann::json report = {
      {"engine", 0},
      {"name", "Engine 1"},
      {"recorded", {{{"fromPosition", kBase}, {"positions", kFrames}, {"fromSample", 0}, {"sampleFrames", kFrames * kFrameSamples}}}},
      {"layers",
       {{{"name", "old"}, {"base", 1}, {"onTime", 0}, {"missing", 0}, {"late", 0}, {"fifos", nlohmann::json::array()}, {"presented", nlohmann::json::array()}},
        {{"name", "Voice over"}, {"base", kBase}, {"onTime", kFrames}, {"missing", 2}, {"late", 1},
         {"fifos", {{{"number", 2}}, {{"number", 1}}}}, {"presented", log}}}}};
  std::ofstream(dir_ / "engine-0.json") << report.dump();
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = 6;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open((dir_ / "engine-0.wav").c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr);
  sf_writef_float(f, made.Audio.data(), static_cast<sf_count_t>(made.Audio.size() / 6));
  sf_close(f);

  EngineRecording read;
  Status status = ReadEngineRecording((dir_ / "engine-0.json").string(), (dir_ / "engine-0.wav").string(),
                                      "Voice over", read);
  ASSERT_TRUE(status.IsOk()) << status.Message();
  EXPECT_EQ(read.Base, kBase);
  EXPECT_EQ(read.Missing, 2);
  EXPECT_EQ(read.Late, 1);
  EXPECT_EQ(read.Fifos, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(read.Log.size(), made.Log.size());
  EXPECT_EQ(read.Audio, made.Audio);

  report["recorded"][0]["sampleFrames"] = kFrames * kFrameSamples - 1;
  std::ofstream(dir_ / "engine-0.json") << report.dump();
  status = ReadEngineRecording((dir_ / "engine-0.json").string(), (dir_ / "engine-0.wav").string(), "Voice over",
                               read);
  EXPECT_FALSE(status.IsOk());
  EXPECT_NE(status.Message().find("accounts for"), std::string::npos) << status.Message();
  status = ReadEngineRecording((dir_ / "engine-0.json").string(), (dir_ / "engine-0.wav").string(), "Other", read);
  EXPECT_FALSE(status.IsOk());
  EXPECT_NE(status.Message().find("no layer \"Other\""), std::string::npos) << status.Message();
  std::ofstream(dir_ / "engine-0.json") << "{\"engine\": ";
  EXPECT_FALSE(ReadEngineRecording((dir_ / "engine-0.json").string(), (dir_ / "engine-0.wav").string(), "Voice over",
                                   read)
                   .IsOk());
}

// ---------------------------------------------------------------------------
// The picture

QGuiApplication& App() {
  static int argc = 1;
  static char name[] = "demo_test";
  static char* argv[] = {name, nullptr};
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static QGuiApplication app(argc, argv);
  return app;
}

bool Near(const QImage& image, double x, double y, const QColor& colour, int radius = 3, int tolerance = 40) {
  for (int dy = -radius; dy <= radius; ++dy) {
    for (int dx = -radius; dx <= radius; ++dx) {
      const QColor c = image.pixelColor(static_cast<int>(x) + dx, static_cast<int>(y) + dy);
      if (std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green()) +
              std::abs(c.blue() - colour.blue()) <=
          tolerance) {
        return true;
      }
    }
  }
  return false;
}

TEST(DemoChart, DrawsTheFloorWhereItWasAndTheVoiceWhereItCameIn) {
  App();
  const EngineAnalysis a = AnalyseEngine(MakeRecording(Ducked(0, -18.0, 4), Ducked(1, -18.0, 0)), Input());
  const QImage image = DrawEngineChart(a, DemoSettings(), ChartText{"Engine 1", "settings", "verdict", {}});
  const ChartGeometry g(a, DemoSettings());
  ASSERT_EQ(image.width(), g.Width());
  ASSERT_EQ(image.height(), g.Height());
  ASSERT_EQ(g.Lines(), (std::vector<int>{0, 1}));
  const QColor floorBlue(21, 101, 192);
  const QColor voiceGreen(56, 142, 60);
  // Line 1: open at 0.5 s, at -18 dB at 1.4 s (mid-speech), open again at 2.5 s.
  EXPECT_TRUE(Near(image, g.X(0.5), g.FloorY(0, 0.0), floorBlue));
  EXPECT_FALSE(Near(image, g.X(0.5), g.FloorY(0, -18.0), floorBlue));
  EXPECT_TRUE(Near(image, g.X(1.4), g.FloorY(0, -18.0), floorBlue));
  EXPECT_FALSE(Near(image, g.X(1.4), g.FloorY(0, 0.0), floorBlue));
  EXPECT_TRUE(Near(image, g.X(2.5), g.FloorY(0, 0.0), floorBlue));
  // The voice lane at the top of the panel: on during the speech only.
  const double lane = g.FloorPanel(0).top() + 4;
  EXPECT_TRUE(Near(image, g.X(1.4), lane, voiceGreen, 1, 10));
  EXPECT_FALSE(Near(image, g.X(0.5), lane, voiceGreen, 1, 10));
  EXPECT_FALSE(Near(image, g.X(2.5), lane, voiceGreen, 1, 10));
  // Line 2 spoke from 2.2 s to 2.6 s.
  EXPECT_TRUE(Near(image, g.X(2.4), g.FloorPanel(1).top() + 4, voiceGreen, 1, 10));
  EXPECT_TRUE(Near(image, g.X(1.4), g.FloorY(1, 0.0), floorBlue));
}

// ---------------------------------------------------------------------------
// The program

class DemoProgram : public DemoFiles {};

// Frames a loaded machine fails to relay in time make the verdict bad (exit
// code 1) without anything being wrong with the program; what it measured of
// the floor must be right either way.
TEST_F(DemoProgram, RunsTheMainJobAndLeavesItsFilesAndItsStoreInItsFolder) {
  const fs::path home = dir_ / "home";
  fs::create_directories(home);
  const fs::path out = dir_ / "out";
  const int code = RunToEnd({QUELLVOX_DEMO, "--seconds", "5", "--out", out.string()},
                            {{"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / ".config").string()},
                             {"QUELLVOX_STUDIO", (dir_ / "no-such-studio.json").string()}, {"DISPLAY", ""}},
                            (dir_ / "stdout.txt").string(), (dir_ / "stderr.txt").string());
  const std::string stdoutText = ReadFileText((dir_ / "stdout.txt").string());
  ASSERT_TRUE(code == 0 || code == 1) << code << stdoutText << ReadFileText((dir_ / "stderr.txt").string());
  EXPECT_NE(stdoutText.find("quellvox-demo: 5 of 5 s"), std::string::npos) << stdoutText;
  EXPECT_NE(stdoutText.find("Processing time: \t"), std::string::npos);
  const size_t verdict = stdoutText.find(code == 0 ? "quellvox-demo: GOOD - Engine 1: " : "quellvox-demo: BAD - Engine 1: ");
  ASSERT_NE(verdict, std::string::npos) << stdoutText;
  const std::string line = stdoutText.substr(verdict, stdoutText.find('\n', verdict) - verdict);
  EXPECT_EQ(line.find("not measurable"), std::string::npos) << line;
  int measured = 0;
  for (size_t at = line.find(" dB on line "); at != std::string::npos; at = line.find(" dB on line ", at + 1)) {
    const size_t begin = line.rfind(' ', at - 1) + 1;
    EXPECT_NEAR(std::stod(line.substr(begin, at - begin)), -18.0, 0.5) << line;
    ++measured;
  }
  if (code == 0) {
    EXPECT_GE(measured, 1) << line;
  }
  // Numbered as the user sees the engines: "Engine 1" and "Engine 2".
  for (const char* name : {"engine-1.wav", "engine-1.json", "engine-1.png", "engine-2.wav", "engine-2.json",
                           "engine-2.png", "config/quellvox/registry.sqlite3"}) {
    EXPECT_TRUE(fs::is_regular_file(out / name)) << name;
  }
  EXPECT_FALSE(fs::exists(home / ".config")) << "the demo touched the user's own store";
  App();
  QImage png;
  ASSERT_TRUE(png.load(QString::fromStdString((out / "engine-1.png").string())));
  EXPECT_FALSE(fs::exists(out / "engine-0.png"));
  EXPECT_EQ(png.width(), 1600);
}

TEST_F(DemoProgram, RefusesABadCommandLineWithExitCode2) {
  EXPECT_EQ(RunToEnd({QUELLVOX_DEMO, "--seconds", "0"}, {}, "", (dir_ / "stderr.txt").string()), 2);
  EXPECT_NE(ReadFileText((dir_ / "stderr.txt").string()).find("usage: quellvox-demo"), std::string::npos);
}

}  // namespace
}  // namespace quellvox::demo
