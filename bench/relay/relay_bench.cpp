// The pipeline on the virtual studio's real clock.
//
//   BM_Relay/N: one 1080p50 capture relayed into N 1080p50 title engines
//   with a delay of 10 frames (relay_studio.json), for QUELLVOX_RELAY_SECONDS
//   (default 20) after a two-second warm-up. Reports the frames skipped
//   (SkipVideo summed over the targets, SkipAudio), the frames the engines
//   found missing, late or repeated over the whole run, the process CPU
//   seconds per relayed frame in the measured window, and a plain memcpy of
//   one frame into buffers as large as the layers' measured in the same run.
//   Targets: no skipped, missing or late frame with 32 targets; CPU per
//   relayed frame at most 1.5 times the memcpy.
//
//   BM_IdlePipeline: one 1080p25 target (idle_studio.json), the share of one
//   core the whole process takes while the pipeline runs; "stalled" with the
//   capture standing still, so that only the threads' polling costs.
//   BM_StalledRelay/32: the polling of 32 targets alone.
//   QUELLVOX_RELAY_PRIORITY sets the CpuPriority of the runs (default 0).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_core.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"

namespace quellvox {
namespace {

namespace st = studio_test;

constexpr int64_t kFrameBytes = 1920 * 1080 * 2;  // 4,147,200

class PrintedMessages final : public UserMessages {
 public:
  int32_t Show(std::string_view text, std::string_view, uint32_t) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    return IDOK;
  }
};

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double RunSeconds() {
  const char* text = std::getenv("QUELLVOX_RELAY_SECONDS");
  const double s = text ? std::atof(text) : 20.0;
  return s > 0.0 ? s : 20.0;
}

std::string Description(const char* file) { return std::string(QUELLVOX_RELAY_BENCH_DIR) + "/" + file; }

struct Counts {
  int64_t Done = 0;
  int64_t Missing = 0;
  int64_t Late = 0;
  int64_t Repeated = 0;
  int64_t Gaps = 0;
};

Counts EngineCounts(int32_t engines) {
  Counts c;
  for (int32_t e = 0; e < engines; ++e) {
    const st::EngineReport r = st::GetEngineReport(e);
    const st::LayerReport* l = r.FindLayer(-1000);
    if (!l) continue;
    c.Done += l->FramesDone;
    c.Missing += l->Missing;
    c.Late += l->Late;
    c.Repeated += l->Repeated;
    c.Gaps += l->CaptureGaps;
  }
  return c;
}

// CPU seconds of one memcpy of a frame into a ring of `buffers` frame
// buffers, as many as the layers keep in use (about DelayInFrames + 1 per
// target), so that the copy meets the same caches the relay meets.
double MemcpySecondsPerFrame(int32_t buffers) {
  std::vector<uint8_t> source(kFrameBytes);
  for (int64_t i = 0; i < kFrameBytes; ++i) source[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 31);
  std::vector<std::unique_ptr<uint8_t[]>> ring;
  for (int32_t i = 0; i < buffers; ++i) {
    ring.push_back(std::make_unique<uint8_t[]>(kFrameBytes));
    std::memset(ring.back().get(), 0, kFrameBytes);
  }
  const int32_t copies = std::max(96, 2 * buffers);
  const double begin = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  for (int32_t i = 0; i < copies; ++i) {
    std::memcpy(ring[static_cast<size_t>(i % buffers)].get(), source.data(), kFrameBytes);
    benchmark::ClobberMemory();
  }
  return (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - begin) / copies;
}

bool Configure(InstanceCore& core, uint32_t mask) {
  if (core.TitleEngines.Refresh() != 0 || core.CaptureSources.Refresh() != 0) return false;
  DuckerSettings& s = core.Settings;
  s.CaptureSource = 0;
  s.TitleEngineMask = mask;
  s.RegionName = "Relay";
  s.DelayInFrames = 10;
  s.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
  s.Lines[1] = {true, {Stereo, 2}, {Stereo, 1}, 0};
  // QUELLVOX_RELAY_PRIORITY: the CpuPriority of the run (default 0, Normal).
  if (const char* priority = std::getenv("QUELLVOX_RELAY_PRIORITY")) s.CpuPriority = std::atoi(priority);
  return true;
}

void BM_Relay(benchmark::State& state) {
  const int32_t targets = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    RegisterVirtualStudio();
    if (const Status loaded = st::LoadDescriptionFile(Description("relay_studio.json")); !loaded.IsOk()) {
      state.SkipWithError(loaded.Message().c_str());
      return;
    }
    st::UseSteadyClock();
    PrintedMessages messages;
    InstanceCore core("#bench", "/usr/bin/quellvox", messages);
    const uint32_t mask = targets >= 32 ? 0xFFFFFFFFu : (1u << targets) - 1u;
    if (!Configure(core, mask) || !core.StartPipeline()) {
      state.SkipWithError("the pipeline did not start");
      return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // layers allocate their buffers
    const Counts before = EngineCounts(targets);
    int64_t skipVideoBefore = 0;
    for (int32_t i = 0; i < targets; ++i) skipVideoBefore += core.Stats.SkipVideo[i].load();
    const int64_t skipAudioBefore = core.Stats.SkipAudio.load();
    const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall0 = WallSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(RunSeconds()));
    const double cpu1 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall1 = WallSeconds();
    const Counts after = EngineCounts(targets);
    int64_t skipVideo = 0;
    for (int32_t i = 0; i < targets; ++i) skipVideo += core.Stats.SkipVideo[i].load();
    const int64_t skipAudio = core.Stats.SkipAudio.load();
    core.StopPipeline();

    const double relayed = static_cast<double>(after.Done - before.Done);
    const double cpuPerFrame = relayed > 0 ? (cpu1 - cpu0) / relayed : 0.0;
    const double memcpyPerFrame = MemcpySecondsPerFrame(std::max(16, targets * 11));
    state.counters["SkipVideo"] = static_cast<double>(skipVideo);
    state.counters["SkipAudio"] = static_cast<double>(skipAudio);
    state.counters["Missing"] = static_cast<double>(after.Missing);
    state.counters["Late"] = static_cast<double>(after.Late);
    state.counters["Repeated"] = static_cast<double>(after.Repeated);
    // The same counts within the measured window, after the warm-up.
    state.counters["WinSkipVideo"] = static_cast<double>(skipVideo - skipVideoBefore);
    state.counters["WinSkipAudio"] = static_cast<double>(skipAudio - skipAudioBefore);
    state.counters["WinMissing"] = static_cast<double>(after.Missing - before.Missing);
    state.counters["WinLate"] = static_cast<double>(after.Late - before.Late);
    state.counters["Relayed"] = relayed;
    state.counters["FramesPerSec"] = relayed / (wall1 - wall0);
    state.counters["CpuShare"] = (cpu1 - cpu0) / (wall1 - wall0);
    state.counters["CpuPerFrame_ms"] = cpuPerFrame * 1e3;
    state.counters["Memcpy_ms"] = memcpyPerFrame * 1e3;
    state.counters["CpuOverMemcpy"] = memcpyPerFrame > 0 ? cpuPerFrame / memcpyPerFrame : 0.0;
    std::printf(
        "relay N=%d: %.0f frames relayed in %.1f s; SkipVideo %lld SkipAudio %lld; missing %lld late %lld repeated "
        "%lld (after the warm-up: SkipVideo %lld SkipAudio %lld missing %lld late %lld); CPU %.3f ms per frame, "
        "memcpy %.3f ms per frame (x%.2f); CPU share %.2f cores\n",
        targets, relayed, wall1 - wall0, static_cast<long long>(skipVideo), static_cast<long long>(skipAudio),
        static_cast<long long>(after.Missing), static_cast<long long>(after.Late),
        static_cast<long long>(after.Repeated), static_cast<long long>(skipVideo - skipVideoBefore),
        static_cast<long long>(skipAudio - skipAudioBefore), static_cast<long long>(after.Missing - before.Missing),
        static_cast<long long>(after.Late - before.Late), cpuPerFrame * 1e3, memcpyPerFrame * 1e3,
        memcpyPerFrame > 0 ? cpuPerFrame / memcpyPerFrame : 0.0, (cpu1 - cpu0) / (wall1 - wall0));
    std::fflush(stdout);
    st::LoadDefaultDescription();
  }
}

// The process's CPU time per wall second while the started pipeline runs
// for `seconds` after a second of settling; stops the pipeline.
double CpuShareOfRunningPipeline(InstanceCore& core, double seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  const double wall0 = WallSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double share = (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0) / (WallSeconds() - wall0);
  core.StopPipeline();
  return share;
}

// range(0): 0 running, 1 stalled capture.
void BM_IdlePipeline(benchmark::State& state) {
  const bool stalled = state.range(0) != 0;
  for (auto _ : state) {
    RegisterVirtualStudio();
    if (const Status loaded = st::LoadDescriptionFile(Description("idle_studio.json")); !loaded.IsOk()) {
      state.SkipWithError(loaded.Message().c_str());
      return;
    }
    if (stalled) {
      st::UseManualClock(10'000'000);
    } else {
      st::UseSteadyClock();
    }
    PrintedMessages messages;
    InstanceCore core("#bench", "/usr/bin/quellvox", messages);
    if (!Configure(core, 1u) || !core.StartPipeline()) {
      state.SkipWithError("the pipeline did not start");
      return;
    }
    const double share = CpuShareOfRunningPipeline(core, RunSeconds() / 2);
    state.counters["CpuShare_pct"] = share * 100.0;
    std::printf("idle pipeline, one 1080p25 target, %s: %.2f %% of one core\n",
                stalled ? "capture standing still" : "running", share * 100.0);
    std::fflush(stdout);
    st::UseSteadyClock();
    st::LoadDefaultDescription();
  }
}

// The cost of polling alone: N targets whose capture stands still.
void BM_StalledRelay(benchmark::State& state) {
  const int32_t targets = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    RegisterVirtualStudio();
    if (const Status loaded = st::LoadDescriptionFile(Description("relay_studio.json")); !loaded.IsOk()) {
      state.SkipWithError(loaded.Message().c_str());
      return;
    }
    st::UseManualClock(10'000'000);
    PrintedMessages messages;
    InstanceCore core("#bench", "/usr/bin/quellvox", messages);
    const uint32_t mask = targets >= 32 ? 0xFFFFFFFFu : (1u << targets) - 1u;
    if (!Configure(core, mask) || !core.StartPipeline()) {
      state.SkipWithError("the pipeline did not start");
      return;
    }
    const double share = CpuShareOfRunningPipeline(core, RunSeconds() / 4);
    state.counters["CpuShare_pct"] = share * 100.0;
    std::printf("polling only, %d targets with the capture standing still: %.2f %% of one core\n", targets,
                share * 100.0);
    std::fflush(stdout);
    st::UseSteadyClock();
    st::LoadDefaultDescription();
  }
}

BENCHMARK(BM_Relay)->Arg(1)->Arg(8)->Arg(16)->Arg(32)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_IdlePipeline)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_StalledRelay)->Arg(32)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quellvox

BENCHMARK_MAIN();
