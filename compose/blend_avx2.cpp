#include <immintrin.h>
#include <mmintrin.h>

#include <cstdint>
#include <cstring>

#include "compose/blend_stage.h"
#include "compose/compose.h"

namespace quillet {

namespace {

// A block is sixteen pixels, 48 components, held as two halves of eight pixels: each vector
// carries eight components of pixels 0..7 in its low 128 bits and the matching eight of pixels
// 8..15 in its high 128 bits. Every instruction below works inside 128-bit halves, so each half
// does what the SSE2 form does to two of its four-pixel groups.
constexpr int kBlockPixels = 16;
constexpr int kHalfSamples = 8 * kSamplesPerPixel;

// Components 8k..8k+7 of both halves.
__m256i loadHalves(const int16_t* p) {
  return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + kHalfSamples),
                             reinterpret_cast<const __m128i*>(p));
}

void storeHalves(int16_t* p, __m256i v) {
  _mm256_storeu2_m128i(reinterpret_cast<__m128i*>(p + kHalfSamples), reinterpret_cast<__m128i*>(p),
                       v);
}

__m256i load16(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The sixteen weights of the block at x, in pixel order: mode 0 the previous map's, mode 1 the
// lane-wise signed minimum of both maps, mode 2 the maximum.
template <int Mode>
__m256i loadWeights(const int16_t* prevMap, const int16_t* nextMap) {
  const __m256i prev = load16(prevMap);
  if constexpr (Mode == 0) {
    return prev;
  } else if constexpr (Mode == 1) {
    return _mm256_min_epi16(prev, load16(nextMap));
  } else {
    return _mm256_max_epi16(prev, load16(nextMap));
  }
}

// pmaddwd of (source, filtered) pairs with (4096 - w, w) pairs: source * (4096 - w) +
// filtered * w per component. 2047 before the shift: an exact half rounds toward minus
// infinity.
__m256i mixPairs(__m256i srcDst, __m256i pairs) {
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(srcDst, pairs), _mm256_set1_epi32(2047));
  return _mm256_srai_epi32(sum, 12);
}

// Blends one block of sixteen pixels in place. The weight pairs are built as the SSE2 form
// builds them, so any 16-bit weight gives its bits; for weights 0..4096 every result lies
// between its two inputs and the saturating packs never act.
[[gnu::always_inline]] inline void mixBlock(int16_t* dst, const int16_t* src, __m256i weights) {
  // Zero-extended weights of pixels 0..3 | 8..11 and 4..7 | 12..15; each 32-bit lane
  // (w << 16) | (4096 - w) reads as the 16-bit pair (4096 - w, w).
  const __m256i zero = _mm256_setzero_si256();
  const __m256i four096 = _mm256_set1_epi32(4096);
  const __m256i wideLo = _mm256_unpacklo_epi16(weights, zero);
  const __m256i wideHi = _mm256_unpackhi_epi16(weights, zero);
  const __m256i pairsLo =
      _mm256_or_si256(_mm256_slli_epi32(wideLo, 16), _mm256_sub_epi32(four096, wideLo));
  const __m256i pairsHi =
      _mm256_or_si256(_mm256_slli_epi32(wideHi, 16), _mm256_sub_epi32(four096, wideHi));
  // The pair of each component's pixel, per half: components 0..23 belong to pixels
  // 0001 1122 2333 4445 5566 6777.
  const __m256i pairs[6] = {
      _mm256_shuffle_epi32(pairsLo, _MM_SHUFFLE(1, 0, 0, 0)),
      _mm256_shuffle_epi32(pairsLo, _MM_SHUFFLE(2, 2, 1, 1)),
      _mm256_shuffle_epi32(pairsLo, _MM_SHUFFLE(3, 3, 3, 2)),
      _mm256_shuffle_epi32(pairsHi, _MM_SHUFFLE(1, 0, 0, 0)),
      _mm256_shuffle_epi32(pairsHi, _MM_SHUFFLE(2, 2, 1, 1)),
      _mm256_shuffle_epi32(pairsHi, _MM_SHUFFLE(3, 3, 3, 2)),
  };
  __m256i s[3], d[3];
  for (int k = 0; k < 3; ++k) {
    s[k] = loadHalves(src + 8 * k);
    d[k] = loadHalves(dst + 8 * k);
  }
  for (int k = 0; k < 3; ++k) {
    const __m256i lo = mixPairs(_mm256_unpacklo_epi16(s[k], d[k]), pairs[2 * k]);
    const __m256i hi = mixPairs(_mm256_unpackhi_epi16(s[k], d[k]), pairs[2 * k + 1]);
    storeHalves(dst + 8 * k, _mm256_packs_epi32(lo, hi));
  }
}

// Whole blocks in place, then a last partial block through stack copies of its pixels and its
// weights: neither frame memory past pixel width - 1 nor a map value past width - 1 is touched.
template <int Mode>
void blendRowAvx2(Pixel* dst, const Pixel* src, const int16_t* prevMap, const int16_t* nextMap,
                  int width) {
  if (width <= 0) return;
  auto* dstSamples = reinterpret_cast<int16_t*>(dst);
  const auto* srcSamples = reinterpret_cast<const int16_t*>(src);
  int x = 0;
  for (; x + kBlockPixels <= width; x += kBlockPixels) {
    const __m256i weights = loadWeights<Mode>(prevMap + x, Mode == 0 ? nullptr : nextMap + x);
    mixBlock(dstSamples + x * kSamplesPerPixel, srcSamples + x * kSamplesPerPixel, weights);
  }
  if (x == width) return;

  const size_t rest = static_cast<size_t>(width - x);
  int16_t dstBlock[kBlockPixels * kSamplesPerPixel] = {};
  int16_t srcBlock[kBlockPixels * kSamplesPerPixel] = {};
  int16_t prevBlock[kBlockPixels] = {};
  int16_t nextBlock[kBlockPixels] = {};
  std::memcpy(dstBlock, dst + x, rest * sizeof(Pixel));
  std::memcpy(srcBlock, src + x, rest * sizeof(Pixel));
  std::memcpy(prevBlock, prevMap + x, rest * sizeof(int16_t));
  if constexpr (Mode != 0) std::memcpy(nextBlock, nextMap + x, rest * sizeof(int16_t));
  mixBlock(dstBlock, srcBlock, loadWeights<Mode>(prevBlock, nextBlock));
  std::memcpy(dst + x, dstBlock, rest * sizeof(Pixel));
}

}  // namespace

const BlendRowTable BlendRowsAvx2 = {blendRowAvx2<0>, blendRowAvx2<1>, blendRowAvx2<2>};

HOST_ENTRY void BlendStageAvx2(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)threadCount;
  runBlendRows(*job, extra, BlendRowsAvx2);
  _mm_empty();
}

}  // namespace quillet
