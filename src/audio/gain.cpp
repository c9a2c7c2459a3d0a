#include "audio/gain.h"

#include <cmath>

namespace quellvox {

float DbToGain(int32_t db) { return static_cast<float>(std::pow(10.0, static_cast<double>(db) / 20.0)); }

bool PeakExceeds(const float* pair, int32_t channels, int32_t kind, int32_t frames, float threshold) {
  // The largest sample is the same whether it is found in float or double:
  // the conversion is exact and preserves order, so the loop stays in float.
  float m = 0.0f;
  if (kind == 1 || kind == 2) {
    const float* s = pair + (kind == 2 ? 1 : 0);
    for (int32_t i = 0; i < frames; ++i) {
      const float v = s[static_cast<int64_t>(i) * channels];
      m = v > m ? v : m;
    }
  } else {
    for (int32_t i = 0; i < frames; ++i) {
      const float* f = pair + static_cast<int64_t>(i) * channels;
      m = f[0] > m ? f[0] : m;
      m = f[1] > m ? f[1] : m;
    }
  }
  return static_cast<double>(m) > static_cast<double>(threshold);
}

void AddScaled(const float* src, int32_t channels, float* dst, int32_t frames, float gain, float step) {
  if (std::fabs(static_cast<double>(step)) > 0.0001) {
    float g = gain;
    for (int32_t i = 0; i < frames; ++i) {
      dst[2 * i] = src[static_cast<int64_t>(i) * channels] * g + dst[2 * i];
      g = g + step;
    }
  } else if (std::fabs(static_cast<double>(gain) - 1.0) > 0.0001) {
    for (int32_t i = 0; i < frames; ++i) dst[2 * i] = src[static_cast<int64_t>(i) * channels] * gain + dst[2 * i];
  } else {
    for (int32_t i = 0; i < frames; ++i) dst[2 * i] = src[static_cast<int64_t>(i) * channels] + dst[2 * i];
  }
}

void AddRouted(const float* srcPair, int32_t channels, int32_t srcKind, float* plane, int32_t dstKind, int32_t frames,
               float gain, float step) {
  const float* left = srcPair;
  const float* right = srcPair + 1;
  float* outLeft = plane;
  float* outRight = plane + 1;
  const bool srcStereo = srcKind != 1 && srcKind != 2;
  const float* single = srcKind == 2 ? right : left;

  if (dstKind == 1 || dstKind == 2) {
    float* out = dstKind == 1 ? outLeft : outRight;
    if (srcStereo) {
      // Fold to mono: L at one half, then R at one half.
      AddScaled(left, channels, out, frames, 0.5f * gain, 0.5f * step);
      AddScaled(right, channels, out, frames, 0.5f * gain, 0.5f * step);
    } else {
      AddScaled(single, channels, out, frames, gain, step);
    }
    return;
  }
  if (srcStereo) {
    AddScaled(left, channels, outLeft, frames, gain, step);
    AddScaled(right, channels, outRight, frames, gain, step);
  } else {
    AddScaled(single, channels, outLeft, frames, gain, step);
    AddScaled(single, channels, outRight, frames, gain, step);
  }
}

}  // namespace quellvox
