#include <algorithm>
#include <cassert>
#include <cstdint>

#include "formats/convert.h"
#include "formats/sample_scale.h"

namespace quillet {
namespace {

// How a row holds its samples: the kernels' 8-bit and native 16-bit rows, and the 16-bit
// little-endian bytes of a Y4M plane (the same bytes on x86, spelled out so the byte rows read
// right on any machine and at any address).
struct Bytes8 {
  static int32_t load(const void* row, int32_t i) { return static_cast<const uint8_t*>(row)[i]; }
  static void store(void* row, int32_t i, int32_t v) {
    static_cast<uint8_t*>(row)[i] = static_cast<uint8_t>(v);
  }
};

struct Native16 {
  static int32_t load(const void* row, int32_t i) { return static_cast<const uint16_t*>(row)[i]; }
  static void store(void* row, int32_t i, int32_t v) {
    static_cast<uint16_t*>(row)[i] = static_cast<uint16_t>(v);
  }
};

struct LittleEndian16 {
  static int32_t load(const void* row, int32_t i) {
    const auto* p = static_cast<const uint8_t*>(row) + 2 * i;
    return p[0] | (p[1] << 8);
  }
  static void store(void* row, int32_t i, int32_t v) {
    auto* p = static_cast<uint8_t*>(row) + 2 * i;
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
};

template <class Samples>
void decodeRow(const void* luma, const void* cb, const void* cr, int32_t width, int shiftX,
               const SampleScale& scale, Pixel* dst) {
  assert(width >= 0 && shiftX >= 0 && shiftX <= 2);
  const auto maxCode = static_cast<size_t>(scale.maxCode);
  for (int32_t x = 0; x < width; ++x) {
    // Codes beyond the depth (a 10-bit file holding 0xFFFF) read as the largest code.
    const auto code = std::min(static_cast<size_t>(Samples::load(luma, x)), maxCode);
    dst[x].y = scale.lumaToHost[code];
  }
  if (cb == nullptr) {
    for (int32_t x = 0; x < width; ++x) dst[x].cb = dst[x].cr = 0;
    return;
  }
  for (int32_t x = 0; x < width; ++x) {
    const int32_t cx = x >> shiftX;
    const auto codeB = std::min(static_cast<size_t>(Samples::load(cb, cx)), maxCode);
    const auto codeR = std::min(static_cast<size_t>(Samples::load(cr, cx)), maxCode);
    dst[x].cb = scale.chromaToHost[codeB];
    dst[x].cr = scale.chromaToHost[codeR];
  }
}

template <class Samples>
void encodeLuma(const Pixel* src, int32_t width, const SampleScale& scale, void* luma) {
  assert(width >= 0);
  for (int32_t x = 0; x < width; ++x) {
    Samples::store(luma, x, scale.lumaFromHost[static_cast<uint16_t>(src[x].y)]);
  }
}

template <class Samples>
void encodeChroma(const Pixel* rowA, const Pixel* rowB, int32_t width, int shiftX,
                  const SampleScale& scale, void* cb, void* cr) {
  assert(width >= 0 && shiftX >= 0 && shiftX <= 2);
  const int32_t step = 1 << shiftX;
  if (shiftX == 0 && rowB == nullptr) {
    for (int32_t x = 0; x < width; ++x) {
      Samples::store(cb, x, scale.chromaFromHost[static_cast<uint16_t>(rowA[x].cb)]);
      Samples::store(cr, x, scale.chromaFromHost[static_cast<uint16_t>(rowA[x].cr)]);
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
    Samples::store(cb, cx, chromaHostSumToCode(sumB, count, scale));
    Samples::store(cr, cx, chromaHostSumToCode(sumR, count, scale));
  }
}

}  // namespace

const ConvertKernels ConvertKernelsScalar = {
    .decode8 = decodeRow<Bytes8>,
    .decode16 = decodeRow<Native16>,
    .encodeLuma8 = encodeLuma<Bytes8>,
    .encodeLuma16 = encodeLuma<Native16>,
    .encodeChroma8 = encodeChroma<Bytes8>,
    .encodeChroma16 = encodeChroma<Native16>,
};

void decodePixelRow(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, int32_t width,
                    int shiftX, const SampleScale& scale, Pixel* dst) {
  if (bytesPerSample(scale.bitDepth) == 1) {
    decodeRow<Bytes8>(luma, cb, cr, width, shiftX, scale, dst);
  } else {
    decodeRow<LittleEndian16>(luma, cb, cr, width, shiftX, scale, dst);
  }
}

void encodeLumaRow(const Pixel* src, int32_t width, const SampleScale& scale, uint8_t* luma) {
  if (bytesPerSample(scale.bitDepth) == 1) {
    encodeLuma<Bytes8>(src, width, scale, luma);
  } else {
    encodeLuma<LittleEndian16>(src, width, scale, luma);
  }
}

void encodeChromaRow(const Pixel* rowA, const Pixel* rowB, int32_t width, int shiftX,
                     const SampleScale& scale, uint8_t* cb, uint8_t* cr) {
  if (bytesPerSample(scale.bitDepth) == 1) {
    encodeChroma<Bytes8>(rowA, rowB, width, shiftX, scale, cb, cr);
  } else {
    encodeChroma<LittleEndian16>(rowA, rowB, width, shiftX, scale, cb, cr);
  }
}

}  // namespace quillet
