// Whether the pipeline's threads keep time on the real clock.
//
//   BM_Lateness: one 1080p25 capture fed from a WAV file (written at the
//   start: 30 s of eight channels) relayed into two 1080p25 title engines
//   with a delay of 10 frames, for QUELLVOX_LATENESS_SECONDS (default 120).
//   Prints how many passes found the capture's newest position at the
//   block to copy + 2 or later (the thread woke a frame late or more), for
//   the pump and for each video thread, and the skips and missing frames of
//   the run. Target: 0 late passes on an idle machine.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_core.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"

namespace quellvox {
namespace {

namespace st = studio_test;

constexpr int32_t kEngines = 2;

class PrintedMessages final : public UserMessages {
 public:
  int32_t Show(std::string_view text, std::string_view, uint32_t) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    return IDOK;
  }
};

double RunSeconds() {
  const char* text = std::getenv("QUELLVOX_LATENESS_SECONDS");
  const double s = text ? std::atof(text) : 120.0;
  return s > 0.0 ? s : 120.0;
}

// Eight channels at 48 kHz: a floor of noise on the first pair, bursts of
// tone on the second and third (speech-like on and off), silence after.
bool WriteInput(const std::string& path) {
  SF_INFO info{};
  info.samplerate = 48000;
  info.channels = 8;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  std::mt19937 random(16);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  std::vector<float> frame(8);
  for (int64_t s = 0; s < 48000 * 30; ++s) {
    const bool on = (s / 24000) % 3 != 2;
    const float tone = on ? 0.3f * static_cast<float>(std::sin(2.0 * 3.14159265358979 * 220.0 * s / 48000.0)) : 0.0f;
    frame = {noise(random), noise(random), tone, tone, 0.5f * tone, 0.5f * tone, 0.0f, 0.0f};
    sf_writef_float(f, frame.data(), 1);
  }
  sf_close(f);
  return true;
}

std::string Description(const std::string& wav) {
  std::string engines;
  for (int32_t e = 0; e < kEngines; ++e) {
    engines += std::string(e ? ",\n" : "") + R"(    {"name": "Late 25p )" + std::to_string(e + 1) +
               R"(", "width": 1920, "height": 1080, "rate": 25, "stereoLines": 3, "startPosition": )" +
               std::to_string(1000 * e) + R"(, "preallocate": true})";
  }
  return R"({
  "devices": [
    {"kind": 2, "name": "File 25p", "width": 1920, "height": 1080, "rate": 25, "sampleRate": 48000, "channels": 8,
     "ringSeconds": 4, "audio": [{"source": "file", "path": ")" +
         wav + R"(", "fileChannels": [0, 1]}, {"source": "file", "path": ")" + wav +
         R"(", "fileChannels": [2, 3]}, {"source": "file", "path": ")" + wav + R"(", "fileChannels": [4, 5]}]}
  ],
  "engines": [
)" + engines + R"(
  ]
})";
}

void BM_Lateness(benchmark::State& state) {
  for (auto _ : state) {
    const std::string wav = "/tmp/quellvox-lateness-" + std::to_string(getpid()) + ".wav";
    if (!WriteInput(wav)) {
      state.SkipWithError("the input file could not be written");
      return;
    }
    RegisterVirtualStudio();
    if (const Status loaded = st::LoadDescriptionText(Description(wav)); !loaded.IsOk()) {
      state.SkipWithError(loaded.Message().c_str());
      return;
    }
    st::UseSteadyClock();
    PrintedMessages messages;
    InstanceCore core("#lateness" + std::to_string(getpid()), "/usr/bin/quellvox", messages);
    if (core.TitleEngines.Refresh() != 0 || core.CaptureSources.Refresh() != 0) {
      state.SkipWithError("no catalogue");
      return;
    }
    DuckerSettings& s = core.Settings;
    s.CaptureSource = 0;
    s.TitleEngineMask = (1u << kEngines) - 1u;
    s.RegionName = "Relay";
    s.DelayInFrames = 10;
    s.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
    s.Lines[1] = {true, {Stereo, 2}, {Stereo, 1}, 0};
    if (!core.StartPipeline()) {
      state.SkipWithError("the pipeline did not start");
      return;
    }
    const double seconds = RunSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint32_t pumpLate = core.Stats.LatePumpPasses.load();
    uint32_t videoLate[kEngines];
    for (int32_t e = 0; e < kEngines; ++e) videoLate[e] = core.Stats.LateVideoPasses[e].load();
    const uint32_t passes = core.Stats.PassCount.load();
    int64_t skipVideo = 0;
    for (int32_t e = 0; e < kEngines; ++e) skipVideo += core.Stats.SkipVideo[e].load();
    const int64_t skipAudio = core.Stats.SkipAudio.load();
    core.StopPipeline();
    int64_t missing = 0;
    for (int32_t e = 0; e < kEngines; ++e) {
      if (const st::LayerReport* l = st::GetEngineReport(e).FindLayer(-1000)) missing += l->Missing;
    }
    std::remove(wav.c_str());

    std::printf("lateness over %.0f s at 25 frames/s: pump %u late passes of %u;", seconds, pumpLate, passes);
    for (int32_t e = 0; e < kEngines; ++e) std::printf(" video thread %d %u;", e, videoLate[e]);
    std::printf(" SkipAudio %lld SkipVideo %lld missing %lld\n", static_cast<long long>(skipAudio),
                static_cast<long long>(skipVideo), static_cast<long long>(missing));
    std::fflush(stdout);
    state.counters["PumpLate"] = pumpLate;
    for (int32_t e = 0; e < kEngines; ++e) state.counters["VideoLate" + std::to_string(e)] = videoLate[e];
    st::LoadDefaultDescription();
  }
}

BENCHMARK(BM_Lateness)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quellvox

BENCHMARK_MAIN();
