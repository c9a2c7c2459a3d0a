// The frame arithmetic the audio pump and the video relay share: positions
// are 64-bit counters that may wrap, target frame numbers their low 32 bits,
// and both threads skip ahead by the same rule when they trail too far.
// Every function is safe on the audio and video threads: no allocation, no
// lock, no branch that can overflow.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace quellvox {

inline int64_t WrapAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

inline int64_t WrapSub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

// How far `newest` lies beyond `next`, counted unsigned: 0 when it does not.
inline uint64_t LagBeyond(int64_t newest, int64_t next) {
  return static_cast<uint64_t>(newest) > static_cast<uint64_t>(next)
             ? static_cast<uint64_t>(newest) - static_cast<uint64_t>(next)
             : 0;
}

// Skip#1: the frames to jump when newest lies `lag` (at least 1) frames
// beyond next, or -1 when there is no jump. Trailing by more than MaxLag (a
// negative MaxLag, from a negative stored delay, is exceeded by every lag),
// the thread resumes two frames behind newest: lag - 2 frames, which is 0
// (a jump of nothing, still traced and re-based) for a lag of 2. With a
// MaxLag of 0 or below a lag of 1 already exceeds it, and lag - 2 would be a
// step backwards: there is then no jump at all.
inline int64_t Skip1Frames(uint64_t lag, int32_t maxLag) {
  if (maxLag >= 0 && lag <= static_cast<uint64_t>(maxLag)) return -1;
  if (lag < 2) return -1;
  const uint64_t d = lag - 2;
  return d > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                         : static_cast<int64_t>(d);
}

// The 32-bit count of frames from `start` to `position`, as the layers and
// fifos number them: the low 32 bits of the wrapped difference.
inline int32_t FramesSince(int64_t position, int64_t start) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(position) - static_cast<uint64_t>(start)));
}

inline int32_t Saturate32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// A double truncated toward zero into a 64-bit integer; out-of-range values
// saturate and NaN gives 0.
inline int64_t TruncateSaturated(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// a - b as a double without overflowing in the integer subtraction.
inline double Difference(int64_t a, int64_t b) {
  int64_t d;
  if (!__builtin_sub_overflow(a, b, &d)) return static_cast<double>(d);
  return static_cast<double>(a) - static_cast<double>(b);
}

}  // namespace quellvox
