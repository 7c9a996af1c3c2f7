// SSE forms: integer work on four pixels at a time in the 64-bit MMX registers with the
// integer instructions SSE adds, float work in the SSE unit. Against the scalar form:
// - differences are identical (both clamp each component difference to 32767);
// - weights round the single-precision M x M x W to nearest even, so six near-ties over
//   motion 1..256 come out one lower than the scalar form's double-precision rounding;
// - map rows are written in whole groups of four, up to the width rounded up to 4;
// - frame rows are never read past pixel width-1: the last partial group goes through a
//   stack copy.
#include <mmintrin.h>
#include <xmmintrin.h>

#include <cstring>

#include "motion/motion.h"
#include "motion/motion_stage.h"

namespace quillet {

namespace {

__m64 load64(const void* p) {
  __m64 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store64(void* p, __m64 v) { std::memcpy(p, &v, sizeof v); }

__m64 word(int v) { return _mm_set1_pi16(static_cast<short>(v)); }

// |c - b| per sample with both steps saturating, so every result lies in 0..32767.
__m64 absDifference(__m64 c, __m64 b) {
  const __m64 t = _mm_subs_pi16(c, b);
  return _mm_max_pi16(t, _mm_subs_pi16(_mm_setzero_si64(), t));
}

// Four pixels (twelve samples) of each frame -> four differences in pixel order.
__m64 diffGroup(const void* current, const void* neighbour) {
  const auto* c = static_cast<const int16_t*>(current);
  const auto* b = static_cast<const int16_t*>(neighbour);
  const __m64 g0 = absDifference(load64(c), load64(b));          // Y0 Cb0 Cr0 Y1
  const __m64 g1 = absDifference(load64(c + 4), load64(b + 4));  // Cb1 Cr1 Y2 Cb2
  const __m64 g2 = absDifference(load64(c + 8), load64(b + 8));  // Cr2 Y3 Cb3 Cr3
  // Largest of three consecutive samples: a pixel's maximum lands in the lane of its first
  // sample - pixels 0 and 1 in lanes 0 and 3 of m0, pixel 2 in lane 2 of m1, pixel 3 in lane
  // 1 of m2.
  const __m64 m0 =
      _mm_max_pi16(g0, _mm_max_pi16(_mm_or_si64(_mm_srli_si64(g0, 16), _mm_slli_si64(g1, 48)),
                                    _mm_or_si64(_mm_srli_si64(g0, 32), _mm_slli_si64(g1, 32))));
  const __m64 m1 =
      _mm_max_pi16(g1, _mm_max_pi16(_mm_srli_si64(g1, 16),
                                    _mm_or_si64(_mm_srli_si64(g1, 32), _mm_slli_si64(g2, 32))));
  const __m64 m2 = _mm_max_pi16(g2, _mm_max_pi16(_mm_srli_si64(g2, 16), _mm_srli_si64(g2, 32)));
  const __m64 mixed = _mm_or_si64(_mm_and_si64(m0, _mm_set_pi16(-1, 0, 0, -1)),
                                  _mm_or_si64(_mm_and_si64(m1, _mm_set_pi16(0, -1, 0, 0)),
                                              _mm_and_si64(m2, _mm_set_pi16(0, 0, -1, 0))));
  // Lanes hold pixels 0, 3, 2, 1; put them in pixel order.
  return _mm_shuffle_pi16(mixed, _MM_SHUFFLE(1, 2, 3, 0));
}

// Four weights from the plus-shaped neighbourhoods of four differences.
template <bool kLimited>
__m64 motionGroup(__m64 p, __m64 l, __m64 r, __m64 u, __m64 d, __m128 w, __m64 limit) {
  const __m64 a = _mm_max_pi16(p, u);
  const __m64 b = _mm_min_pi16(p, u);
  const __m64 max3 = _mm_max_pi16(a, d);
  const __m64 med3 = _mm_max_pi16(b, _mm_min_pi16(a, d));
  const __m64 max4 = _mm_max_pi16(max3, l);
  const __m64 s4 = _mm_max_pi16(med3, _mm_min_pi16(max3, l));
  const __m64 m1 = _mm_max_pi16(max4, r);
  const __m64 m2 = _mm_max_pi16(s4, _mm_min_pi16(max4, r));
  // Mean of the two largest, an exact half rounded up.
  const __m64 measure = _mm_avg_pu16(m1, m2);
  __m128 v = _mm_cvtpu16_ps(measure);
  v = _mm_min_ps(_mm_mul_ps(_mm_mul_ps(v, v), w), _mm_set1_ps(4096.0f));
  // Two lanes at a time, rounded to nearest even (the default mode), packed with saturation.
  __m64 weight = _mm_cvtps_pi16(v);
  if constexpr (kLimited) {
    const __m64 t = _mm_subs_pi16(p, med3);
    const __m64 departure = _mm_max_pi16(t, _mm_subs_pi16(_mm_setzero_si64(), t));
    weight = _mm_max_pi16(weight, _mm_and_si64(_mm_cmpgt_pi16(departure, limit), word(4096)));
  }
  return weight;
}

template <bool kLimited>
void motionRow(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
               const MotionWeights& weights) {
  if (width <= 0) return;
  const __m128 w = _mm_load_ps(weights.lane);
  const __m64 limit = word(hardLimit);
  diff[-1] = diff[0];
  diff[width] = diff[width - 1];
  const int16_t* above = diff - pitch;
  const int16_t* below = diff + pitch;
  int x = 0;
  for (; x + 4 <= width; x += 4) {
    store64(map + x,
            motionGroup<kLimited>(load64(diff + x), load64(diff + x - 1), load64(diff + x + 1),
                                  load64(above + x), load64(below + x), w, limit));
  }
  if (x < width) {
    // The rows above and below are read only up to width-1: their spare elements belong to
    // the threads working on those rows.
    int16_t up[4] = {};
    int16_t down[4] = {};
    const size_t bytes = static_cast<size_t>(width - x) * sizeof(int16_t);
    std::memcpy(up, above + x, bytes);
    std::memcpy(down, below + x, bytes);
    store64(map + x,
            motionGroup<kLimited>(load64(diff + x), load64(diff + x - 1), load64(diff + x + 1),
                                  load64(up), load64(down), w, limit));
  }
}

}  // namespace

MotionWeights* BuildWeightsSse(MotionWeights* weights, int level) {
  const int a = level == 0 ? 1 : level;
  const __m128 af = _mm_cvtsi32_ss(_mm_setzero_ps(), a);
  // a <= 2048 makes the single-precision square exact.
  const __m128 q = _mm_div_ss(_mm_set_ss(4096.0f), _mm_mul_ss(af, af));
  _mm_store_ps(weights->lane, _mm_shuffle_ps(q, q, 0));
  return weights;
}

void DiffRowSse(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width) {
  int x = 0;
  for (; x + 4 <= width; x += 4) store64(diff + x, diffGroup(current + x, neighbour + x));
  if (x < width) {
    Pixel c[4] = {};
    Pixel b[4] = {};
    const size_t bytes = static_cast<size_t>(width - x) * sizeof(Pixel);
    std::memcpy(c, current + x, bytes);
    std::memcpy(b, neighbour + x, bytes);
    store64(diff + x, diffGroup(c, b));
  }
}

void MotionRowSse(int16_t* diff, int16_t* map, int width, int pitch, const MotionWeights& weights) {
  motionRow<false>(diff, map, width, pitch, 0, weights);
}

void MotionRowLimitedSse(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                         const MotionWeights& weights) {
  motionRow<true>(diff, map, width, pitch, hardLimit, weights);
}

HOST_ENTRY void DiffStageSse(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)extra;
  runDiffStage(threadCount, *job, DiffRowSse);
  _mm_empty();
}

HOST_ENTRY void MotionMapStageSse(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  // Leave any MMX state before the float work.
  _mm_empty();
  runMotionMapStage(threadCount, *job, *static_cast<const NeighbourSlot*>(extra), MotionRowSse,
                    MotionRowLimitedSse);
  _mm_empty();
}

}  // namespace quillet
