// A soak of the relay: 32 targets of 1080p50 (bench/relay/relay_studio.json)
// on the studio's real clock for QUELLVOX_SOAK_MINUTES (default 10). Prints
// once a minute: resident memory, the process's CPU share of one core since
// the line before, the skips (SkipAudio, SkipVideo summed), the frames the
// engines found missing, and the smallest and largest video and audio
// fullness published over the targets. Target: resident memory flat after
// the first minute (under 1 MiB of growth over the run). The studio's engines
// keep no log of presented frames here (32 bytes a frame, 80 KiB a second
// over 32 engines, up to its cap): the soak measures the relay, not the
// studio's test log.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "app/instance_core.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"

namespace quellvox {
namespace {

namespace st = studio_test;

constexpr int32_t kTargets = 32;

class PrintedMessages final : public UserMessages {
 public:
  int32_t Show(std::string_view text, std::string_view, uint32_t) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    return IDOK;
  }
};

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Resident memory in KiB, from /proc/self/status.
int64_t ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return 0;
}

void BM_Soak(benchmark::State& state) {
  const char* text = std::getenv("QUELLVOX_SOAK_MINUTES");
  const int32_t minutes = std::max(1, text ? std::atoi(text) : 10);
  for (auto _ : state) {
    RegisterVirtualStudio();
    std::ifstream file(std::string(QUELLVOX_RELAY_BENCH_DIR) + "/relay_studio.json");
    std::stringstream contents;
    contents << file.rdbuf();
    nlohmann::json description = nlohmann::json::parse(contents.str(), nullptr, false);
    if (!description.is_object()) {
      state.SkipWithError("bench/relay/relay_studio.json is not a description");
      return;
    }
    description["recording"]["logMaxFrames"] = 0;
    if (const Status loaded = st::LoadDescriptionText(description.dump()); !loaded.IsOk()) {
      state.SkipWithError(loaded.Message().c_str());
      return;
    }
    st::UseSteadyClock();
    PrintedMessages messages;
    InstanceCore core("#soak" + std::to_string(getpid()), "/usr/bin/quellvox", messages);
    if (core.TitleEngines.Refresh() != 0 || core.CaptureSources.Refresh() != 0) {
      state.SkipWithError("no catalogue");
      return;
    }
    DuckerSettings& s = core.Settings;
    s.CaptureSource = 0;
    s.TitleEngineMask = 0xFFFFFFFFu;
    s.RegionName = "Relay";
    s.DelayInFrames = 10;
    s.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
    s.Lines[1] = {true, {Stereo, 2}, {Stereo, 1}, 0};
    if (!core.StartPipeline()) {
      state.SkipWithError("the pipeline did not start");
      return;
    }
    int64_t firstMinuteKiB = 0;
    int64_t lastKiB = 0;
    double cpu0 = CpuSeconds();
    double wall0 = WallSeconds();
    for (int32_t m = 1; m <= minutes; ++m) {
      std::this_thread::sleep_for(std::chrono::minutes(1));
      const double cpu1 = CpuSeconds();
      const double wall1 = WallSeconds();
      const int64_t kib = ResidentKiB();
      if (m == 1) firstMinuteKiB = kib;
      lastKiB = kib;
      int64_t skipVideo = 0;
      int32_t videoMin = 1000, videoMax = 0, audioMin = 1000, audioMax = 0;
      int64_t slips = 0;
      for (int32_t i = 0; i < kTargets; ++i) {
        skipVideo += core.Stats.SkipVideo[i].load();
        slips += core.Stats.ClockSlips[i].load();
        videoMin = std::min(videoMin, core.Stats.VideoFullness[i].Min.load());
        videoMax = std::max(videoMax, core.Stats.VideoFullness[i].Max.load());
        audioMin = std::min(audioMin, core.Stats.AudioFullness[i].Min.load());
        audioMax = std::max(audioMax, core.Stats.AudioFullness[i].Max.load());
      }
      int64_t missing = 0;
      for (int32_t e = 0; e < kTargets; ++e) {
        if (const st::LayerReport* l = st::GetEngineReport(e).FindLayer(-1000)) missing += l->Missing;
      }
      std::printf(
          "soak minute %d: resident %lld KiB (%+lld since minute 1); CPU %.1f %% of a core; SkipAudio %d SkipVideo "
          "%lld; missing %lld; clock slips %lld; fullness video %d..%d audio %d..%d\n",
          m, static_cast<long long>(kib), static_cast<long long>(kib - firstMinuteKiB),
          100.0 * (cpu1 - cpu0) / (wall1 - wall0), core.Stats.SkipAudio.load(), static_cast<long long>(skipVideo),
          static_cast<long long>(missing), static_cast<long long>(slips), videoMin, videoMax, audioMin, audioMax);
      std::fflush(stdout);
      cpu0 = cpu1;
      wall0 = wall1;
    }
    core.StopPipeline();
    state.counters["ResidentGrowthKiB"] = static_cast<double>(lastKiB - firstMinuteKiB);
    st::LoadDefaultDescription();
  }
}

BENCHMARK(BM_Soak)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quellvox

BENCHMARK_MAIN();
