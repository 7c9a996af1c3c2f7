#pragma once

#include <cstdint>

namespace quillet {

// One pixel of the host's frames: three signed 16-bit components in the order Y, Cb, Cr.
// Y runs 0..4096 from black to white, Cb and Cr -2048..2048 around neutral; values outside
// those ranges are legal and kept.
struct Pixel {
  int16_t y;
  int16_t cb;
  int16_t cr;
};
static_assert(sizeof(Pixel) == 6, "the host's pixel is three packed 16-bit samples");

// Samples per pixel: every row-kernel width in pixels is 3x that in samples.
constexpr int kSamplesPerPixel = 3;

}  // namespace quillet
