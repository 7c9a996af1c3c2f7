// AVX-512 forms (AVX512F + AVX512BW) of the planar rows: the AVX2 forms' arithmetic on 32 values
// a step; a row's last partial block goes through a stack copy.
#include <immintrin.h>

#include <cassert>
#include <cstdint>
#include <cstring>

#include "formats/convert_constants.h"
#include "formats/planar.h"

namespace quillet {
namespace {

constexpr int kBlock = 32;  // values per register

__m512i load(const void* p) { return _mm512_loadu_si512(p); }
void store(void* p, __m512i v) { _mm512_storeu_si512(p, v); }

// ---------------------------------------------------------------------------------------------
// Decoding: the quotient estimate of convert_constants.h, in 16-bit lanes.

struct Divide {
  __m128i preShift, shift;
  __m512i multiplier, offset, bias, divisor, divisorLess1, maxCode;

  Divide(const convert::Quotient& q, const SampleScale& scale)
      : preShift(_mm_cvtsi32_si128(8 - (scale.bitDepth - 8))),
        shift(_mm_cvtsi32_si128(q.shift - (scale.bitDepth - 8))),
        multiplier(_mm512_set1_epi16(static_cast<int16_t>(q.multiplier))),
        offset(_mm512_set1_epi16(static_cast<int16_t>(q.offset))),
        bias(_mm512_set1_epi16(static_cast<int16_t>(q.bias))),
        divisor(_mm512_set1_epi16(static_cast<int16_t>(q.divisor))),
        divisorLess1(_mm512_set1_epi16(static_cast<int16_t>(q.divisor - 1))),
        maxCode(_mm512_set1_epi16(static_cast<int16_t>(scale.maxCode))) {}

  __m512i operator()(__m512i code) const {
    const __m512i estimate =
        _mm512_sub_epi16(_mm512_mulhi_epu16(_mm512_sll_epi16(code, preShift), multiplier), offset);
    const __m512i low = _mm512_add_epi16(_mm512_sll_epi16(code, shift), bias);
    const __m512i remainder = _mm512_sub_epi16(low, _mm512_mullo_epi16(estimate, divisor));
    const __mmask32 over = _mm512_cmpgt_epi16_mask(remainder, divisorLess1);
    return _mm512_mask_add_epi16(estimate, over, estimate, _mm512_set1_epi16(1));
  }
};

template <class Sample>
__m512i loadCodes(const Sample* p, __m512i maxCode) {
  if constexpr (sizeof(Sample) == 1) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  } else {
    return _mm512_min_epu16(load(p), maxCode);
  }
}

template <class Sample, bool kChroma>
void decodeRow(const void* codes, int count, const SampleScale& scale, int16_t* dst) {
  assert(count >= 0);
  const Divide divide(kChroma ? convert::kChromaQuotient : convert::kLumaQuotient, scale);
  const auto* in = static_cast<const Sample*>(codes);
  int i = 0;
  for (; i + kBlock <= count; i += kBlock)
    store(dst + i, divide(loadCodes(in + i, divide.maxCode)));
  const int rest = count - i;
  if (rest == 0) return;
  Sample tail[kBlock] = {};
  int16_t out[kBlock];
  std::memcpy(tail, in + i, static_cast<size_t>(rest) * sizeof(Sample));
  store(out, divide(loadCodes(tail, divide.maxCode)));
  std::memcpy(dst + i, out, static_cast<size_t>(rest) * sizeof(int16_t));
}

// ---------------------------------------------------------------------------------------------
// Encoding

// code = base + ((factor * sum + 2^(t-1)) >> t) clamped to 0..maxCode, from 32-bit sums. 16-bit
// codes are packed biased by -32768, so that the signed saturation of the pack clamps them.
template <class Sample>
struct Codes {
  static constexpr int32_t kBias = sizeof(Sample) == 1 ? 0 : 32768;
  __m512i factor;
  __m512i add;
  __m128i shift;
  __m512i maxBiased;

  Codes(int32_t factorValue, int32_t base, int t, int32_t maxCode)
      : factor(_mm512_set1_epi32(factorValue)),
        add(_mm512_set1_epi32((int32_t{1} << (t - 1)) + (base - kBias) * (int32_t{1} << t))),
        shift(_mm_cvtsi32_si128(t)),
        maxBiased(_mm512_set1_epi16(static_cast<int16_t>(maxCode - kBias))) {}

  __m512i code32(__m512i sum) const {
    return _mm512_sra_epi32(_mm512_add_epi32(_mm512_mullo_epi32(sum, factor), add), shift);
  }

  // 32 codes from the sums of values 0..3 | 8..11 | 16..19 | 24..27 (lo) and the four after
  // each of those (hi), the order of a lane-wise pack.
  void store32(Sample* dst, __m512i lo, __m512i hi) const {
    const __m512i words = _mm512_packs_epi32(code32(lo), code32(hi));
    if constexpr (sizeof(Sample) == 1) {
      const __m512i clamped = _mm512_max_epi16(words, _mm512_setzero_si512());
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                          _mm512_cvtepi16_epi8(_mm512_min_epi16(clamped, maxBiased)));
    } else {
      store(dst, _mm512_xor_si512(_mm512_min_epi16(words, maxBiased), _mm512_set1_epi16(-32768)));
    }
  }
};

// (w, 4096 - w) word pairs for 32-bit lanes holding w in their low word (high word zero).
__m512i weightPairs(__m512i w32) {
  return _mm512_add_epi32(
      _mm512_sub_epi32(_mm512_set1_epi32(4096 << 16), _mm512_slli_epi32(w32, 16)), w32);
}

// ((filtered, source) pairs . (w, 4096 - w) pairs + 2047) >> 12: the blend of 32-bit lanes.
__m512i mix(__m512i filteredSource, __m512i pairs) {
  return _mm512_srai_epi32(
      _mm512_add_epi32(_mm512_madd_epi16(filteredSource, pairs), _mm512_set1_epi32(2047)), 12);
}

struct RowView {
  const int16_t* filtered;
  const int16_t* weight;
  __m512i constant;
};

RowView viewOf(const int16_t* source, const PlaneRowInput& row) {
  if (row.filtered == nullptr) return {source, nullptr, _mm512_setzero_si512()};
  return {row.filtered, row.weight, _mm512_set1_epi16(4096)};
}

__m512i weightsAt(const RowView& v, int pixel) {
  return v.weight == nullptr ? v.constant : load(v.weight + pixel);
}

template <class Sample>
void encodeLumaBlock(const int16_t* source, const RowView& view, int x, const Codes<Sample>& k,
                     Sample* out) {
  const __m512i s = load(source + x);
  const __m512i f = load(view.filtered + x);
  const __m512i w = weightsAt(view, x);
  const __m512i rest = _mm512_sub_epi16(_mm512_set1_epi16(4096), w);
  const __m512i lo = mix(_mm512_unpacklo_epi16(f, s), _mm512_unpacklo_epi16(w, rest));
  const __m512i hi = mix(_mm512_unpackhi_epi16(f, s), _mm512_unpackhi_epi16(w, rest));
  k.store32(out + x, lo, hi);
}

template <class Sample>
void encodeLuma(const int16_t* source, PlaneRowInput row, int width, const SampleScale& scale,
                void* codes) {
  assert(width >= 0);
  const Codes<Sample> k(convert::kLumaFactor, scale.black,
                        convert::kLumaShift - (scale.bitDepth - 8), scale.maxCode);
  auto* out = static_cast<Sample*>(codes);
  const RowView view = viewOf(source, row);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) encodeLumaBlock(source, view, x, k, out);
  const int rest = width - x;
  if (rest == 0) return;
  int16_t s[kBlock] = {}, f[kBlock] = {}, w[kBlock] = {};
  Sample codesOut[kBlock];
  const auto bytes = static_cast<size_t>(rest) * sizeof(int16_t);
  std::memcpy(s, source + x, bytes);
  std::memcpy(f, view.filtered + x, bytes);
  if (view.weight != nullptr) std::memcpy(w, view.weight + x, bytes);
  const RowView tail{f, view.weight != nullptr ? w : nullptr, view.constant};
  encodeLumaBlock(s, tail, 0, k, codesOut);
  std::memcpy(out + x, codesOut, static_cast<size_t>(rest) * sizeof(Sample));
}

// Sums of the values of samples [c, c + 32) over `rowCount` rows, in the order Codes::store32
// takes.
template <int kShiftX>
void chromaSums(const int16_t* source, const RowView* views, int rowCount, int c, __m512i& lo,
                __m512i& hi) {
  const __m512i s = load(source + c);
  lo = _mm512_setzero_si512();
  hi = _mm512_setzero_si512();
  for (int r = 0; r < rowCount; ++r) {
    const RowView& v = views[r];
    const __m512i f = load(v.filtered + c);
    if constexpr (kShiftX == 0) {
      const __m512i w = weightsAt(v, c);
      const __m512i rest = _mm512_sub_epi16(_mm512_set1_epi16(4096), w);
      lo = _mm512_add_epi32(lo, mix(_mm512_unpacklo_epi16(f, s), _mm512_unpacklo_epi16(w, rest)));
      hi = _mm512_add_epi32(hi, mix(_mm512_unpackhi_epi16(f, s), _mm512_unpackhi_epi16(w, rest)));
    } else {
      // Quadwords 0 4 1 5 2 6 3 7: the lane-wise unpacks then give the (filtered, source) pairs
      // of samples 0..15 and 16..31 in order, where the weights of pixels 2i and 2i + 1 share
      // the 32-bit lane of sample i.
      const __m512i order = _mm512_setr_epi64(0, 4, 1, 5, 2, 6, 3, 7);
      const __m512i fp = _mm512_permutexvar_epi64(order, f);
      const __m512i sp = _mm512_permutexvar_epi64(order, s);
      const __m512i fs[2] = {_mm512_unpacklo_epi16(fp, sp), _mm512_unpackhi_epi16(fp, sp)};
      __m512i sum[2];
      for (int h = 0; h < 2; ++h) {
        const __m512i w = weightsAt(v, 2 * c + kBlock * h);
        const __m512i even = _mm512_and_si512(w, _mm512_set1_epi32(0xFFFF));
        const __m512i odd = _mm512_srli_epi32(w, 16);
        sum[h] = _mm512_add_epi32(mix(fs[h], weightPairs(even)), mix(fs[h], weightPairs(odd)));
      }
      // Back to the lane order of a pack.
      lo = _mm512_add_epi32(lo, _mm512_permutex2var_epi64(
                                    sum[0], _mm512_setr_epi64(0, 1, 4, 5, 8, 9, 12, 13), sum[1]));
      hi = _mm512_add_epi32(hi, _mm512_permutex2var_epi64(
                                    sum[0], _mm512_setr_epi64(2, 3, 6, 7, 10, 11, 14, 15), sum[1]));
    }
  }
}

template <class Sample, int kShiftX>
void encodeChromaRow(const int16_t* source, const PlaneRowInput* rows, int rowCount, int width,
                     const SampleScale& scale, void* codes) {
  // The last sample of an odd row covers one pixel, whose weight stands in for its missing
  // partner so that the mean keeps its count.
  const int log2Count = kShiftX + (rowCount == 2 ? 1 : 0);
  const Codes<Sample> k(convert::kChromaFactor, scale.centre,
                        convert::kChromaShift + log2Count - (scale.bitDepth - 8), scale.maxCode);
  auto* out = static_cast<Sample*>(codes);
  const int samples = (width + (1 << kShiftX) - 1) >> kShiftX;
  RowView views[2];
  for (int r = 0; r < rowCount; ++r) views[r] = viewOf(source, rows[r]);
  int c = 0;
  __m512i lo, hi;
  for (; c + kBlock <= samples && (c + kBlock) << kShiftX <= width; c += kBlock) {
    chromaSums<kShiftX>(source, views, rowCount, c, lo, hi);
    k.store32(out + c, lo, hi);
  }
  const int rest = samples - c;
  if (rest == 0) return;
  constexpr int kPixels = kBlock << kShiftX;
  int16_t s[kBlock] = {}, f[2][kBlock] = {}, w[2][kPixels] = {};
  RowView tail[2];
  const int pixels = width - (c << kShiftX);
  std::memcpy(s, source + c, static_cast<size_t>(rest) * sizeof(int16_t));
  for (int r = 0; r < rowCount; ++r) {
    std::memcpy(f[r], views[r].filtered + c, static_cast<size_t>(rest) * sizeof(int16_t));
    if (views[r].weight != nullptr) {
      std::memcpy(w[r], views[r].weight + (c << kShiftX),
                  static_cast<size_t>(pixels) * sizeof(int16_t));
      if (kShiftX == 1 && pixels % 2 == 1) w[r][pixels] = w[r][pixels - 1];
    }
    tail[r] = RowView{f[r], views[r].weight != nullptr ? w[r] : nullptr, views[r].constant};
  }
  Sample codesOut[kBlock];
  chromaSums<kShiftX>(s, tail, rowCount, 0, lo, hi);
  k.store32(codesOut, lo, hi);
  std::memcpy(out + c, codesOut, static_cast<size_t>(rest) * sizeof(Sample));
}

template <class Sample>
void encodeChroma(const int16_t* source, const PlaneRowInput* rows, int rowCount, int width,
                  int shiftX, const SampleScale& scale, void* codes) {
  assert(rowCount == 1 || rowCount == 2);
  assert(shiftX == 0 || shiftX == 1);
  if (shiftX == 0) {
    encodeChromaRow<Sample, 0>(source, rows, rowCount, width, scale, codes);
  } else {
    encodeChromaRow<Sample, 1>(source, rows, rowCount, width, scale, codes);
  }
}

// ---------------------------------------------------------------------------------------------
// Differences: |a - b| clamped to 32767 is the larger of both saturated differences.

// All 16-bit lanes equal: equal codes decode alike and differ by nothing, so still samples
// skip their decode.
bool equal(__m512i a, __m512i b) { return _mm512_cmpneq_epi16_mask(a, b) == 0; }

__m512i difference(__m512i a, __m512i b) {
  return _mm512_max_epi16(_mm512_subs_epi16(a, b), _mm512_subs_epi16(b, a));
}

template <class Sample>
void chromaDiff(const void* cbA, const void* cbB, const void* crA, const void* crB, int count,
                const SampleScale& scale, int16_t* diff) {
  const Divide divide(convert::kChromaQuotient, scale);
  const auto block = [&](const Sample* a, const Sample* b, const Sample* c, const Sample* d) {
    const __m512i codes[4] = {loadCodes(a, divide.maxCode), loadCodes(b, divide.maxCode),
                              loadCodes(c, divide.maxCode), loadCodes(d, divide.maxCode)};
    if (equal(codes[0], codes[1]) && equal(codes[2], codes[3])) return _mm512_setzero_si512();
    return _mm512_max_epi16(difference(divide(codes[0]), divide(codes[1])),
                            difference(divide(codes[2]), divide(codes[3])));
  };
  const auto* cb0 = static_cast<const Sample*>(cbA);
  const auto* cb1 = static_cast<const Sample*>(cbB);
  const auto* cr0 = static_cast<const Sample*>(crA);
  const auto* cr1 = static_cast<const Sample*>(crB);
  int i = 0;
  for (; i + kBlock <= count; i += kBlock) {
    store(diff + i, block(cb0 + i, cb1 + i, cr0 + i, cr1 + i));
  }
  const int rest = count - i;
  if (rest == 0) return;
  Sample t[4][kBlock] = {};
  int16_t out[kBlock];
  const auto bytes = static_cast<size_t>(rest) * sizeof(Sample);
  std::memcpy(t[0], cb0 + i, bytes);
  std::memcpy(t[1], cb1 + i, bytes);
  std::memcpy(t[2], cr0 + i, bytes);
  std::memcpy(t[3], cr1 + i, bytes);
  store(out, block(t[0], t[1], t[2], t[3]));
  std::memcpy(diff + i, out, static_cast<size_t>(rest) * sizeof(int16_t));
}

// Pixels [x, x + 32) of a luma difference row.
template <class Sample>
__m512i lumaDiffBlock(const Sample* a, const Sample* b, const int16_t* chroma, int shiftX, int x,
                      const Divide& divide) {
  const __m512i codesA = loadCodes(a + x, divide.maxCode);
  const __m512i codesB = loadCodes(b + x, divide.maxCode);
  const __m512i d =
      equal(codesA, codesB) ? _mm512_setzero_si512() : difference(divide(codesA), divide(codesB));
  if (chroma == nullptr) return d;
  if (shiftX == 0) return _mm512_max_epi16(d, load(chroma + x));
  // Chroma samples x/2 .. x/2 + 15, each repeated over its two pixels.
  static constexpr int16_t kTwice[kBlock] = {0,  0,  1,  1,  2,  2,  3,  3,  4,  4,  5,
                                             5,  6,  6,  7,  7,  8,  8,  9,  9,  10, 10,
                                             11, 11, 12, 12, 13, 13, 14, 14, 15, 15};
  const __m512i twice = load(kTwice);
  const __m512i c =
      _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(chroma + x / 2)));
  return _mm512_max_epi16(d, _mm512_permutexvar_epi16(twice, c));
}

template <class Sample>
void lumaDiff(const void* codesA, const void* codesB, const int16_t* chroma, int shiftX, int width,
              const SampleScale& scale, int16_t* diff) {
  assert(shiftX == 0 || shiftX == 1);
  const Divide divide(convert::kLumaQuotient, scale);
  const auto* a = static_cast<const Sample*>(codesA);
  const auto* b = static_cast<const Sample*>(codesB);
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    store(diff + x, lumaDiffBlock(a, b, chroma, shiftX, x, divide));
  }
  const int rest = width - x;
  if (rest == 0) return;
  Sample ta[kBlock] = {}, tb[kBlock] = {};
  int16_t tc[kBlock] = {}, out[kBlock];
  std::memcpy(ta, a + x, static_cast<size_t>(rest) * sizeof(Sample));
  std::memcpy(tb, b + x, static_cast<size_t>(rest) * sizeof(Sample));
  if (chroma != nullptr) {
    const int samples = ((x + rest - 1) >> shiftX) - (x >> shiftX) + 1;
    std::memcpy(tc, chroma + (x >> shiftX), static_cast<size_t>(samples) * sizeof(int16_t));
  }
  store(out, lumaDiffBlock(ta, tb, chroma != nullptr ? tc : nullptr, shiftX, 0, divide));
  std::memcpy(diff + x, out, static_cast<size_t>(rest) * sizeof(int16_t));
}

}  // namespace

const PlanarKernels PlanarKernelsAvx512 = {
    .decodeLuma8 = decodeRow<uint8_t, false>,
    .decodeLuma16 = decodeRow<uint16_t, false>,
    .decodeChroma8 = decodeRow<uint8_t, true>,
    .decodeChroma16 = decodeRow<uint16_t, true>,
    .encodeLuma8 = encodeLuma<uint8_t>,
    .encodeLuma16 = encodeLuma<uint16_t>,
    .encodeChroma8 = encodeChroma<uint8_t>,
    .encodeChroma16 = encodeChroma<uint16_t>,
    .chromaDiff8 = chromaDiff<uint8_t>,
    .chromaDiff16 = chromaDiff<uint16_t>,
    .lumaDiff8 = lumaDiff<uint8_t>,
    .lumaDiff16 = lumaDiff<uint16_t>,
};

}  // namespace quillet
