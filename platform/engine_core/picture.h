// The picture of a capture device or a title engine as a description gives
// it: size, rate, field structure, and the sample rate of its sound. Every
// provider's device and engine records start from it.
#pragma once

#include <cstdint>

#include "platform/engine_core/timing.h"

namespace quellvox::engine {

struct Picture {
  int32_t Width = 1920;
  int32_t Height = 1080;
  FrameRate Rate{25, 1};
  bool Interlaced = false;
  int32_t FieldOrder = 1;  // interlaced: non-zero when the first line's field is the earlier
  int32_t SampleRate = 48000;
};

}  // namespace quellvox::engine
