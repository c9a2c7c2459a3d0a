#include "platform/media/test_pattern.h"

#include <algorithm>
#include <cstring>

namespace quellvox::studio {

namespace {

constexpr uint8_t kStampOne = 235;   // white luma
constexpr uint8_t kStampZero = 16;   // black luma
constexpr uint8_t kStampThreshold = 126;
constexpr int32_t kBands = 8;

uint32_t StampCheck(uint64_t n) {
  // splitmix64 finaliser: any single wrong bit of n changes the check.
  uint64_t z = n + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<uint32_t>(z);
}

bool StampBit(uint64_t n, uint32_t check, int32_t bit) {
  return bit < 64 ? ((n >> bit) & 1u) != 0 : ((check >> (bit - 64)) & 1u) != 0;
}

struct Yuv {
  uint8_t Y, U, V;
};

// 8-bit studio-range BT.709 from RGB in 0..1.
Yuv ToYuv(double r, double g, double b) {
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  const double u = (b - y) / 1.8556;
  const double v = (r - y) / 1.5748;
  auto clamp = [](double x) { return static_cast<uint8_t>(std::clamp(x + 0.5, 0.0, 255.0)); };
  return {clamp(16.0 + 219.0 * y), clamp(128.0 + 224.0 * u), clamp(128.0 + 224.0 * v)};
}

void PutPair(uint8_t* p, Yuv a, Yuv b) {
  p[0] = static_cast<uint8_t>((a.U + b.U) / 2);
  p[1] = a.Y;
  p[2] = static_cast<uint8_t>((a.V + b.V) / 2);
  p[3] = b.Y;
}

// One band row of `width` pixels.
std::vector<Yuv> BandPixels(int32_t band, int32_t width) {
  static const double kBars[8][3] = {{0.75, 0.75, 0.75}, {0.75, 0.75, 0}, {0, 0.75, 0.75}, {0, 0.75, 0},
                                     {0.75, 0, 0.75},    {0.75, 0, 0},    {0, 0, 0.75},    {0, 0, 0}};
  std::vector<Yuv> px(static_cast<size_t>(width));
  for (int32_t x = 0; x < width; ++x) {
    const double t = static_cast<double>(x) / width;
    switch (band % kBands) {
      case 0:
      case 7: {
        const auto& c = kBars[(band == 0 ? x : width - 1 - x) * 8 / width];
        px[x] = ToYuv(c[0], c[1], c[2]);
        break;
      }
      case 1:
        px[x] = ToYuv(t, t, t);
        break;
      case 2:
        px[x] = ToYuv(t, 0.5, 1.0 - t);
        break;
      case 3:
        px[x] = ((x / 32) % 2) ? ToYuv(0.9, 0.9, 0.9) : ToYuv(0.1, 0.1, 0.1);
        break;
      case 4:
        px[x] = ToYuv(1.0 - t, t, 0.5);
        break;
      case 5:
        px[x] = ((x / 2) % 2) ? ToYuv(0.8, 0.8, 0.8) : ToYuv(0.2, 0.2, 0.2);
        break;
      default:
        px[x] = ToYuv(0.5 + 0.4 * (t - 0.5), 0.2, 0.6);
        break;
    }
  }
  return px;
}

}  // namespace

TestPattern::TestPattern(int32_t width, int32_t height) : width_(width), height_(height) {
  cellPixels_ = (width / kStampBits) & ~1;
  const size_t rowBytes = static_cast<size_t>(width) * 2;
  for (int32_t b = 0; b < kBands; ++b) {
    const std::vector<Yuv> px = BandPixels(b, width);
    std::vector<uint8_t> row(rowBytes * 2);
    for (int32_t x = 0; x < width; x += 2) PutPair(row.data() + static_cast<size_t>(x) * 2, px[x], px[x + 1]);
    std::memcpy(row.data() + rowBytes, row.data(), rowBytes);
    bands_.push_back(std::move(row));
    bandSpeed_.push_back((b % 2 ? -1 : 1) * (1 + 2 * b));
  }
  bandOfLine_.resize(static_cast<size_t>(height));
  const int32_t body = height - kStampLines;
  for (int32_t y = 0; y < height; ++y) {
    bandOfLine_[y] = y < kStampLines ? -1 : static_cast<int32_t>(static_cast<int64_t>(y - kStampLines) * kBands / body);
  }
}

void TestPattern::RenderStampLine(int64_t n, uint8_t* dst) const {
  const uint64_t value = static_cast<uint64_t>(n);
  const uint32_t check = StampCheck(value);
  const int32_t cellPairs = cellPixels_ / 2;
  uint8_t* p = dst;
  for (int32_t bit = 0; bit < kStampBits; ++bit) {
    const uint8_t y = StampBit(value, check, bit) ? kStampOne : kStampZero;
    for (int32_t i = 0; i < cellPairs; ++i, p += 4) {
      p[0] = 128;
      p[1] = y;
      p[2] = 128;
      p[3] = y;
    }
  }
  uint8_t* end = dst + static_cast<size_t>(width_) * 2;
  for (; p < end; p += 4) {
    p[0] = 128;
    p[1] = 128;
    p[2] = 128;
    p[3] = 128;
  }
}

void TestPattern::Render(int64_t n, uint8_t* dst, int32_t pitch, int32_t firstLine, int32_t lineStep) const {
  const size_t rowBytes = static_cast<size_t>(width_) * 2;
  const int64_t pairs = width_ / 2;
  // Byte offset of every band into its doubled row for frame n.
  size_t offset[kBands];
  for (int32_t b = 0; b < kBands; ++b) {
    int64_t shift = ((n % pairs) * bandSpeed_[b]) % pairs;
    if (shift < 0) shift += pairs;
    offset[b] = static_cast<size_t>(shift) * 4;
  }
  const uint8_t* stamp = nullptr;
  for (int32_t y = firstLine; y < height_; y += lineStep, dst += pitch) {
    const int32_t band = bandOfLine_[y];
    if (band < 0) {
      if (stamp) {
        std::memcpy(dst, stamp, rowBytes);
      } else {
        RenderStampLine(n, dst);
        stamp = dst;
      }
      continue;
    }
    std::memcpy(dst, bands_[band].data() + offset[band], rowBytes);
  }
}

int64_t DecodeStamp(const uint8_t* image, int32_t width, int32_t lines, int32_t pitch) {
  if (!image || width < kMinPatternWidth || lines < 1 || pitch < width * 2) return -1;
  const int32_t cellPairs = ((width / kStampBits) & ~1) / 2;
  const int32_t useLines = std::min(lines, kStampLines / 2);
  uint64_t value = 0;
  uint32_t check = 0;
  for (int32_t bit = 0; bit < kStampBits; ++bit) {
    const size_t at = (static_cast<size_t>(bit) * cellPairs + cellPairs / 2) * 4;
    int32_t ones = 0;
    for (int32_t l = 0; l < useLines; ++l) {
      const uint8_t* p = image + static_cast<size_t>(l) * pitch + at;
      ones += (p[1] > kStampThreshold) + (p[3] > kStampThreshold);
    }
    if (ones * 2 == useLines * 2) return -1;  // no majority
    const bool one = ones > useLines;
    if (bit < 64) {
      value |= static_cast<uint64_t>(one) << bit;
    } else {
      check |= static_cast<uint32_t>(one) << (bit - 64);
    }
  }
  if (check != StampCheck(value)) return -1;
  return static_cast<int64_t>(value);
}

}  // namespace quellvox::studio
