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

int32_t loadSample(const uint8_t* p, int32_t i, int32_t bytes) {
  if (bytes == 1) return p[i];
  return p[2 * i] | (p[2 * i + 1] << 8);
}

void storeSample(uint8_t* p, int32_t i, int32_t bytes, int32_t v) {
  if (bytes == 1) {
    p[i] = static_cast<uint8_t>(v);
  } else {
    p[2 * i] = static_cast<uint8_t>(v & 0xFF);
    p[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
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

void decodePixelRow(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, int32_t width,
                    int shiftX, const SampleScale& scale, Pixel* dst) {
  const int32_t bytes = bytesPerSample(scale.bitDepth);
  const auto maxCode = static_cast<size_t>(scale.maxCode);
  for (int32_t x = 0; x < width; ++x) {
    // Codes beyond the depth (a 10-bit file holding 0xFFFF) read as the largest code.
    const auto code = std::min(static_cast<size_t>(loadSample(luma, x, bytes)), maxCode);
    dst[x].y = scale.lumaToHost[code];
  }
  if (cb == nullptr) {
    for (int32_t x = 0; x < width; ++x) dst[x].cb = dst[x].cr = 0;
    return;
  }
  for (int32_t x = 0; x < width; ++x) {
    const int32_t cx = x >> shiftX;
    const auto codeB = std::min(static_cast<size_t>(loadSample(cb, cx, bytes)), maxCode);
    const auto codeR = std::min(static_cast<size_t>(loadSample(cr, cx, bytes)), maxCode);
    dst[x].cb = scale.chromaToHost[codeB];
    dst[x].cr = scale.chromaToHost[codeR];
  }
}

void encodeLumaRow(const Pixel* src, int32_t width, const SampleScale& scale, uint8_t* luma) {
  const int32_t bytes = bytesPerSample(scale.bitDepth);
  for (int32_t x = 0; x < width; ++x) {
    storeSample(luma, x, bytes, scale.lumaFromHost[static_cast<uint16_t>(src[x].y)]);
  }
}

void encodeChromaRow(const Pixel* rowA, const Pixel* rowB, int32_t width, int shiftX,
                     const SampleScale& scale, uint8_t* cb, uint8_t* cr) {
  const int32_t bytes = bytesPerSample(scale.bitDepth);
  const int32_t step = 1 << shiftX;
  if (shiftX == 0 && rowB == nullptr) {
    for (int32_t x = 0; x < width; ++x) {
      storeSample(cb, x, bytes, scale.chromaFromHost[static_cast<uint16_t>(rowA[x].cb)]);
      storeSample(cr, x, bytes, scale.chromaFromHost[static_cast<uint16_t>(rowA[x].cr)]);
    }
    return;
  }
  for (int32_t x0 = 0, cx = 0; x0 < width; x0 += step, ++cx) {
    const int32_t x1 = std::min(x0 + step, width);
    int64_t sumB = 0;
    int64_t sumR = 0;
    int32_t count = 0;
    for (int32_t x = x0; x < x1; ++x) {
      sumB += rowA[x].cb;
      sumR += rowA[x].cr;
      ++count;
      if (rowB != nullptr) {
        sumB += rowB[x].cb;
        sumR += rowB[x].cr;
        ++count;
      }
    }
    storeSample(cb, cx, bytes, chromaHostSumToCode(sumB, count, scale));
    storeSample(cr, cx, bytes, chromaHostSumToCode(sumR, count, scale));
  }
}

}  // namespace quillet
