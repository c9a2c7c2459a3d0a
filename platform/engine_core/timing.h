// Exact frame and sample timing of every title engine and capture device:
// rates are kept as fractions (25/1, 30000/1001) so that positions, clock
// times and sample cadences follow from each other without drift. Every
// division floors, so that times and positions before the origin (negative
// ticks, a position extended below an engine's start) land on the frame
// they belong to.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quellvox::engine {

__extension__ typedef __int128 Int128;

inline constexpr int64_t kTicksPerSecond = 10'000'000;  // clock unit: 100 ns

// floor(a / b) for b > 0.
inline Int128 FloorDiv(Int128 a, Int128 b) {
  Int128 q = a / b;
  if ((a % b != 0) && (a < 0)) --q;
  return q;
}
inline Int128 CeilDiv(Int128 a, Int128 b) { return -FloorDiv(-a, b); }

struct FrameRate {
  int64_t Num = 25;
  int64_t Den = 1;
  double Value() const { return static_cast<double>(Num) / static_cast<double>(Den); }

  // Whole frames completed in [0, t): floor(t * rate), t in ticks (may be negative).
  int64_t FramesAt(int64_t ticks) const {
    return static_cast<int64_t>(FloorDiv(static_cast<Int128>(ticks) * Num, static_cast<Int128>(kTicksPerSecond) * Den));
  }
  // First tick at which frame boundary k is reached: ceil(k / rate).
  int64_t BoundaryTime(int64_t k) const {
    return static_cast<int64_t>(CeilDiv(static_cast<Int128>(k) * kTicksPerSecond * Den, Num));
  }
  // Sample frames before frame k at `sampleRate`: floor(k x R / rate).
  int64_t SamplesBefore(int64_t sampleRate, int64_t k) const {
    return static_cast<int64_t>(FloorDiv(static_cast<Int128>(k) * sampleRate * Den, Num));
  }
  // Sample frames of frame k at `sampleRate` (the cadence of fractional rates).
  int32_t SamplesInFrame(int64_t sampleRate, int64_t k) const {
    return static_cast<int32_t>(SamplesBefore(sampleRate, k + 1) - SamplesBefore(sampleRate, k));
  }
  // Frame containing sample s: the largest k with SamplesBefore(k) <= s.
  int64_t FrameOfSample(int64_t sampleRate, int64_t s) const {
    // SamplesBefore(k) <= s  <=>  k*R*Den/Num < s + 1  <=>  k < (s + 1)*Num/(R*Den)
    return static_cast<int64_t>(CeilDiv(static_cast<Int128>(s + 1) * Num, static_cast<Int128>(sampleRate) * Den)) - 1;
  }
};

// A device's own clock against the studio's: `PartsPerBillion` fast
// (positive) or slow. Its local time at studio time t is
// t + floor(t x ppb / 10^9), in ticks; everything the device times (frames,
// and with them its audio) runs on that local time.
struct ClockSkew {
  int64_t PartsPerBillion = 0;

  int64_t LocalTime(int64_t ticks) const {
    if (PartsPerBillion == 0) return ticks;
    return ticks + static_cast<int64_t>(FloorDiv(static_cast<Int128>(ticks) * PartsPerBillion, 1'000'000'000));
  }
  // The first studio time whose local time reaches `local`.
  int64_t StudioTime(int64_t local) const {
    if (PartsPerBillion == 0) return local;
    int64_t t = static_cast<int64_t>(
        CeilDiv(static_cast<Int128>(local) * 1'000'000'000, 1'000'000'000 + static_cast<Int128>(PartsPerBillion)));
    while (LocalTime(t - 1) >= local) --t;
    while (LocalTime(t) < local) ++t;
    return t;
  }
};

// A rate given as a number: whole rates exactly, and the NTSC family
// (rate x 1.001 whole, e.g. 29.97 = 30000/1001). Other rates are refused.
inline std::optional<FrameRate> FrameRateFromNumber(double rate) {
  if (!(rate > 0.0) || rate > 1000.0) return std::nullopt;
  const double whole = static_cast<double>(static_cast<int64_t>(rate + 0.5));
  if (whole >= 1.0 && (rate - whole) < 1e-9 && (whole - rate) < 1e-9) return FrameRate{static_cast<int64_t>(whole), 1};
  const double ntsc = rate * 1.001;
  const double ntscWhole = static_cast<double>(static_cast<int64_t>(ntsc + 0.5));
  if (ntscWhole >= 1.0 && (ntsc - ntscWhole) < 1e-4 && (ntscWhole - ntsc) < 1e-4) {
    return FrameRate{static_cast<int64_t>(ntscWhole) * 1000, 1001};
  }
  return std::nullopt;
}

// A rate given as a text "num/den": two whole numbers of decimal digits
// only (no sign, no blank anywhere), each at most 1,000,000, with the same
// bounds as a number: from 1000/1001 (the slowest of the 1000/1001 family)
// to 1000 frames/s.
inline std::optional<FrameRate> FrameRateFromText(std::string_view text) {
  int64_t part[2] = {0, 0};
  int index = 0;
  size_t digits = 0;
  for (const char c : text) {
    if (c == '/' && index == 0 && digits > 0) {
      index = 1;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      part[index] = part[index] * 10 + (c - '0');
      ++digits;
      if (part[index] > 1'000'000) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  const int64_t num = part[0];
  const int64_t den = part[1];
  if (index != 1 || digits == 0 || num == 0 || den == 0) return std::nullopt;
  if (num * 1001 < den * 1000 || num > den * 1000) return std::nullopt;
  return FrameRate{num, den};
}

// The 64-bit value nearest to `near` whose low 32 bits are `low`.
inline int64_t ExtendPosition(int32_t low, int64_t near) {
  const int32_t delta = static_cast<int32_t>(static_cast<uint32_t>(low) - static_cast<uint32_t>(near));
  return near + delta;
}

// v mod m in [0, m) for m > 0, also for negative v: the slot of absolute
// sample v in a ring of m.
inline int64_t Wrap(int64_t v, int64_t m) {
  const int64_t r = v % m;
  return r < 0 ? r + m : r;
}

}  // namespace quellvox::engine
