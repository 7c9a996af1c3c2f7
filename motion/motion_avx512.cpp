// AVX-512 forms (AVX512F + AVX512BW) of the motion rows: 32 values a step, each computed as the
// AVX2 and SSE2 forms compute it (the same saturating differences, median steps and
// single-precision square law with its round-to-nearest-even conversion), so they equal those
// for every input. Memory use as the AVX2 forms', except that map rows are written in whole blocks
// up to the width rounded down to 32 and the rest with a masked store; a row's own difference
// values read at -1..width only and the rows above and below at 0..width-1 (the last partial block
// through stack copies).
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "motion/motion.h"

namespace quillet {

namespace {

constexpr int kBlock = 32;

__m512i load(const void* p) { return _mm512_loadu_si512(p); }
void store(void* p, __m512i v) { _mm512_storeu_si512(p, v); }

// min(M x M x W, 4096) in single precision, rounded to nearest even, packed with saturation.
__m512i squareLaw(__m512i measure, __m512 w) {
  const __m512 full = _mm512_set1_ps(4096.0f);
  const __m512i zero = _mm512_setzero_si512();
  __m512 lo = _mm512_cvtepi32_ps(_mm512_unpacklo_epi16(measure, zero));
  __m512 hi = _mm512_cvtepi32_ps(_mm512_unpackhi_epi16(measure, zero));
  lo = _mm512_min_ps(_mm512_mul_ps(_mm512_mul_ps(lo, lo), w), full);
  hi = _mm512_min_ps(_mm512_mul_ps(_mm512_mul_ps(hi, hi), w), full);
  return _mm512_packs_epi32(_mm512_cvtps_epi32(lo), _mm512_cvtps_epi32(hi));
}

template <bool kLimited>
__m512i motionBlock(__m512i p, __m512i l, __m512i r, __m512i u, __m512i d, __m512 w,
                    __m512i limit) {
  const __m512i a = _mm512_max_epi16(p, u);
  const __m512i b = _mm512_min_epi16(p, u);
  const __m512i max3 = _mm512_max_epi16(a, d);
  const __m512i med3 = _mm512_max_epi16(b, _mm512_min_epi16(a, d));
  const __m512i max4 = _mm512_max_epi16(max3, l);
  const __m512i s4 = _mm512_max_epi16(med3, _mm512_min_epi16(max3, l));
  const __m512i m1 = _mm512_max_epi16(max4, r);
  const __m512i m2 = _mm512_max_epi16(s4, _mm512_min_epi16(max4, r));
  // Mean of the two largest, an exact half rounded up.
  __m512i weight = squareLaw(_mm512_avg_epu16(m1, m2), w);
  if constexpr (kLimited) {
    const __m512i t = _mm512_subs_epi16(p, med3);
    const __m512i departure = _mm512_max_epi16(t, _mm512_subs_epi16(_mm512_setzero_si512(), t));
    const __mmask32 over = _mm512_cmpgt_epi16_mask(departure, limit);
    weight = _mm512_mask_max_epi16(weight, over, weight, _mm512_set1_epi16(4096));
  }
  return weight;
}

template <bool kLimited>
void motionRow(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
               const MotionWeights& weights) {
  if (width <= 0) return;
  const __m512 w = _mm512_broadcast_f32x4(_mm_load_ps(weights.lane));
  const __m512i limit = _mm512_set1_epi16(static_cast<short>(hardLimit));
  diff[-1] = diff[0];
  diff[width] = diff[width - 1];
  const int16_t* above = diff - pitch;
  const int16_t* below = diff + pitch;
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    store(map + x, motionBlock<kLimited>(load(diff + x), load(diff + x - 1), load(diff + x + 1),
                                         load(above + x), load(below + x), w, limit));
  }
  if (x < width) {
    int16_t own[kBlock + 2] = {};
    int16_t up[kBlock] = {};
    int16_t down[kBlock] = {};
    const size_t count = static_cast<size_t>(width - x);
    std::memcpy(own, diff + x - 1, (count + 2) * sizeof(int16_t));
    std::memcpy(up, above + x, count * sizeof(int16_t));
    std::memcpy(down, below + x, count * sizeof(int16_t));
    // Only the row's own values: the pitch of a narrow map may not hold a whole block.
    _mm512_mask_storeu_epi16(map + x, static_cast<__mmask32>((uint64_t{1} << count) - 1),
                             motionBlock<kLimited>(load(own + 1), load(own), load(own + 2),
                                                   load(up), load(down), w, limit));
  }
}

}  // namespace

void MotionRowAvx512(int16_t* diff, int16_t* map, int width, int pitch,
                     const MotionWeights& weights) {
  motionRow<false>(diff, map, width, pitch, 0, weights);
}

void MotionRowLimitedAvx512(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                            const MotionWeights& weights) {
  motionRow<true>(diff, map, width, pitch, hardLimit, weights);
}

}  // namespace quillet
