// The loudness meters' cost.
//
//   BM_MeterBlock/N: what the meter thread does for one block of 1920
//   sample frames (one capture frame at 25 frames/s, 48 kHz) on N planes:
//   feed N meters, and read their figures at the meter thread's pace. Reports core_share_at_25fps,
//   the share of one core that takes at 25 blocks a second.
//   Target: under 2 % of a core for 8 planes.
//
//   BM_TruePeakBlock: the true-peak meter alone on one plane's block.
//
//   BM_MeterThread/N: the meter thread itself for QUELLVOX_METER_SECONDS
//   (default 10), fed 25 blocks a second of N planes as the pump feeds it.
//   Reports the thread's CPU share of one core (its own CPU clock), the
//   blocks metered and dropped.
//
//   BM_OfferBlock/N: the pump's side, one offer of an N-plane block into
//   the ring (a copy of N x 1920 x 2 floats), with the meter thread keeping
//   up; this is all the pump pays per pass.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

#include "audio/loudness_meter.h"
#include "audio/plane_loudness.h"
#include "audio/true_peak.h"

namespace quellvox {
namespace {

constexpr int64_t kRate = 48000;
constexpr int32_t kFrames = 1920;

// Programme-like content: two tones and noise, different on every plane.
void Fill(MixArea& mix, int32_t planes, int64_t first) {
  uint32_t noise = 99;
  for (int32_t k = 0; k < planes; ++k) {
    float* p = MixPlane(mix, k, kFrames);
    for (int32_t s = 0; s < kFrames; ++s) {
      noise = noise * 1664525u + 1013904223u;
      const double t = static_cast<double>(first + s) / kRate;
      const float v = static_cast<float>(0.2 * std::sin(2 * std::numbers::pi * (220.0 + 50 * k) * t) +
                                         0.05 * (static_cast<double>(noise >> 8) / 16777216.0 - 0.5));
      p[2 * s] = v;
      p[2 * s + 1] = 0.9f * v;
    }
  }
}

double ThreadCpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_MeterBlock(benchmark::State& state) {
  const int32_t planes = static_cast<int32_t>(state.range(0));
  auto mix = std::make_unique<MixArea>();
  Fill(*mix, planes, 0);
  std::vector<std::unique_ptr<PlaneLoudness>> meters;
  for (int32_t k = 0; k < planes; ++k) {
    meters.push_back(std::make_unique<PlaneLoudness>(kRate, PlaneLoudness::Gating::Histogram));
  }
  // A minute of programme first, so that the gating tables are not empty.
  for (int32_t b = 0; b < 1500; ++b) {
    for (int32_t k = 0; k < planes; ++k) meters[static_cast<size_t>(k)]->Add(MixPlane(*mix, k, kFrames), kFrames);
  }
  double sink = 0.0;
  int64_t block = 0;
  for (auto _ : state) {
    for (int32_t k = 0; k < planes; ++k) {
      meters[static_cast<size_t>(k)]->Add(MixPlane(*mix, k, kFrames), kFrames);
    }
    // As the meter thread publishes: the quick figures ten times a second
    // (every 2.5 blocks), everything once a second (every 25 blocks).
    ++block;
    if (block % 5 == 0 || block % 5 == 3) {
      for (int32_t k = 0; k < planes; ++k) {
        sink += meters[static_cast<size_t>(k)]->Read(block % 25 == 0).TruePeakDbtp;
      }
    }
  }
  benchmark::DoNotOptimize(sink);
  // Seconds per block times 25 blocks a second: the inverted rate of
  // iterations / 25.
  state.counters["core_share_at_25fps"] = benchmark::Counter(static_cast<double>(state.iterations()) / 25.0,
                                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MeterBlock)->Arg(1)->Arg(8)->UseRealTime();

// The true-peak meter alone, one block of one plane: the part of
// BM_MeterBlock that 4x oversampling costs.
void BM_TruePeakBlock(benchmark::State& state) {
  auto mix = std::make_unique<MixArea>();
  Fill(*mix, 1, 0);
  TruePeakMeter meter;
  for (auto _ : state) {
    meter.Add(MixPlane(*mix, 0, kFrames), kFrames);
    benchmark::DoNotOptimize(meter.Peak());
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_TruePeakBlock)->Unit(benchmark::kMicrosecond);

void BM_MeterThread(benchmark::State& state) {
  const int32_t planes = static_cast<int32_t>(state.range(0));
  const char* env = std::getenv("QUELLVOX_METER_SECONDS");
  const int seconds = env != nullptr ? std::max(1, std::atoi(env)) : 10;
  auto mix = std::make_unique<MixArea>();
  Fill(*mix, planes, 0);
  for (auto _ : state) {
    LoudnessMeter meter;
    meter.Start(kRate, planes);
    // The meter thread's clock is not reachable from here: the whole
    // process less this (mostly sleeping) feeder thread is the meter thread.
    clockid_t self = 0;
    pthread_getcpuclockid(pthread_self(), &self);
    const double cpu0 = ThreadCpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - ThreadCpuSeconds(self);
    const auto start = std::chrono::steady_clock::now();
    for (int64_t b = 0; b < int64_t{seconds} * 25; ++b) {
      meter.Offer_AudioThread(*mix, planes, kFrames);
      std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * (b + 1)));
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = ThreadCpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - ThreadCpuSeconds(self) - cpu0;
    const LoudnessSnapshot s = meter.Figures();
    meter.Stop();
    state.counters["meter_thread_core_share_pct"] = 100.0 * cpu / wall;
    state.counters["blocks_metered"] = static_cast<double>(s.BlocksMetered);
    state.counters["blocks_dropped"] = static_cast<double>(s.BlocksDropped);
  }
}
BENCHMARK(BM_MeterThread)->Arg(8)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_OfferBlock(benchmark::State& state) {
  const int32_t planes = static_cast<int32_t>(state.range(0));
  auto mix = std::make_unique<MixArea>();
  Fill(*mix, planes, 0);
  LoudnessMeter meter;
  meter.Start(kRate, planes);
  int64_t queued = 0;
  for (auto _ : state) {
    queued += meter.Offer_AudioThread(*mix, planes, kFrames) ? 1 : 0;
    state.PauseTiming();
    // Let the meter thread empty the ring, outside the timing: the pump
    // offers one block per 40 ms, never back to back.
    while (meter.TEST_Consumed() < static_cast<uint64_t>(queued)) std::this_thread::sleep_for(std::chrono::microseconds(200));
    state.ResumeTiming();
  }
  meter.Stop();
  state.counters["dropped"] = static_cast<double>(meter.Figures().BlocksDropped);
}
BENCHMARK(BM_OfferBlock)->Arg(8)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quellvox

BENCHMARK_MAIN();
