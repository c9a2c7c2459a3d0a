#include "audio/gain.h"

#include <cmath>

namespace quellvox {

namespace {

// Offset of sample frame i in a block of interleaved channels. The common
// channel counts get a compile-time stride so that the loops unroll and the
// strided loads schedule well; the arithmetic does not change.
template <int32_t kChannels>
struct FixedStride {
  int64_t operator()(int32_t i) const { return static_cast<int64_t>(i) * kChannels; }
};
struct RuntimeStride {
  int32_t Channels;
  int64_t operator()(int32_t i) const { return static_cast<int64_t>(i) * Channels; }
};

template <class Fn>
inline void WithStride(int32_t channels, Fn fn) {
  switch (channels) {
    case 2:
      return fn(FixedStride<2>{});
    case 4:
      return fn(FixedStride<4>{});
    case 8:
      return fn(FixedStride<8>{});
    case 16:
      return fn(FixedStride<16>{});
    default:
      return fn(RuntimeStride{channels});
  }
}

// The two tests of a scaled add, on the float values in double precision.
bool Ramps(float step) { return std::fabs(static_cast<double>(step)) > 0.0001; }
bool Scales(float gain) { return std::fabs(static_cast<double>(gain) - 1.0) > 0.0001; }

// Whether any sample of the channel at `s`, or of the pair starting there
// when `pair` is set, lies above t. A float compares with another exactly as
// their double conversions do, so this is the largest-sample test of the
// block; the scan stops after the first chunk that holds a sample above t.
bool AnyAbove(const float* s, int32_t channels, int32_t frames, float t, bool pair) {
  bool found = false;
  WithStride(channels, [&](auto at) {
    constexpr int32_t kChunk = 64;
    for (int32_t begin = 0; begin < frames; begin += kChunk) {
      const int32_t end = frames - begin < kChunk ? frames : begin + kChunk;
      bool above = false;
      if (pair) {
        for (int32_t i = begin; i < end; ++i) above |= (s[at(i)] > t) | (s[at(i) + 1] > t);
      } else {
        for (int32_t i = begin; i < end; ++i) above |= s[at(i)] > t;
      }
      if (above) {
        found = true;
        return;
      }
    }
  });
  return found;
}

}  // namespace

float DbToGain(int32_t db) { return static_cast<float>(std::pow(10.0, static_cast<double>(db) / 20.0)); }

bool PeakExceeds(const float* pair, int32_t channels, int32_t kind, int32_t frames, float threshold) {
  // The largest sample exceeds the threshold exactly when one of the
  // samples does. The running maximum starts at 0, so a threshold below 0
  // is always exceeded (DbToGain never gives one) and a block of silence
  // or of negative samples measures 0.
  if (static_cast<double>(threshold) < 0.0) return true;
  if (kind == 1) return AnyAbove(pair, channels, frames, threshold, false);
  if (kind == 2) return AnyAbove(pair + 1, channels, frames, threshold, false);
  return AnyAbove(pair, channels, frames, threshold, true);
}

void AddScaled(const float* src, int32_t channels, float* dst, int32_t frames, float gain, float step) {
  WithStride(channels, [&](auto at) {
    if (Ramps(step)) {
      float g = gain;
      for (int32_t i = 0; i < frames; ++i) {
        dst[2 * i] = src[at(i)] * g + dst[2 * i];
        g = g + step;
      }
    } else if (Scales(gain)) {
      for (int32_t i = 0; i < frames; ++i) dst[2 * i] = src[at(i)] * gain + dst[2 * i];
    } else {
      for (int32_t i = 0; i < frames; ++i) dst[2 * i] = src[at(i)] + dst[2 * i];
    }
  });
}

RoutedAdd::RoutedAdd(const float* srcPair, int32_t channels, int32_t srcKind, float* plane, int32_t dstKind,
                     float gain, float step)
    : channels_(channels) {
  const bool srcStereo = srcKind != 1 && srcKind != 2;
  const float* const single = srcKind == 2 ? srcPair + 1 : srcPair;
  if (dstKind == 1 || dstKind == 2) {
    out_ = plane + (dstKind == 1 ? 0 : 1);
    if (srcStereo) {
      // Folded to mono: L at one half, then R at one half, into the same
      // channel; both adds run with the same halved gain and step.
      route_ = Route::Fold;
      toLeft_ = srcPair;
      toRight_ = srcPair + 1;
      gain = 0.5f * gain;
      step = 0.5f * step;
    } else {
      route_ = Route::One;
      toLeft_ = single;
    }
  } else {
    // Stereo destination: L to the left and R to the right side, or the one
    // source channel to both sides, at full gain.
    route_ = Route::Both;
    out_ = plane;
    toLeft_ = srcStereo ? srcPair : single;
    toRight_ = srcStereo ? srcPair + 1 : single;
  }
  mode_ = Ramps(step) ? Mode::Ramp : Scales(gain) ? Mode::Scale : Mode::Unity;
  gain_ = gain;
  step_ = step;
}

void RoutedAdd::AddFrames(int32_t begin, int32_t end) {
  WithStride(channels_, [&](auto at) { AddFramesWith(at, begin, end); });
}

template <class Stride>
void RoutedAdd::AddFramesWith(Stride at, int32_t begin, int32_t end) {
  // The source block and the mix area are separate buffers: telling the
  // compiler so lets it keep and combine loads across the stores.
  const float* __restrict const a = toLeft_;
  const float* __restrict const b = toRight_;
  float* __restrict const d = out_;
  // The per-frame work of each route, with g the gain of that frame. The
  // order of the adds into one destination float is that of the two
  // separate scaled adds: first the left (or only) source, then the right.
  auto run = [&](auto scaled, auto unity) {
    switch (mode_) {
      case Mode::Ramp: {
        float g = gain_;
        const float step = step_;
        for (int32_t i = begin; i < end; ++i) {
          scaled(i, g);
          g = g + step;
        }
        gain_ = g;
        break;
      }
      case Mode::Scale: {
        const float g = gain_;
        for (int32_t i = begin; i < end; ++i) scaled(i, g);
        break;
      }
      case Mode::Unity:
        for (int32_t i = begin; i < end; ++i) unity(i);
        break;
    }
  };
  switch (route_) {
    case Route::One:
      run([&](int32_t i, float g) { d[2 * i] = a[at(i)] * g + d[2 * i]; },
          [&](int32_t i) { d[2 * i] = a[at(i)] + d[2 * i]; });
      break;
    case Route::Fold:
      run(
          [&](int32_t i, float g) {
            d[2 * i] = a[at(i)] * g + d[2 * i];
            d[2 * i] = b[at(i)] * g + d[2 * i];
          },
          [&](int32_t i) {
            d[2 * i] = a[at(i)] + d[2 * i];
            d[2 * i] = b[at(i)] + d[2 * i];
          });
      break;
    case Route::Both:
      if (b == a + 1) {
        // A stereo pair onto a stereo plane: two neighbouring floats onto
        // two neighbouring floats, which the compiler moves as one vector.
        run(
            [&](int32_t i, float g) {
              d[2 * i] = a[at(i)] * g + d[2 * i];
              d[2 * i + 1] = a[at(i) + 1] * g + d[2 * i + 1];
            },
            [&](int32_t i) {
              d[2 * i] = a[at(i)] + d[2 * i];
              d[2 * i + 1] = a[at(i) + 1] + d[2 * i + 1];
            });
      } else {
        run(
            [&](int32_t i, float g) {
              d[2 * i] = a[at(i)] * g + d[2 * i];
              d[2 * i + 1] = b[at(i)] * g + d[2 * i + 1];
            },
            [&](int32_t i) {
              d[2 * i] = a[at(i)] + d[2 * i];
              d[2 * i + 1] = b[at(i)] + d[2 * i + 1];
            });
      }
      break;
  }
}

void AddRouted(const float* srcPair, int32_t channels, int32_t srcKind, float* plane, int32_t dstKind, int32_t frames,
               float gain, float step) {
  if (frames < 1) return;
  RoutedAdd(srcPair, channels, srcKind, plane, dstKind, gain, step).AddFrames(0, frames);
}

}  // namespace quellvox
