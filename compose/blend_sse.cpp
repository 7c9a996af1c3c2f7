#include <xmmintrin.h>

#include <cstdint>
#include <cstring>

#include "compose/blend_stage.h"
#include "compose/compose.h"

namespace quillet {

namespace {

// A group is four pixels: 12 components in three 64-bit words whose components belong to
// pixels 0,0,0,1 / 1,1,2,2 / 2,3,3,3.
constexpr int kGroupPixels = 4;

__m64 load64(const void* p) {
  __m64 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

void store64(void* p, __m64 v) { std::memcpy(p, &v, sizeof(v)); }

// The four weights of the group at x: mode 0 the previous map's, mode 1 the lane-wise signed
// minimum of both maps, mode 2 the maximum.
template <int Mode>
__m64 loadWeights(const int16_t* prevMap, const int16_t* nextMap, int x) {
  const __m64 prev = load64(prevMap + x);
  if constexpr (Mode == 0) {
    return prev;
  } else if constexpr (Mode == 1) {
    return _mm_min_pi16(prev, load64(nextMap + x));
  } else {
    return _mm_max_pi16(prev, load64(nextMap + x));
  }
}

// One word: its low two components take the (4096 - w, w) pair in pairsLo, its high two the pair
// in pairsHi; pmaddwd of (source, filtered) gives source * (4096 - w) + filtered * w per
// component. 2047 before the shift: an exact half rounds toward minus infinity. For weights
// 0..4096 the result lies between both inputs, so the saturating pack never acts.
__m64 mixWord(__m64 src, __m64 dst, __m64 pairsLo, __m64 pairsHi) {
  const __m64 round = _mm_set1_pi32(2047);
  __m64 lo = _mm_madd_pi16(_mm_unpacklo_pi16(src, dst), pairsLo);
  __m64 hi = _mm_madd_pi16(_mm_unpackhi_pi16(src, dst), pairsHi);
  lo = _mm_srai_pi32(_mm_add_pi32(lo, round), 12);
  hi = _mm_srai_pi32(_mm_add_pi32(hi, round), 12);
  return _mm_packs_pi32(lo, hi);
}

// Blends one group of four pixels in place: 12 components at dst from dst and src.
[[gnu::always_inline]] inline void mixGroup(int16_t* dst, const int16_t* src, __m64 weights) {
  // Unsigned saturating subtraction from 4096: weights 0..4096 give exactly 4096 - w.
  const __m64 complement = _mm_subs_pu16(_mm_set1_pi16(4096), weights);
  const __m64 pairs01 = _mm_unpacklo_pi16(complement, weights);  // (c0,w0) (c1,w1)
  const __m64 pairs23 = _mm_unpackhi_pi16(complement, weights);  // (c2,w2) (c3,w3)
  const __m64 pairs00 = _mm_unpacklo_pi32(pairs01, pairs01);
  const __m64 pairs11 = _mm_unpackhi_pi32(pairs01, pairs01);
  const __m64 pairs22 = _mm_unpacklo_pi32(pairs23, pairs23);
  const __m64 pairs33 = _mm_unpackhi_pi32(pairs23, pairs23);

  const __m64 word0 = mixWord(load64(src), load64(dst), pairs00, pairs01);
  const __m64 word1 = mixWord(load64(src + 4), load64(dst + 4), pairs11, pairs22);
  const __m64 word2 = mixWord(load64(src + 8), load64(dst + 8), pairs23, pairs33);
  store64(dst, word0);
  store64(dst + 4, word1);
  store64(dst + 8, word2);
}

// Whole groups in place, the next group's weights loaded before the current group is stored.
// The look-ahead reads map values up to width + 6, inside the map pitch. A last partial group
// goes through a stack block so no frame byte past pixel width - 1 is touched.
template <int Mode>
void blendRowSse(Pixel* dst, const Pixel* src, const int16_t* prevMap, const int16_t* nextMap,
                 int width) {
  if (width <= 0) return;
  const int whole = width / kGroupPixels;
  const int rest = width % kGroupPixels;
  auto* dstSamples = reinterpret_cast<int16_t*>(dst);
  const auto* srcSamples = reinterpret_cast<const int16_t*>(src);

  __m64 weights = loadWeights<Mode>(prevMap, nextMap, 0);
  for (int g = 0; g < whole; ++g) {
    const int x = g * kGroupPixels;
    const __m64 ahead = loadWeights<Mode>(prevMap, nextMap, x + kGroupPixels);
    mixGroup(dstSamples + x * kSamplesPerPixel, srcSamples + x * kSamplesPerPixel, weights);
    weights = ahead;
  }
  if (rest == 0) return;

  const int x = whole * kGroupPixels;
  const size_t restBytes = static_cast<size_t>(rest) * sizeof(Pixel);
  int16_t dstBlock[kGroupPixels * kSamplesPerPixel] = {};
  int16_t srcBlock[kGroupPixels * kSamplesPerPixel] = {};
  std::memcpy(dstBlock, dst + x, restBytes);
  std::memcpy(srcBlock, src + x, restBytes);
  mixGroup(dstBlock, srcBlock, weights);
  std::memcpy(dst + x, dstBlock, restBytes);
}

}  // namespace

// Same pixels as BlendRowsScalar for weights 0..4096. The rows leave the MMX registers in use:
// whoever calls them clears the state (_mm_empty) before any x87 code runs.
const BlendRowTable BlendRowsSse = {blendRowSse<0>, blendRowSse<1>, blendRowSse<2>};

HOST_ENTRY void BlendStageSse(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)threadCount;
  runBlendRows(*job, extra, BlendRowsSse);
  _mm_empty();
}

}  // namespace quillet
