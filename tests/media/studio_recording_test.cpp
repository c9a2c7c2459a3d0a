// What the studio writes at the end of a run, audio files as sources, and a
// layer driven by a video and an audio thread at once.
#include <sndfile.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "studio_fixture.h"
#include "tests/support/status_assert.h"

namespace quellvox::testing_studio {
namespace {

namespace fs = std::filesystem;

class StudioFiles : public StudioFixture {
 protected:
  void SetUp() override {
    StudioFixture::SetUp();
    dir_ = fs::temp_directory_path() / ("quellvox-studio-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    StudioFixture::TearDown();
  }
  fs::path dir_;
};

TEST_F(StudioFiles, ARecordingEngineWritesItsReportAndItsProgramAudioWithinTheCap) {
  Load(R"({"engines": [{"name": "Rec", "width": 384, "height": 216, "rate": 25, "stereoLines": 3, "record": true}],
           "recording": {"folder": ")" +
       dir_.string() + R"(", "maxSeconds": 0.5}})");
  {
    Target t = AttachTarget(0);
    LayerSet l = MakeLayer(t, -1000);
    ASSERT_EQ(l.Audio->CreateFifo(1, 40), S_OK);
    ASSERT_EQ(l.Audio->InitFifo(1, 0), S_OK);
    ASSERT_EQ(l.Audio->SetVolume(1, 0.5), S_OK);
    ASSERT_EQ(l.Video->SetPosition(1, 1, static_cast<int32_t>(st::EngineOutputPosition(0) + 1)), S_OK);
    std::vector<float> block(1920 * 2);
    for (int i = 0; i < 1920; ++i) {
      block[2 * i] = 0.25f;
      block[2 * i + 1] = -0.25f;
    }
    for (int f = 0; f < 3; ++f) ASSERT_EQ(l.Audio->WriteFifo(1, 1920 * 8, block.data(), nullptr, 0), S_OK);
    st::AdvanceToEngineOutput(0, st::EngineOutputPosition(0) + 50);  // 2 s: beyond the cap
  }
  st::WriteRecordings();

  SF_INFO info{};
  SNDFILE* f = sf_open((dir_ / "engine-1.wav").string().c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(info.channels, 6);
  EXPECT_EQ(info.samplerate, 48000);
  EXPECT_EQ(info.frames, 24000);  // 0.5 s
  std::vector<float> audio(static_cast<size_t>(info.frames) * 6);
  sf_readf_float(f, audio.data(), info.frames);
  sf_close(f);
  int64_t loud = 0;
  for (sf_count_t i = 0; i < info.frames; ++i) {
    EXPECT_EQ(audio[i * 6 + 0], 0.0f);
    if (audio[i * 6 + 2] != 0.0f) {
      ++loud;
      EXPECT_EQ(audio[i * 6 + 2], 0.125f);
      EXPECT_EQ(audio[i * 6 + 3], -0.125f);
    }
  }
  EXPECT_EQ(loud, 3 * 1920);

  std::ifstream in(dir_ / "engine-1.json");
  const nlohmann::json report = nlohmann::json::parse(in);
  ASSERT_EQ(report["layers"].size(), 1u);
  EXPECT_EQ(report["layers"][0]["number"], -1000);
  EXPECT_EQ(report["layers"][0]["missing"], 50);
  EXPECT_EQ(report["layers"][0]["fifos"][0]["presentedSamples"], 3 * 1920);
}

// The report says where the WAV lies on the output: one span per stretch of
// output positions recorded while a layer was alive.
TEST_F(StudioFiles, TheReportLinesTheRecordingUpWithTheOutputPositions) {
  Load(R"({"engines": [{"name": "Rec", "width": 384, "height": 216, "rate": 25, "stereoLines": 1, "record": true}],
           "recording": {"folder": ")" +
       dir_.string() + R"(", "maxSeconds": 10}})");
  Target t = AttachTarget(0);
  int64_t first = 0;
  {
    LayerSet l = MakeLayer(t, -1000);
    first = st::EngineOutputPosition(0) + 1;
    st::AdvanceToEngineOutput(0, first + 9);
    ASSERT_EQ(l.Audio->CreateFifo(0, 20), S_OK);  // brings the engine up to the clock
  }
  st::AdvanceToEngineOutput(0, first + 14);  // no layer alive: nothing recorded
  LayerSet again = MakeLayer(t, -1000);
  st::AdvanceToEngineOutput(0, first + 18);
  st::WriteRecordings();

  std::ifstream in(dir_ / "engine-1.json");
  const nlohmann::json spans = nlohmann::json::parse(in)["recorded"];
  ASSERT_EQ(spans.size(), 2u) << spans.dump();
  EXPECT_EQ(spans[0]["fromPosition"], first);
  EXPECT_EQ(spans[0]["positions"], 10);
  EXPECT_EQ(spans[0]["fromSample"], st::EngineSampleOfPosition(0, first));
  EXPECT_EQ(spans[0]["sampleFrames"], 10 * 1920);
  EXPECT_EQ(spans[1]["fromPosition"], first + 15);
  EXPECT_EQ(spans[1]["positions"], 4);
  EXPECT_EQ(spans[1]["sampleFrames"], 4 * 1920);
  SF_INFO info{};
  SNDFILE* f = sf_open((dir_ / "engine-1.wav").string().c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr);
  sf_close(f);
  EXPECT_EQ(info.frames, 14 * 1920);
}

TEST_F(StudioFiles, AFileSourceDeliversItsChannelsLooped) {
  const fs::path wav = dir_ / "source.wav";
  constexpr int kFrames = 3000;  // not a whole number of capture frames
  {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 4;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(wav.string().c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> data(kFrames * 4);
    for (int i = 0; i < kFrames; ++i) {
      for (int c = 0; c < 4; ++c) data[i * 4 + c] = static_cast<float>(c) + static_cast<float>(i) / kFrames;
    }
    sf_writef_float(f, data.data(), kFrames);
    sf_close(f);
  }
  std::ofstream(dir_ / "studio.json") << R"({"devices": [{"kind": 2, "width": 384, "height": 216, "channels": 2,
      "startPosition": 0, "audio": [{"source": "file", "path": "source.wav", "fileChannels": [3, 1]}]}]})";
  ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionFile((dir_ / "studio.json").string())));
  const std::vector<float> frame1 = st::ExpectedCaptureAudio(0, 1);  // samples 1920..3839
  ASSERT_EQ(frame1.size(), 1920u * 2);
  for (int i = 0; i < 1920; ++i) {
    const int s = (1920 + i) % kFrames;
    ASSERT_EQ(frame1[2 * i], 3.0f + static_cast<float>(s) / kFrames) << i;
    ASSERT_EQ(frame1[2 * i + 1], 1.0f + static_cast<float>(s) / kFrames) << i;
  }
}

TEST_F(StudioFiles, AFileAtAnotherSampleRateIsRefused) {
  const fs::path wav = dir_ / "44k.wav";
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(wav.string().c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr);
  const short zeros[200] = {};
  sf_writef_short(f, zeros, 100);
  sf_close(f);
  const Status refused = st::LoadDescriptionText(
      R"({"devices": [{"channels": 2, "audio": [{"source": "file", "path": ")" + wav.string() + R"("}]}]})");
  EXPECT_FALSE(refused.IsOk());
  EXPECT_NE(refused.Message().find("44100"), std::string::npos) << refused.Message();
}

TEST_F(StudioFixture, ACaptureCanReportAnotherAudioFormatThanItHas) {
  Load(SmallStudio());
  st::CaptureReports reports;
  reports.Channels = 1;
  st::SetCaptureReports(0, reports);
  AudioFormat f;
  ASSERT_EQ(Audio(0, kDeviceKindPrimary)->GetAudioFormat(&f), S_OK);
  EXPECT_EQ(f.Channels, 1);
  EXPECT_EQ(f.SampleRate, 48000);
}

// The video thread lends, fills and submits while the audio thread writes
// the fifo and asks for the status, and the clock runs: every frame the
// video thread submitted in time is presented, none twice.
TEST_F(StudioFixture, ALayerTakesItsVideoAndAudioThreadsAtOnce) {
  Load(SmallStudio());
  auto capture = Video(0, kDeviceKindPrimary);
  Target t = AttachTarget(0);
  LayerSet l = MakeLayer(t, -1000, 6);
  ASSERT_EQ(l.Audio->CreateFifo(1, 30), S_OK);
  ASSERT_EQ(l.Audio->InitFifo(1, 0), S_OK);
  const int64_t startCapture = st::CaptureNewestPosition(0);
  const int64_t base = st::EngineOutputPosition(0) + 3;
  ASSERT_EQ(l.Video->SetPosition(1, 1, static_cast<int32_t>(base)), S_OK);

  constexpr int kFrames = 120;
  std::atomic<int> videoDone{0}, audioDone{0};
  std::thread video([&] {
    for (int f = 0; f < kFrames;) {
      int64_t newest = 0;
      capture->GetPosition(nullptr, nullptr, &newest, nullptr);
      if (newest <= startCapture + f) {
        std::this_thread::yield();
        continue;
      }
      uint8_t* buffer = nullptr;
      int32_t size = kW * kH * 2;
      if (l.Video->GetBuffer(size, size, &buffer, &size, 0) != S_OK) {
        std::this_thread::yield();
        continue;
      }
      int64_t pos = startCapture + f;
      if (capture->ReadFrame(buffer, size, kW * 2, &pos, nullptr, 2) != S_OK) continue;
      FrameDescriptor d{2, f, kW, kH, kW * kH * 2};
      if (l.Video->SubmitBuffer(0, size, &d) == S_OK) {
        l.Video->FrameDone(3, 5);
        videoDone.store(++f, std::memory_order_release);
      }
    }
  });
  std::thread audio([&] {
    std::vector<float> block(1920 * 2, 0.1f);
    for (int f = 0; f < kFrames;) {
      int64_t newest = 0;
      capture->GetPosition(nullptr, nullptr, &newest, nullptr);
      if (newest <= startCapture + f) {
        std::this_thread::yield();
        continue;
      }
      LayerStatus status;
      l.Video->GetStatus(&status);
      if (l.Audio->WriteFifo(1, 1920 * 8, block.data(), nullptr, 0) == S_OK) audioDone.store(++f);
    }
  });
  // Each capture frame comes only after both threads handled the one before.
  for (int f = 0; f < kFrames; ++f) {
    st::AdvanceToCaptureFrame(0, startCapture + f);
    while (videoDone.load(std::memory_order_acquire) <= f || audioDone.load() <= f) std::this_thread::yield();
  }
  video.join();
  audio.join();
  st::AdvanceToEngineOutput(0, base + kFrames + 2);
  const st::EngineReport rep = st::GetEngineReport(0);
  const st::LayerReport* r = rep.FindLayer(-1000);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->OnTime, kFrames);
  EXPECT_EQ(r->Late, 0);
  EXPECT_EQ(r->Repeated + r->OutOfOrder + r->CaptureGaps + r->Unreadable, 0);
  EXPECT_EQ(r->Fifos[0].PresentedSamples, kFrames * 1920);
  EXPECT_EQ(r->Fifos[0].LateSamples, 0);
}

}  // namespace
}  // namespace quellvox::testing_studio
