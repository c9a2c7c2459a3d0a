#include <dirent.h>
#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../audio/float_bits.h"
#include "audio/voice_over_mixer.h"
#include "tools/render/render_options.h"
#include "tools/render/renderer.h"

extern char** environ;

namespace quellvox {
namespace {

struct Audio {
  int32_t Channels = 0;
  int32_t Rate = 0;
  std::vector<float> Samples;  // interleaved
  int64_t Frames() const { return Channels > 0 ? static_cast<int64_t>(Samples.size()) / Channels : 0; }
};

void WriteWav(const std::string& path, const Audio& audio) {
  SF_INFO info{};
  info.samplerate = audio.Rate;
  info.channels = audio.Channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(sf_writef_float(f, audio.Samples.data(), audio.Frames()), audio.Frames());
  sf_close(f);
}

Audio ReadWav(const std::string& path) {
  Audio audio;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) return audio;
  audio.Channels = info.channels;
  audio.Rate = info.samplerate;
  audio.Samples.resize(static_cast<size_t>(info.frames * info.channels));
  sf_readf_float(f, audio.Samples.data(), info.frames);
  sf_close(f);
  return audio;
}

// A recording with a floor tone on pair 0, voice bursts that come and go
// every few blocks on pairs 1 and 2, and noise below the threshold.
Audio MakeRecording(int32_t channels, int32_t rate, int64_t frames) {
  Audio a{channels, rate, std::vector<float>(static_cast<size_t>(channels * frames))};
  uint32_t noise = 12345;
  for (int64_t s = 0; s < frames; ++s) {
    const bool voice = (s / 7000) % 3 == 1;
    for (int32_t c = 0; c < channels; ++c) {
      noise = noise * 1664525u + 1013904223u;
      const float n = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
      float v = 0.001f * n;
      if (c < 2) v = 0.2f * static_cast<float>(std::sin(0.01 * static_cast<double>(s) + c)) + v;
      if (c >= 2 && voice) v = 0.6f * n;
      a.Samples[static_cast<size_t>(s * channels + c)] = v;
    }
  }
  return a;
}

// Runs `program` (a path, or a name looked up on PATH) with its output
// into the two files; the exit code, -1 when it did not run or crashed.
int RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& stdoutPath,
               const std::string& stderrPath) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunRenderer(const std::vector<std::string>& args, const std::string& stderrPath) {
  std::vector<std::string> all = {QUELLVOX_RENDER};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class Renderer : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quellvox-render-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& n : Entries()) ::unlink((dir_ + "/" + n).c_str());
    ::rmdir(dir_.c_str());
  }
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    DIR* d = ::opendir(dir_.c_str());
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
    }
    ::closedir(d);
    return names;
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Runs the renderer program on `args` and expects it to refuse with exit
  // code 2, a message, and no OUTPUT (nor any temporary file) left behind.
  void ExpectRefused(std::vector<std::string> args, const std::string& messagePart) {
    const std::set<std::string> before = Entries();
    EXPECT_EQ(RunRenderer(args, Path("stderr.txt")), 2);
    const std::string message = ReadText(Path("stderr.txt"));
    EXPECT_NE(message.find(messagePart), std::string::npos) << message;
    std::set<std::string> after = Entries();
    after.erase("stderr.txt");
    std::set<std::string> expected = before;
    expected.erase("stderr.txt");
    EXPECT_EQ(after, expected);
  }

  std::string dir_;
};

RenderOptions Parse(std::vector<std::string> args) {
  RenderOptions o;
  const Status parsed = ParseRenderOptions(args, o);
  EXPECT_TRUE(parsed.IsOk()) << parsed.Message();
  return o;
}

TEST(BlockStart, FollowsTheCadenceOfFractionalRates) {
  EXPECT_EQ(BlockStart(1, 48000, 25, 1), 1920);
  // 30000/1001 frames per second: 1601.6 sample frames per frame.
  EXPECT_EQ(BlockStart(1, 48000, 30000, 1001), 1601);
  EXPECT_EQ(BlockStart(2, 48000, 30000, 1001), 3203);
  EXPECT_EQ(BlockStart(5, 48000, 30000, 1001), 8008);
  EXPECT_EQ(BlockStart(3000000000LL, 48000, 30000, 1001), 4804800000000LL);  // no overflow
}

TEST(ParseRenderOptions, TakesTheRecordDefaultsAndTheHighestTargetPlane) {
  const RenderOptions o = Parse({"--line", "3:Left#2:Right#4:-6", "in.wav", "out.wav"});
  EXPECT_EQ(o.Planes, 4);
  EXPECT_EQ(o.Settings.Lines[2], (VoiceOverLine{true, {Left, 1}, {Right, 3}, -6}));
  EXPECT_FALSE(o.Settings.Lines[0].Use);
  EXPECT_TRUE(o.Settings.UseCommon);
  EXPECT_EQ(o.Settings.CommonLine, (AudioLineRef{Stereo, 0}));
  EXPECT_EQ(o.Settings.DecreaseDB, 18);
  EXPECT_EQ(o.Settings.NoiseLevelDB, 32);
  EXPECT_EQ(o.Settings.TimeoutInFrames, 30);
  EXPECT_EQ(o.RateNumerator, 25);
  EXPECT_EQ(o.RateDenominator, 1);
}

TEST(ParseRenderOptions, ReadsDecimalAndFractionalRates) {
  RenderOptions o = Parse({"--rate=29.97", "a", "b"});
  EXPECT_EQ(o.RateNumerator, 2997);
  EXPECT_EQ(o.RateDenominator, 100);
  o = Parse({"--rate", "30000/1001", "a", "b"});
  EXPECT_EQ(o.RateNumerator, 30000);
  EXPECT_EQ(o.RateDenominator, 1001);
}

TEST(ParseRenderOptions, RefusesWhatTheMixerCannotTake) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--line", "9:Stereo#1:Stereo#1", "a", "b"},
           {"--line", "0:Stereo#1:Stereo#1", "a", "b"},
           {"--line", "1:Stereo#0:Stereo#1", "a", "b"},
           {"--line", "1:Stereo#10:Stereo#1", "a", "b"},
           {"--line", "1:Mono#1:Stereo#1", "a", "b"},
           {"--line", "1:Stereo#1", "a", "b"},
           {"--line", "1:Stereo#1:Stereo#1:loud", "a", "b"},
           {"--line", "1:Stereo#1:Stereo#1", "--line", "1:Stereo#2:Stereo#1", "a", "b"},
           {"--line", "1:Stereo#1:Stereo#3", "--planes", "2", "a", "b"},
           {"--floor", "Stereo#", "a", "b"},
           {"--rate", "0", "a", "b"},
           {"--rate", "25fps", "a", "b"},
           {"--rate", "+30000/1001", "a", "b"},
           {"--rate", "30000/ 1001", "a", "b"},
           {"--rate", "30000/1001 ", "a", "b"},
           {"--timeout", "-1", "a", "b"},
           {"--bogus", "a", "b"},
           {"a"},
           {"a", "b", "c"}}) {
    RenderOptions o;
    const Status parsed = ParseRenderOptions(args, o);
    EXPECT_FALSE(parsed.IsOk()) << args[0] << " " << args[1];
    EXPECT_FALSE(parsed.Message().empty());
  }
}

// The output is the mix area of MixBlock, block by block at the frame
// cadence, to the bit; the last block is shorter than the others.
TEST_F(Renderer, OutputIsTheMixOfEveryBlockToTheBit) {
  const Audio input = MakeRecording(6, 48000, 48000 + 480);  // 25.25 blocks
  WriteWav(Path("in.wav"), input);
  const RenderOptions o = Parse({"--line", "1:Stereo#2:Stereo#1", "--line", "4:Left#3:Right#2:-6", "--floor",
                                 "Left#1", "--timeout", "5", Path("in.wav"), Path("out.wav")});
  RenderSummary summary;
  const Status rendered = Render(o, summary);
  ASSERT_TRUE(rendered.IsOk()) << rendered.Message();
  EXPECT_EQ(summary.Blocks, 26);
  EXPECT_EQ(summary.Frames, input.Frames());

  const Audio output = ReadWav(Path("out.wav"));
  ASSERT_EQ(output.Channels, 4);
  ASSERT_EQ(output.Rate, 48000);
  ASSERT_EQ(output.Frames(), input.Frames());

  MixerState state;
  DeriveMixerGains(o.Settings, state);
  ResetMixerLines(state);
  auto block = std::make_unique<CaptureBlock>();
  auto mix = std::make_unique<MixArea>();
  bool ducked = false;
  for (int64_t b = 0, begin = 0; begin < input.Frames(); ++b) {
    const int64_t end = std::min<int64_t>((b + 1) * 1920, input.Frames());
    const int32_t frames = static_cast<int32_t>(end - begin);
    std::memcpy(block->Samples, &input.Samples[begin * 6], sizeof(float) * frames * 6);
    MixBlock(o.Settings, state, {block->Samples, 6, frames, mix->Samples, PlanesForBlock(6, frames, 2)},
             1000000 + b + 1);
    ducked = ducked || state.FloorGain[0] < 1.0f;
    for (int32_t s = 0; s < frames; ++s) {
      for (int32_t k = 0; k < 4; ++k) {
        ASSERT_EQ(Bits(output.Samples[(begin + s) * 4 + k]), Bits(MixPlane(*mix, k / 2, frames)[2 * s + k % 2]))
            << "block " << b << " frame " << s << " channel " << k;
      }
    }
    begin = end;
  }
  EXPECT_TRUE(ducked);  // the recording did duck the floor
}

TEST_F(Renderer, GainLogHasARowPerBlockWithFloorGainAndVoice) {
  WriteWav(Path("in.wav"), MakeRecording(4, 48000, 48000));
  ASSERT_EQ(RunRenderer({"--line", "2:Stereo#2:Stereo#1", "--gain-log", Path("gains.csv"), Path("in.wav"),
                         Path("out.wav")},
                        Path("stderr.txt")),
            0)
      << ReadText(Path("stderr.txt"));
  std::istringstream log(ReadText(Path("gains.csv")));
  std::string line;
  std::getline(log, line);
  EXPECT_EQ(line, "block,pos,floor_db_2,voice_2,momentary_lufs_1");
  std::vector<std::string> rows;
  while (std::getline(log, line)) rows.push_back(line);
  ASSERT_EQ(rows.size(), 25u);
  EXPECT_EQ(rows[0], "0,1000001,0.0000,0,-inf");  // less than the 400 ms a momentary reading needs
  EXPECT_EQ(rows[3].rfind("3,1000004,-18.0000,1,", 0), 0u) << rows[3];  // voice from sample frame 7000 on
  EXPECT_EQ(rows[8].substr(rows[8].rfind(',')), ",-inf");  // 360 ms
  const double momentary = std::stod(rows[9].substr(rows[9].rfind(',') + 1));  // 400 ms
  EXPECT_TRUE(std::isfinite(momentary) && momentary < 0.0 && momentary > -70.0) << rows[9];
}

// A programme whose loudness moves: a floor of two tones whose level steps
// every few seconds on pair 0, and noise bursts as voice on pair 1 that
// duck it, 40 s at 48 kHz.
Audio MakeProgramme() {
  constexpr int32_t kRate = 48000;
  constexpr int64_t kFrames = int64_t{40} * kRate;
  Audio a{4, kRate, std::vector<float>(static_cast<size_t>(4 * kFrames))};
  const double levels[] = {0.05, 0.2, 0.1, 0.4, 0.02, 0.15, 0.3, 0.08};
  uint32_t noise = 777;
  double low1 = 0.0;
  double low2 = 0.0;
  for (int64_t s = 0; s < kFrames; ++s) {
    const double t = static_cast<double>(s) / kRate;
    const double level = levels[(s / (5 * kRate)) % 8];
    const float floor = static_cast<float>(level * (0.7 * std::sin(2 * M_PI * 440.0 * t) + 0.3 * std::sin(2 * M_PI * 3100.0 * t)));
    noise = noise * 1664525u + 1013904223u;
    // Noise through two one-pole low passes (about 1.5 kHz): speech-like
    // in that little of it lies near the top of the band, where true-peak
    // meters with different oversampling filters part ways.
    low1 += 0.18 * (static_cast<double>(noise >> 8) / 16777216.0 - 0.5 - low1);
    low2 += 0.18 * (low1 - low2);
    const float n = static_cast<float>(4.0 * low2);
    const bool voice = (s / (kRate * 3 / 2)) % 4 == 2;
    a.Samples[static_cast<size_t>(s * 4)] = floor;
    a.Samples[static_cast<size_t>(s * 4 + 1)] = floor;
    a.Samples[static_cast<size_t>(s * 4 + 2)] = voice ? 0.5f * n : 0.0f;
    a.Samples[static_cast<size_t>(s * 4 + 3)] = voice ? 0.5f * n : 0.0f;
  }
  return a;
}

// ffmpeg's ebur128 filter over the same output file reads the figures the
// renderer reports: integrated within 0.1 LU, true peak within 0.3 dB,
// range within 0.5 LU. ffmpeg prints one decimal; the renderer's own figures
// are taken unrounded.
TEST_F(Renderer, LoudnessAgreesWithFfmpegsMeterOnTheSameOutput) {
  WriteWav(Path("in.wav"), MakeProgramme());
  const RenderOptions o =
      Parse({"--line", "1:Stereo#2:Stereo#1", "--loudness", "--planes", "1", Path("in.wav"), Path("out.wav")});
  RenderSummary summary;
  const Status rendered = Render(o, summary);
  ASSERT_TRUE(rendered.IsOk()) << rendered.Message();
  ASSERT_EQ(summary.Loudness.size(), 1u);
  const LoudnessFigures ours = summary.Loudness[0];

  ASSERT_EQ(RunProgram("ffmpeg", {"-nostdin", "-hide_banner", "-nostats", "-i", Path("out.wav"), "-af",
                                  "ebur128=peak=true", "-f", "null", "-"},
                       Path("ffmpeg.out"), Path("ffmpeg.err")),
            0)
      << ReadText(Path("ffmpeg.err"));
  // The summary at the end: "I: ... LUFS", "LRA: ... LU", then under "True
  // peak:" a "Peak: ... dBFS".
  const std::string text = ReadText(Path("ffmpeg.err"));
  const size_t summaryAt = text.rfind("Summary:");
  ASSERT_NE(summaryAt, std::string::npos) << text;
  const auto valueAfter = [&](const std::string& label, size_t from) {
    const size_t at = text.find(label, from);
    EXPECT_NE(at, std::string::npos) << label << " in " << text.substr(summaryAt);
    return at == std::string::npos ? NAN : std::stod(text.substr(at + label.size()));
  };
  const double integrated = valueAfter("I:", summaryAt);
  const double range = valueAfter("LRA:", summaryAt);
  const double peak = valueAfter("Peak:", text.find("True peak:", summaryAt));
  EXPECT_NEAR(ours.IntegratedLufs, integrated, 0.1);
  EXPECT_NEAR(ours.TruePeakDbtp, peak, 0.3);
  EXPECT_NEAR(ours.RangeLu, range, 0.5);
  EXPECT_GT(ours.RangeLu, 3.0);  // the programme does move

  // The program prints the same figures, rounded.
  ASSERT_EQ(RunProgram(QUELLVOX_RENDER, {"--line", "1:Stereo#2:Stereo#1", "--loudness", "--planes", "1",
                                         Path("in.wav"), Path("out.wav")},
                       Path("render.out"), Path("stderr.txt")),
            0)
      << ReadText(Path("stderr.txt"));
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "quellvox-render: plane 1: integrated %.1f LUFS, loudness range %.1f LU, true peak %.1f dBTP\n",
                ours.IntegratedLufs, ours.RangeLu, ours.TruePeakDbtp);
  EXPECT_NE(ReadText(Path("render.out")).find(expected), std::string::npos) << ReadText(Path("render.out"));
}

TEST_F(Renderer, WithoutFloorOnlyTheVoiceIsMixed) {
  Audio input = MakeRecording(4, 48000, 4000);
  WriteWav(Path("in.wav"), input);
  ASSERT_EQ(RunRenderer({"--no-floor", "--line", "1:Stereo#2:Stereo#1", Path("in.wav"), Path("out.wav")},
                        Path("stderr.txt")),
            0);
  const Audio output = ReadWav(Path("out.wav"));
  ASSERT_EQ(output.Frames(), 4000);
  for (int64_t s = 0; s < 4000; ++s) {
    ASSERT_EQ(Bits(output.Samples[s * 2]), Bits(input.Samples[s * 4 + 2]));
    ASSERT_EQ(Bits(output.Samples[s * 2 + 1]), Bits(input.Samples[s * 4 + 3]));
  }
}

// A frame rate above the sample rate leaves blocks without a sample between
// those with one: every sample is still rendered, to the end of the input.
TEST_F(Renderer, SampleRateBelowTheFrameRateRendersEverySample) {
  Audio input = MakeRecording(4, 800, 1600);  // 2 s at 800 Hz, blocks of 0 or 1 sample at 1000 frames/s
  WriteWav(Path("in.wav"), input);
  ASSERT_EQ(RunRenderer({"--no-floor", "--line", "1:Stereo#2:Stereo#1", "--rate", "1000", Path("in.wav"),
                         Path("out.wav")},
                        Path("stderr.txt")),
            0)
      << ReadText(Path("stderr.txt"));
  const Audio output = ReadWav(Path("out.wav"));
  ASSERT_EQ(output.Frames(), 1600);
  for (int64_t s = 0; s < 1600; ++s) {
    ASSERT_EQ(Bits(output.Samples[s * 2]), Bits(input.Samples[s * 4 + 2])) << "sample frame " << s;
    ASSERT_EQ(Bits(output.Samples[s * 2 + 1]), Bits(input.Samples[s * 4 + 3])) << "sample frame " << s;
  }
}

TEST_F(Renderer, RefusesBadArgumentsWithoutWritingAnything) {
  WriteWav(Path("in.wav"), MakeRecording(4, 48000, 4000));
  const std::string in = Path("in.wav");
  const std::string out = Path("out.wav");
  ExpectRefused({"--line", "1:Stereo#2:Stereo#1", Path("missing.wav"), out}, "cannot read");
  ExpectRefused({"--line", "1:Stereo#2:Stereo#1", Path("stderr.txt"), out}, "cannot read");
  ExpectRefused({"--line", "1:Stereo#9:Stereo#1", in, out}, "row 1 reads Stereo#9");
  ExpectRefused({"--line", "1:Stereo#2:Stereo#1", "--floor", "Right#3", in, out}, "floor line Right#3");
  ExpectRefused({"--line", "1:Sterio#2:Stereo#1", in, out}, "bad line text");
  ExpectRefused({"--line", "9:Stereo#2:Stereo#1", in, out}, "from 1 to 8");
  ExpectRefused({"--line", "1:Stereo#2:Stereo#4", "--planes", "3", in, out}, "beyond");
  ExpectRefused({"--line", "1:Stereo#2:Stereo#1", "--rate", "1", in, out}, "block buffer");
  ExpectRefused({"--line", "1:Stereo#2:Stereo#1", in, Path("no/such/folder/out.wav")}, "cannot write");
}

TEST_F(Renderer, FailedRunLeavesAGoodOutputInPlace) {
  WriteWav(Path("in.wav"), MakeRecording(4, 48000, 4000));
  ASSERT_EQ(RunRenderer({"--line", "1:Stereo#2:Stereo#1", Path("in.wav"), Path("out.wav")}, Path("stderr.txt")), 0);
  const std::string good = ReadText(Path("out.wav"));
  ExpectRefused({"--line", "1:Stereo#2:Stereo#1", Path("missing.wav"), Path("out.wav")}, "cannot read");
  EXPECT_EQ(ReadText(Path("out.wav")), good);
}

// OUTPUT and the gain log replace what they name: neither may be the input
// under any name, the other target, or something that is not a regular
// file. Each is refused with exit code 2, and every file stays as it was.
TEST_F(Renderer, RefusesTargetsThatWouldReplaceTheInputOrEachOtherOrAnythingButAFile) {
  WriteWav(Path("in.wav"), MakeRecording(4, 48000, 4000));
  const std::string in = Path("in.wav");
  const std::string recording = ReadText(in);
  ASSERT_EQ(::link(in.c_str(), Path("hard.wav").c_str()), 0);
  ASSERT_EQ(::symlink(in.c_str(), Path("soft.wav").c_str()), 0);
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(Path("folder").c_str(), 0700), 0);
  const struct {
    std::vector<std::string> Targets;  // OUTPUT, then --gain-log when given
    const char* Message;
  } cases[] = {
      {{in}, "is the input"},
      {{Path("hard.wav")}, "is the input"},
      {{Path("soft.wav")}, "is the input"},
      {{Path("out.wav"), in}, "is the input"},
      {{Path("out.wav"), Path("out.wav")}, "names the same file as OUTPUT"},
      {{Path("out.wav"), dir_ + "/./out.wav"}, "names the same file as OUTPUT"},
      {{Path("fifo")}, "not a regular file"},
      {{Path("out.wav"), Path("fifo")}, "not a regular file"},
      {{Path("out.wav"), Path("folder")}, "not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Targets.back());
    std::vector<std::string> args{"--line", "1:Stereo#2:Stereo#1"};
    if (c.Targets.size() == 2) args.insert(args.end(), {"--gain-log", c.Targets[1]});
    args.insert(args.end(), {in, c.Targets[0]});
    ExpectRefused(args, c.Message);
    EXPECT_EQ(ReadText(in), recording);
  }
  struct stat st {};
  ASSERT_EQ(::lstat(Path("fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(::lstat(Path("soft.wav").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ::rmdir(Path("folder").c_str());
}

// A recording cut off after its header was written renders what it holds,
// and the program says how much that was.
TEST_F(Renderer, ACutOffInputRendersWhatItHoldsAndSaysSo) {
  WriteWav(Path("in.wav"), MakeRecording(4, 48000, 4000));
  ASSERT_EQ(::truncate(Path("in.wav").c_str(), 32000), 0);
  const Audio held = ReadWav(Path("in.wav"));
  ASSERT_GT(held.Frames(), 0);
  ASSERT_LT(held.Frames(), 4000);
  ASSERT_EQ(RunRenderer({"--line", "1:Stereo#2:Stereo#1", Path("in.wav"), Path("out.wav")}, Path("stderr.txt")), 0);
  const std::string message = ReadText(Path("stderr.txt"));
  EXPECT_NE(message.find("shorter than its header"), std::string::npos) << message;
  EXPECT_NE(message.find(std::to_string(held.Frames()) + " sample frames"), std::string::npos) << message;
  EXPECT_EQ(ReadWav(Path("out.wav")).Frames(), held.Frames());
}

TEST_F(Renderer, AWholeInputGivesNoWarning) {
  WriteWav(Path("in.wav"), MakeRecording(4, 48000, 4000));
  ASSERT_EQ(RunRenderer({"--line", "1:Stereo#2:Stereo#1", Path("in.wav"), Path("out.wav")}, Path("stderr.txt")), 0);
  EXPECT_EQ(ReadText(Path("stderr.txt")), "");
}

}  // namespace
}  // namespace quellvox
