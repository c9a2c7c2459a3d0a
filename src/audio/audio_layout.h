// Layout of the audio the engine works on: 32-bit floats, interleaved.
// A captured block holds C channels per sample frame (channel c of frame s is
// float s * C + c); stereo pair k is channels 2k and 2k + 1. The mix area is
// divided into stereo planes: plane k occupies frames * 2 floats starting at
// float k * frames * 2, as interleaved (left, right) pairs, and leaves for
// the k-th audio fifo of every target.
#pragma once

#include <cstdint>

namespace quellvox {

inline constexpr int32_t kBlockBytes = 307200;  // capacity of the block buffer and of the mix area
inline constexpr int32_t kBlockFloats = kBlockBytes / 4;

struct alignas(64) CaptureBlock {
  float Samples[kBlockFloats];
};

struct alignas(64) MixArea {
  float Samples[kBlockFloats];
};

// Plane k of a block of `frames` sample frames.
inline float* MixPlane(MixArea& mix, int32_t k, int32_t frames) {
  return mix.Samples + static_cast<int64_t>(k) * frames * 2;
}
inline const float* MixPlane(const MixArea& mix, int32_t k, int32_t frames) {
  return mix.Samples + static_cast<int64_t>(k) * frames * 2;
}

// How many whole stereo planes of `frames` sample frames fit in the mix area.
inline int32_t MixPlaneCapacity(int32_t frames) { return frames > 0 ? kBlockFloats / (frames * 2) : 0; }

}  // namespace quellvox
