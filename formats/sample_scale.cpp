#include "formats/sample_scale.h"

#include <algorithm>
#include <cassert>

namespace quillet {
namespace {

constexpr int32_t kHostWhite = 4096;       // host Y of video-range white
constexpr int32_t kHostChromaSpan = 2048;  // host Cb/Cr of the video-range chroma extremes

// floor(n / d) for d > 0, whatever the sign of n.
int64_t floorDiv(int64_t n, int64_t d) {
  const int64_t q = n / d;
  return (n % d != 0 && n < 0) ? q - 1 : q;
}

// round(n / d) for d > 0, halves up.
int64_t roundDiv(int64_t n, int64_t d) { return floorDiv(2 * n + d, 2 * d); }

int16_t toInt16(int64_t v) {
  // Never taken for codes of 8..16 bits (see the ranges in the header); kept so no input can wrap.
  return static_cast<int16_t>(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

int32_t clampCode(int64_t code, const SampleScale& scale) {
  return static_cast<int32_t>(std::clamp<int64_t>(code, 0, scale.maxCode));
}

}  // namespace

int32_t bytesPerSample(int bitDepth) { return bitDepth > 8 ? 2 : 1; }

int16_t lumaCodeToHost(int32_t code, const SampleScale& scale) {
  const int64_t c = std::min(code, scale.maxCode);
  return toInt16(roundDiv((c - scale.black) * kHostWhite, scale.lumaSpan));
}

int16_t chromaCodeToHost(int32_t code, const SampleScale& scale) {
  const int64_t c = std::min(code, scale.maxCode);
  return toInt16(roundDiv((c - scale.centre) * kHostChromaSpan, scale.chromaHalfSpan));
}

int32_t lumaHostToCode(int32_t y, const SampleScale& scale) {
  return clampCode(scale.black + roundDiv(int64_t{y} * scale.lumaSpan, kHostWhite), scale);
}

int32_t chromaHostSumToCode(int64_t sum, int32_t count, const SampleScale& scale) {
  assert(count >= 1);
  return clampCode(
      scale.centre + roundDiv(sum * scale.chromaHalfSpan, int64_t{kHostChromaSpan} * count), scale);
}

SampleScale makeSampleScale(int bitDepth) {
  assert(bitDepth >= 8 && bitDepth <= 16);
  SampleScale s;
  const int shift = bitDepth - 8;
  s.bitDepth = bitDepth;
  s.maxCode = (1 << bitDepth) - 1;
  s.black = 16 << shift;
  s.lumaSpan = 219 << shift;
  s.centre = 128 << shift;
  s.chromaHalfSpan = 112 << shift;
  const auto codes = static_cast<size_t>(s.maxCode) + 1;
  s.lumaToHost.resize(codes);
  s.chromaToHost.resize(codes);
  for (int32_t c = 0; c <= s.maxCode; ++c) {
    s.lumaToHost[static_cast<size_t>(c)] = lumaCodeToHost(c, s);
    s.chromaToHost[static_cast<size_t>(c)] = chromaCodeToHost(c, s);
  }
  s.lumaFromHost.resize(65536);
  s.chromaFromHost.resize(65536);
  for (int32_t v = INT16_MIN; v <= INT16_MAX; ++v) {
    const auto index = static_cast<size_t>(static_cast<uint16_t>(v));
    s.lumaFromHost[index] = static_cast<uint16_t>(lumaHostToCode(v, s));
    s.chromaFromHost[index] = static_cast<uint16_t>(chromaHostSumToCode(v, 1, s));
  }
  return s;
}

}  // namespace quillet
