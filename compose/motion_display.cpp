#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "compose/compose.h"

namespace quillet {

namespace {

// Tints for the display weight m in 0..4096: Cb = 3435/8192 m (0..1717), Cr = 2231/8192 m
// (0..1115); the shifts round toward minus infinity.
int16_t displayCb(int32_t m) { return static_cast<int16_t>((m * 3435) >> 13); }
int16_t displayCr(int32_t m) { return static_cast<int16_t>((m * 2231) >> 13); }

int16_t displayWeight(const int16_t* prevRow, const int16_t* nextRow, int mode, int x) {
  if (mode == 0) return prevRow[x];
  return mode == 1 ? std::min(prevRow[x], nextRow[x]) : std::max(prevRow[x], nextRow[x]);
}

}  // namespace

void MotionDisplay(int stride, int rows, Pixel* bandStart, const int16_t* prevMap,
                   const int16_t* nextMap, int mode, int width, int mapPitch) {
  if (mode < 0 || mode > 2) return;
  for (int r = 0; r < rows; ++r) {
    Pixel* row = bandStart + static_cast<ptrdiff_t>(r) * stride;
    const ptrdiff_t mapOffset = static_cast<ptrdiff_t>(r) * mapPitch;
    const int16_t* prevRow = prevMap + mapOffset;
    const int16_t* nextRow = mode == 0 ? nullptr : nextMap + mapOffset;
    for (int x = 0; x < width; ++x) {
      const int32_t m = displayWeight(prevRow, nextRow, mode, x);
      row[x].cb = displayCb(m);
      row[x].cr = displayCr(m);
    }
  }
}

}  // namespace quillet
