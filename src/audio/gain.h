// Gain arithmetic of the ducking engine: decibel conversion, the peak test
// and the scaled, optionally ramped adds through which every output sample
// is mixed. Single-precision operations in a fixed order: the results are
// defined to the bit (the tree is built without FMA contraction or
// fast-math for that reason).
#pragma once

#include <cstdint>

namespace quellvox {

// 10^(dB / 20), computed in double and rounded to float. Any thread.
float DbToGain(int32_t db);

// Audio thread. Allocates nothing, takes no lock.
// Whether the largest sample of the selected channels of the pair starting at
// `pair` (stride `channels`) is strictly above `threshold`. Negative
// excursions never count. Kind 1 tests the left channel, 2 the right, any
// other value both.
// REQUIRES: frames >= 1 and the selected channels inside the block.
bool PeakExceeds(const float* pair, int32_t channels, int32_t kind, int32_t frames, float threshold);

// Audio thread. Allocates nothing, takes no lock.
// dst[2i] += src[i * channels] * g, g starting at `gain` and growing by
// `step` after every sample frame when |step| > 0.0001; without a ramp a gain
// within 0.0001 of 1 adds without multiplying.
// REQUIRES: frames >= 1 and both views inside their buffers.
void AddScaled(const float* src, int32_t channels, float* dst, int32_t frames, float gain, float step);

// Audio thread. Allocates nothing, takes no lock.
// Adds the source line (pair view at `srcPair`, kind `srcKind`) into the
// stereo plane `plane` as the destination kind `dstKind` asks: a stereo
// source sent to one channel is folded to its half-sum, a single channel
// sent to a stereo line goes to both sides, a single-channel destination
// leaves the other side untouched.
// REQUIRES: frames >= 1 and every view inside its buffer.
void AddRouted(const float* srcPair, int32_t channels, int32_t srcKind, float* plane, int32_t dstKind, int32_t frames,
               float gain, float step);

}  // namespace quellvox
