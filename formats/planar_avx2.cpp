#include <immintrin.h>

#include <cassert>
#include <cstdint>
#include <cstring>

#include "formats/convert_constants.h"
#include "formats/planar.h"

namespace quillet {
namespace {

constexpr int kBlock = 16;  // values per register

__m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// Quadwords 0 2 1 3: undoes (or prepares for) the lane-wise order of unpacks and packs.
__m256i crossLanes(__m256i v) { return _mm256_permute4x64_epi64(v, _MM_SHUFFLE(3, 1, 2, 0)); }

// ---------------------------------------------------------------------------------------------
// Decoding: the quotient estimate of convert_constants.h, in 16-bit lanes.

struct Divide {
  __m128i preShift, shift;
  __m256i multiplier, offset, bias, divisor, divisorLess1, maxCode;

  Divide(const convert::Quotient& q, const SampleScale& scale)
      : preShift(_mm_cvtsi32_si128(8 - (scale.bitDepth - 8))),
        shift(_mm_cvtsi32_si128(q.shift - (scale.bitDepth - 8))),
        multiplier(_mm256_set1_epi16(static_cast<int16_t>(q.multiplier))),
        offset(_mm256_set1_epi16(static_cast<int16_t>(q.offset))),
        bias(_mm256_set1_epi16(static_cast<int16_t>(q.bias))),
        divisor(_mm256_set1_epi16(static_cast<int16_t>(q.divisor))),
        divisorLess1(_mm256_set1_epi16(static_cast<int16_t>(q.divisor - 1))),
        maxCode(_mm256_set1_epi16(static_cast<int16_t>(scale.maxCode))) {}

  __m256i operator()(__m256i code) const {
    const __m256i estimate =
        _mm256_sub_epi16(_mm256_mulhi_epu16(_mm256_sll_epi16(code, preShift), multiplier), offset);
    const __m256i low = _mm256_add_epi16(_mm256_sll_epi16(code, shift), bias);
    const __m256i remainder = _mm256_sub_epi16(low, _mm256_mullo_epi16(estimate, divisor));
    return _mm256_sub_epi16(estimate, _mm256_cmpgt_epi16(remainder, divisorLess1));
  }
};

template <class Sample>
__m256i loadCodes(const Sample* p, __m256i maxCode) {
  if constexpr (sizeof(Sample) == 1) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  } else {
    return _mm256_min_epu16(load(p), maxCode);
  }
}

template <class Sample, bool kChroma>
void decodeRow(const void* codes, int count, const SampleScale& scale, int16_t* dst) {
  assert(count >= 0);
  const Divide divide(kChroma ? convert::kChromaQuotient : convert::kLumaQuotient, scale);
  const auto* in = static_cast<const Sample*>(codes);
  int i = 0;
  for (; i + 2 * kBlock <= count; i += 2 * kBlock) {
    store(dst + i, divide(loadCodes(in + i, divide.maxCode)));
    store(dst + i + kBlock, divide(loadCodes(in + i + kBlock, divide.maxCode)));
  }
  for (; i < count; i += kBlock) {
    const int rest = count - i < kBlock ? count - i : kBlock;
    Sample tail[kBlock] = {};
    int16_t out[kBlock];
    std::memcpy(tail, in + i, static_cast<size_t>(rest) * sizeof(Sample));
    store(out, divide(loadCodes(tail, divide.maxCode)));
    std::memcpy(dst + i, out, static_cast<size_t>(rest) * sizeof(int16_t));
  }
}

// ---------------------------------------------------------------------------------------------
// Encoding

// code = base + ((factor * sum + 2^(t-1)) >> t) clamped to 0..maxCode, from 32-bit sums. 16-bit
// codes are packed biased by -32768, so that the signed saturation of the pack clamps them.
template <class Sample>
struct Codes {
  static constexpr int32_t kBias = sizeof(Sample) == 1 ? 0 : 32768;
  __m256i factor;
  __m256i add;
  __m128i shift;
  __m256i maxBiased;

  Codes(int32_t factorValue, int32_t base, int t, int32_t maxCode)
      : factor(_mm256_set1_epi32(factorValue)),
        add(_mm256_set1_epi32((int32_t{1} << (t - 1)) + (base - kBias) * (int32_t{1} << t))),
        shift(_mm_cvtsi32_si128(t)),
        maxBiased(_mm256_set1_epi16(static_cast<int16_t>(maxCode - kBias))) {}

  __m256i code32(__m256i sum) const {
    return _mm256_sra_epi32(_mm256_add_epi32(_mm256_mullo_epi32(sum, factor), add), shift);
  }

  // 16 codes from the sums of values 0..3 | 8..11 (lo) and 4..7 | 12..15 (hi).
  void store16(Sample* dst, __m256i lo, __m256i hi) const {
    const __m256i words = _mm256_packs_epi32(code32(lo), code32(hi));
    if constexpr (sizeof(Sample) == 1) {
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(dst),
          _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
    } else {
      store(dst, _mm256_xor_si256(_mm256_min_epi16(words, maxBiased), _mm256_set1_epi16(-32768)));
    }
  }
};

// (w, 4096 - w) word pairs for 32-bit lanes holding w in their low word (high word zero).
__m256i weightPairs(__m256i w32) {
  return _mm256_add_epi32(
      _mm256_sub_epi32(_mm256_set1_epi32(4096 << 16), _mm256_slli_epi32(w32, 16)), w32);
}

// ((filtered, source) pairs . (w, 4096 - w) pairs + 2047) >> 12: the blend of 32-bit lanes.
__m256i mix(__m256i filteredSource, __m256i pairs) {
  return _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(filteredSource, pairs), _mm256_set1_epi32(2047)), 12);
}

// The weights of a row input where the row has none of its own: 0 takes the source (with the
// filtered values read as the source's), 4096 the filtered values.
struct RowView {
  const int16_t* filtered;
  const int16_t* weight;
  __m256i constant;
};

RowView viewOf(const int16_t* source, const PlaneRowInput& row) {
  if (row.filtered == nullptr) return {source, nullptr, _mm256_setzero_si256()};
  return {row.filtered, row.weight, _mm256_set1_epi16(4096)};
}

__m256i weightsAt(const RowView& v, int pixel) {
  return v.weight == nullptr ? v.constant : load(v.weight + pixel);
}

template <class Sample>
void encodeLumaBlock(const int16_t* source, const RowView& view, int x, const Codes<Sample>& k,
                     Sample* out) {
  const __m256i s = load(source + x);
  const __m256i f = load(view.filtered + x);
  const __m256i w = weightsAt(view, x);
  const __m256i rest = _mm256_sub_epi16(_mm256_set1_epi16(4096), w);
  const __m256i lo = mix(_mm256_unpacklo_epi16(f, s), _mm256_unpacklo_epi16(w, rest));
  const __m256i hi = mix(_mm256_unpackhi_epi16(f, s), _mm256_unpackhi_epi16(w, rest));
  k.store16(out + x, lo, hi);
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

// Sums of the values of samples [c, c + 16) over `rowCount` rows: lo samples 0..3 | 8..11, hi
// 4..7 | 12..15 (the order Codes::store16 takes).
template <int kShiftX>
void chromaSums(const int16_t* source, const RowView* views, int rowCount, int c, __m256i& lo,
                __m256i& hi) {
  const __m256i s = load(source + c);
  lo = _mm256_setzero_si256();
  hi = _mm256_setzero_si256();
  for (int r = 0; r < rowCount; ++r) {
    const RowView& v = views[r];
    const __m256i f = load(v.filtered + c);
    if constexpr (kShiftX == 0) {
      const __m256i w = weightsAt(v, c);
      const __m256i rest = _mm256_sub_epi16(_mm256_set1_epi16(4096), w);
      lo = _mm256_add_epi32(lo, mix(_mm256_unpacklo_epi16(f, s), _mm256_unpacklo_epi16(w, rest)));
      hi = _mm256_add_epi32(hi, mix(_mm256_unpackhi_epi16(f, s), _mm256_unpackhi_epi16(w, rest)));
    } else {
      // (filtered, source) of samples 0..7 and 8..15 in order; the weights of pixels 2i and
      // 2i + 1 share the 32-bit lane of sample i.
      const __m256i fs[2] = {_mm256_unpacklo_epi16(crossLanes(f), crossLanes(s)),
                             _mm256_unpackhi_epi16(crossLanes(f), crossLanes(s))};
      __m256i sum[2];
      for (int h = 0; h < 2; ++h) {
        const __m256i w = weightsAt(v, 2 * c + kBlock * h);
        const __m256i even = _mm256_and_si256(w, _mm256_set1_epi32(0xFFFF));
        const __m256i odd = _mm256_srli_epi32(w, 16);
        sum[h] = _mm256_add_epi32(mix(fs[h], weightPairs(even)), mix(fs[h], weightPairs(odd)));
      }
      // Back to the lane order of a pack: samples 0..3 | 8..11 and 4..7 | 12..15.
      lo = _mm256_add_epi32(lo, _mm256_permute2x128_si256(sum[0], sum[1], 0x20));
      hi = _mm256_add_epi32(hi, _mm256_permute2x128_si256(sum[0], sum[1], 0x31));
    }
  }
}

template <class Sample, int kShiftX>
void encodeChromaRow(const int16_t* source, const PlaneRowInput* rows, int rowCount, int width,
                     const SampleScale& scale, void* codes) {
  // A sample is the mean of 2^shiftX pixels of each row; the last of an odd row covers one pixel,
  // whose weight stands in for its missing partner so that the mean keeps its count.
  const int log2Count = kShiftX + (rowCount == 2 ? 1 : 0);
  const Codes<Sample> k(convert::kChromaFactor, scale.centre,
                        convert::kChromaShift + log2Count - (scale.bitDepth - 8), scale.maxCode);
  auto* out = static_cast<Sample*>(codes);
  const int samples = (width + (1 << kShiftX) - 1) >> kShiftX;
  RowView views[2];
  for (int r = 0; r < rowCount; ++r) views[r] = viewOf(source, rows[r]);
  int c = 0;
  __m256i lo, hi;
  for (; c + kBlock <= samples && (c + kBlock) << kShiftX <= width; c += kBlock) {
    chromaSums<kShiftX>(source, views, rowCount, c, lo, hi);
    k.store16(out + c, lo, hi);
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
  k.store16(codesOut, lo, hi);
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
bool equal(__m256i a, __m256i b) { return _mm256_movemask_epi8(_mm256_cmpeq_epi16(a, b)) == -1; }

__m256i difference(__m256i a, __m256i b) {
  return _mm256_max_epi16(_mm256_subs_epi16(a, b), _mm256_subs_epi16(b, a));
}

template <class Sample>
void chromaDiff(const void* cbA, const void* cbB, const void* crA, const void* crB, int count,
                const SampleScale& scale, int16_t* diff) {
  const Divide divide(convert::kChromaQuotient, scale);
  const auto block = [&](const Sample* a, const Sample* b, const Sample* c, const Sample* d) {
    const __m256i codes[4] = {loadCodes(a, divide.maxCode), loadCodes(b, divide.maxCode),
                              loadCodes(c, divide.maxCode), loadCodes(d, divide.maxCode)};
    if (equal(codes[0], codes[1]) && equal(codes[2], codes[3])) return _mm256_setzero_si256();
    return _mm256_max_epi16(difference(divide(codes[0]), divide(codes[1])),
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

// Pixels [x, x + 16) of a luma difference row.
template <class Sample>
__m256i lumaDiffBlock(const Sample* a, const Sample* b, const int16_t* chroma, int shiftX, int x,
                      const Divide& divide) {
  const __m256i codesA = loadCodes(a + x, divide.maxCode);
  const __m256i codesB = loadCodes(b + x, divide.maxCode);
  const __m256i d =
      equal(codesA, codesB) ? _mm256_setzero_si256() : difference(divide(codesA), divide(codesB));
  if (chroma == nullptr) return d;
  if (shiftX == 0) return _mm256_max_epi16(d, load(chroma + x));
  // Chroma samples x/2 .. x/2 + 7, each repeated over its two pixels.
  const __m256i c = _mm256_permute4x64_epi64(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + x / 2))),
      _MM_SHUFFLE(1, 1, 0, 0));
  return _mm256_max_epi16(d, _mm256_unpacklo_epi16(c, c));
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

const PlanarKernels PlanarKernelsAvx2 = {
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
