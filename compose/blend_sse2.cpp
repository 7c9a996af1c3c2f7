#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "compose/blend_stage.h"
#include "compose/compose.h"

namespace quillet {

namespace {

// A group is four pixels: 12 components, loaded as one 16-byte block (components 0..7, pixels
// 0,0,0,1 / 1,1,2,2) and one 8-byte block (components 8..11, pixels 2,3,3,3).
constexpr int kGroupPixels = 4;

template <int Mode>
__m128i loadWeights(const int16_t* prevMap, const int16_t* nextMap, int x) {
  const __m128i prev = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(prevMap + x));
  if constexpr (Mode == 0) {
    return prev;
  } else if constexpr (Mode == 1) {
    return _mm_min_epi16(prev, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(nextMap + x)));
  } else {
    return _mm_max_epi16(prev, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(nextMap + x)));
  }
}

// pmaddwd of (source, filtered) pairs with (4096 - w, w) pairs: source * (4096 - w) +
// filtered * w per component. 2047 before the shift: an exact half rounds toward minus
// infinity.
__m128i mixPairs(__m128i srcDst, __m128i pairs) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(srcDst, pairs), _mm_set1_epi32(2047));
  return _mm_srai_epi32(sum, 12);
}

// Blends one group of four pixels in place. For weights 0..4096 every result lies between its
// two inputs, so the saturating packs never act.
[[gnu::always_inline]] inline void mixGroup(int16_t* dst, const int16_t* src, __m128i weights) {
  // Zero-extended weights; each 32-bit lane (w << 16) | (4096 - w) reads as the 16-bit pair
  // (4096 - w, w).
  const __m128i wide = _mm_unpacklo_epi16(weights, _mm_setzero_si128());
  const __m128i complement = _mm_sub_epi32(_mm_set1_epi32(4096), wide);
  const __m128i pairs = _mm_or_si128(_mm_slli_epi32(wide, 16), complement);
  const __m128i pairs0001 = _mm_shuffle_epi32(pairs, _MM_SHUFFLE(1, 0, 0, 0));
  const __m128i pairs1122 = _mm_shuffle_epi32(pairs, _MM_SHUFFLE(2, 2, 1, 1));
  const __m128i pairs2333 = _mm_shuffle_epi32(pairs, _MM_SHUFFLE(3, 3, 3, 2));

  const __m128i src01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const __m128i dst01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst));
  const __m128i src2 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 8));
  const __m128i dst2 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst + 8));

  const __m128i mixed0 = mixPairs(_mm_unpacklo_epi16(src01, dst01), pairs0001);
  const __m128i mixed1 = mixPairs(_mm_unpackhi_epi16(src01, dst01), pairs1122);
  const __m128i mixed2 = mixPairs(_mm_unpacklo_epi16(src2, dst2), pairs2333);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_packs_epi32(mixed0, mixed1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 8), _mm_packs_epi32(mixed2, mixed2));
}

// Whole groups in place, the next group's weights loaded before the current group is stored
// (map values up to width + 6, inside the map pitch). A last partial group goes through a stack
// block so no frame byte past pixel width - 1 is touched.
template <int Mode>
void blendRowSse2(Pixel* dst, const Pixel* src, const int16_t* prevMap, const int16_t* nextMap,
                  int width) {
  if (width <= 0) return;
  const int whole = width / kGroupPixels;
  const int rest = width % kGroupPixels;
  auto* dstSamples = reinterpret_cast<int16_t*>(dst);
  const auto* srcSamples = reinterpret_cast<const int16_t*>(src);

  __m128i weights = loadWeights<Mode>(prevMap, nextMap, 0);
  for (int g = 0; g < whole; ++g) {
    const int x = g * kGroupPixels;
    const __m128i ahead = loadWeights<Mode>(prevMap, nextMap, x + kGroupPixels);
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

const BlendRowTable BlendRowsSse2 = {blendRowSse2<0>, blendRowSse2<1>, blendRowSse2<2>};

HOST_ENTRY void BlendStageSse2(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)threadCount;
  runBlendRows(*job, extra, BlendRowsSse2);
  _mm_empty();
}

}  // namespace quillet
