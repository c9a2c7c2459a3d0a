// The real tray program as a separate process: an instance set up with
// quellvox-reg starts its pipeline by itself on the offscreen platform, runs
// about five seconds on the real clock and ends on SIGTERM. Then its exit,
// its traces, the engine's report and recording, and the store are checked,
// and the recording is compared bit for bit with what quellvox-render
// computes from the same file with the same settings.
#include <gtest/gtest.h>
#include <unistd.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../tools/child_process.h"

namespace quellvox::e2e {
namespace {

namespace fs = std::filesystem;
using testing_tools::ChildProcess;
using testing_tools::ReadFileText;
using testing_tools::RunToEnd;

// The capture: 10 frames per second, 4800 sample frames each, its two pairs
// from one file of 200 frames (20 s) that holds the floor on pair 1 and
// speech on pair 2. Its frame 1,000,000 + b carries file frame b (the file
// is looped from sample 0 of the studio's clock), which is also the block b
// of quellvox-render at the position 1,000,000 + b + 1.
constexpr int32_t kRate = 10;
constexpr int32_t kSampleRate = 48000;
constexpr int32_t kFrameSamples = kSampleRate / kRate;
constexpr int32_t kFileFrames = 200;
constexpr int64_t kStartPosition = 1'000'000;
constexpr int32_t kDecreaseDb = 18;
constexpr int32_t kTimeout = 10;  // frames: hold 5, fade 5
// The instance: unique to the run, for the guard is machine-wide and another
// suite (a second clone, a developer's run beside CI) may run meanwhile.
const std::string& Instance() {
  static const std::string id =
      "#e2e-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}() % 1000000);
  return id;
}

// Speech in file frames 4..13 of every 40 (one second in four), noise far
// below the threshold (-32 dBFS) between.
bool Speaks(int64_t fileFrame) { return fileFrame % 40 >= 4 && fileFrame % 40 < 14; }

std::vector<float> FileAudio() {
  std::vector<float> a(static_cast<size_t>(kFileFrames) * kFrameSamples * 4);
  uint32_t noise = 1;
  for (int64_t s = 0; s < int64_t{kFileFrames} * kFrameSamples; ++s) {
    const double t = static_cast<double>(s) / kSampleRate;
    float* f = &a[static_cast<size_t>(s * 4)];
    f[0] = static_cast<float>(0.08 * std::sin(2 * M_PI * 220 * t) + 0.04 * std::sin(2 * M_PI * 331 * t));
    f[1] = static_cast<float>(0.08 * std::sin(2 * M_PI * 277 * t) + 0.04 * std::sin(2 * M_PI * 165 * t));
    noise = noise * 1664525u + 1013904223u;
    const double n = static_cast<double>(noise >> 8) / 16777216.0 - 0.5;
    const double speech = Speaks(s / kFrameSamples) ? 0.3 * std::sin(2 * M_PI * 180 * t) * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)) : 0.0;
    f[2] = static_cast<float>(speech + 0.002 * n);
    f[3] = static_cast<float>(0.8 * speech - 0.002 * n);
  }
  return a;
}

struct Wav {
  int32_t Channels = 0;
  std::vector<float> Samples;
};

bool WriteWav(const fs::path& path, const std::vector<float>& samples, int32_t channels) {
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  const sf_count_t frames = static_cast<sf_count_t>(samples.size() / static_cast<size_t>(channels));
  const bool ok = sf_writef_float(f, samples.data(), frames) == frames;
  sf_close(f);
  return ok;
}

Wav ReadWav(const fs::path& path) {
  Wav w;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return w;
  w.Channels = info.channels;
  w.Samples.resize(static_cast<size_t>(info.frames * info.channels));
  sf_readf_float(f, w.Samples.data(), info.frames);
  sf_close(f);
  return w;
}

// Every file below the folder with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = ReadFileText(e.path().string());
  }
  return files;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t at; (at = text.find('\n', begin)) != std::string::npos; begin = at + 1) {
    lines.push_back(text.substr(begin, at - begin));
  }
  if (begin < text.size()) lines.push_back(text.substr(begin));
  return lines;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quellvox-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ / "config");
    fs::create_directories(dir_ / "home");
    env_ = {{"XDG_CONFIG_HOME", (dir_ / "config").string()},
            {"HOME", (dir_ / "home").string()},
            {"QUELLVOX_STUDIO", (dir_ / "studio.json").string()},
            {"QT_QPA_PLATFORM", "offscreen"},
            {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""}};
    ASSERT_TRUE(WriteWav(dir_ / "program.wav", FileAudio(), 4));
    std::ofstream(dir_ / "studio.json") << R"({
      "devices": [{"kind": 2, "name": "E2E", "width": 384, "height": 216, "rate": 10, "sampleRate": 48000,
                   "channels": 4, "ringSeconds": 4, "startPosition": 1000000,
                   "audio": [{"source": "file", "path": "program.wav", "fileChannels": [0, 1]},
                             {"source": "file", "path": "program.wav", "fileChannels": [2, 3]}]}],
      "engines": [{"name": "E2E engine", "width": 384, "height": 216, "rate": 10, "stereoLines": 1,
                   "record": true}],
      "recording": {"folder": "recordings", "maxSeconds": 120}
    })";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Reg(std::vector<std::string> args) {
    args.insert(args.begin(), QUELLVOX_REG);
    ASSERT_EQ(RunToEnd(args, env_, "", (dir_ / "reg.txt").string()), 0)
        << ::testing::PrintToString(args) << ReadFileText((dir_ / "reg.txt").string());
  }

  // A complete instance: the capture into the engine's layer, line 1 from
  // the speech to the first line over the floor, started by itself.
  void SetUpInstance() {
    const std::string k = std::string("Quellvox\\") + Instance();
    Reg({"set", k, "CaptureSource", "--string", "Quellvox Virtual E2E"});
    Reg({"set", k, "DelayInFrames", "--dword", "10"});
    Reg({"set", k, "CpuPriority", "--dword", "0"});
    Reg({"set", k, "ShowOnStartType", "--dword", "1"});
    Reg({"set", k, "RegionName", "--string", "Voice over"});
    Reg({"set", k, "TitleEngineCnt", "--dword", "1"});
    Reg({"set", k, "TitleEngine1", "--string", "E2E engine"});
    for (int n = 1; n <= 8; ++n) {
      Reg({"set", k, "UseLine" + std::to_string(n), "--dword", n == 1 ? "1" : "0"});
      Reg({"set", k, "From4Line" + std::to_string(n), "--string", "Stereo#2"});
      Reg({"set", k, "To4Line" + std::to_string(n), "--string", "Stereo#1"});
      Reg({"set", k, "VolumeDB4Line" + std::to_string(n), "--dword", "0"});
    }
    Reg({"set", k, "UseCommon", "--dword", "1"});
    Reg({"set", k, "CommonLine", "--string", "Stereo#1"});
    Reg({"set", k, "DecreaseDB", "--dword", std::to_string(kDecreaseDb)});
    Reg({"set", k, "NoiseLevelDB", "--dword", "32"});
    Reg({"set", k, "TimeoutInFrames", "--dword", std::to_string(kTimeout)});
    Reg({"set", k, "AutoStart", "--dword", "1"});
  }

  fs::path dir_;
  std::map<std::string, std::string> env_;
};

TEST_F(EndToEnd, RunsItsInstanceUntilSigtermAndItsAudioEqualsTheRenderersToTheBit) {
  SetUpInstance();
  const auto storeBefore = Snapshot(dir_ / "config");

  // About five seconds of the real clock, then SIGTERM.
  {
    ChildProcess program({QUELLVOX_PROGRAM, Instance()}, env_, (dir_ / "stdout.txt").string(),
                         (dir_ / "stderr.txt").string());
    ASSERT_TRUE(program.Started());
    EXPECT_FALSE(program.Wait(std::chrono::seconds(5))) << "ended by itself: " << ReadFileText((dir_ / "stderr.txt").string());
    program.Signal(SIGTERM);
    const std::optional<int> code = program.Wait(std::chrono::seconds(2));
    ASSERT_TRUE(code) << "still running 2 s after SIGTERM";
    EXPECT_EQ(*code, 0) << ReadFileText((dir_ / "stderr.txt").string());
  }

  // Traces: the Start trace first, no skip.
  const std::string traces = ReadFileText((dir_ / "stderr.txt").string());
  std::vector<std::string> own;
  for (const std::string& line : Lines(traces)) {
    if (line.rfind(std::string("Quellvox") + Instance() + "::", 0) == 0) own.push_back(line);
  }
  ASSERT_FALSE(own.empty()) << traces;
  EXPECT_EQ(own[0], std::string("Quellvox") + Instance() + "::Menu File->Start.") << traces;
  for (const std::string& line : own) EXPECT_EQ(line.find("Skip#"), std::string::npos) << line;

  // The store is as it was.
  EXPECT_EQ(Snapshot(dir_ / "config"), storeBefore);

  // The engine's report: after the first second, every output position got
  // its frame, each the capture frame after the one before.
  std::ifstream reportFile(dir_ / "recordings" / "engine-1.json");
  ASSERT_TRUE(reportFile) << traces;
  const nlohmann::json report = nlohmann::json::parse(reportFile);
  const nlohmann::json* layer = nullptr;
  for (const auto& l : report["layers"]) {
    if (l["name"] == "Voice over") layer = &l;
  }
  ASSERT_NE(layer, nullptr) << report.dump(1);
  const int64_t base = (*layer)["base"].get<int64_t>();
  std::vector<std::array<int64_t, 3>> log;  // output position, frame number, capture frame
  for (const auto& p : (*layer)["presented"]) log.push_back({p[0].get<int64_t>(), p[1].get<int64_t>(), p[2].get<int64_t>()});
  ASSERT_GE(log.size(), 30u) << "fewer than 3 s of frames presented";
  int64_t checkedFrames = 0;
  for (size_t i = 1; i < log.size(); ++i) {
    if (log[i][0] < base + kRate) continue;
    ++checkedFrames;
    EXPECT_EQ(log[i][0], log[i - 1][0] + 1) << "missing output positions before " << log[i][0];
    EXPECT_EQ(log[i][2], log[i - 1][2] + 1) << "at output position " << log[i][0];
  }
  EXPECT_GE(checkedFrames, 20);
  // The capture frame whose audio the layer presented at output position q
  // is q - base + S; the relay numbers capture frame c as c - S.
  const int64_t start = log[0][2] - log[0][1];
  const int64_t firstBlock = start - kStartPosition;
  ASSERT_GE(firstBlock, 0);
  ASSERT_LT(firstBlock + static_cast<int64_t>(log.size()) + 2 * kRate, kFileFrames) << "the run outlasted the file";

  // The recording, lined up with the output through the report's spans.
  const Wav recorded = ReadWav(dir_ / "recordings" / "engine-1.wav");
  ASSERT_EQ(recorded.Channels, 2);
  ASSERT_EQ(report["recorded"].size(), 1u) << report["recorded"].dump();
  const int64_t fromPosition = report["recorded"][0]["fromPosition"].get<int64_t>();
  const int64_t positions = report["recorded"][0]["positions"].get<int64_t>();
  ASSERT_EQ(static_cast<int64_t>(recorded.Samples.size()), positions * kFrameSamples * 2);
  auto recordedBlock = [&](int64_t block) -> const float* {
    const int64_t q = block + kStartPosition - start + base;
    if (q < fromPosition || q >= fromPosition + positions) return nullptr;
    return recorded.Samples.data() + (q - fromPosition) * kFrameSamples * 2;
  };

  // Levels: the floor's gain in each block, from the output less the speech
  // over the floor alone (the line adds both at gain 1 into plane 0).
  const std::vector<float> file = FileAudio();
  int64_t lastSpeech = -1000;
  int64_t ducked = 0;
  int64_t open = 0;
  for (int64_t b = firstBlock; b < kFileFrames; ++b) {
    const float* out = recordedBlock(b);
    if (!out) continue;
    const bool speaks = Speaks(b);
    const bool attack = speaks && !Speaks(b - 1);
    if (speaks) lastSpeech = b;
    double xy = 0.0;
    double xx = 0.0;
    for (int s = 0; s < kFrameSamples; ++s) {
      const float* in = &file[static_cast<size_t>((b * kFrameSamples + s) * 4)];
      for (int side = 0; side < 2; ++side) {
        xy += static_cast<double>(out[2 * s + side] - in[2 + side]) * in[side];
        xx += static_cast<double>(in[side]) * in[side];
      }
    }
    const double db = 20.0 * std::log10(xy / xx);
    if (speaks && !attack) {
      EXPECT_NEAR(db, -kDecreaseDb, 0.5) << "block " << b << " under speech";
      ++ducked;
    } else if (b - lastSpeech > kTimeout) {
      EXPECT_NEAR(db, 0.0, 0.5) << "block " << b << ", " << b - lastSpeech << " frames after the speech";
      ++open;
    }
  }
  EXPECT_GE(ducked, 5);
  EXPECT_GE(open, 5);

  // Bit for bit against the renderer, once the program's mixer has seen
  // voice: from then on both hold the same state at the same positions.
  const fs::path rendered = dir_ / "rendered.wav";
  ASSERT_EQ(RunToEnd({QUELLVOX_RENDER, "--rate", "10", "--line", "1:Stereo#2:Stereo#1", "--floor", "Stereo#1",
                      "--decrease", std::to_string(kDecreaseDb), "--threshold", "32", "--timeout",
                      std::to_string(kTimeout), (dir_ / "program.wav").string(), rendered.string()},
                     {}, "", (dir_ / "render.txt").string()),
            0)
      << ReadFileText((dir_ / "render.txt").string());
  const Wav reference = ReadWav(rendered);
  ASSERT_EQ(reference.Channels, 2);
  int64_t firstVoice = firstBlock;
  while (firstVoice < kFileFrames && !Speaks(firstVoice)) ++firstVoice;
  int64_t compared = 0;
  std::vector<int64_t> differing;
  for (int64_t b = firstVoice + 1; b < kFileFrames; ++b) {
    const float* out = recordedBlock(b);
    if (!out) continue;
    ++compared;
    if (std::memcmp(out, reference.Samples.data() + b * kFrameSamples * 2, sizeof(float) * kFrameSamples * 2) != 0) {
      differing.push_back(b);
    }
  }
  EXPECT_GE(compared, 20);
  EXPECT_TRUE(differing.empty()) << differing.size() << " of " << compared << " blocks differ, the first block "
                                 << differing.front();
}

}  // namespace
}  // namespace quellvox::e2e
