#include "formats/sample_scale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/support/guarded_buffer.h"

namespace quillet {
namespace {

// Independent floating-point statement of the scale: black 16, white 235, chroma 16..240 around
// 128 at 8 bits, all scaled by 2^(depth - 8); halves round up.
double roundHalfUp(double v) { return std::floor(v + 0.5); }
double lumaReference(int32_t code, int depth) {
  const double unit = std::ldexp(1.0, depth - 8);
  return roundHalfUp((code - 16 * unit) * 4096.0 / (219 * unit));
}
double chromaReference(int32_t code, int depth) {
  const double unit = std::ldexp(1.0, depth - 8);
  return roundHalfUp((code - 128 * unit) * 2048.0 / (112 * unit));
}

class SampleScaleDepth : public ::testing::TestWithParam<int> {};

std::string depthName(const ::testing::TestParamInfo<int>& info) {
  return "Bits" + std::to_string(info.param);
}

TEST_P(SampleScaleDepth, VideoRangeAnchorsLandOnTheHostScale) {
  const int depth = GetParam();
  const SampleScale s = makeSampleScale(depth);
  const int32_t unit = 1 << (depth - 8);
  EXPECT_EQ(lumaCodeToHost(16 * unit, s), 0);
  EXPECT_EQ(lumaCodeToHost(235 * unit, s), 4096);
  EXPECT_EQ(chromaCodeToHost(128 * unit, s), 0);
  EXPECT_EQ(chromaCodeToHost(16 * unit, s), -2048);
  EXPECT_EQ(chromaCodeToHost(240 * unit, s), 2048);
  EXPECT_EQ(lumaHostToCode(0, s), 16 * unit);
  EXPECT_EQ(lumaHostToCode(4096, s), 235 * unit);
  EXPECT_EQ(chromaHostSumToCode(-2048, 1, s), 16 * unit);
  EXPECT_EQ(chromaHostSumToCode(2048, 1, s), 240 * unit);
}

TEST_P(SampleScaleDepth, EveryCodeMatchesTheFloatingPointScale) {
  const int depth = GetParam();
  const SampleScale s = makeSampleScale(depth);
  for (int32_t code = 0; code <= s.maxCode; ++code) {
    ASSERT_EQ(s.lumaToHost[static_cast<size_t>(code)], lumaReference(code, depth)) << code;
    ASSERT_EQ(s.chromaToHost[static_cast<size_t>(code)], chromaReference(code, depth)) << code;
  }
}

TEST_P(SampleScaleDepth, HostValuesOfCodesComeBackUnchanged) {
  // At every depth a host value that some code produces is a fixed point of the round trip:
  // quantising twice changes nothing.
  const SampleScale s = makeSampleScale(GetParam());
  for (int32_t code = 0; code <= s.maxCode; ++code) {
    const int16_t y = s.lumaToHost[static_cast<size_t>(code)];
    const int16_t c = s.chromaToHost[static_cast<size_t>(code)];
    ASSERT_EQ(s.lumaToHost[s.lumaFromHost[static_cast<uint16_t>(y)]], y) << code;
    ASSERT_EQ(s.chromaToHost[s.chromaFromHost[static_cast<uint16_t>(c)]], c) << code;
  }
}

TEST_P(SampleScaleDepth, HostValuesBeyondTheCodeRangeClampToTheExtremes) {
  const SampleScale s = makeSampleScale(GetParam());
  for (int32_t v : {-32768, -20000, -5000}) {
    EXPECT_EQ(lumaHostToCode(v, s), 0) << v;
    EXPECT_EQ(chromaHostSumToCode(v, 1, s), 0) << v;
  }
  for (int32_t v : {5000, 20000, 32767}) {
    EXPECT_EQ(lumaHostToCode(v, s), s.maxCode) << v;
    EXPECT_EQ(chromaHostSumToCode(v, 1, s), s.maxCode) << v;
  }
}

INSTANTIATE_TEST_SUITE_P(AllDepths, SampleScaleDepth, ::testing::Values(8, 10, 12, 16), depthName);

class ExactDepth : public ::testing::TestWithParam<int> {};

TEST_P(ExactDepth, EveryCodeRoundTripsExactly) {
  const SampleScale s = makeSampleScale(GetParam());
  for (int32_t code = 0; code <= s.maxCode; ++code) {
    ASSERT_EQ(s.lumaFromHost[static_cast<uint16_t>(s.lumaToHost[static_cast<size_t>(code)])], code);
    ASSERT_EQ(s.chromaFromHost[static_cast<uint16_t>(s.chromaToHost[static_cast<size_t>(code)])],
              code);
  }
}

TEST_P(ExactDepth, MeanOfTwoCodesComesBackAsTheirMidpoint) {
  // Four pixels that repeated codes a and b (b - a even) average back to (a + b) / 2: the mean
  // is taken once, from the exact sum, not from rounded codes.
  const SampleScale s = makeSampleScale(GetParam());
  test::Prng prng(test::testSeed());
  for (int i = 0; i < 20000; ++i) {
    const int32_t a = prng.range(0, s.maxCode);
    int32_t b = prng.range(0, s.maxCode);
    if ((b - a) % 2 != 0) b = b > 0 ? b - 1 : b + 1;
    const int64_t sum = 2 * int64_t{s.chromaToHost[static_cast<size_t>(a)]} +
                        2 * int64_t{s.chromaToHost[static_cast<size_t>(b)]};
    ASSERT_EQ(chromaHostSumToCode(sum, 4, s), (a + b) / 2)
        << "a=" << a << " b=" << b << " seed=" << test::testSeed();
  }
}

INSTANTIATE_TEST_SUITE_P(RoundTripDepths, ExactDepth, ::testing::Values(8, 10, 12), depthName);

TEST(SampleScale, SixteenBitsQuantiseToTheNearestHostStep) {
  // 16-bit codes are 13.7 per host unit: the round trip lands within half a host step.
  const SampleScale s = makeSampleScale(16);
  for (int32_t code = 0; code <= s.maxCode; ++code) {
    const int32_t back =
        s.lumaFromHost[static_cast<uint16_t>(s.lumaToHost[static_cast<size_t>(code)])];
    ASSERT_LE(std::abs(back - code), 7) << code;
  }
}

TEST(SampleScale, DecodeReadsOversizedCodesAsTheLargestCode) {
  // A 10-bit stream holding 0xFFFF (not a valid sample) must not index past the table.
  const SampleScale s = makeSampleScale(10);
  const uint8_t luma[4] = {0xFF, 0xFF, 0xFF, 0x03};
  const uint8_t chroma[2] = {0xFF, 0xFF};
  Pixel out[2];
  decodePixelRow(luma, chroma, chroma, 2, 1, s, out);
  EXPECT_EQ(out[0].y, s.lumaToHost[1023]);
  EXPECT_EQ(out[1].y, s.lumaToHost[1023]);
  EXPECT_EQ(out[0].cb, s.chromaToHost[1023]);
  EXPECT_EQ(out[1].cr, s.chromaToHost[1023]);
}

TEST(SampleScale, ChromaRowAveragesOnlyThePixelsInsideTheRow) {
  // Width 3 with horizontal subsampling: the last chroma sample covers one pixel only, so its
  // value is that pixel's, not a mean with whatever lies past the row.
  const SampleScale s = makeSampleScale(8);
  const Pixel row[3] = {{0, s.chromaToHost[100], s.chromaToHost[60]},
                        {0, s.chromaToHost[110], s.chromaToHost[70]},
                        {0, s.chromaToHost[200], s.chromaToHost[30]}};
  uint8_t cb[2] = {};
  uint8_t cr[2] = {};
  encodeChromaRow(row, nullptr, 3, 1, s, cb, cr);
  EXPECT_EQ(cb[0], 105);
  EXPECT_EQ(cr[0], 65);
  EXPECT_EQ(cb[1], 200);
  EXPECT_EQ(cr[1], 30);
}

}  // namespace
}  // namespace quillet
