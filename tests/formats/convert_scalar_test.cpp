#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "formats/convert.h"
#include "formats/sample_scale.h"

namespace quillet {
namespace {

// The 16-bit slots take native uint16 samples (no byte pairs), clamp codes above maxCode and
// repeat or average chroma over the pixels a sample covers; the values are the video-range
// anchors at 10 bits (black 64, white 940, chroma 64..960 around 512).
TEST(ConvertKernelsScalar, SixteenBitSlotsReadAndWriteNativeSamples) {
  const SampleScale s = makeSampleScale(10);
  const uint16_t luma[3] = {64, 940, 0xFFFF};
  const uint16_t cb[2] = {960, 512};
  const uint16_t cr[2] = {64, 0x8000};
  Pixel px[3];
  ConvertKernelsScalar.decode16(luma, cb, cr, 3, 1, s, px);
  // clang-format off
  const Pixel want[3] = {{0, 2048, -2048}, {4096, 2048, -2048},
                         {s.lumaToHost[1023], 0, s.chromaToHost[1023]}};
  // clang-format on
  for (int x = 0; x < 3; ++x) {
    EXPECT_EQ(px[x].y, want[x].y) << x;
    EXPECT_EQ(px[x].cb, want[x].cb) << x;
    EXPECT_EQ(px[x].cr, want[x].cr) << x;
  }

  uint16_t lumaOut[3] = {};
  ConvertKernelsScalar.encodeLuma16(want, 3, s, lumaOut);
  EXPECT_EQ(lumaOut[0], 64);
  EXPECT_EQ(lumaOut[1], 940);
  EXPECT_EQ(lumaOut[2], 1023);

  // Two rows of three pixels: the first sample is the mean of four values, the last of two.
  const Pixel rowB[3] = {{0, 0, 0}, {0, 0, 0}, {0, -2048, 2048}};
  uint16_t cbOut[2] = {}, crOut[2] = {};
  ConvertKernelsScalar.encodeChroma16(want, rowB, 3, 1, s, cbOut, crOut);
  EXPECT_EQ(cbOut[0], 736);  // 512 + 448 / 2
  EXPECT_EQ(crOut[0], 288);  // 512 - 448 / 2
  EXPECT_EQ(cbOut[1], 288);  // (0 - 2048) / 2 -> 512 - 224
  EXPECT_EQ(crOut[1], 992);  // (2336 + 2048) / 2 = 2192 -> 512 + 479.5, rounded up
}

// The caller's planes may lie at odd addresses: the 16-bit slots read and write them there, the
// same samples as at aligned ones.
TEST(ConvertKernelsScalar, SixteenBitSlotsTakeOddAddresses) {
  const SampleScale s = makeSampleScale(10);
  const uint16_t samples[3] = {64, 940, 512};
  alignas(4) uint8_t in[8] = {}, luma[8] = {}, cb[8] = {}, cr[8] = {};
  std::memcpy(in + 1, samples, sizeof samples);
  Pixel px[3];
  ConvertKernelsScalar.decode16(in + 1, in + 1, in + 1, 3, 0, s, px);
  EXPECT_EQ(px[1].y, 4096);
  EXPECT_EQ(px[2].cb, 0);
  ConvertKernelsScalar.encodeLuma16(px, 3, s, luma + 1);
  ConvertKernelsScalar.encodeChroma16(px, nullptr, 3, 0, s, cb + 1, cr + 1);
  EXPECT_EQ(std::memcmp(luma + 1, samples, sizeof samples), 0);
  EXPECT_EQ(std::memcmp(cb + 1, samples, sizeof samples), 0);
  EXPECT_EQ(std::memcmp(cr + 1, samples, sizeof samples), 0);
}

}  // namespace
}  // namespace quillet
