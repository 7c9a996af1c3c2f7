#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <type_traits>

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

// Copied as two bytes: the caller's planes may lie at any address (compilers make each copy one
// plain load or store).
struct Native16 {
  static int32_t load(const void* row, int32_t i) {
    uint16_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(row) + 2 * static_cast<size_t>(i), sizeof v);
    return v;
  }
  static void store(void* row, int32_t i, int32_t v) {
    const auto sample = static_cast<uint16_t>(v);
    std::memcpy(static_cast<uint8_t*>(row) + 2 * static_cast<size_t>(i), &sample, sizeof sample);
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

// 16-bit semi-planar samples hold the code in the high bits; 8-bit ones are the code.
template <class Samples>
int highShift(const SampleScale& scale) {
  return std::is_same_v<Samples, Bytes8> ? 0 : 16 - scale.bitDepth;
}

template <class Samples>
void decodeSemi(const void* luma, const void* chroma, int32_t width, bool crFirst,
                const SampleScale& scale, Pixel* dst) {
  assert(width >= 0);
  const int shift = highShift<Samples>(scale);
  const int b = crFirst ? 1 : 0;
  for (int32_t x = 0; x < width; ++x) {
    const auto code = static_cast<size_t>(Samples::load(luma, x) >> shift);
    const int32_t pair = 2 * (x >> 1);
    const auto codeB = static_cast<size_t>(Samples::load(chroma, pair + b) >> shift);
    const auto codeR = static_cast<size_t>(Samples::load(chroma, pair + 1 - b) >> shift);
    dst[x] = {scale.lumaToHost[code], scale.chromaToHost[codeB], scale.chromaToHost[codeR]};
  }
}

void encodeLumaHigh16(const Pixel* src, int32_t width, const SampleScale& scale, void* luma) {
  assert(width >= 0);
  const int shift = 16 - scale.bitDepth;
  for (int32_t x = 0; x < width; ++x) {
    Native16::store(luma, x, scale.lumaFromHost[static_cast<uint16_t>(src[x].y)] << shift);
  }
}

// The code of the mean of Cb (Cr) over the pixels [x, min(x + 2, width)) of rowA and rowB.
void meanOfPair(const Pixel* rowA, const Pixel* rowB, int32_t x, int32_t width,
                const SampleScale& scale, int32_t& cb, int32_t& cr) {
  int64_t sumB = 0, sumR = 0;
  int32_t count = 0;
  for (const Pixel* row : {rowA, rowB}) {
    if (row == nullptr) continue;
    for (int32_t i = x; i < std::min(x + 2, width); ++i, ++count) {
      sumB += row[i].cb;
      sumR += row[i].cr;
    }
  }
  cb = chromaHostSumToCode(sumB, count, scale);
  cr = chromaHostSumToCode(sumR, count, scale);
}

template <class Samples>
void encodeSemiChroma(const Pixel* rowA, const Pixel* rowB, int32_t width, bool crFirst,
                      const SampleScale& scale, void* chroma) {
  assert(width >= 0);
  const int shift = highShift<Samples>(scale);
  const int b = crFirst ? 1 : 0;
  for (int32_t x = 0; x < width; x += 2) {
    int32_t cb = 0, cr = 0;
    meanOfPair(rowA, rowB, x, width, scale, cb, cr);
    Samples::store(chroma, x + b, cb << shift);
    Samples::store(chroma, x + 1 - b, cr << shift);
  }
}

// Byte offsets of Y0, Y1, Cb and Cr in a packed group, per PackedOrder.
// clang-format off
constexpr int kPackedOffsets[3][4] = {
    {0, 2, 1, 3},  // Y0 Cb Y1 Cr
    {1, 3, 0, 2},  // Cb Y0 Cr Y1
    {0, 2, 3, 1},  // Y0 Cr Y1 Cb
};
// clang-format on

void decodePacked(const void* rowBytes, int32_t width, int order, const SampleScale& scale,
                  Pixel* dst) {
  assert(width >= 0 && order >= 0 && order <= 2);
  const auto* row = static_cast<const uint8_t*>(rowBytes);
  const int* at = kPackedOffsets[order];
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* group = row + 4 * (x >> 1);
    dst[x] = {scale.lumaToHost[group[at[x & 1]]], scale.chromaToHost[group[at[2]]],
              scale.chromaToHost[group[at[3]]]};
  }
}

void encodePacked(const Pixel* src, int32_t width, int order, const SampleScale& scale,
                  void* rowBytes) {
  assert(width >= 0 && order >= 0 && order <= 2);
  auto* row = static_cast<uint8_t*>(rowBytes);
  const int* at = kPackedOffsets[order];
  for (int32_t x = 0; x < width; x += 2) {
    uint8_t* group = row + 2 * x;
    const auto y0 = static_cast<uint8_t>(scale.lumaFromHost[static_cast<uint16_t>(src[x].y)]);
    group[at[0]] = y0;
    group[at[1]] =
        x + 1 < width
            ? static_cast<uint8_t>(scale.lumaFromHost[static_cast<uint16_t>(src[x + 1].y)])
            : y0;
    int32_t cb = 0, cr = 0;
    meanOfPair(src, nullptr, x, width, scale, cb, cr);
    group[at[2]] = static_cast<uint8_t>(cb);
    group[at[3]] = static_cast<uint8_t>(cr);
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
    .decodeSemi8 = decodeSemi<Bytes8>,
    .decodeSemi16 = decodeSemi<Native16>,
    .encodeLumaHigh16 = encodeLumaHigh16,
    .encodeSemiChroma8 = encodeSemiChroma<Bytes8>,
    .encodeSemiChroma16 = encodeSemiChroma<Native16>,
    .decodePacked = decodePacked,
    .encodePacked = encodePacked,
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
