// True peak of a stereo plane: the largest magnitude of the signal
// oversampled four times, per channel, as a true-peak meter reads it.
//
// The interpolator is a 4x polyphase low-pass of our own design: a
// windowed sinc sin(pi t)/(pi t) times a Kaiser window (beta 4.5) over
// |t| < 6 input samples, 12 taps per phase, each phase normalised to unit
// gain at 0 Hz (so that a constant reads exactly its value). Phase 0 is the
// input sample itself (the sinc is zero at every other whole sample), so
// only the phases at 1/4, 2/4 and 3/4 of a sample are computed. Its
// band, relative to the sample rate fs (figures at 48 kHz):
//   - interpolation error of every phase, in magnitude: within 0.05 dB up
//     to fs/3 (16 kHz), within 0.08 dB up to 0.375 fs (18 kHz), within
//     1.2 dB up to 0.417 fs (20 kHz), where the filter rolls off;
//   - images of content up to 0.375 fs (18 kHz), which lie at 0.625 fs
//     (30 kHz) and above at the 4x rate, at least 47 dB down.
// A peak that falls between the four phases reads low by at most the
// sinusoid's fall over 1/8 sample: cos(pi f / (4 fs)), 0.17 dB at fs/4.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quellvox {

class TruePeakMeter {
 public:
  static constexpr int32_t kChannels = 2;
  static constexpr int32_t kPhases = 4;
  static constexpr int32_t kTapsPerPhase = 12;
  // Input samples a computed phase looks at before and after its position:
  // the value between samples n and n+1 takes n-5 .. n+6.
  static constexpr int32_t kHistory = kTapsPerPhase - 1;
  // Sample frames filtered at once: the working rows stay in the first
  // level cache, and the loops over them are plain loops the compiler
  // vectorises.
  static constexpr int32_t kChunkFrames = 256;

  TruePeakMeter();

  // Adds `frames` interleaved (left, right) sample frames. Allocates
  // nothing, takes no lock. The positions between the last 6 samples and
  // their successors are read with the next call (they need those samples).
  void Add(const float* interleaved, int64_t frames);

  // The largest true peak of either channel since construction or Reset,
  // linear (1.0 is full scale). 0 for silence.
  double Peak() const;
  double ChannelPeak(int32_t channel) const { return peak_[static_cast<size_t>(channel)]; }

  void Reset();

  // The taps of phase p (1..3): the value at n + p/4 is the sum over k of
  // Taps(p)[k] * x[n - 5 + k].
  const std::array<float, kTapsPerPhase>& Taps(int32_t phase) const { return taps_[static_cast<size_t>(phase - 1)]; }

 private:
  void AddChunk(const float* interleaved, int32_t frames);

  std::array<std::array<float, kTapsPerPhase>, kPhases - 1> taps_{};
  // Per channel: the last kHistory input samples, then the chunk.
  alignas(64) std::array<std::array<float, kHistory + kChunkFrames>, kChannels> rows_{};
  std::array<float, kChannels> peak_{};
};

}  // namespace quellvox
