// The moving UYVY test pattern of a capture device. Frame n is a pure
// function of n: the first kStampLines lines carry n in 96 bit cells
// (64 bits of n and a 32-bit check), the rest are horizontal bands of bars,
// ramps and checks, each band sliding sideways at its own speed.
//
// Every band row is precomputed twice as wide as the frame, so one line of
// frame n is one memcpy from an offset into a row that stays in cache: a
// frame costs little more than writing its bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace quellvox::studio {

inline constexpr int32_t kStampLines = 8;  // four in each field
inline constexpr int32_t kStampBits = 96;
inline constexpr int32_t kMinPatternWidth = 2 * kStampBits;
inline constexpr int32_t kMinPatternHeight = 2 * kStampLines;

class TestPattern {
 public:
  // REQUIRES: width even and >= kMinPatternWidth, height >= kMinPatternHeight.
  TestPattern(int32_t width, int32_t height);

  // Writes lines firstLine, firstLine + lineStep, ... of frame n, line i of
  // them at dst + i x pitch. Any thread; no lock, no allocation.
  void Render(int64_t n, uint8_t* dst, int32_t pitch, int32_t firstLine, int32_t lineStep) const;

  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }

 private:
  void RenderStampLine(int64_t n, uint8_t* dst) const;

  int32_t width_;
  int32_t height_;
  int32_t cellPixels_;                       // even
  std::vector<std::vector<uint8_t>> bands_;  // each 2 x width pixels of UYVY
  std::vector<int32_t> bandOfLine_;
  std::vector<int32_t> bandSpeed_;           // pixel pairs per frame
};

// -1 when no valid stamp is found in the first lines of the image.
int64_t DecodeStamp(const uint8_t* image, int32_t width, int32_t lines, int32_t pitch);

}  // namespace quellvox::studio
