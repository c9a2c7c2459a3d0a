// Loudness of one stereo plane after ITU-R BS.1770 as EBU R128 reads it,
// measured by libebur128: momentary (400 ms), short-term (3 s), integrated
// since the last reset and loudness range; the true-peak maximum by our own
// 4x oversampling meter (TruePeakMeter), which costs a fraction of the
// library's true-peak mode.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/true_peak.h"

namespace quellvox {

// Figures of one plane. Loudness in LUFS, range in LU, true peak in dBTP.
// A loudness not yet known is -inf: momentary before 400 ms of audio,
// short-term before 3 s, integrated while no gating block lies above the
// absolute gate; so is the true peak of pure silence.
struct LoudnessFigures {
  double MomentaryLufs = 0.0;
  double ShortTermLufs = 0.0;
  double IntegratedLufs = 0.0;
  double RangeLu = 0.0;
  double TruePeakDbtp = 0.0;
};

class PlaneLoudness {
 public:
  // How the integrated loudness and the range keep their gating blocks.
  // Exact: every block is kept (memory grows with the programme: for an
  // offline file). Histogram: a fixed table of 0.1 dB bins (for a relay
  // that runs for days); its figures lie within a few hundredths of an LU
  // of the exact ones.
  enum class Gating { Exact, Histogram };

  PlaneLoudness(int64_t sampleRate, Gating gating);
  ~PlaneLoudness();
  PlaneLoudness(const PlaneLoudness&) = delete;
  PlaneLoudness& operator=(const PlaneLoudness&) = delete;

  // False when libebur128 refused the sample rate (or had no memory).
  bool Valid() const { return state_ != nullptr; }

  // Adds `frames` interleaved (left, right) sample frames. Allocates nothing
  // in histogram mode. The true-peak maximum takes every sample added at
  // once, and the positions between them up to the sixth-newest sample.
  void Add(const float* interleaved, int64_t frames);

  // The figures now. Each reading costs: the momentary loudness sums its
  // 400 ms window, the short-term its 3 s (some 0.15 ms), the integrated
  // loudness and the range walk the gating tables (some 0.2 ms for both).
  // Without `slow` only the momentary loudness and the true peak are read;
  // the others are left at -inf (range 0).
  LoudnessFigures Read(bool slow = true) const;
  double MomentaryLufs() const;

 private:
  // The library's state (an ebur128_state), kept opaque so that its header
  // stays out of ours.
  void* state_ = nullptr;
  TruePeakMeter truePeak_;
  int64_t added_ = 0;  // sample frames added
  int64_t sampleRate_ = 0;
};

// A linear peak in dB (true peak in dBTP); -inf for 0.
double PeakToDb(double linear);

}  // namespace quellvox
