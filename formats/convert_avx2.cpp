#include <immintrin.h>

#include <array>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "formats/convert.h"
#include "formats/convert_constants.h"
#include "formats/sample_scale.h"

namespace quillet {
namespace {

constexpr int kBlock = 32;  // pixels per block

__m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// ---------------------------------------------------------------------------------------------
// Pixels <-> planes. 16 pixels are 48 words in six 16-byte chunks; each 128-bit lane of a
// register handles 8 pixels, the low lane pixels 0..7 (chunks 0..2), the high lane 8..15
// (chunks 3..5), so the planes come out in pixel order.

struct Planes {
  __m256i y, cb, cr;
};

// The byte shuffle that gathers the bytes of `component` that lie in chunk `chunk` into their
// plane order (toPlanes) or the reverse; bytes taken from no chunk are zero (-128).
using ShuffleMask = std::array<int8_t, 32>;
constexpr ShuffleMask shuffleMask(int component, int chunk, bool toPlanes) {
  ShuffleMask mask{};
  for (int i = 0; i < 32; ++i) {
    const int byte = i % 16;
    const int word = byte / 2;  // word of the result within the lane
    int from = -1;
    if (toPlanes) {
      const int interleaved = 3 * word + component;  // pixel `word` in the 24 words of a lane
      if (interleaved / 8 == chunk) from = 2 * (interleaved % 8) + byte % 2;
    } else {
      const int interleaved = 8 * chunk + word;
      if (interleaved % 3 == component) from = 2 * (interleaved / 3) + byte % 2;
    }
    mask[static_cast<size_t>(i)] = static_cast<int8_t>(from < 0 ? -128 : from);
  }
  return mask;
}

template <bool kToPlanes>
struct ShuffleMasks {
  static constexpr ShuffleMask kMask[3][3] = {
      {shuffleMask(0, 0, kToPlanes), shuffleMask(0, 1, kToPlanes), shuffleMask(0, 2, kToPlanes)},
      {shuffleMask(1, 0, kToPlanes), shuffleMask(1, 1, kToPlanes), shuffleMask(1, 2, kToPlanes)},
      {shuffleMask(2, 0, kToPlanes), shuffleMask(2, 1, kToPlanes), shuffleMask(2, 2, kToPlanes)},
  };
  static __m256i get(int component, int chunk) { return load(kMask[component][chunk].data()); }
};

__m256i gather(const __m256i (&chunks)[3], const __m256i (&masks)[3]) {
  return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(chunks[0], masks[0]),
                                         _mm256_shuffle_epi8(chunks[1], masks[1])),
                         _mm256_shuffle_epi8(chunks[2], masks[2]));
}

Planes loadPixels16(const Pixel* src) {
  using M = ShuffleMasks<true>;
  const auto* words = reinterpret_cast<const int16_t*>(src);
  const __m256i c01 = load(words), c23 = load(words + 16), c45 = load(words + 32);
  const __m256i chunks[3] = {_mm256_blend_epi32(c01, c23, 0xF0),         // chunks 0 | 3
                             _mm256_permute2x128_si256(c01, c45, 0x21),  // chunks 1 | 4
                             _mm256_blend_epi32(c23, c45, 0xF0)};        // chunks 2 | 5
  Planes p;
  __m256i* planes[3] = {&p.y, &p.cb, &p.cr};
  for (int c = 0; c < 3; ++c) {
    const __m256i masks[3] = {M::get(c, 0), M::get(c, 1), M::get(c, 2)};
    *planes[c] = gather(chunks, masks);
  }
  return p;
}

void storePixels16(Pixel* dst, __m256i y, __m256i cb, __m256i cr) {
  using M = ShuffleMasks<false>;
  const __m256i planes[3] = {y, cb, cr};
  __m256i out[3];  // chunks k | k + 3
  for (int k = 0; k < 3; ++k) {
    const __m256i masks[3] = {M::get(0, k), M::get(1, k), M::get(2, k)};
    out[k] = gather(planes, masks);
  }
  auto* words = reinterpret_cast<int16_t*>(dst);
  store(words, _mm256_permute2x128_si256(out[0], out[1], 0x20));       // chunks 0, 1
  store(words + 16, _mm256_permute2x128_si256(out[2], out[0], 0x30));  // chunks 2, 3
  store(words + 32, _mm256_permute2x128_si256(out[1], out[2], 0x31));  // chunks 4, 5
}

// ---------------------------------------------------------------------------------------------
// Decoding

// 16 codes from an 8- or 16-bit row, the latter clamped to maxCode.
template <class Sample>
__m256i loadCodes16(const Sample* p, __m256i maxCode) {
  if constexpr (sizeof(Sample) == 1) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  } else {
    return _mm256_min_epu16(load(p), maxCode);
  }
}

// 8 codes, in the low lane.
template <class Sample>
__m256i loadCodes8(const Sample* p, __m256i maxCode) {
  if constexpr (sizeof(Sample) == 1) {
    return _mm256_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  } else {
    return _mm256_min_epu16(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))), maxCode);
  }
}

// convert::Quotient at one depth.
struct Divide {
  __m128i preShift, shift;
  __m256i multiplier, offset, bias, divisor, divisorLess1;

  Divide(const convert::Quotient& q, int s)
      : preShift(_mm_cvtsi32_si128(8 - s)),
        shift(_mm_cvtsi32_si128(q.shift - s)),
        multiplier(_mm256_set1_epi16(static_cast<int16_t>(q.multiplier))),
        offset(_mm256_set1_epi16(static_cast<int16_t>(q.offset))),
        bias(_mm256_set1_epi16(static_cast<int16_t>(q.bias))),
        divisor(_mm256_set1_epi16(static_cast<int16_t>(q.divisor))),
        divisorLess1(_mm256_set1_epi16(static_cast<int16_t>(q.divisor - 1))) {}
};

__m256i divide(__m256i code, const Divide& d) {
  const __m256i estimate = _mm256_sub_epi16(
      _mm256_mulhi_epu16(_mm256_sll_epi16(code, d.preShift), d.multiplier), d.offset);
  const __m256i low = _mm256_add_epi16(_mm256_sll_epi16(code, d.shift), d.bias);
  const __m256i remainder = _mm256_sub_epi16(low, _mm256_mullo_epi16(estimate, d.divisor));
  return _mm256_sub_epi16(estimate, _mm256_cmpgt_epi16(remainder, d.divisorLess1));
}

struct Decode {
  __m256i maxCode;
  Divide luma, chroma;

  explicit Decode(const SampleScale& scale)
      : maxCode(_mm256_set1_epi16(static_cast<int16_t>(scale.maxCode))),
        luma(convert::kLumaQuotient, scale.bitDepth - 8),
        chroma(convert::kChromaQuotient, scale.bitDepth - 8) {}
};

// Pixels [0, kBlock) from luma[0, kBlock) and chroma[0, kBlock >> shiftX).
template <class Sample>
void decodeBlock(const Sample* luma, const Sample* cb, const Sample* cr, int shiftX,
                 const Decode& k, Pixel* dst) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i y[2], b[2] = {zero, zero}, r[2] = {zero, zero};
  for (int i = 0; i < 2; ++i) y[i] = divide(loadCodes16(luma + 16 * i, k.maxCode), k.luma);
  if (cb != nullptr && shiftX == 2) {
    // Samples 0..3 | 4..7 as words repeated in pairs, then the pairs in pairs: 0 1 | 4 5 and
    // 2 3 | 6 7, four pixels each; the lanes exchanged give pixels 0..15 and 16..31.
    __m256i* planes[2] = {b, r};
    const Sample* rows[2] = {cb, cr};
    for (int c = 0; c < 2; ++c) {
      const __m256i codes = _mm256_permute4x64_epi64(
          divide(loadCodes8(rows[c], k.maxCode), k.chroma), _MM_SHUFFLE(1, 1, 0, 0));
      const __m256i pairs = _mm256_unpacklo_epi16(codes, codes);
      const __m256i lo = _mm256_unpacklo_epi32(pairs, pairs);
      const __m256i hi = _mm256_unpackhi_epi32(pairs, pairs);
      planes[c][0] = _mm256_permute2x128_si256(lo, hi, 0x20);
      planes[c][1] = _mm256_permute2x128_si256(lo, hi, 0x31);
    }
  } else if (cb != nullptr && shiftX == 1) {
    // Samples 0..3 8..11 | 4..7 12..15, so that unpacking each with itself repeats them in order.
    const __m256i b16 = _mm256_permute4x64_epi64(divide(loadCodes16(cb, k.maxCode), k.chroma),
                                                 _MM_SHUFFLE(3, 1, 2, 0));
    const __m256i r16 = _mm256_permute4x64_epi64(divide(loadCodes16(cr, k.maxCode), k.chroma),
                                                 _MM_SHUFFLE(3, 1, 2, 0));
    b[0] = _mm256_unpacklo_epi16(b16, b16);
    b[1] = _mm256_unpackhi_epi16(b16, b16);
    r[0] = _mm256_unpacklo_epi16(r16, r16);
    r[1] = _mm256_unpackhi_epi16(r16, r16);
  } else if (cb != nullptr) {
    for (int i = 0; i < 2; ++i) {
      b[i] = divide(loadCodes16(cb + 16 * i, k.maxCode), k.chroma);
      r[i] = divide(loadCodes16(cr + 16 * i, k.maxCode), k.chroma);
    }
  }
  for (int i = 0; i < 2; ++i) storePixels16(dst + 16 * i, y[i], b[i], r[i]);
}

template <class Sample>
void decodeRow(const void* lumaRow, const void* cbRow, const void* crRow, int width, int shiftX,
               const SampleScale& scale, Pixel* dst) {
  assert(width >= 0 && shiftX >= 0 && shiftX <= 2);
  const Decode k(scale);
  const auto* luma = static_cast<const Sample*>(lumaRow);
  const auto* cb = static_cast<const Sample*>(cbRow);
  const auto* cr = static_cast<const Sample*>(crRow);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    const int cx = x >> shiftX;
    decodeBlock(luma + x, cb != nullptr ? cb + cx : nullptr, cb != nullptr ? cr + cx : nullptr,
                shiftX, k, dst + x);
  }
  const int rest = width - x;
  if (rest == 0) return;
  Sample lumaTail[kBlock] = {}, cbTail[kBlock] = {}, crTail[kBlock] = {};
  Pixel out[kBlock];
  std::memcpy(lumaTail, luma + x, static_cast<size_t>(rest) * sizeof(Sample));
  if (cb != nullptr) {
    const auto chroma = static_cast<size_t>((rest + (1 << shiftX) - 1) >> shiftX);
    std::memcpy(cbTail, cb + (x >> shiftX), chroma * sizeof(Sample));
    std::memcpy(crTail, cr + (x >> shiftX), chroma * sizeof(Sample));
  }
  decodeBlock<Sample>(lumaTail, cb != nullptr ? cbTail : nullptr, crTail, shiftX, k, out);
  std::memcpy(dst + x, out, static_cast<size_t>(rest) * sizeof(Pixel));
}

// ---------------------------------------------------------------------------------------------
// Encoding

// code = base + ((sum + 2^(t-1)) >> t) clamped to 0..maxCode, from 32-bit sums. 16-bit codes
// are packed biased by -32768, so that the signed saturation of the pack clamps them to 0..65535.
template <class Sample>
struct Codes {
  static constexpr int32_t kBias = sizeof(Sample) == 1 ? 0 : 32768;
  __m256i add;
  __m128i shift;
  __m256i maxBiased;
  __m128i high;  // 16-bit codes are shifted up by this many bits (P010)

  Codes(int32_t base, int t, int32_t maxCode, int highBits = 0)
      : add(_mm256_set1_epi32((int32_t{1} << (t - 1)) + (base - kBias) * (int32_t{1} << t))),
        shift(_mm_cvtsi32_si128(t)),
        maxBiased(_mm256_set1_epi16(static_cast<int16_t>(maxCode - kBias))),
        high(_mm_cvtsi32_si128(highBits)) {}

  // 16-bit samples of packed codes: clamped, unbiased, shifted up.
  __m256i samples16(__m256i words) const {
    return _mm256_sll_epi16(
        _mm256_xor_si256(_mm256_min_epi16(words, maxBiased), _mm256_set1_epi16(-32768)), high);
  }

  // 16 biased codes, in the order of the sums' unpacked halves: lo holds codes 0..3 | 8..11,
  // hi 4..7 | 12..15.
  __m256i pack(__m256i lo, __m256i hi) const {
    return _mm256_packs_epi32(_mm256_sra_epi32(_mm256_add_epi32(lo, add), shift),
                              _mm256_sra_epi32(_mm256_add_epi32(hi, add), shift));
  }

  // 8 codes from the sums of lo (codes 0..3) and hi (4..7).
  void store8(Sample* dst, __m128i lo, __m128i hi) const {
    const __m128i add128 = _mm256_castsi256_si128(add);
    const __m128i words = _mm_packs_epi32(_mm_sra_epi32(_mm_add_epi32(lo, add128), shift),
                                          _mm_sra_epi32(_mm_add_epi32(hi, add128), shift));
    if constexpr (sizeof(Sample) == 1) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(words, words));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                       _mm_xor_si128(_mm_min_epi16(words, _mm256_castsi256_si128(maxBiased)),
                                     _mm_set1_epi16(-32768)));
    }
  }

  void store16(Sample* dst, __m256i words) const {
    if constexpr (sizeof(Sample) == 1) {
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(dst),
          _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
    } else {
      store(dst, samples16(words));
    }
  }
};

template <class Sample>
void encodeLumaBlock(const Pixel* src, const Codes<Sample>& k, Sample* dst) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i factor = _mm256_set1_epi32(convert::kLumaFactor);
  for (int i = 0; i < 2; ++i) {
    const __m256i y = loadPixels16(src + 16 * i).y;
    k.store16(dst + 16 * i, k.pack(_mm256_madd_epi16(_mm256_unpacklo_epi16(y, zero), factor),
                                   _mm256_madd_epi16(_mm256_unpackhi_epi16(y, zero), factor)));
  }
}

template <class Sample, bool kHigh = false>
void encodeLumaRow(const Pixel* src, int width, const SampleScale& scale, void* lumaRow) {
  assert(width >= 0);
  const int s = scale.bitDepth - 8;
  const Codes<Sample> k(scale.black, convert::kLumaShift - s, scale.maxCode,
                        kHigh ? 16 - scale.bitDepth : 0);
  auto* luma = static_cast<Sample*>(lumaRow);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) encodeLumaBlock(src + x, k, luma + x);
  const int rest = width - x;
  if (rest == 0) return;
  Pixel in[kBlock] = {};
  Sample out[kBlock];
  std::memcpy(in, src + x, static_cast<size_t>(rest) * sizeof(Pixel));
  encodeLumaBlock(in, k, out);
  std::memcpy(luma + x, out, static_cast<size_t>(rest) * sizeof(Sample));
}

// Codes [0, kBlock >> shiftX) from pixels [0, kBlock) of rowA and, when not null, rowB.
template <class Sample>
void encodeChromaBlock(const Pixel* rowA, const Pixel* rowB, int shiftX, const Codes<Sample>& k,
                       Sample* cb, Sample* cr) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i factor = _mm256_set1_epi16(convert::kChromaFactor);
  Planes a[2], b[2];
  for (int i = 0; i < 2; ++i) {
    a[i] = loadPixels16(rowA + 16 * i);
    b[i] = rowB != nullptr ? loadPixels16(rowB + 16 * i) : Planes{zero, zero, zero};
  }
  if (shiftX >= 1) {
    // madd adds the two horizontal neighbours of each sample: 8 sums per 16 pixels.
    __m256i sumB[2], sumR[2];
    for (int i = 0; i < 2; ++i) {
      sumB[i] = _mm256_madd_epi16(a[i].cb, factor);
      sumR[i] = _mm256_madd_epi16(a[i].cr, factor);
      if (rowB != nullptr) {
        sumB[i] = _mm256_add_epi32(sumB[i], _mm256_madd_epi16(b[i].cb, factor));
        sumR[i] = _mm256_add_epi32(sumR[i], _mm256_madd_epi16(b[i].cr, factor));
      }
    }
    if (shiftX == 2) {
      // Adjacent pair sums added, lane by lane: quads 0 1 4 5 | 2 3 6 7.
      const __m256i quadsB = _mm256_hadd_epi32(sumB[0], sumB[1]);
      const __m256i quadsR = _mm256_hadd_epi32(sumR[0], sumR[1]);
      const __m128i b0 = _mm256_castsi256_si128(quadsB), b1 = _mm256_extracti128_si256(quadsB, 1);
      const __m128i r0 = _mm256_castsi256_si128(quadsR), r1 = _mm256_extracti128_si256(quadsR, 1);
      k.store8(cb, _mm_unpacklo_epi64(b0, b1), _mm_unpackhi_epi64(b0, b1));
      k.store8(cr, _mm_unpacklo_epi64(r0, r1), _mm_unpackhi_epi64(r0, r1));
      return;
    }
    // The pack leaves codes 0..3 8..11 4..7 12..15.
    k.store16(cb, _mm256_permute4x64_epi64(k.pack(sumB[0], sumB[1]), _MM_SHUFFLE(3, 1, 2, 0)));
    k.store16(cr, _mm256_permute4x64_epi64(k.pack(sumR[0], sumR[1]), _MM_SHUFFLE(3, 1, 2, 0)));
    return;
  }
  for (int i = 0; i < 2; ++i) {
    k.store16(cb + 16 * i,
              k.pack(_mm256_madd_epi16(_mm256_unpacklo_epi16(a[i].cb, b[i].cb), factor),
                     _mm256_madd_epi16(_mm256_unpackhi_epi16(a[i].cb, b[i].cb), factor)));
    k.store16(cr + 16 * i,
              k.pack(_mm256_madd_epi16(_mm256_unpacklo_epi16(a[i].cr, b[i].cr), factor),
                     _mm256_madd_epi16(_mm256_unpackhi_epi16(a[i].cr, b[i].cr), factor)));
  }
}

// The last 4:1:1 sample of a row whose width is no multiple of 4, from pixels [x0, x1) of rowA
// and rowB: the mean of 3 pixels is no shift of a sum, so it takes the reference's formula.
template <class Sample>
void finishShortSample(const Pixel* rowA, const Pixel* rowB, int x0, int x1,
                       const SampleScale& scale, Sample* cb, Sample* cr) {
  int64_t sumB = 0, sumR = 0;
  int32_t count = 0;
  for (const Pixel* row : {rowA, rowB}) {
    if (row == nullptr) continue;
    for (int x = x0; x < x1; ++x, ++count) {
      sumB += row[x].cb;
      sumR += row[x].cr;
    }
  }
  *cb = static_cast<Sample>(chromaHostSumToCode(sumB, count, scale));
  *cr = static_cast<Sample>(chromaHostSumToCode(sumR, count, scale));
}

template <class Sample>
void encodeChromaRow(const Pixel* rowA, const Pixel* rowB, int width, int shiftX,
                     const SampleScale& scale, void* cbRow, void* crRow) {
  assert(width >= 0 && shiftX >= 0 && shiftX <= 2);
  const int s = scale.bitDepth - 8;
  const int log2Count = shiftX + (rowB != nullptr ? 1 : 0);
  const Codes<Sample> k(scale.centre, convert::kChromaShift + log2Count - s, scale.maxCode);
  auto* cb = static_cast<Sample*>(cbRow);
  auto* cr = static_cast<Sample*>(crRow);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    encodeChromaBlock(rowA + x, rowB != nullptr ? rowB + x : nullptr, shiftX, k, cb + (x >> shiftX),
                      cr + (x >> shiftX));
  }
  const int rest = width - x;
  if (rest == 0) return;
  Pixel a[kBlock] = {}, b[kBlock] = {};
  Sample outB[kBlock], outR[kBlock];
  std::memcpy(a, rowA + x, static_cast<size_t>(rest) * sizeof(Pixel));
  if (rowB != nullptr) std::memcpy(b, rowB + x, static_cast<size_t>(rest) * sizeof(Pixel));
  if (shiftX == 1 && rest % 2 == 1) {
    // The last sample covers one pixel: the mean of that pixel and its copy is its value.
    a[rest] = a[rest - 1];
    b[rest] = b[rest - 1];
  }
  encodeChromaBlock(a, rowB != nullptr ? b : nullptr, shiftX, k, outB, outR);
  const auto chroma = static_cast<size_t>((rest + (1 << shiftX) - 1) >> shiftX);
  if (shiftX == 2 && rest % 4 != 0) {
    finishShortSample(a, rowB != nullptr ? b : nullptr, rest & ~3, rest, scale, outB + rest / 4,
                      outR + rest / 4);
  }
  std::memcpy(cb + (x >> shiftX), outB, chroma * sizeof(Sample));
  std::memcpy(cr + (x >> shiftX), outR, chroma * sizeof(Sample));
}

// ---------------------------------------------------------------------------------------------
// Semi-planar and packed rows

// The even and the odd words of v0 (words 0..15) and v1 (16..31), each 16 in order.
void splitWords(__m256i v0, __m256i v1, __m256i& even, __m256i& odd) {
  const __m256i mask = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15, 0, 1,
                                        4, 5, 8, 9, 12, 13, 2, 3, 6, 7, 10, 11, 14, 15);
  // Evens of lane 0, evens of lane 1 | odds of lane 0, odds of lane 1.
  const auto gather = [&](__m256i v) {
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, mask), _MM_SHUFFLE(3, 1, 2, 0));
  };
  const __m256i a = gather(v0), b = gather(v1);
  even = _mm256_permute2x128_si256(a, b, 0x20);
  odd = _mm256_permute2x128_si256(a, b, 0x31);
}

// Pixels [0, kBlock) from luma codes y[0..1] (16 each) and the codes of the 16 chroma samples
// covering them.
void decodeBlock422(const __m256i (&y)[2], __m256i cb, __m256i cr, const Decode& k, Pixel* dst) {
  // Samples 0..3 8..11 | 4..7 12..15, so that unpacking each with itself repeats them in order.
  const __m256i b16 = _mm256_permute4x64_epi64(divide(cb, k.chroma), _MM_SHUFFLE(3, 1, 2, 0));
  const __m256i r16 = _mm256_permute4x64_epi64(divide(cr, k.chroma), _MM_SHUFFLE(3, 1, 2, 0));
  storePixels16(dst, divide(y[0], k.luma), _mm256_unpacklo_epi16(b16, b16),
                _mm256_unpacklo_epi16(r16, r16));
  storePixels16(dst + 16, divide(y[1], k.luma), _mm256_unpackhi_epi16(b16, b16),
                _mm256_unpackhi_epi16(r16, r16));
}

// Pixels [0, kBlock) from luma[0, kBlock) and the pairs chroma[0, kBlock).
template <class Sample>
void decodeSemiBlock(const Sample* luma, const Sample* chroma, bool crFirst, __m128i high,
                     const Decode& k, Pixel* dst) {
  __m256i y[2], first, second;
  if constexpr (sizeof(Sample) == 1) {
    y[0] = loadCodes16(luma, k.maxCode);
    y[1] = loadCodes16(luma + 16, k.maxCode);
    const __m256i pairs = load(chroma);
    first = _mm256_and_si256(pairs, _mm256_set1_epi16(0xFF));
    second = _mm256_srli_epi16(pairs, 8);
  } else {
    y[0] = _mm256_srl_epi16(load(luma), high);
    y[1] = _mm256_srl_epi16(load(luma + 16), high);
    splitWords(load(chroma), load(chroma + 16), first, second);
    first = _mm256_srl_epi16(first, high);
    second = _mm256_srl_epi16(second, high);
  }
  decodeBlock422(y, crFirst ? second : first, crFirst ? first : second, k, dst);
}

template <class Sample>
void decodeSemiRow(const void* lumaRow, const void* chromaRow, int width, bool crFirst,
                   const SampleScale& scale, Pixel* dst) {
  assert(width >= 0);
  const Decode k(scale);
  const __m128i high = _mm_cvtsi32_si128(sizeof(Sample) == 1 ? 0 : 16 - scale.bitDepth);
  const auto* luma = static_cast<const Sample*>(lumaRow);
  const auto* chroma = static_cast<const Sample*>(chromaRow);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    decodeSemiBlock(luma + x, chroma + x, crFirst, high, k, dst + x);
  }
  const int rest = width - x;
  if (rest == 0) return;
  Sample lumaTail[kBlock] = {}, chromaTail[kBlock] = {};
  Pixel out[kBlock];
  std::memcpy(lumaTail, luma + x, static_cast<size_t>(rest) * sizeof(Sample));
  std::memcpy(chromaTail, chroma + x, static_cast<size_t>((rest + 1) & ~1) * sizeof(Sample));
  decodeSemiBlock(lumaTail, chromaTail, crFirst, high, k, out);
  std::memcpy(dst + x, out, static_cast<size_t>(rest) * sizeof(Pixel));
}

// Pixels [0, kBlock) from the 64 bytes of a packed row at `row`.
void decodePackedBlock(const uint8_t* row, int order, const Decode& k, Pixel* dst) {
  const __m256i v0 = load(row), v1 = load(row + 32);
  const __m256i low = _mm256_set1_epi16(0xFF);
  const bool lumaHigh = order == kPackedUyvy;  // Y in the high byte of each word
  const __m256i y[2] = {lumaHigh ? _mm256_srli_epi16(v0, 8) : _mm256_and_si256(v0, low),
                        lumaHigh ? _mm256_srli_epi16(v1, 8) : _mm256_and_si256(v1, low)};
  __m256i first, second;
  splitWords(lumaHigh ? _mm256_and_si256(v0, low) : _mm256_srli_epi16(v0, 8),
             lumaHigh ? _mm256_and_si256(v1, low) : _mm256_srli_epi16(v1, 8), first, second);
  const bool crFirst = order == kPackedYvyu;
  decodeBlock422(y, crFirst ? second : first, crFirst ? first : second, k, dst);
}

void decodePackedRow(const void* rowBytes, int width, int order, const SampleScale& scale,
                     Pixel* dst) {
  assert(width >= 0 && order >= 0 && order <= 2);
  const Decode k(scale);
  const auto* row = static_cast<const uint8_t*>(rowBytes);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) decodePackedBlock(row + 2 * x, order, k, dst + x);
  const int rest = width - x;
  if (rest == 0) return;
  uint8_t tail[2 * kBlock] = {};
  Pixel out[kBlock];
  std::memcpy(tail, row + 2 * x, static_cast<size_t>(2 * ((rest + 1) & ~1)));
  decodePackedBlock(tail, order, k, out);
  std::memcpy(dst + x, out, static_cast<size_t>(rest) * sizeof(Pixel));
}

// The unclamped codes (biased for 16 bits) of the 16 chroma samples over pixels [0, kBlock) of
// rowA and, when not null, rowB, in order.
template <class Sample>
void chromaWords422(const Pixel* rowA, const Pixel* rowB, const Codes<Sample>& k, __m256i& cb,
                    __m256i& cr) {
  const __m256i factor = _mm256_set1_epi16(convert::kChromaFactor);
  __m256i sumB[2], sumR[2];
  for (int i = 0; i < 2; ++i) {
    const Planes a = loadPixels16(rowA + 16 * i);
    sumB[i] = _mm256_madd_epi16(a.cb, factor);
    sumR[i] = _mm256_madd_epi16(a.cr, factor);
    if (rowB != nullptr) {
      const Planes b = loadPixels16(rowB + 16 * i);
      sumB[i] = _mm256_add_epi32(sumB[i], _mm256_madd_epi16(b.cb, factor));
      sumR[i] = _mm256_add_epi32(sumR[i], _mm256_madd_epi16(b.cr, factor));
    }
  }
  // The pack leaves codes 0..3 8..11 4..7 12..15.
  cb = _mm256_permute4x64_epi64(k.pack(sumB[0], sumB[1]), _MM_SHUFFLE(3, 1, 2, 0));
  cr = _mm256_permute4x64_epi64(k.pack(sumR[0], sumR[1]), _MM_SHUFFLE(3, 1, 2, 0));
}

// 32 bytes of pairs: bytes 0..15 of `first` and `second` (codes as words, 8 a lane) alternating.
__m256i interleaveBytes(__m256i first, __m256i second) {
  const __m256i mask = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 0, 8,
                                        1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
  return _mm256_shuffle_epi8(_mm256_packus_epi16(first, second), mask);
}

// The pairs chroma[0, kBlock) from pixels [0, kBlock) of rowA and, when not null, rowB.
template <class Sample>
void encodeSemiBlock(const Pixel* rowA, const Pixel* rowB, bool crFirst, const Codes<Sample>& k,
                     Sample* chroma) {
  __m256i cb, cr;
  chromaWords422(rowA, rowB, k, cb, cr);
  const __m256i first = crFirst ? cr : cb, second = crFirst ? cb : cr;
  if constexpr (sizeof(Sample) == 1) {
    store(chroma, interleaveBytes(first, second));
  } else {
    const __m256i f = k.samples16(first), s = k.samples16(second);
    const __m256i lo = _mm256_unpacklo_epi16(f, s), hi = _mm256_unpackhi_epi16(f, s);
    store(chroma, _mm256_permute2x128_si256(lo, hi, 0x20));
    store(chroma + 16, _mm256_permute2x128_si256(lo, hi, 0x31));
  }
}

template <class Sample>
void encodeSemiChromaRow(const Pixel* rowA, const Pixel* rowB, int width, bool crFirst,
                         const SampleScale& scale, void* chromaRow) {
  assert(width >= 0);
  const int s = scale.bitDepth - 8;
  const Codes<Sample> k(scale.centre, convert::kChromaShift + 1 + (rowB != nullptr ? 1 : 0) - s,
                        scale.maxCode, sizeof(Sample) == 1 ? 0 : 16 - scale.bitDepth);
  auto* chroma = static_cast<Sample*>(chromaRow);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    encodeSemiBlock(rowA + x, rowB != nullptr ? rowB + x : nullptr, crFirst, k, chroma + x);
  }
  const int rest = width - x;
  if (rest == 0) return;
  Pixel a[kBlock] = {}, b[kBlock] = {};
  Sample out[kBlock];
  std::memcpy(a, rowA + x, static_cast<size_t>(rest) * sizeof(Pixel));
  if (rowB != nullptr) std::memcpy(b, rowB + x, static_cast<size_t>(rest) * sizeof(Pixel));
  if (rest % 2 == 1) {
    // The last pair covers one pixel: the mean of that pixel and its copy is its value.
    a[rest] = a[rest - 1];
    b[rest] = b[rest - 1];
  }
  encodeSemiBlock(a, rowB != nullptr ? b : nullptr, crFirst, k, out);
  std::memcpy(chroma + x, out, static_cast<size_t>((rest + 1) & ~1) * sizeof(Sample));
}

// The 64 bytes of a packed row from pixels [0, kBlock).
void encodePackedBlock(const Pixel* src, int order, const Codes<uint8_t>& luma,
                       const Codes<uint8_t>& chroma, uint8_t* row) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i factor = _mm256_set1_epi32(convert::kLumaFactor);
  __m256i yw[2];
  for (int i = 0; i < 2; ++i) {
    const __m256i y = loadPixels16(src + 16 * i).y;
    yw[i] = luma.pack(_mm256_madd_epi16(_mm256_unpacklo_epi16(y, zero), factor),
                      _mm256_madd_epi16(_mm256_unpackhi_epi16(y, zero), factor));
  }
  const __m256i y =
      _mm256_permute4x64_epi64(_mm256_packus_epi16(yw[0], yw[1]), _MM_SHUFFLE(3, 1, 2, 0));
  __m256i cb, cr;
  chromaWords422<uint8_t>(src, nullptr, chroma, cb, cr);
  // Pairs 0..7 | 8..15: each lane's pairs go with that lane's 16 Y after the unpacks.
  const __m256i c = order == kPackedYvyu ? interleaveBytes(cr, cb) : interleaveBytes(cb, cr);
  const __m256i lo = order == kPackedUyvy ? _mm256_unpacklo_epi8(c, y) : _mm256_unpacklo_epi8(y, c);
  const __m256i hi = order == kPackedUyvy ? _mm256_unpackhi_epi8(c, y) : _mm256_unpackhi_epi8(y, c);
  store(row, _mm256_permute2x128_si256(lo, hi, 0x20));
  store(row + 32, _mm256_permute2x128_si256(lo, hi, 0x31));
}

void encodePackedRow(const Pixel* src, int width, int order, const SampleScale& scale,
                     void* rowBytes) {
  assert(width >= 0 && order >= 0 && order <= 2 && scale.bitDepth == 8);
  const Codes<uint8_t> luma(scale.black, convert::kLumaShift, scale.maxCode);
  const Codes<uint8_t> chroma(scale.centre, convert::kChromaShift + 1, scale.maxCode);
  auto* row = static_cast<uint8_t*>(rowBytes);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    encodePackedBlock(src + x, order, luma, chroma, row + 2 * x);
  }
  const int rest = width - x;
  if (rest == 0) return;
  Pixel in[kBlock] = {};
  uint8_t out[2 * kBlock];
  std::memcpy(in, src + x, static_cast<size_t>(rest) * sizeof(Pixel));
  // An odd width's last group: its second Y repeats the first, and the mean of a pixel and its
  // copy is its value.
  if (rest % 2 == 1) in[rest] = in[rest - 1];
  encodePackedBlock(in, order, luma, chroma, out);
  std::memcpy(row + 2 * x, out, static_cast<size_t>(2 * ((rest + 1) & ~1)));
}

}  // namespace

const ConvertKernels ConvertKernelsAvx2 = {
    .decode8 = decodeRow<uint8_t>,
    .decode16 = decodeRow<uint16_t>,
    .encodeLuma8 = encodeLumaRow<uint8_t>,
    .encodeLuma16 = encodeLumaRow<uint16_t>,
    .encodeChroma8 = encodeChromaRow<uint8_t>,
    .encodeChroma16 = encodeChromaRow<uint16_t>,
    .decodeSemi8 = decodeSemiRow<uint8_t>,
    .decodeSemi16 = decodeSemiRow<uint16_t>,
    .encodeLumaHigh16 = encodeLumaRow<uint16_t, true>,
    .encodeSemiChroma8 = encodeSemiChromaRow<uint8_t>,
    .encodeSemiChroma16 = encodeSemiChromaRow<uint16_t>,
    .decodePacked = decodePackedRow,
    .encodePacked = encodePackedRow,
};

}  // namespace quillet
