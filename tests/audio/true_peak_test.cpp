#include "audio/true_peak.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "audio/plane_loudness.h"

namespace quellvox {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr int64_t kFrames = 4800;  // 0.1 s at 48 kHz
constexpr int64_t kFadeIn = 480;   // a 10 ms raised-cosine onset: no step for the interpolator to ring on

// amplitude * sin(2 pi cycles n + phase) on the left, the same negated and
// halved on the right, faded in.
std::vector<float> Sine(double cyclesPerSample, double phase, double amplitude) {
  std::vector<float> v(static_cast<size_t>(2 * kFrames));
  for (int64_t n = 0; n < kFrames; ++n) {
    const double fade = n < kFadeIn ? 0.5 - 0.5 * std::cos(kPi * static_cast<double>(n) / kFadeIn) : 1.0;
    const double x = fade * amplitude * std::sin(2 * kPi * cyclesPerSample * static_cast<double>(n) + phase);
    v[static_cast<size_t>(2 * n)] = static_cast<float>(x);
    v[static_cast<size_t>(2 * n + 1)] = static_cast<float>(-0.5 * x);
  }
  return v;
}

double SamplePeak(const std::vector<float>& v) {
  double peak = 0.0;
  for (size_t i = 0; i < v.size(); i += 2) peak = std::max(peak, std::abs(static_cast<double>(v[i])));
  return peak;
}

double Db(double linear) { return 20.0 * std::log10(linear); }

// Signals whose peak between samples is known: the meter reads it, within
// the interpolator's stated error at the signal's frequency, where the
// sample peak reads low.
TEST(TruePeakMeter, ReadsThePeakBetweenSamplesOfSignalsWithAKnownPeak) {
  struct Case {
    const char* Name;
    double CyclesPerSample;
    double Phase;
    double Amplitude;
    double SamplePeak;  // what the samples alone show
    double TruePeak;
    double ToleranceDb;
  } const cases[] = {
      // Samples 0.707, 0.707, -0.707, -0.707: the crest lies midway.
      {"fs/4 at 45 degrees: +3.01 dB over the samples", 0.25, kPi / 4, 1.0, std::sqrt(0.5), 1.0, 0.05},
      {"fs/4 at 0 degrees: the crest on a sample", 0.25, 0.0, 1.0, 1.0, 1.0, 0.05},
      // Samples 0.924 and 0.383: the crest a quarter of a sample after one.
      {"fs/4 at 67.5 degrees: the crest at 1/4, +0.69 dB", 0.25, 3 * kPi / 8, 1.0, std::cos(kPi / 8), 1.0, 0.05},
      {"fs/4 at 22.5 degrees: the crest at 3/4, +0.69 dB", 0.25, kPi / 8, 1.0, std::cos(kPi / 8), 1.0, 0.05},
      // Samples at +-0.866: the crest midway between two of them.
      {"fs/6 at 0 degrees: +1.25 dB over the samples", 1.0 / 6, 0.0, 1.0, std::sqrt(0.75), 1.0, 0.05},
      {"fs/8 at 22.5 degrees: +0.69 dB over the samples", 0.125, kPi / 8, 0.5, 0.5 * std::cos(kPi / 8), 0.5, 0.05},
      // 18 kHz at 48 kHz: every third crest midway, the filter's band edge.
      {"0.375 fs at 22.5 degrees: +0.69 dB over the samples", 0.375, kPi / 8, 1.0, std::cos(kPi / 8), 1.0, 0.08},
      // The crest 1/8 sample from the nearest of the four phases: read low
      // by cos(pi/16), the most a 4x meter may miss at fs/4.
      {"fs/4 at 78.75 degrees: the crest between phases", 0.25, 7 * kPi / 16, 1.0, std::sin(7 * kPi / 16),
       std::cos(kPi / 16), 0.05},
      {"997 Hz at -20 dBFS", 997.0 / 48000, 0.3, 0.1, 0.0, 0.1, 0.05},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::vector<float> signal = Sine(c.CyclesPerSample, c.Phase, c.Amplitude);
    if (c.SamplePeak > 0.0) {
      EXPECT_NEAR(SamplePeak(signal), c.SamplePeak, 1e-6);
    }
    TruePeakMeter meter;
    meter.Add(signal.data(), kFrames);
    EXPECT_NEAR(Db(meter.ChannelPeak(0)), Db(c.TruePeak), c.ToleranceDb);
    EXPECT_NEAR(Db(meter.ChannelPeak(1)), Db(0.5 * c.TruePeak), c.ToleranceDb);  // each channel alone
    EXPECT_EQ(meter.Peak(), meter.ChannelPeak(0));
  }
}

// A constant reads exactly its value (every phase has unit gain at 0 Hz),
// and silence reads 0. The constant is faded in: a step from silence
// rings above it, as it does in any band-limited reconstruction.
TEST(TruePeakMeter, AConstantReadsItsValueAndSilenceZero) {
  std::vector<float> v(2 * 2000);
  for (size_t i = 0; i < v.size(); i += 2) {
    const double n = static_cast<double>(i / 2);
    const double fade = n < kFadeIn ? 0.5 - 0.5 * std::cos(kPi * n / kFadeIn) : 1.0;
    v[i] = static_cast<float>(-0.25 * fade);
    v[i + 1] = 0.0f;
  }
  TruePeakMeter meter;
  meter.Add(v.data(), 2000);
  EXPECT_NEAR(meter.ChannelPeak(0), 0.25, 1e-6);
  EXPECT_EQ(meter.ChannelPeak(1), 0.0);
  for (int32_t p = 1; p < TruePeakMeter::kPhases; ++p) {
    double sum = 0.0;
    for (const float tap : meter.Taps(p)) sum += tap;
    EXPECT_NEAR(sum, 1.0, 1e-6) << "phase " << p;
  }
  meter.Reset();
  EXPECT_EQ(meter.Peak(), 0.0);
}

// The filter keeps its history across calls: a signal added in pieces of
// any length reads exactly what it reads added whole, also where the only
// crest above the samples straddles two calls.
TEST(TruePeakMeter, PiecesOfAnyLengthReadWhatTheWholeReads) {
  std::vector<float> signal = Sine(0.25, kPi / 4, 0.5);
  TruePeakMeter whole;
  whole.Add(signal.data(), kFrames);
  for (const int64_t piece : {int64_t{1}, int64_t{5}, int64_t{11}, int64_t{255}, int64_t{257}, int64_t{1920}}) {
    TruePeakMeter pieces;
    for (int64_t at = 0; at < kFrames; at += piece) {
      pieces.Add(signal.data() + 2 * at, std::min(piece, kFrames - at));
    }
    EXPECT_EQ(pieces.ChannelPeak(0), whole.ChannelPeak(0)) << "pieces of " << piece;
    EXPECT_EQ(pieces.ChannelPeak(1), whole.ChannelPeak(1)) << "pieces of " << piece;
  }
  // One crest over otherwise quiet audio: samples +-0.7 at frames 1000 and
  // 1001 (an fs/4 burst), the call split between them.
  std::vector<float> burst(2 * 2000, 0.0f);
  const float pattern[] = {0.7f, 0.7f, -0.7f, -0.7f};
  for (int64_t n = 992; n < 1010; ++n) burst[static_cast<size_t>(2 * n)] = pattern[(n - 992) % 4];
  TruePeakMeter once;
  once.Add(burst.data(), 2000);
  TruePeakMeter split;
  split.Add(burst.data(), 1001);
  split.Add(burst.data() + 2 * 1001, 999);
  EXPECT_GT(once.ChannelPeak(0), 0.9);  // well above the samples' 0.7
  EXPECT_EQ(split.ChannelPeak(0), once.ChannelPeak(0));
}

// The plane meter reports this meter's peak as its true peak.
TEST(TruePeakMeter, IsThePlaneMetersTruePeak) {
  const std::vector<float> signal = Sine(0.25, kPi / 4, 0.5);
  PlaneLoudness plane(48000, PlaneLoudness::Gating::Histogram);
  plane.Add(signal.data(), kFrames);
  EXPECT_NEAR(plane.Read().TruePeakDbtp, Db(0.5), 0.05);  // the sample peak is -9.03 dBFS
}

}  // namespace
}  // namespace quellvox
