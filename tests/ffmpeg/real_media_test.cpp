// The real-media provider on the real clock: inputs made here with the
// libraries, relayed by the whole pipeline into encoded outputs, decoded
// back and checked frame by frame and sample by sample.
#include "platform/ffmpeg/real_media.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app/instance_core.h"
#include "platform/ffmpeg/media_description.h"
#include "platform/ffmpeg/real_media_test_api.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "platform/media_api/media_components.h"
#include "tests/support/recording_messages.h"
#include "tests/support/wait_for.h"
#include "tests/ffmpeg/media_files.h"
#include "tools/render/renderer.h"
#include "tests/support/status_assert.h"

namespace quellvox {
namespace {

namespace st = studio_test;
namespace rt = realmedia_test;
using media_files::MadeInput;
using media_files::ReadOutput;

using test_support::WaitFor;

class RealMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("quellvox-realmedia-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    RegisterVirtualStudio();
    RegisterRealMedia();
    st::UseSteadyClock();
    st::ClearFaults();
  }
  void TearDown() override {
    core_.reset();
    rt::LoadDescriptionText("{}", "");
    st::LoadDefaultDescription();
    std::filesystem::remove_all(folder_);
  }

  std::string Path(const std::string& name) const { return (folder_ / name).string(); }

  // One studio-described device and engine pair: device 0 takes `input`,
  // engine 0 writes `output` (JSON objects), 256x64 at 25 frames/s.
  void Describe(const std::string& input, const std::string& output, std::string* problems = nullptr,
                const std::string& engine = R"("rate": 25, "stereoLines": 1)", const std::string& device = "") {
    const std::string json = R"({
      "devices": [{"kind": 2, "name": "Feed", "width": 256, "height": 64, "rate": 25, "channels": 6,
                   "startPosition": 1000000, )" +
                             device + R"("input": )" + input + R"(}],
      "engines": [{"name": "Out", "width": 256, "height": 64, )" +
                             engine + R"(, "output": )" + output + R"(}]
    })";
    ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionText(json)));
    rt::LoadDescriptionText(json, folder_.string(), problems);
  }

  void MakeCore() {
    core_ = std::make_unique<InstanceCore>("#R", "/opt/quellvox/quellvox", messages_);
    ASSERT_EQ(core_->TitleEngines.Refresh(), 0);
    ASSERT_EQ(core_->CaptureSources.Refresh(), 0);
    DuckerSettings& s = core_->Settings;
    s.CaptureSource = 0;
    s.TitleEngineMask = 1;
    s.RegionName = "Relay";
    s.DelayInFrames = 10;
    s.UseCommon = true;
    s.CommonLine = {Stereo, 0};
    s.DecreaseDB = 18;
    s.NoiseLevelDB = 32;
    s.TimeoutInFrames = 4;
    s.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
    s.Lines[1] = {true, {Stereo, 2}, {Stereo, 0}, -6};
  }

  // What the offline renderer makes of the input's audio from block `from`
  // on, with the instance's settings: one stereo plane.
  std::vector<float> Rendered(const MadeInput& made, int64_t from) {
    const std::string in = Path("render-in.wav");
    const std::string out = Path("render-out.wav");
    SF_INFO info{};
    info.samplerate = made.SampleRate;
    info.channels = made.Channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(in.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr);
    const int64_t spf = made.SampleRate / made.Rate;
    sf_writef_float(f, made.Audio.data() + from * spf * made.Channels, (made.Frames - from) * spf);
    sf_close(f);
    RenderOptions o;
    const DuckerSettings& s = core_->Settings;
    o.Settings.Lines = s.Lines;
    o.Settings.UseCommon = s.UseCommon;
    o.Settings.CommonLine = s.CommonLine;
    o.Settings.DecreaseDB = s.DecreaseDB;
    o.Settings.NoiseLevelDB = s.NoiseLevelDB;
    o.Settings.TimeoutInFrames = s.TimeoutInFrames;
    o.Planes = 1;
    o.PlanesGiven = true;
    o.Input = in;
    o.Output = out;
    RenderSummary summary;
    const Status rendered = Render(o, summary);
    EXPECT_TRUE(rendered.IsOk()) << rendered.Message();
    SF_INFO back{};
    SNDFILE* r = sf_open(out.c_str(), SFM_READ, &back);
    std::vector<float> samples(static_cast<size_t>(back.frames) * back.channels);
    sf_readf_float(r, samples.data(), back.frames);
    sf_close(r);
    return samples;
  }

  std::filesystem::path folder_;
  RecordingMessages messages_;
  std::unique_ptr<InstanceCore> core_;
};

TEST_F(RealMedia, FileRelayedOnTheRealClockKeepsEveryFrameInOrderWithTheDelayAndTheRenderersAudio) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 250, made, error)) << error;
  Describe(R"({"url": "in.mkv"})", R"({"url": "out.mkv"})");
  MakeCore();
  ASSERT_TRUE(core_->StartPipeline()) << (messages_.Shown.empty() ? "" : messages_.Shown.front().Text);
  ASSERT_TRUE(WaitFor([] { return rt::GetOutputReport(0).Encoded >= 150; }, std::chrono::seconds(30)));
  const auto stopBegin = std::chrono::steady_clock::now();
  core_->StopPipeline();
  EXPECT_LT(std::chrono::steady_clock::now() - stopBegin, std::chrono::seconds(1));

  const realmedia::OutputReport report = rt::GetOutputReport(0);
  EXPECT_EQ(report.WriteFailures, 0);
  EXPECT_EQ(report.Missing, 0);
  EXPECT_EQ(report.Late, 0);
  EXPECT_EQ(core_->Stats.SkipAudio.load(), 0);
  EXPECT_EQ(core_->Stats.SkipVideo[0].load(), 0);
  EXPECT_EQ(rt::GetInputReport(0).Gaps, 0);

  ReadOutput out;
  ASSERT_TRUE(media_files::ReadMedia(Path("out.mkv"), out, error)) << error;
  ASSERT_GE(out.FrameNumbers.size(), 150u);
  // Every output frame is in the file but those the encoder's queue had no
  // room for (a starved encoder drops whole frames and counts them).
  EXPECT_EQ(static_cast<int64_t>(out.VideoPts.size()), report.Encoded);
  EXPECT_LE(out.VideoPts.back() - out.VideoPts.front() + 1, report.Encoded + report.Dropped);
  // Black until the first relayed frame; from there one frame per output
  // frame, in order, none missing, as many frames behind as the delay says.
  size_t first = 0;
  while (first < out.FrameNumbers.size() && out.FrameNumbers[first] < 0) ++first;
  ASSERT_LT(first + 100, out.FrameNumbers.size());
  // The relay's own measure of the delay: a frame is relayed as soon as it
  // is captured, one frame short of the delay of 10.
  const FullnessRecord& fullness = core_->Stats.VideoFullness[0];
  const int32_t tenths = fullness.MeanWhole.load() * 10 + fullness.MeanTenth.load();
  EXPECT_GE(tenths, 80);
  EXPECT_LE(tenths, 100);
  const int64_t offset = out.VideoPts[first] - out.FrameNumbers[first];
  int64_t outOfStep = 0;
  for (size_t i = first; i < out.FrameNumbers.size(); ++i) {
    if (out.VideoPts[i] - out.FrameNumbers[i] != offset) ++outOfStep;
  }
  EXPECT_EQ(outOfStep, 0);

  // The program audio of each relayed frame equals the renderer's mix of the
  // same capture frame, started where the pump started: the capture's
  // positions begin at 1,000,000, where the renderer puts its first block.
  const int64_t spf = 1920;
  const int64_t k0 = out.FrameNumbers[first];
  const std::vector<float> expected = Rendered(made, k0);
  ASSERT_EQ(out.Channels, 2);
  int64_t compared = 0;
  int64_t differing = 0;
  std::string differingFrames;
  // The last two output frames are the stop's edge: their pictures may be
  // presented after the pump wrote its last audio.
  for (size_t i = first; i + 2 < out.FrameNumbers.size(); ++i) {
    const int64_t k = out.FrameNumbers[i] - k0;
    const int64_t at = out.VideoPts[i] * spf - out.AudioStart;
    if (k < 0 || at < 0 || (at + spf) * 2 > static_cast<int64_t>(out.Audio.size()) ||
        (k + 1) * spf * 2 > static_cast<int64_t>(expected.size())) {
      continue;
    }
    const int64_t before = differing;
    for (int64_t s = 0; s < spf * 2; ++s) {
      // Equal as numbers: a mix of 0 + x may turn -0 into +0.
      if (out.Audio[static_cast<size_t>(at * 2 + s)] != expected[static_cast<size_t>(k * spf * 2 + s)]) {
        ++differing;
      }
    }
    if (differing != before) differingFrames += " " + std::to_string(i);
    ++compared;
  }
  EXPECT_GE(compared, 100);
  EXPECT_EQ(differing, 0) << "output frames" << differingFrames << " of " << out.FrameNumbers.size();
}

// ---------------------------------------------------------------------------
// Descriptions

struct BadValue {
  const char* Name;
  const char* Input;   // the device's "input", or nullptr
  const char* Output;  // the engine's "output", or nullptr
  const char* Line;    // the one line expected
};

class BadDescriptionValue : public ::testing::TestWithParam<BadValue> {};

TEST_P(BadDescriptionValue, GivesOneLineNamingTheFileTheEntryAndTheFaultAndLosesNothingElse) {
  const BadValue& c = GetParam();
  const std::string input = c.Input ? c.Input : R"({"url": "in.mkv"})";
  const std::string output = c.Output ? c.Output : R"({"url": "out.mkv"})";
  const std::string json = R"({"devices": [{"name": "Good", "input": {"url": "a.mkv"}},
                                         {"name": "Feed", "input": )" +
                           input + R"(},
                                         {"name": "Studio"}],
                              "engines": [{"name": "Out", "output": )" +
                           output + R"(}, {"name": "Plain"}]})";
  std::vector<std::string> problems;
  const realmedia::MediaDescription d = realmedia::ReadMediaDescription(json, "studio.json", "/base", problems);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], c.Line);
  ASSERT_EQ(d.Devices.size(), 3u);
  ASSERT_EQ(d.Engines.size(), 2u);
  EXPECT_TRUE(d.Devices[0].Input.has_value());
  EXPECT_EQ(d.Devices[0].Input->Url, "/base/a.mkv");
  EXPECT_FALSE(d.Devices[2].Played());
  EXPECT_FALSE(d.Engines[1].Played());
  // The faulty entry stays played (it fails), the good one of the other list stays good.
  EXPECT_TRUE(c.Input ? (d.Devices[1].Played() && !d.Devices[1].Input) : d.Devices[1].Input.has_value());
  EXPECT_TRUE(c.Output ? (d.Engines[0].Played() && !d.Engines[0].Output) : d.Engines[0].Output.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    RealMedia, BadDescriptionValue,
    ::testing::Values(
        BadValue{
            "NoUrl", R"({"loop": true})", nullptr,
            R"(Real media: bad description "studio.json": devices[1] "Feed": input.url: is missing; the device cannot be opened)"},
        BadValue{
            "UnknownKey", R"({"url": "x.mkv", "lop": true})", nullptr,
            R"(Real media: bad description "studio.json": devices[1] "Feed": input.lop: unknown key; the device cannot be opened)"},
        BadValue{
            "LoopText", R"({"url": "x.mkv", "loop": "yes"})", nullptr,
            R"(Real media: bad description "studio.json": devices[1] "Feed": input.loop: must be true or false; the device cannot be opened)"},
        BadValue{
            "LiveLoop", R"({"url": "udp://127.0.0.1:5000", "loop": true})", nullptr,
            R"(Real media: bad description "studio.json": devices[1] "Feed": input.loop: a live input cannot loop; the device cannot be opened)"},
        BadValue{
            "InputFormat", R"({"url": "x", "format": "nosuch"})", nullptr,
            R"(Real media: bad description "studio.json": devices[1] "Feed": input.format: unknown input format "nosuch"; the device cannot be opened)"},
        BadValue{
            "Backoff", R"({"url": "x", "backoffMinMs": 500, "backoffMaxMs": 100})", nullptr,
            R"(Real media: bad description "studio.json": devices[1] "Feed": input.backoffMaxMs: must not be below backoffMinMs; the device cannot be opened)"},
        BadValue{
            "Ring", R"({"url": "x", "ringFrames": 1})", nullptr,
            R"(Real media: bad description "studio.json": devices[1] "Feed": input.ringFrames: must lie between 2 and 1000; the device cannot be opened)"},
        BadValue{
            "VideoCodec", nullptr, R"({"url": "o.mkv", "videoCodec": "nope"})",
            R"(Real media: bad description "studio.json": engines[0] "Out": output.videoCodec: no video encoder "nope"; the engine cannot be attached)"},
        BadValue{
            "AudioCodecIsVideo", nullptr, R"({"url": "o.mkv", "audioCodec": "ffv1"})",
            R"(Real media: bad description "studio.json": engines[0] "Out": output.audioCodec: no audio encoder "ffv1"; the engine cannot be attached)"},
        BadValue{
            "Container", nullptr, R"({"url": "o.unknownext"})",
            R"(Real media: bad description "studio.json": engines[0] "Out": output.url: no container known for "o.unknownext" (give "format"); the engine cannot be attached)"},
        BadValue{
            "Queue", nullptr, R"({"url": "o.mkv", "queueFrames": 1000})",
            R"(Real media: bad description "studio.json": engines[0] "Out": output.queueFrames: must lie between 2 and 250; the engine cannot be attached)"},
        BadValue{
            "OptionValue", nullptr, R"({"url": "o.mkv", "videoOptions": {"g": [1]}})",
            R"(Real media: bad description "studio.json": engines[0] "Out": output.videoOptions.g: must be a text, a number or true/false; the engine cannot be attached)"}),
    [](const ::testing::TestParamInfo<BadValue>& param) { return param.param.Name; });

TEST_F(RealMedia, DeviceWithABadInputFailsItsStartWhileTheStudioDeviceBesideItRuns) {
  Describe(R"({"url": "in.mkv", "loop": 1})", R"({"url": "out.mkv"})");
  MakeCore();
  ASSERT_FALSE(core_->StartPipeline());
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_NE(messages_.Shown[0].Text.find("0x80070057"), std::string::npos) << messages_.Shown[0].Text;
}

// ---------------------------------------------------------------------------
// Faults of a real feed

TEST_F(RealMedia, MissingInputFileFailsTheStartWithTheFileNotFoundCode) {
  Describe(R"({"url": "absent.mkv"})", R"({"url": "out.mkv"})");
  MakeCore();
  ASSERT_FALSE(core_->StartPipeline());
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_NE(messages_.Shown[0].Text.find("0x80070002"), std::string::npos) << messages_.Shown[0].Text;
  // The reason the provider knows stands on a line after the system's text.
  EXPECT_NE(messages_.Shown[0].Text.find(".\r\ncapture \"Feed\": cannot open \"" + Path("absent.mkv") + "\""),
            std::string::npos)
      << messages_.Shown[0].Text;
  EXPECT_EQ(rt::GetInputReport(0).OpenFailures, 1);
  EXPECT_FALSE(std::filesystem::exists(Path("out.mkv")));
}

TEST_F(RealMedia, UnwritableOutputIsCountedWhileTheRelayGoesOn) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 100, made, error)) << error;
  Describe(R"({"url": "in.mkv"})", R"({"url": "no-such-folder/out.mkv"})");
  MakeCore();
  ASSERT_TRUE(core_->StartPipeline());
  ASSERT_TRUE(WaitFor([] { return rt::GetOutputReport(0).OnTime >= 20; }, std::chrono::seconds(20)));
  const auto stopBegin = std::chrono::steady_clock::now();
  core_->StopPipeline();
  EXPECT_LT(std::chrono::steady_clock::now() - stopBegin, std::chrono::seconds(1));
  const realmedia::OutputReport r = rt::GetOutputReport(0);
  EXPECT_EQ(r.WriteFailures, 1);
  EXPECT_EQ(r.Encoded, 0);
  EXPECT_GE(r.Dropped, 20);
  EXPECT_EQ(r.Late, 0);
  EXPECT_FALSE(r.Writing);
}

TEST_F(RealMedia, InputThatEndsLeavesThePipelineRunningAndTheOutputRepeatingItsLastPicture) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 30, made, error)) << error;
  Describe(R"({"url": "in.mkv"})", R"({"url": "out.mkv"})");
  MakeCore();
  ASSERT_TRUE(core_->StartPipeline());
  ASSERT_TRUE(WaitFor([] { return rt::GetInputReport(0).Ends == 1; }, std::chrono::seconds(20)));
  ASSERT_TRUE(WaitFor([] { return rt::GetOutputReport(0).Missing >= 15; }, std::chrono::seconds(20)));
  core_->StopPipeline();
  const rt::InputReport in = rt::GetInputReport(0);
  EXPECT_EQ(in.Captured, 30);
  EXPECT_EQ(in.Gaps, 0);
  EXPECT_FALSE(in.Open);
  ReadOutput out;
  ASSERT_TRUE(media_files::ReadMedia(Path("out.mkv"), out, error)) << error;
  ASSERT_FALSE(out.FrameNumbers.empty());
  EXPECT_EQ(out.FrameNumbers.back(), 29);  // the last picture, repeated
}

TEST_F(RealMedia, LoopedFileGoesOnWithoutAGap) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 20, made, error)) << error;
  Describe(R"({"url": "in.mkv", "loop": true})", R"({"url": "out.mkv"})");
  MakeCore();
  ASSERT_TRUE(core_->StartPipeline());
  ASSERT_TRUE(WaitFor([] { return rt::GetInputReport(0).Captured >= 50; }, std::chrono::seconds(20)));
  core_->StopPipeline();
  const rt::InputReport in = rt::GetInputReport(0);
  EXPECT_EQ(in.Gaps, 0);
  EXPECT_EQ(in.Ends, 0);
  EXPECT_EQ(in.AudioFilled, 0);
  ReadOutput out;
  ASSERT_TRUE(media_files::ReadMedia(Path("out.mkv"), out, error)) << error;
  int64_t previous = -1;
  int64_t wraps = 0;
  for (int64_t n : out.FrameNumbers) {
    if (n < 0) continue;
    if (previous >= 0) {
      EXPECT_EQ(n, (previous + 1) % 20);
      wraps += n == 0 ? 1 : 0;
    }
    previous = n;
  }
  EXPECT_GE(wraps, 1);
}

TEST_F(RealMedia, StreamOverUdpReconnectsAfterTheSenderStopsAndCountsTheGap) {
  const int32_t port = 20000 + ::getpid() % 20000;
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  Describe(R"({"url": ")" + url + R"(", "format": "mpegts", "stallMs": 400, "backoffMinMs": 50, "backoffMaxMs": 200})",
           R"({"url": "out.mkv"})");
  MakeCore();
  ASSERT_TRUE(core_->StartPipeline());
  std::string error;
  ASSERT_EQ(media_files::SendStream(url, 0, 50, 256, 64, 25, error), 50) << error;
  const int64_t before = rt::GetInputReport(0).Captured;
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // the sender is away
  ASSERT_EQ(media_files::SendStream(url, 1000, 75, 256, 64, 25, error), 75) << error;
  core_->StopPipeline();
  const rt::InputReport in = rt::GetInputReport(0);
  EXPECT_GE(before, 30);
  EXPECT_GE(in.Captured - before, 40) << "frames after the sender came back";
  EXPECT_GE(in.Stalls, 1);
  EXPECT_GE(in.Reconnects, 1);
  EXPECT_GE(in.Gaps, 10);
  ReadOutput out;
  ASSERT_TRUE(media_files::ReadMedia(Path("out.mkv"), out, error)) << error;
  bool early = false;
  bool late = false;
  for (int64_t n : out.FrameNumbers) {
    early = early || (n >= 0 && n < 50);
    late = late || n >= 1000;
  }
  EXPECT_TRUE(early);
  EXPECT_TRUE(late) << "the pipeline relayed the stream after the reconnect";
}

// ---------------------------------------------------------------------------
// Encoders

TEST_F(RealMedia, StreamCodecsInMpegTsGiveADecodableOutputWithTheRelayedFrames) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 100, made, error)) << error;
  Describe(R"({"url": "in.mkv"})",
           R"({"url": "out.ts", "videoCodec": "libx264", "videoOptions": {"preset": "ultrafast"},
                                       "audioCodec": "aac", "audioOptions": {"b": "128k"}})");
  MakeCore();
  ASSERT_TRUE(core_->StartPipeline());
  ASSERT_TRUE(WaitFor([] { return rt::GetOutputReport(0).Encoded >= 50; }, std::chrono::seconds(20)));
  core_->StopPipeline();
  const realmedia::OutputReport r = rt::GetOutputReport(0);
  EXPECT_EQ(r.WriteFailures, 0);
  EXPECT_EQ(r.Dropped, 0);
  ReadOutput out;
  ASSERT_TRUE(media_files::ReadMedia(Path("out.ts"), out, error)) << error;
  EXPECT_EQ(out.Channels, 2);
  EXPECT_GE(out.Audio.size(), static_cast<size_t>(2 * 48000));  // a second and more of AAC frames
  int64_t previous = -1;
  int64_t relayed = 0;
  for (int64_t n : out.FrameNumbers) {
    if (n < 0) continue;
    if (previous >= 0) {
      EXPECT_EQ(n, previous + 1);
    }
    previous = n;
    ++relayed;
  }
  EXPECT_GE(relayed, 30);
}

// A peer that stops taking the output (a pipe nobody reads): the encoder
// blocks in its write, the queue fills, output frames are dropped and
// counted, and neither the relay nor the stop waits for it. A write still
// blocked when the stop's drain time is over gives up, and that is counted.
TEST_F(RealMedia, OutputThatStopsTakingDataDropsAndCountsWhileTheRelayKeepsTime) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 100, made, error)) << error;
  const std::string pipe = Path("out.mkv");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);  // there, but reading nothing yet
  ASSERT_GE(reader, 0);
  Describe(R"({"url": "in.mkv"})", R"({"url": "out.mkv", "format": "matroska", "queueFrames": 2})");
  MakeCore();
  ASSERT_TRUE(core_->StartPipeline());
  ASSERT_TRUE(WaitFor([] { return rt::GetOutputReport(0).Dropped >= 20; }, std::chrono::seconds(20)));
  const auto stopBegin = std::chrono::steady_clock::now();
  core_->StopPipeline();
  EXPECT_LT(std::chrono::steady_clock::now() - stopBegin, std::chrono::seconds(1));
  EXPECT_TRUE(rt::GetOutputReport(0).Writing) << "the encoder is still blocked in its write";

  // The peer comes back after the drain time: the blocked write gives up.
  ::fcntl(reader, F_SETFL, 0);
  char buffer[65536];
  int64_t taken = 0;
  for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) taken += n;
  ::close(reader);
  EXPECT_TRUE(rt::WaitForOutputClosed(0, 10000));
  const realmedia::OutputReport r = rt::GetOutputReport(0);
  EXPECT_GT(taken, 0);
  EXPECT_EQ(r.Late, 0);
  EXPECT_EQ(r.WriteFailures, 1);
  EXPECT_FALSE(r.Writing);
  EXPECT_GE(r.Dropped, 20);
  EXPECT_GT(r.OnTime, r.Encoded);
  EXPECT_LE(r.Encoded, r.Queued);
}

// The studio alone lists a described input and an output but plays neither;
// registered in front of it, the provider plays them and hands the rest on.
TEST_F(RealMedia, StudioListsInputsAndOutputsAndLeavesThemToTheProviderRegisteredInFront) {
  Describe(R"({"url": "in.mkv"})", R"({"url": "out.mkv"})");
  auto tryCreate = [] {
    ComPtr<IZRDeviceEnumerator> enumerator;
    EXPECT_EQ(CreateInstance(kClsidDeviceEnumerator, enumerator), S_OK);
    int32_t cursor = 0;
    DeviceInfo info;
    EXPECT_EQ(enumerator->FindNextDevice(&cursor, kDeviceKindPrimary, &info), S_OK);
    EXPECT_EQ(cursor, 1);
    ComPtr<Unknown> device;
    const HResult created = enumerator->CreateDevice(0, kDeviceKindPrimary, device.Put());
    ComPtr<IZRTitleEngine> target;
    EXPECT_EQ(CreateInstance(kClsidTitleTarget, target), S_OK);
    return std::make_pair(created, target->Attach(&kClsidTitleEngineList, 0));
  };
  RegisterVirtualStudio();  // the studio alone again
  EXPECT_EQ(tryCreate(), std::make_pair(REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG));
  RegisterRealMedia();
  RegisterRealMedia();                                       // twice: still in front of the studio, never of itself
  EXPECT_EQ(tryCreate(), std::make_pair(E_NOTFOUND, S_OK));  // in.mkv was not made
}

// ---------------------------------------------------------------------------
// What a file input cannot be: refused at once, with the reason, where an
// open would wait for ever for a writer or on an idle pipe.

struct RefusedUrl {
  const char* Name;
  const char* Url;     // "FIFO" and "GOOD" stand for the made paths
  const char* Reason;  // in the message box, after the system's text
};

class RefusedInput : public RealMedia, public ::testing::WithParamInterface<RefusedUrl> {};

TEST_P(RefusedInput, FailsTheStartAtOnceWithTheReasonAndLeavesNothingWaiting) {
  const RefusedUrl& c = GetParam();
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("good.mkv"), 5, made, error)) << error;
  ASSERT_EQ(::mkfifo(Path("feed.fifo").c_str(), 0600), 0);
  std::filesystem::create_directories(folder_ / "folder.mkv");
  std::string url = c.Url;
  for (const auto& [name, path] : {std::pair<std::string, std::string>{"FIFO", Path("feed.fifo")},
                                   std::pair<std::string, std::string>{"GOOD", Path("good.mkv")},
                                   std::pair<std::string, std::string>{"DIR", Path("folder.mkv")}}) {
    for (size_t at; (at = url.find(name)) != std::string::npos;) url.replace(at, name.size(), path);
  }
  Describe(R"({"url": ")" + url + R"("})", R"({"url": "out.mkv"})");
  MakeCore();
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_FALSE(core_->StartPipeline());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  ASSERT_EQ(messages_.Shown.size(), 1u);
  const std::string& shown = messages_.Shown[0].Text;
  EXPECT_EQ(shown.rfind("Can't create capture object, error = 0x80070057/-2147024809.\r\ncapture \"Feed\": ", 0), 0u)
      << shown;
  EXPECT_NE(shown.find(c.Reason), std::string::npos) << shown;
  EXPECT_FALSE(std::filesystem::exists(Path("out.mkv")));
}

INSTANTIATE_TEST_SUITE_P(
    RealMedia, RefusedInput,
    ::testing::Values(RefusedUrl{"Fifo", "FIFO", ": it is a FIFO, and a file input reads only regular files"},
                      RefusedUrl{"FileProtocol", "file:FIFO", "is a FIFO"},
                      RefusedUrl{"Cache", "cache:FIFO", "is a FIFO"},
                      RefusedUrl{"Async", "async:file:FIFO", "is a FIFO"},
                      RefusedUrl{"ConcatSecondPart", "concat:GOOD|FIFO", "is a FIFO"},
                      RefusedUrl{"Folder", "DIR", "is a folder"},
                      RefusedUrl{"Pipe", "pipe:0", "\"pipe:0\": it reads a pipe"},
                      RefusedUrl{"DeviceNode", "/dev/zero", "\"/dev/zero\": it is a device"}),
    [](const ::testing::TestParamInfo<RefusedUrl>& param) { return param.param.Name; });

// ---------------------------------------------------------------------------
// Outputs that would destroy what they are made from

TEST_F(RealMedia, OutputThatIsTheInputThroughALinkIsRefusedAndTheInputKeptWhole) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 10, made, error)) << error;
  std::filesystem::create_symlink(Path("in.mkv"), Path("link.mkv"));
  const auto size = std::filesystem::file_size(Path("in.mkv"));
  Describe(R"({"url": "in.mkv"})", R"({"url": "link.mkv"})");
  MakeCore();
  ASSERT_FALSE(core_->StartPipeline());
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text,
            "Can't create title target[0], error = 0x80070057/-2147024809.\r\nengine \"Out\": output \"" +
                Path("link.mkv") + "\" is the input of capture \"Feed\"; it is not overwritten");
  EXPECT_EQ(std::filesystem::file_size(Path("in.mkv")), size);
}

TEST_F(RealMedia, SecondEngineWritingTheSameFileIsRefusedNamingBoth) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 100, made, error)) << error;
  const std::string json = R"({
    "devices": [{"kind": 2, "name": "Feed", "width": 256, "height": 64, "rate": 25, "channels": 6,
                 "input": {"url": "in.mkv"}}],
    "engines": [{"name": "Archive", "width": 256, "height": 64, "rate": 25, "output": {"url": "out.mkv"}},
                {"name": "Copy", "width": 256, "height": 64, "rate": 25, "output": {"url": "./sub/../out.mkv"}}]
  })";
  std::filesystem::create_directories(folder_ / "sub");
  ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionText(json)));
  rt::LoadDescriptionText(json, folder_.string());
  MakeCore();
  core_->Settings.TitleEngineMask = 3;
  ASSERT_FALSE(core_->StartPipeline());
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text, "Can't create title target[1], error = 0x80070057/-2147024809.\r\nengine \"Copy\": "
                                "output \"" + Path("./sub/../out.mkv") +
                                    "\" is written by engine \"Archive\" already");
  // Alone, each engine writes it.
  messages_.Shown.clear();
  core_->Settings.TitleEngineMask = 2;
  ASSERT_TRUE(core_->StartPipeline()) << (messages_.Shown.empty() ? "" : messages_.Shown.front().Text);
  core_->StopPipeline();
}

TEST_F(RealMedia, RingBeyondTheCapIsRefusedAsOutOfMemoryNamingTheDevice) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 5, made, error)) << error;
  const std::string json = R"({
    "devices": [{"kind": 2, "name": "Feed", "width": 4096, "height": 2160, "rate": 25, "channels": 6,
                 "input": {"url": "in.mkv", "ringFrames": 1000}}],
    "engines": [{"name": "Out", "width": 4096, "height": 2160, "rate": 25, "output": {"url": "out.mkv"}}]
  })";
  ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionText(json)));
  rt::LoadDescriptionText(json, folder_.string());
  MakeCore();
  ASSERT_FALSE(core_->StartPipeline());
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text,
            "Can't create capture object, error = 0x8007000E/-2147024882.\r\ncapture \"Feed\": 1000 ring frames of "
            "4096x2160 take more than 2048 MiB (fewer \"ringFrames\" or a smaller picture)");
}

TEST_F(RealMedia, LayerBuffersBeyondTheCapAreRefusedAsOutOfMemoryNamingTheEngine) {
  const std::string json = R"({
    "engines": [{"name": "Huge", "width": 8192, "height": 8192, "rate": 25, "output": {"url": "out.mkv"}}]
  })";
  ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionText(json)));
  rt::LoadDescriptionText(json, folder_.string());
  ComPtr<IZRTitleEngine> target;
  ASSERT_EQ(CreateInstance(kClsidTitleTarget, target), S_OK);
  ASSERT_EQ(target->Attach(&kClsidTitleEngineList, 0), S_OK);
  ComPtr<IZRTitleRegions> regions;
  ASSERT_EQ(target.As(regions), S_OK);
  ComPtr<Unknown> layer;
  TakeErrorDescription();
  EXPECT_EQ(regions->CreateLayer(ComText("Relay"), -1000, 0, 20, layer.Put()), E_OUTOFMEMORY);
  EXPECT_EQ(TakeErrorDescription(), "engine \"Huge\": 20 layer buffers of 8192x8192 take more than 2048 MiB");
  EXPECT_FALSE(layer);
  EXPECT_FALSE(std::filesystem::exists(Path("out.mkv")));
}

// ---------------------------------------------------------------------------
// The feed's counts and audio, read through the capture object as a reader
// of the ring does

class CaptureReader {
 public:
  CaptureReader() {
    EXPECT_EQ(CreateInstance(kClsidDeviceEnumerator, enumerator_), S_OK);
    ComPtr<Unknown> device;
    created_ = enumerator_->CreateDevice(0, kDeviceKindPrimary, device.Put());
    if (created_ == S_OK) {
      EXPECT_EQ(device.As(audio_), S_OK);
      EXPECT_EQ(device.As(video_), S_OK);
    }
  }
  HResult Created() const { return created_; }
  // Reads every frame as it arrives until the input ended; frames that left
  // the ring before their turn are read as the one delivered instead.
  std::vector<std::pair<int64_t, std::vector<float>>> ReadUntilEnded(int32_t channels) {
    std::vector<std::pair<int64_t, std::vector<float>>> frames;
    int64_t next = 0;
    std::vector<float> block(static_cast<size_t>(4096) * channels);
    const uint32_t mask = channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1u;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      const bool ended = rt::GetInputReport(0).Ends > 0;
      int64_t newest = 0;
      video_->GetPosition(nullptr, nullptr, &newest, nullptr);
      if (next == 0) next = newest > 0 ? newest - 1 : 0;
      while (next < newest) {
        int64_t position = next;
        int32_t bytes = 0;
        if (audio_->ReadAudio(block.data(), static_cast<int32_t>(block.size() * 4), &position, &bytes, 2, mask) !=
            S_OK) {
          break;
        }
        frames.emplace_back(position, std::vector<float>(block.begin(), block.begin() + bytes / 4));
        next = position + 1;
      }
      if (ended && next >= newest) return frames;
      if (std::chrono::steady_clock::now() > end) return frames;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  ComPtr<IZRDeviceEnumerator> enumerator_;
  ComPtr<IZRCaptureVideoEx> video_;
  ComPtr<IZRCaptureAudio> audio_;
  HResult created_ = E_FAIL;
};

TEST_F(RealMedia, GapInTheInputsTimeStampsCountsExactlyTheSkippedPositions) {
  MadeInput made;
  made.GapAfter = 9;
  made.GapFrames = 5;  // pictures 10.. are stamped 15..
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 25, made, error)) << error;
  Describe(R"({"url": "in.mkv"})", R"({"url": "out.mkv"})");
  CaptureReader reader;
  ASSERT_EQ(reader.Created(), S_OK);
  const auto frames = reader.ReadUntilEnded(made.Channels);
  const rt::InputReport in = rt::GetInputReport(0);
  EXPECT_EQ(in.Captured, 25);
  EXPECT_EQ(in.Gaps, 5);
  EXPECT_EQ(in.Newest, 1000000 + 30);
}

TEST_F(RealMedia, FramesBeyondTheInputsAudioAreSilentInEveryReusedRingSlot) {
  MadeInput made;
  made.AudioFrames = 20;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 44, made, error)) << error;
  Describe(R"({"url": "in.mkv", "ringFrames": 8})", R"({"url": "out.mkv"})");
  CaptureReader reader;
  ASSERT_EQ(reader.Created(), S_OK);
  const auto frames = reader.ReadUntilEnded(made.Channels);
  const int64_t spf = made.SampleRate / made.Rate;
  int64_t silentChecked = 0;
  int64_t soundChecked = 0;
  int64_t wrong = 0;
  for (const auto& [position, audio] : frames) {
    const int64_t k = position - 1000000;
    ASSERT_GE(k, 0);
    ASSERT_LT(k, 44);
    ASSERT_EQ(static_cast<int64_t>(audio.size()), spf * made.Channels);
    for (int64_t i = 0; i < spf * made.Channels; ++i) {
      if (audio[static_cast<size_t>(i)] != made.Audio[static_cast<size_t>(k * spf * made.Channels + i)]) ++wrong;
    }
    (k >= 20 ? silentChecked : soundChecked) += 1;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(silentChecked, 16) << "frames read after the sound ended, each in a slot used before";
  EXPECT_GE(soundChecked, 1);
  EXPECT_EQ(rt::GetInputReport(0).AudioFilled, 24 * spf);
}

// The device's channels are the input's, channel for channel, whatever the
// two counts; a mono input feeds both channels of the first pair.
class InputChannels : public RealMedia, public ::testing::WithParamInterface<int32_t> {};

TEST_P(InputChannels, LandChannelForChannelOnTheDevicesSixChannels) {
  MadeInput made;
  made.Channels = GetParam();
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 12, made, error)) << error;
  Describe(R"({"url": "in.mkv"})", R"({"url": "out.mkv"})");
  CaptureReader reader;
  ASSERT_EQ(reader.Created(), S_OK);
  const auto frames = reader.ReadUntilEnded(6);
  const int64_t spf = made.SampleRate / made.Rate;
  const int32_t in = made.Channels;
  int64_t wrong = 0;
  int64_t sounding = 0;
  for (const auto& [position, audio] : frames) {
    const int64_t k = position - 1000000;
    ASSERT_EQ(static_cast<int64_t>(audio.size()), spf * 6);
    for (int64_t s = 0; s < spf; ++s) {
      for (int32_t c = 0; c < 6; ++c) {
        const int32_t from = c < in ? c : (in == 1 && c == 1 ? 0 : -1);
        const float expected = from < 0 ? 0.0f : made.Audio[static_cast<size_t>((k * spf + s) * in + from)];
        const float got = audio[static_cast<size_t>(s * 6 + c)];
        if (got != expected) ++wrong;
        if (got != 0.0f) ++sounding;
      }
    }
  }
  EXPECT_GE(frames.size(), 6u);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(sounding, 0);
  EXPECT_EQ(rt::GetInputReport(0).DecodeErrors, 0);
  EXPECT_EQ(rt::GetInputReport(0).Captured, 12);
}

INSTANTIATE_TEST_SUITE_P(RealMedia, InputChannels, ::testing::Values(1, 2, 10, 64),
                         [](const ::testing::TestParamInfo<int32_t>& param) {
                           return std::to_string(param.param) + "Channels";
                         });

// Standard error into a file while it lives.
class StandardErrorCapture {
 public:
  explicit StandardErrorCapture(const std::string& path) {
    saved_ = ::dup(STDERR_FILENO);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StandardErrorCapture() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }

 private:
  int saved_ = -1;
};

TEST_F(RealMedia, UdpInputOnAPortInUseSaysSoOnceWhileItTriesAgain) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int port = ntohs(address.sin_port);
  Describe(R"({"url": "udp://127.0.0.1:)" + std::to_string(port) +
               R"(", "format": "mpegts", "backoffMinMs": 20, "backoffMaxMs": 40})",
           R"({"url": "out.mkv"})");
  {
    StandardErrorCapture capture(Path("stderr.txt"));
    CaptureReader reader;
    ASSERT_EQ(reader.Created(), S_OK);  // a live input opens on its own thread
    ASSERT_TRUE(WaitFor([] { return rt::GetInputReport(0).OpenFailures >= 3; }, std::chrono::seconds(20)));
  }
  ::close(holder);
  std::ifstream in(Path("stderr.txt"));
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) {
    if (line.rfind("Real media:", 0) == 0) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Real media: capture \"Feed\": cannot open \"udp://127.0.0.1:" + std::to_string(port) +
                          "\": UDP port " + std::to_string(port) + " is in use by another program; trying again");
}

// A looped file cut under the feed (as an output written over it would
// leave it): no pass gives a frame, and the feed waits between passes
// instead of spinning, saying so once.
TEST_F(RealMedia, LoopedInputCutToNoFrameWaitsBetweenPassesAndSaysSoOnce) {
  MadeInput made;
  std::string error;
  ASSERT_TRUE(media_files::WriteInput(Path("in.mkv"), 5, made, error)) << error;
  std::ifstream whole(Path("in.mkv"), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
  const size_t cluster = bytes.find("\x1F\x43\xB6\x75");  // the first cluster: the header stays, the frames go
  ASSERT_NE(cluster, std::string::npos);
  Describe(R"({"url": "in.mkv", "loop": true, "backoffMinMs": 20, "backoffMaxMs": 80})", R"({"url": "out.mkv"})");
  {
    StandardErrorCapture capture(Path("stderr.txt"));
    CaptureReader reader;
    ASSERT_EQ(reader.Created(), S_OK);
    ASSERT_TRUE(WaitFor([] { return rt::GetInputReport(0).Captured >= 2; }, std::chrono::seconds(20)));
    ASSERT_EQ(::truncate(Path("in.mkv").c_str(), static_cast<off_t>(cluster)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // time for thousands of empty passes
  }
  std::ifstream in(Path("stderr.txt"));
  std::string line;
  int64_t said = 0;
  while (std::getline(in, line)) {
    said += line == "Real media: capture \"Feed\": \"" + Path("in.mkv") + "\" gives no frame to loop over; trying again";
  }
  EXPECT_EQ(said, 1);
  EXPECT_LE(rt::GetInputReport(0).Captured, 10);
}

// ---------------------------------------------------------------------------
// An output engine driven through its component interfaces

class EngineDriver {
 public:
  explicit EngineDriver(int32_t depth) {
    EXPECT_EQ(CreateInstance(kClsidTitleTarget, target_), S_OK);
    EXPECT_EQ(target_->Attach(&kClsidTitleEngineList, 0), S_OK);
    EXPECT_EQ(target_.As(regions_), S_OK);
    EXPECT_EQ(target_.As(clock_), S_OK);
    ComPtr<Unknown> layer;
    EXPECT_EQ(regions_->CreateLayer(ComText("Test"), -1000, 0, depth, layer.Put()), S_OK);
    EXPECT_EQ(layer.As(video_), S_OK);
    EXPECT_EQ(layer.As(audio_), S_OK);
  }
  int64_t Clock() {
    int64_t position = 0;
    int64_t time = 0;
    clock_->GetClock(&position, nullptr, &time, nullptr);
    return position;
  }
  int32_t Presented() {
    LayerStatus status;
    EXPECT_EQ(video_->GetStatus(&status), S_OK);
    return status.OutputFrame();
  }
  void Release() {
    video_.Reset();
    audio_.Reset();
    regions_.Reset();
    clock_.Reset();
    target_.Reset();
  }
  ComPtr<IZRTitleEngine> target_;
  ComPtr<IZRTitleRegions> regions_;
  ComPtr<IZRTitleClock> clock_;
  ComPtr<IZRLayerVideo> video_;
  ComPtr<IZRLayerAudio> audio_;
};

// Each fifo the relay writes lands on its own pair of the file, and the
// engine's own first line (fifo 0 of a three-line engine) on none.
TEST_F(RealMedia, EachRelayedFifoOfAThreeLineEngineLandsOnItsOwnPairOfTheOutput) {
  Describe(R"({"url": "in.mkv"})", R"({"url": "out.mkv"})", nullptr, R"("rate": 25, "stereoLines": 3)");
  EngineDriver engine(20);
  int32_t lines = 0;
  ASSERT_EQ(engine.audio_->GetAudioInfo(&lines), S_OK);
  ASSERT_EQ(lines, 3);
  const float level[3][2] = {{0.125f, -0.125f}, {0.25f, -0.25f}, {0.5f, -0.5f}};
  for (int32_t f = 0; f < 3; ++f) {
    ASSERT_EQ(engine.audio_->CreateFifo(f, 40), S_OK);
    ASSERT_EQ(engine.audio_->InitFifo(f, 0), S_OK);
  }
  // Five frames ahead of the clock, thirty frames of two levels.
  const int32_t base = static_cast<int32_t>(engine.Clock() + 5);
  ASSERT_EQ(engine.video_->SetPosition(1, 1, base), S_OK);
  constexpr int32_t kFrames = 30;
  std::vector<float> block(static_cast<size_t>(1920) * 2);
  for (int32_t f = 0; f < 3; ++f) {
    for (size_t i = 0; i < block.size(); i += 2) {
      block[i] = level[f][0];
      block[i + 1] = level[f][1];
    }
    for (int32_t k = 0; k < kFrames; ++k) {
      uint32_t taken = 0;
      ASSERT_EQ(engine.audio_->WriteFifo(f, static_cast<int32_t>(block.size() * 4), block.data(), &taken, 0), S_OK);
    }
  }
  ASSERT_TRUE(WaitFor([&] { return engine.Clock() > base + kFrames + 2; }, std::chrono::seconds(20)));
  engine.Release();
  ASSERT_TRUE(rt::WaitForOutputClosed(0, 10000));

  ReadOutput out;
  std::string error;
  ASSERT_TRUE(media_files::ReadMedia(Path("out.mkv"), out, error)) << error;
  ASSERT_EQ(out.Channels, 4);
  int64_t sounding = 0;
  int64_t wrong = 0;
  for (size_t i = 0; i + 4 <= out.Audio.size(); i += 4) {
    const float* s = &out.Audio[i];
    if (s[0] == 0.0f && s[1] == 0.0f && s[2] == 0.0f && s[3] == 0.0f) continue;
    ++sounding;
    if (s[0] != level[1][0] || s[1] != level[1][1] || s[2] != level[2][0] || s[3] != level[2][1]) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(sounding, int64_t{kFrames} * 1920);
  EXPECT_GE(sounding + rt::GetOutputReport(0).Dropped * 1920, int64_t{kFrames} * 1920);
}

}  // namespace
}  // namespace quellvox
