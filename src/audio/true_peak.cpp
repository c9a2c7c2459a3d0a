#include "audio/true_peak.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace quellvox {

namespace {

constexpr double kKaiserBeta = 4.5;
constexpr double kHalfWidth = 6.0;  // input samples either side: 12 taps per phase

// The modified Bessel function of the first kind, order 0, by its series;
// terms fall below 1e-17 of the sum well within 40 terms for x <= 4.5.
double BesselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 40 && term > 1e-17 * sum; ++k) {
    const double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
  }
  return sum;
}

// The interpolation kernel at `t` input samples from the position read.
double Kernel(double t) {
  if (std::abs(t) >= kHalfWidth) return 0.0;
  const double sinc = t == 0.0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
  const double r = t / kHalfWidth;
  return sinc * BesselI0(kKaiserBeta * std::sqrt(1.0 - r * r)) / BesselI0(kKaiserBeta);
}

}  // namespace

TruePeakMeter::TruePeakMeter() {
  for (int32_t p = 1; p < kPhases; ++p) {
    const double offset = static_cast<double>(p) / kPhases;
    std::array<double, kTapsPerPhase> row{};
    double sum = 0.0;
    for (int32_t k = 0; k < kTapsPerPhase; ++k) {
      // Tap k weighs x[n - 5 + k], which lies (k - 5) samples from n, so
      // (offset - (k - 5)) samples from the position n + offset.
      row[static_cast<size_t>(k)] = Kernel(offset - static_cast<double>(k - 5));
      sum += row[static_cast<size_t>(k)];
    }
    for (int32_t k = 0; k < kTapsPerPhase; ++k) {
      taps_[static_cast<size_t>(p - 1)][static_cast<size_t>(k)] = static_cast<float>(row[static_cast<size_t>(k)] / sum);
    }
  }
}

void TruePeakMeter::Reset() {
  for (auto& row : rows_) row.fill(0.0f);
  peak_.fill(0.0f);
}

double TruePeakMeter::Peak() const { return std::max(peak_[0], peak_[1]); }

void TruePeakMeter::Add(const float* interleaved, int64_t frames) {
  for (int64_t done = 0; done < frames; done += kChunkFrames) {
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(kChunkFrames, frames - done));
    AddChunk(interleaved + done * kChannels, n);
  }
}

// On x86-64 the chunk loop is built twice, for AVX2 (8 positions per
// instruction) and for the baseline (SSE2, 4), and the loader picks the one
// the processor runs. No fused multiply-add: both give the same sums, bit
// for bit, as every lane adds the same products in the same order. Not
// under ThreadSanitizer: the loader calls the chooser before the
// sanitizer's runtime is up, and the instrumented chooser crashes.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
void TruePeakMeter::AddChunk(const float* interleaved, int32_t frames) {
  // The taps as locals, so that the compiler knows no store below changes
  // them and keeps them in registers.
  float t1[kTapsPerPhase];
  float t2[kTapsPerPhase];
  float t3[kTapsPerPhase];
  for (int32_t k = 0; k < kTapsPerPhase; ++k) {
    t1[k] = taps_[0][static_cast<size_t>(k)];
    t2[k] = taps_[1][static_cast<size_t>(k)];
    t3[k] = taps_[2][static_cast<size_t>(k)];
  }
  // Largest magnitude per position of the chunk, over the four phases;
  // element-wise, so that the loop vectorises across positions (a running
  // maximum would be a reduction, which the compiler keeps scalar for
  // floats).
  alignas(64) float largest[kChunkFrames];
  for (int32_t c = 0; c < kChannels; ++c) {
    float* row = rows_[static_cast<size_t>(c)].data();
    float* fresh = row + kHistory;
    for (int32_t i = 0; i < frames; ++i) fresh[i] = interleaved[i * kChannels + c];
    // Position i: phase 0 is the new sample fresh[i]; phases 1..3 lie
    // between row[i + 5] and row[i + 6], from the window row[i .. i + 11]
    // (5 samples back, 6 ahead). The tap loops have a fixed length and are
    // unrolled.
    for (int32_t i = 0; i < frames; ++i) {
      float s1 = 0.0f;
      float s2 = 0.0f;
      float s3 = 0.0f;
      for (int32_t k = 0; k < kTapsPerPhase; ++k) {
        const float x = row[i + k];
        s1 += t1[k] * x;
        s2 += t2[k] * x;
        s3 += t3[k] * x;
      }
      const float a0 = std::abs(fresh[i]);
      const float a1 = std::abs(s1);
      const float a2 = std::abs(s2);
      const float a3 = std::abs(s3);
      const float m01 = a0 < a1 ? a1 : a0;
      const float m23 = a2 < a3 ? a3 : a2;
      largest[i] = m01 < m23 ? m23 : m01;
    }
    float peak = peak_[static_cast<size_t>(c)];
    for (int32_t i = 0; i < frames; ++i) peak = std::max(peak, largest[i]);
    peak_[static_cast<size_t>(c)] = peak;
    // The newest kHistory samples are the next chunk's history.
    std::memmove(row, row + frames, sizeof(float) * kHistory);
  }
}

}  // namespace quellvox
