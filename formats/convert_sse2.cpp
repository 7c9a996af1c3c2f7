#include <emmintrin.h>

#include <cassert>
#include <cstdint>
#include <cstring>

#include "formats/convert.h"
#include "formats/convert_constants.h"
#include "formats/sample_scale.h"

namespace quillet {
namespace {

constexpr int kBlock = 16;  // pixels per block

__m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// ---------------------------------------------------------------------------------------------
// Pixels <-> planes: 8 pixels are 24 words Y0 Cb0 Cr0 Y1 ... in three vectors.

struct Planes {
  __m128i y, cb, cr;
};

// One riffle of the 24 words: the word at i moves to 2i mod 23 (the last stays). Three riffles
// move it to 8i mod 23, which takes word 3p + c (pixel p, component c) to 8c + p.
void riffle(__m128i& v0, __m128i& v1, __m128i& v2) {
  const __m128i t0 = _mm_unpacklo_epi16(v0, _mm_unpackhi_epi64(v1, v1));
  const __m128i t1 = _mm_unpacklo_epi16(_mm_unpackhi_epi64(v0, v0), v2);
  const __m128i t2 = _mm_unpacklo_epi16(v1, _mm_unpackhi_epi64(v2, v2));
  v0 = t0;
  v1 = t1;
  v2 = t2;
}

Planes loadPixels8(const Pixel* src) {
  __m128i v0 = load(src);
  __m128i v1 = load(reinterpret_cast<const int16_t*>(src) + 8);
  __m128i v2 = load(reinterpret_cast<const int16_t*>(src) + 16);
  riffle(v0, v1, v2);
  riffle(v0, v1, v2);
  riffle(v0, v1, v2);
  return {v0, v1, v2};
}

// Word i of `from` where `mask` is set, of `to` elsewhere.
__m128i select(__m128i mask, __m128i from, __m128i to) {
  return _mm_or_si128(_mm_and_si128(mask, from), _mm_andnot_si128(mask, to));
}

void storePixels8(Pixel* dst, __m128i y, __m128i cb, __m128i cr) {
  const __m128i lo = _mm_unpacklo_epi16(y, cb);  // Y0 B0 Y1 B1 Y2 B2 Y3 B3
  const __m128i hi = _mm_unpackhi_epi16(y, cb);  // Y4 B4 Y5 B5 Y6 B6 Y7 B7
  // Y0 B0 R0 Y1 B1 R1 Y2 B2
  __m128i yb = _mm_shuffle_epi32(lo, _MM_SHUFFLE(2, 1, 1, 0));
  yb = _mm_shufflehi_epi16(_mm_shufflelo_epi16(yb, _MM_SHUFFLE(2, 2, 1, 0)),
                           _MM_SHUFFLE(3, 2, 2, 1));
  const __m128i out0 = select(_mm_setr_epi16(0, 0, -1, 0, 0, -1, 0, 0),
                              _mm_shuffle_epi32(cr, _MM_SHUFFLE(0, 0, 0, 0)), yb);
  // R2 Y3 B3 R3 Y4 B4 R4 Y5
  yb = _mm_castps_si128(
      _mm_shuffle_ps(_mm_castsi128_ps(lo), _mm_castsi128_ps(hi), _MM_SHUFFLE(1, 0, 3, 3)));
  yb = _mm_shufflehi_epi16(_mm_shufflelo_epi16(yb, _MM_SHUFFLE(0, 1, 0, 0)),
                           _MM_SHUFFLE(2, 2, 1, 0));
  const __m128i out1 = select(_mm_setr_epi16(-1, 0, 0, -1, 0, 0, -1, 0),
                              _mm_shuffle_epi32(cr, _MM_SHUFFLE(2, 2, 1, 1)), yb);
  // B5 R5 Y6 B6 R6 Y7 B7 R7
  yb = _mm_shuffle_epi32(hi, _MM_SHUFFLE(3, 3, 2, 1));
  yb = _mm_shufflehi_epi16(_mm_shufflelo_epi16(yb, _MM_SHUFFLE(3, 2, 1, 1)),
                           _MM_SHUFFLE(0, 1, 0, 0));
  const __m128i out2 = select(_mm_setr_epi16(0, -1, 0, 0, -1, 0, 0, -1),
                              _mm_shuffle_epi32(cr, _MM_SHUFFLE(3, 3, 2, 2)), yb);
  auto* words = reinterpret_cast<int16_t*>(dst);
  store(words, out0);
  store(words + 8, out1);
  store(words + 16, out2);
}

// ---------------------------------------------------------------------------------------------
// Decoding

// 8 codes from an 8- or 16-bit row, the latter clamped to maxCode.
template <class Sample>
__m128i loadCodes8(const Sample* p, __m128i maxCode) {
  if constexpr (sizeof(Sample) == 1) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                             _mm_setzero_si128());
  } else {
    const __m128i c = load(p);
    return _mm_sub_epi16(c, _mm_subs_epu16(c, maxCode));  // unsigned min(c, maxCode)
  }
}

// 4 codes, in the low half.
template <class Sample>
__m128i loadCodes4(const Sample* p, __m128i maxCode) {
  if constexpr (sizeof(Sample) == 1) {
    int32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), _mm_setzero_si128());
  } else {
    const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm_sub_epi16(c, _mm_subs_epu16(c, maxCode));
  }
}

// convert::Quotient at one depth.
struct Divide {
  __m128i preShift, shift, multiplier, offset, bias, divisor, divisorLess1;

  Divide(const convert::Quotient& q, int s)
      : preShift(_mm_cvtsi32_si128(8 - s)),
        shift(_mm_cvtsi32_si128(q.shift - s)),
        multiplier(_mm_set1_epi16(static_cast<int16_t>(q.multiplier))),
        offset(_mm_set1_epi16(static_cast<int16_t>(q.offset))),
        bias(_mm_set1_epi16(static_cast<int16_t>(q.bias))),
        divisor(_mm_set1_epi16(static_cast<int16_t>(q.divisor))),
        divisorLess1(_mm_set1_epi16(static_cast<int16_t>(q.divisor - 1))) {}
};

__m128i divide(__m128i code, const Divide& d) {
  const __m128i estimate =
      _mm_sub_epi16(_mm_mulhi_epu16(_mm_sll_epi16(code, d.preShift), d.multiplier), d.offset);
  const __m128i low = _mm_add_epi16(_mm_sll_epi16(code, d.shift), d.bias);
  const __m128i remainder = _mm_sub_epi16(low, _mm_mullo_epi16(estimate, d.divisor));
  return _mm_sub_epi16(estimate, _mm_cmpgt_epi16(remainder, d.divisorLess1));
}

struct Decode {
  __m128i maxCode;
  Divide luma, chroma;

  explicit Decode(const SampleScale& scale)
      : maxCode(_mm_set1_epi16(static_cast<int16_t>(scale.maxCode))),
        luma(convert::kLumaQuotient, scale.bitDepth - 8),
        chroma(convert::kChromaQuotient, scale.bitDepth - 8) {}
};

// Pixels [0, kBlock) from luma[0, kBlock) and chroma[0, kBlock >> shiftX).
template <class Sample>
void decodeBlock(const Sample* luma, const Sample* cb, const Sample* cr, int shiftX,
                 const Decode& k, Pixel* dst) {
  const __m128i zero = _mm_setzero_si128();
  __m128i y[2], b[2] = {zero, zero}, r[2] = {zero, zero};
  for (int i = 0; i < 2; ++i) y[i] = divide(loadCodes8(luma + 8 * i, k.maxCode), k.luma);
  if (cb != nullptr && shiftX == 2) {
    // Each of 4 samples over 4 pixels: repeated in pairs, then the pairs in pairs.
    const __m128i b4 = divide(loadCodes4(cb, k.maxCode), k.chroma);
    const __m128i r4 = divide(loadCodes4(cr, k.maxCode), k.chroma);
    const __m128i b2 = _mm_unpacklo_epi16(b4, b4);
    const __m128i r2 = _mm_unpacklo_epi16(r4, r4);
    b[0] = _mm_unpacklo_epi32(b2, b2);
    b[1] = _mm_unpackhi_epi32(b2, b2);
    r[0] = _mm_unpacklo_epi32(r2, r2);
    r[1] = _mm_unpackhi_epi32(r2, r2);
  } else if (cb != nullptr && shiftX == 1) {
    const __m128i b8 = divide(loadCodes8(cb, k.maxCode), k.chroma);
    const __m128i r8 = divide(loadCodes8(cr, k.maxCode), k.chroma);
    b[0] = _mm_unpacklo_epi16(b8, b8);
    b[1] = _mm_unpackhi_epi16(b8, b8);
    r[0] = _mm_unpacklo_epi16(r8, r8);
    r[1] = _mm_unpackhi_epi16(r8, r8);
  } else if (cb != nullptr) {
    for (int i = 0; i < 2; ++i) {
      b[i] = divide(loadCodes8(cb + 8 * i, k.maxCode), k.chroma);
      r[i] = divide(loadCodes8(cr + 8 * i, k.maxCode), k.chroma);
    }
  }
  for (int i = 0; i < 2; ++i) storePixels8(dst + 8 * i, y[i], b[i], r[i]);
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
  __m128i add, shift, maxBiased;
  __m128i high;  // 16-bit codes are shifted up by this many bits (P010)

  Codes(int32_t base, int t, int32_t maxCode, int highBits = 0)
      : add(_mm_set1_epi32((int32_t{1} << (t - 1)) + (base - kBias) * (int32_t{1} << t))),
        shift(_mm_cvtsi32_si128(t)),
        maxBiased(_mm_set1_epi16(static_cast<int16_t>(maxCode - kBias))),
        high(_mm_cvtsi32_si128(highBits)) {}

  // 8 unclamped codes (biased for 16 bits) from the sums of lo (codes 0..3) and hi (4..7).
  __m128i words(__m128i lo, __m128i hi) const {
    return _mm_packs_epi32(_mm_sra_epi32(_mm_add_epi32(lo, add), shift),
                           _mm_sra_epi32(_mm_add_epi32(hi, add), shift));
  }
  // 16-bit samples of those codes: clamped, unbiased, shifted up.
  __m128i samples16(__m128i w) const {
    return _mm_sll_epi16(_mm_xor_si128(_mm_min_epi16(w, maxBiased), _mm_set1_epi16(-32768)), high);
  }

  // 4 codes from the sums of `sums`.
  void store4(Sample* dst, __m128i sums) const {
    const __m128i shifted = _mm_sra_epi32(_mm_add_epi32(sums, add), shift);
    const __m128i words = _mm_packs_epi32(shifted, shifted);
    if constexpr (sizeof(Sample) == 1) {
      const int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
      std::memcpy(dst, &bytes, sizeof bytes);
    } else {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst),
                       _mm_xor_si128(_mm_min_epi16(words, maxBiased), _mm_set1_epi16(-32768)));
    }
  }

  // 8 codes from the sums of lo (codes 0..3) and hi (4..7).
  void store8(Sample* dst, __m128i lo, __m128i hi) const {
    const __m128i w = words(lo, hi);
    if constexpr (sizeof(Sample) == 1) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(w, w));
    } else {
      store(dst, samples16(w));
    }
  }
};

template <class Sample>
void encodeLumaBlock(const Pixel* src, const Codes<Sample>& k, Sample* dst) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i factor = _mm_set1_epi32(convert::kLumaFactor);
  for (int i = 0; i < 2; ++i) {
    const __m128i y = loadPixels8(src + 8 * i).y;
    k.store8(dst + 8 * i, _mm_madd_epi16(_mm_unpacklo_epi16(y, zero), factor),
             _mm_madd_epi16(_mm_unpackhi_epi16(y, zero), factor));
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
  const __m128i zero = _mm_setzero_si128();
  const __m128i factor = _mm_set1_epi16(convert::kChromaFactor);
  __m128i sumB[4], sumR[4];
  for (int i = 0; i < 2; ++i) {
    const Planes a = loadPixels8(rowA + 8 * i);
    const Planes b = rowB != nullptr ? loadPixels8(rowB + 8 * i) : Planes{zero, zero, zero};
    if (shiftX >= 1) {
      // madd adds the two horizontal neighbours of each sample.
      sumB[i] = _mm_madd_epi16(a.cb, factor);
      sumR[i] = _mm_madd_epi16(a.cr, factor);
      if (rowB != nullptr) {
        sumB[i] = _mm_add_epi32(sumB[i], _mm_madd_epi16(b.cb, factor));
        sumR[i] = _mm_add_epi32(sumR[i], _mm_madd_epi16(b.cr, factor));
      }
    } else {
      sumB[2 * i] = _mm_madd_epi16(_mm_unpacklo_epi16(a.cb, b.cb), factor);
      sumB[2 * i + 1] = _mm_madd_epi16(_mm_unpackhi_epi16(a.cb, b.cb), factor);
      sumR[2 * i] = _mm_madd_epi16(_mm_unpacklo_epi16(a.cr, b.cr), factor);
      sumR[2 * i + 1] = _mm_madd_epi16(_mm_unpackhi_epi16(a.cr, b.cr), factor);
    }
  }
  if (shiftX == 2) {
    // Adjacent pair sums added: the sums of 4 neighbours.
    const auto quads = [](__m128i lo, __m128i hi) {
      const __m128 l = _mm_castsi128_ps(lo), h = _mm_castsi128_ps(hi);
      return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(l, h, _MM_SHUFFLE(2, 0, 2, 0))),
                           _mm_castps_si128(_mm_shuffle_ps(l, h, _MM_SHUFFLE(3, 1, 3, 1))));
    };
    k.store4(cb, quads(sumB[0], sumB[1]));
    k.store4(cr, quads(sumR[0], sumR[1]));
    return;
  }
  const int groups = shiftX == 1 ? 1 : 2;
  for (int i = 0; i < groups; ++i) {
    k.store8(cb + 8 * i, sumB[2 * i], sumB[2 * i + 1]);
    k.store8(cr + 8 * i, sumR[2 * i], sumR[2 * i + 1]);
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

// The even and odd words of v0 (words 0..3 of each) and v1 (words 4..7).
void splitWords(__m128i v0, __m128i v1, __m128i& even, __m128i& odd) {
  const auto gather = [](__m128i v) {  // evens in the low half, odds in the high half
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 1, 2, 0)),
                            _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 1, 2, 0));
  };
  const __m128i a = gather(v0), b = gather(v1);
  even = _mm_unpacklo_epi64(a, b);
  odd = _mm_unpackhi_epi64(a, b);
}

// Pixels [0, kBlock) from luma codes y[0..1] and the codes of the 8 chroma samples covering them.
void decodeBlock422(const __m128i (&y)[2], __m128i cb, __m128i cr, const Decode& k, Pixel* dst) {
  const __m128i b8 = divide(cb, k.chroma), r8 = divide(cr, k.chroma);
  storePixels8(dst, divide(y[0], k.luma), _mm_unpacklo_epi16(b8, b8), _mm_unpacklo_epi16(r8, r8));
  storePixels8(dst + 8, divide(y[1], k.luma), _mm_unpackhi_epi16(b8, b8),
               _mm_unpackhi_epi16(r8, r8));
}

// Pixels [0, kBlock) from luma[0, kBlock) and the pairs chroma[0, kBlock).
template <class Sample>
void decodeSemiBlock(const Sample* luma, const Sample* chroma, bool crFirst, __m128i high,
                     const Decode& k, Pixel* dst) {
  __m128i y[2], first, second;
  if constexpr (sizeof(Sample) == 1) {
    y[0] = loadCodes8(luma, k.maxCode);
    y[1] = loadCodes8(luma + 8, k.maxCode);
    const __m128i pairs = load(chroma);
    first = _mm_and_si128(pairs, _mm_set1_epi16(0xFF));
    second = _mm_srli_epi16(pairs, 8);
  } else {
    y[0] = _mm_srl_epi16(load(luma), high);
    y[1] = _mm_srl_epi16(load(luma + 8), high);
    splitWords(load(chroma), load(chroma + 8), first, second);
    first = _mm_srl_epi16(first, high);
    second = _mm_srl_epi16(second, high);
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

// Pixels [0, kBlock) from the 32 bytes of a packed row at `row`.
void decodePackedBlock(const uint8_t* row, int order, const Decode& k, Pixel* dst) {
  const __m128i v0 = load(row), v1 = load(row + 16);
  const __m128i low = _mm_set1_epi16(0xFF);
  const bool lumaHigh = order == kPackedUyvy;  // Y in the high byte of each word
  const __m128i y[2] = {lumaHigh ? _mm_srli_epi16(v0, 8) : _mm_and_si128(v0, low),
                        lumaHigh ? _mm_srli_epi16(v1, 8) : _mm_and_si128(v1, low)};
  __m128i first, second;
  splitWords(lumaHigh ? _mm_and_si128(v0, low) : _mm_srli_epi16(v0, 8),
             lumaHigh ? _mm_and_si128(v1, low) : _mm_srli_epi16(v1, 8), first, second);
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

// The unclamped codes of the 8 chroma samples over pixels [0, kBlock) of rowA and, when not null,
// rowB.
template <class Sample>
void chromaWords422(const Pixel* rowA, const Pixel* rowB, const Codes<Sample>& k, __m128i& cb,
                    __m128i& cr) {
  const __m128i factor = _mm_set1_epi16(convert::kChromaFactor);
  __m128i sumB[2], sumR[2];
  for (int i = 0; i < 2; ++i) {
    const Planes a = loadPixels8(rowA + 8 * i);
    sumB[i] = _mm_madd_epi16(a.cb, factor);
    sumR[i] = _mm_madd_epi16(a.cr, factor);
    if (rowB != nullptr) {
      const Planes b = loadPixels8(rowB + 8 * i);
      sumB[i] = _mm_add_epi32(sumB[i], _mm_madd_epi16(b.cb, factor));
      sumR[i] = _mm_add_epi32(sumR[i], _mm_madd_epi16(b.cr, factor));
    }
  }
  cb = k.words(sumB[0], sumB[1]);
  cr = k.words(sumR[0], sumR[1]);
}

// The pairs chroma[0, kBlock) from pixels [0, kBlock) of rowA and, when not null, rowB.
template <class Sample>
void encodeSemiBlock(const Pixel* rowA, const Pixel* rowB, bool crFirst, const Codes<Sample>& k,
                     Sample* chroma) {
  __m128i cb, cr;
  chromaWords422(rowA, rowB, k, cb, cr);
  const __m128i first = crFirst ? cr : cb, second = crFirst ? cb : cr;
  if constexpr (sizeof(Sample) == 1) {
    store(chroma,
          _mm_unpacklo_epi8(_mm_packus_epi16(first, first), _mm_packus_epi16(second, second)));
  } else {
    const __m128i f = k.samples16(first), s = k.samples16(second);
    store(chroma, _mm_unpacklo_epi16(f, s));
    store(chroma + 8, _mm_unpackhi_epi16(f, s));
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

// The 32 bytes of a packed row from pixels [0, kBlock).
void encodePackedBlock(const Pixel* src, int order, const Codes<uint8_t>& luma,
                       const Codes<uint8_t>& chroma, uint8_t* row) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i factor = _mm_set1_epi32(convert::kLumaFactor);
  __m128i yw[2];
  for (int i = 0; i < 2; ++i) {
    const __m128i y = loadPixels8(src + 8 * i).y;
    yw[i] = luma.words(_mm_madd_epi16(_mm_unpacklo_epi16(y, zero), factor),
                       _mm_madd_epi16(_mm_unpackhi_epi16(y, zero), factor));
  }
  const __m128i y = _mm_packus_epi16(yw[0], yw[1]);
  __m128i cb, cr;
  chromaWords422<uint8_t>(src, nullptr, chroma, cb, cr);
  const __m128i first = order == kPackedYvyu ? cr : cb, second = order == kPackedYvyu ? cb : cr;
  const __m128i c =
      _mm_unpacklo_epi8(_mm_packus_epi16(first, first), _mm_packus_epi16(second, second));
  if (order == kPackedUyvy) {
    store(row, _mm_unpacklo_epi8(c, y));
    store(row + 16, _mm_unpackhi_epi8(c, y));
  } else {
    store(row, _mm_unpacklo_epi8(y, c));
    store(row + 16, _mm_unpackhi_epi8(y, c));
  }
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

const ConvertKernels ConvertKernelsSse2 = {
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
