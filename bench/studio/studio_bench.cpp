// Speed of the virtual studio's capture objects.
//
//   ReadFrame of a 1920x1080 frame into a buffer lent by a layer, against a
//   plain memcpy of the same 4,147,200 bytes into that buffer, timed in turn
//   in the same run (target: ratio at most 1.3).
//   ReadField of both fields of a frame against the same memcpy (at most 1.5).
//   The studio's own cost per captured frame at 1080p50 with 16 channels:
//   audio generation, position, and what ReadFrame costs beyond the copy,
//   as a share of one core (target under 5 %).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/media_api/media_components.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"

namespace quellvox {
namespace {

namespace st = studio_test;

constexpr int32_t kW = 1920;
constexpr int32_t kH = 1080;
constexpr int32_t kBytes = kW * kH * 2;  // 4,147,200
constexpr int64_t kStart = 1'000'000;
constexpr double kRate = 50.0;

struct Rig {
  ComPtr<IZRCaptureVideoEx> Video;
  ComPtr<IZRCaptureAudio> Audio;
  ComPtr<IZRTitleRegions> Regions;
  ComPtr<IZRLayerVideo> Layer;
  uint8_t* Lent = nullptr;

  Rig() {
    RegisterVirtualStudio();
    st::UseManualClock(0);
    (void)st::LoadDescriptionText(R"({
      "devices": [{"kind": 2, "name": "Bench", "width": 1920, "height": 1080, "rate": 50,
                   "channels": 16, "ringSeconds": 4, "startPosition": 1000000,
                   "audio": [{"source": "floor"}, {"source": "speech", "seed": 1},
                             {"source": "speech", "seed": 2}, {"source": "tone"},
                             {"source": "floor", "seed": 3}, {"source": "speech", "seed": 4},
                             {"source": "speech", "seed": 5}, {"source": "tone", "frequency": 440}]}],
      "engines": [{"name": "Bench", "width": 1920, "height": 1080, "rate": 50}]})");
    st::AdvanceToCaptureFrame(0, kStart + 150);
    ComPtr<IZRDeviceEnumerator> en;
    CreateInstance(kClsidDeviceEnumerator, en);
    ComPtr<Unknown> object;
    en->CreateDevice(0, kDeviceKindPrimary, object.Put());
    object.As(Video);
    object.As(Audio);
    ComPtr<IZRTitleEngine> engine;
    CreateInstance(kClsidTitleTarget, engine);
    engine->Attach(&kClsidTitleEngineList, 0);
    engine.As(Regions);
    ComPtr<Unknown> layer;
    ComStringHolder name(ComStringFromUtf8("Bench"));
    Regions->CreateLayer(name.Get(), -1000, 0, 4, layer.Put());
    layer.As(Layer);
    int32_t size = kBytes;
    Layer->GetBuffer(kBytes, kBytes, &Lent, &size, 0);
  }
};

Rig& TheRig() {
  static Rig rig;
  return rig;
}

using Clock = std::chrono::steady_clock;

double Nanos(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::nano>(b - a).count(); }

struct Figures {
  double MemcpyNs = 0, FrameNs = 0, FieldsNs = 0, AudioNs = 0, PositionNs = 0;
} g_figures;

void BM_ReadFrameAgainstMemcpy(benchmark::State& state) {
  Rig& rig = TheRig();
  std::vector<uint8_t> source(kBytes, 0x55);
  double copyNs = 0, readNs = 0;
  int64_t n = 0;
  for (auto _ : state) {
    const int64_t pos0 = kStart + 1 + n % 100;
    auto t0 = Clock::now();
    std::memcpy(rig.Lent, source.data(), kBytes);
    benchmark::ClobberMemory();
    auto t1 = Clock::now();
    int64_t pos = pos0;
    rig.Video->ReadFrame(rig.Lent, kBytes, kW * 2, &pos, nullptr, 2);
    benchmark::ClobberMemory();
    auto t2 = Clock::now();
    copyNs += Nanos(t0, t1);
    readNs += Nanos(t1, t2);
    ++n;
  }
  g_figures.MemcpyNs = copyNs / n;
  g_figures.FrameNs = readNs / n;
  state.counters["memcpy_us"] = copyNs / n / 1e3;
  state.counters["ReadFrame_us"] = readNs / n / 1e3;
  state.counters["ratio"] = readNs / copyNs;
}

void BM_ReadFieldsAgainstMemcpy(benchmark::State& state) {
  Rig& rig = TheRig();
  std::vector<uint8_t> source(kBytes, 0x55);
  double copyNs = 0, readNs = 0;
  int64_t n = 0;
  for (auto _ : state) {
    const int64_t pos0 = kStart + 1 + 2 * (n % 50);
    auto t0 = Clock::now();
    std::memcpy(rig.Lent, source.data(), kBytes);
    benchmark::ClobberMemory();
    auto t1 = Clock::now();
    int64_t pos = pos0;
    rig.Video->ReadField(rig.Lent, kBytes, 4 * kW, &pos, nullptr, 2, 1);
    pos = pos0 + 1;
    rig.Video->ReadField(rig.Lent + 2 * kW, kBytes, 4 * kW, &pos, nullptr, 2, 0);
    benchmark::ClobberMemory();
    auto t2 = Clock::now();
    copyNs += Nanos(t0, t1);
    readNs += Nanos(t1, t2);
    ++n;
  }
  g_figures.FieldsNs = readNs / n;
  state.counters["memcpy_us"] = copyNs / n / 1e3;
  state.counters["ReadField_x2_us"] = readNs / n / 1e3;
  state.counters["ratio"] = readNs / copyNs;
}

void BM_AudioOfOneFrame16Channels(benchmark::State& state) {
  Rig& rig = TheRig();
  std::vector<float> block(307200 / 4);
  int64_t n = 0;
  for (auto _ : state) {
    int64_t pos = kStart + 1 + n % 150;
    int32_t bytes = 0;
    rig.Audio->ReadAudio(block.data(), 307200, &pos, &bytes, 2, 0xFFFF);
    benchmark::DoNotOptimize(block[0]);
    ++n;
  }
  state.SetItemsProcessed(n);
}

void BM_GetPosition(benchmark::State& state) {
  Rig& rig = TheRig();
  for (auto _ : state) {
    int64_t pos = 0;
    rig.Video->GetPosition(nullptr, nullptr, &pos, nullptr);
    benchmark::DoNotOptimize(pos);
  }
}

BENCHMARK(BM_ReadFrameAgainstMemcpy)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_ReadFieldsAgainstMemcpy)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_AudioOfOneFrame16Channels)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetPosition);

// Keeps the per-iteration times of the audio and position runs.
class FigureReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      const double ns = r.GetAdjustedRealTime() * (r.time_unit == benchmark::kMicrosecond ? 1e3 : 1.0);
      if (r.benchmark_name().find("AudioOfOneFrame") != std::string::npos) g_figures.AudioNs = ns;
      if (r.benchmark_name().find("GetPosition") != std::string::npos) g_figures.PositionNs = ns;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace
}  // namespace quellvox

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  quellvox::FigureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& f = quellvox::g_figures;
  if (f.MemcpyNs > 0) {
    std::printf("\nReadFrame 1080p: %.1f us, memcpy 4147200 bytes: %.1f us, ratio %.2f (target <= 1.3)\n",
                f.FrameNs / 1e3, f.MemcpyNs / 1e3, f.FrameNs / f.MemcpyNs);
    if (f.FieldsNs > 0) {
      std::printf("ReadField x2 1080p: %.1f us, ratio %.2f (target <= 1.5)\n", f.FieldsNs / 1e3,
                  f.FieldsNs / f.MemcpyNs);
    }
    const double beyondCopy = f.FrameNs > f.MemcpyNs ? f.FrameNs - f.MemcpyNs : 0.0;
    const double perFrame = f.AudioNs + f.PositionNs + beyondCopy;
    std::printf(
        "Studio cost per captured frame at 1080p50, 16 channels: audio %.1f us + position %.3f us + pattern beyond "
        "the copy %.1f us = %.1f us, %.2f %% of one core (target < 5 %%)\n",
        f.AudioNs / 1e3, f.PositionNs / 1e3, beyondCopy / 1e3, perFrame / 1e3, perFrame * quellvox::kRate / 1e9 * 100.0);
    // Counting the whole ReadFrame as the studio's (the pattern is drawn while copying).
    const double whole = f.AudioNs + f.PositionNs + f.FrameNs;
    std::printf("  counting the whole ReadFrame as well: %.1f us per frame, %.2f %% of one core\n", whole / 1e3,
                whole * quellvox::kRate / 1e9 * 100.0);
  }
  benchmark::Shutdown();
  return 0;
}
