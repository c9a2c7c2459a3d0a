// Time of one block of the voice-over mixer: 1920 sample frames (48 kHz at
// 25 frames/s), every line in use with floor audio. Besides the time per
// block the counters give how many times real time one core mixes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>

#include "audio/voice_over_mixer.h"

namespace quellvox {
namespace {

constexpr int32_t kFrames = 1920;
constexpr double kBlockSeconds = 1.0 / 25.0;

// A floor on pair 0 and speech-like bursts on the other pairs: every line
// alternates between voice and silence so that the floor gain ducks, holds,
// fades and opens, and the ramped adds are part of the measure.
void FillBlock(CaptureBlock& block, int32_t channels, int64_t blockIndex) {
  const bool voice = (blockIndex / 40) % 2 == 0;
  for (int32_t s = 0; s < kFrames; ++s) {
    const double t = static_cast<double>(blockIndex * kFrames + s) / 48000.0;
    for (int32_t c = 0; c < channels; ++c) {
      float v;
      if (c < 2) {
        v = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 220.0 * t + c));
      } else {
        v = voice ? static_cast<float>(0.5 * std::sin(2.0 * M_PI * (300.0 + 40.0 * c) * t)) : 0.0f;
      }
      block.Samples[static_cast<int64_t>(s) * channels + c] = v;
    }
  }
}

void RunMixer(benchmark::State& state, int32_t channels, int32_t lines) {
  DuckerSettings settings;
  for (int32_t i = 0; i < lines; ++i) {
    settings.Lines[i].Use = true;
    settings.Lines[i].From = {Stereo, 1 + i % (channels / 2 - 1)};
    settings.Lines[i].To = {Stereo, i};
  }
  settings.TimeoutInFrames = 20;
  MixerState mixer;
  DeriveMixerGains(settings, mixer);
  ResetMixerLines(mixer);

  // A cycle of distinct blocks so that voice comes and goes.
  constexpr int kCycle = 160;
  auto blocks = std::make_unique<CaptureBlock[]>(kCycle);
  for (int b = 0; b < kCycle; ++b) FillBlock(blocks[b], channels, b);
  auto mix = std::make_unique<MixArea>();

  int64_t b = 0;
  const auto started = std::chrono::steady_clock::now();
  for (auto _ : state) {
    MixInput in{blocks[b % kCycle].Samples, channels, kFrames, mix->Samples, PlanesForBlock(channels, kFrames, lines)};
    MixBlock(settings, mixer, in, 1000000 + b + 1);
    benchmark::DoNotOptimize(mix->Samples[0]);
    benchmark::ClobberMemory();
    ++b;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double mixed = static_cast<double>(state.iterations());
  state.counters["ns_per_block"] = seconds * 1e9 / mixed;
  state.counters["x_real_time"] = mixed * kBlockSeconds / seconds;
}

void BM_OneLineFromFourChannels(benchmark::State& state) { RunMixer(state, 4, 1); }
void BM_EightLinesFromSixteenChannels(benchmark::State& state) { RunMixer(state, 16, 8); }

BENCHMARK(BM_OneLineFromFourChannels);
BENCHMARK(BM_EightLinesFromSixteenChannels);

}  // namespace
}  // namespace quellvox

BENCHMARK_MAIN();
