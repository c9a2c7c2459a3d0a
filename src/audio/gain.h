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
// REQUIRES: frames >= 1, both views inside their buffers, and the source
// and destination buffers distinct (the block and the mix area).
void AddScaled(const float* src, int32_t channels, float* dst, int32_t frames, float gain, float step);

// Audio thread. Allocates nothing, takes no lock.
// Adds the source line (pair view at `srcPair`, kind `srcKind`) into the
// stereo plane `plane` as the destination kind `dstKind` asks: a stereo
// source sent to one channel is folded to its half-sum, a single channel
// sent to a stereo line goes to both sides, a single-channel destination
// leaves the other side untouched.
// REQUIRES: frames >= 1, every view inside its buffer, and the source and
// destination buffers distinct.
void AddRouted(const float* srcPair, int32_t channels, int32_t srcKind, float* plane, int32_t dstKind, int32_t frames,
               float gain, float step);

// Audio thread. Allocates nothing, takes no lock.
// One AddRouted call carried out in consecutive pieces of the block, so that
// a caller can walk several adds through a block piece by piece while the
// piece is still in the cache. Every destination sample receives the same
// operations, with the same running ramp gain, as from the single call.
class RoutedAdd {
 public:
  RoutedAdd() = default;
  RoutedAdd(const float* srcPair, int32_t channels, int32_t srcKind, float* plane, int32_t dstKind, float gain,
            float step);

  // Adds sample frames [begin, end). The pieces of one add must follow each
  // other from frame 0 without gaps.
  // REQUIRES: begin < end and every view inside its buffer up to `end`.
  void AddFrames(int32_t begin, int32_t end);

 private:
  enum class Route : uint8_t { One, Fold, Both };
  enum class Mode : uint8_t { Ramp, Scale, Unity };
  const float* toLeft_ = nullptr;   // source of the left (or only) destination channel
  const float* toRight_ = nullptr;  // second source: the right side, or R of a fold
  float* out_ = nullptr;            // first destination float of the block
  int32_t channels_ = 0;
  Route route_ = Route::One;
  Mode mode_ = Mode::Unity;
  float gain_ = 1.0f;  // the running gain: the gain of the next frame to add
  float step_ = 0.0f;

  template <class Stride>
  void AddFramesWith(Stride at, int32_t begin, int32_t end);
};

}  // namespace quellvox
