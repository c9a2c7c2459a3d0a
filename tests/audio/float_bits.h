// Shared helper of the audio and render tests.
#pragma once

#include <cstdint>
#include <cstring>

namespace quellvox {

// Bit pattern of a float, so that EXPECT_EQ on it means "the same to the bit"
// (and NaN compares as itself).
inline uint32_t Bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

}  // namespace quellvox
