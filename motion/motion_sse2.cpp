// SSE2 forms: eight pixels per step in the 128-bit registers. Against the scalar form:
// - differences are identical (both clamp each component difference to 32767);
// - weights round the single-precision M x M x W to nearest even, so six near-ties over
//   motion 1..256 come out one lower than the scalar form's double-precision rounding;
// - map rows are read and written in whole blocks of eight with aligned moves (map rows start
//   16-byte aligned at a pitch that is a multiple of 8), up to the width rounded up to 8, and R
//   one value further;
// - frame rows are never read past pixel width-1: the last partial block goes through a stack
//   copy. The aligned difference form also needs 16-byte-aligned frame rows.
#include <emmintrin.h>
#include <mmintrin.h>

#include <cstring>

#include "motion/motion.h"
#include "motion/motion_stage.h"

namespace quillet {

namespace {

struct AlignedLoad {
  static __m128i load(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
};
struct UnalignedLoad {
  static __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
};

__m128i loadu(const void* p) { return UnalignedLoad::load(p); }
__m128i loada(const void* p) { return AlignedLoad::load(p); }
void storea(void* p, __m128i v) { _mm_store_si128(static_cast<__m128i*>(p), v); }

// |c - b| per sample with both steps saturating, so every result lies in 0..32767.
__m128i absDifference(__m128i c, __m128i b) {
  const __m128i t = _mm_subs_epi16(c, b);
  return _mm_max_epi16(t, _mm_subs_epi16(_mm_setzero_si128(), t));
}

__m128i lanes(short l0, short l1, short l2, short l3, short l4, short l5, short l6, short l7) {
  return _mm_setr_epi16(l0, l1, l2, l3, l4, l5, l6, l7);
}

// Eight pixels (24 samples) of each frame -> eight differences in pixel order.
template <class Load>
__m128i diffBlock(const void* current, const void* neighbour) {
  const auto* c = static_cast<const int16_t*>(current);
  const auto* b = static_cast<const int16_t*>(neighbour);
  const __m128i a0 = absDifference(Load::load(c), Load::load(b));            // Y0 .. Cb2
  const __m128i a1 = absDifference(Load::load(c + 8), Load::load(b + 8));    // Cr2 .. Y5
  const __m128i a2 = absDifference(Load::load(c + 16), Load::load(b + 16));  // Cb5 .. Cr7
  // Largest of three consecutive samples: a pixel's maximum lands in the lane of its first
  // sample - pixels 0, 1, 2 in lanes 0, 3, 6 of m0; 3, 4, 5 in lanes 1, 4, 7 of m1; 6, 7 in
  // lanes 2, 5 of m2.
  const __m128i m0 =
      _mm_max_epi16(a0, _mm_max_epi16(_mm_srli_si128(a0, 2),
                                      _mm_or_si128(_mm_srli_si128(a0, 4), _mm_slli_si128(a1, 12))));
  const __m128i m1 =
      _mm_max_epi16(a1, _mm_max_epi16(_mm_or_si128(_mm_srli_si128(a1, 2), _mm_slli_si128(a2, 14)),
                                      _mm_or_si128(_mm_srli_si128(a1, 4), _mm_slli_si128(a2, 12))));
  const __m128i m2 = _mm_max_epi16(a2, _mm_max_epi16(_mm_srli_si128(a2, 2), _mm_srli_si128(a2, 4)));
  // Pixels 0, 1, 2 into lanes 0, 1, 2.
  const __m128i p012 =
      _mm_shuffle_epi32(_mm_shufflelo_epi16(m0, _MM_SHUFFLE(0, 0, 3, 0)), _MM_SHUFFLE(0, 0, 3, 0));
  // Pixels 3, 4, 5 into lanes 3, 4, 5.
  const __m128i p345 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(m1, _MM_SHUFFLE(1, 0, 0, 0)),
                                           _MM_SHUFFLE(0, 0, 3, 0));
  // Pixels 6, 7 into lanes 6, 7.
  const __m128i p67 =
      _mm_shufflehi_epi16(_mm_shuffle_epi32(m2, _MM_SHUFFLE(1, 2, 0, 0)), _MM_SHUFFLE(1, 2, 0, 0));
  return _mm_or_si128(_mm_and_si128(p012, lanes(-1, -1, -1, 0, 0, 0, 0, 0)),
                      _mm_or_si128(_mm_and_si128(p345, lanes(0, 0, 0, -1, -1, -1, 0, 0)),
                                   _mm_and_si128(p67, lanes(0, 0, 0, 0, 0, 0, -1, -1))));
}

template <class Load>
void diffRow(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width) {
  int x = 0;
  for (; x + 8 <= width; x += 8) storea(diff + x, diffBlock<Load>(current + x, neighbour + x));
  if (x < width) {
    Pixel c[8] = {};
    Pixel b[8] = {};
    const size_t bytes = static_cast<size_t>(width - x) * sizeof(Pixel);
    std::memcpy(c, current + x, bytes);
    std::memcpy(b, neighbour + x, bytes);
    // Stack temporaries may be only 4-byte aligned on a 32-bit Windows stack.
    storea(diff + x, diffBlock<UnalignedLoad>(c, b));
  }
}

// Weights for the eight measures, single precision: min(M x M x W, 4096) rounded to nearest
// even (the default mode), packed with saturation.
__m128i squareLaw(__m128i measure, __m128 w) {
  const __m128 full = _mm_set1_ps(4096.0f);
  const __m128i zero = _mm_setzero_si128();
  __m128 lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(measure, zero));
  __m128 hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(measure, zero));
  lo = _mm_min_ps(_mm_mul_ps(_mm_mul_ps(lo, lo), w), full);
  hi = _mm_min_ps(_mm_mul_ps(_mm_mul_ps(hi, hi), w), full);
  return _mm_packs_epi32(_mm_cvtps_epi32(lo), _mm_cvtps_epi32(hi));
}

template <bool kLimited>
__m128i motionBlock(__m128i p, __m128i l, __m128i r, __m128i u, __m128i d, __m128 w,
                    __m128i limit) {
  const __m128i a = _mm_max_epi16(p, u);
  const __m128i b = _mm_min_epi16(p, u);
  const __m128i max3 = _mm_max_epi16(a, d);
  const __m128i med3 = _mm_max_epi16(b, _mm_min_epi16(a, d));
  const __m128i max4 = _mm_max_epi16(max3, l);
  const __m128i s4 = _mm_max_epi16(med3, _mm_min_epi16(max3, l));
  const __m128i m1 = _mm_max_epi16(max4, r);
  const __m128i m2 = _mm_max_epi16(s4, _mm_min_epi16(max4, r));
  // Mean of the two largest, an exact half rounded up.
  __m128i weight = squareLaw(_mm_avg_epu16(m1, m2), w);
  if constexpr (kLimited) {
    const __m128i t = _mm_subs_epi16(p, med3);
    const __m128i departure = _mm_max_epi16(t, _mm_subs_epi16(_mm_setzero_si128(), t));
    weight = _mm_max_epi16(weight,
                           _mm_and_si128(_mm_cmpgt_epi16(departure, limit), _mm_set1_epi16(4096)));
  }
  return weight;
}

template <bool kLimited>
void motionRow(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
               const MotionWeights& weights) {
  if (width <= 0) return;
  const __m128 w = _mm_load_ps(weights.lane);
  const __m128i limit = _mm_set1_epi16(static_cast<short>(hardLimit));
  diff[-1] = diff[0];
  diff[width] = diff[width - 1];
  const int16_t* above = diff - pitch;
  const int16_t* below = diff + pitch;
  int x = 0;
  for (; x + 8 <= width; x += 8) {
    storea(map + x, motionBlock<kLimited>(loada(diff + x), loadu(diff + x - 1), loadu(diff + x + 1),
                                          loada(above + x), loada(below + x), w, limit));
  }
  if (x < width) {
    // The rows above and below are read only up to width-1: their spare elements belong to
    // the threads working on those rows.
    int16_t up[8] = {};
    int16_t down[8] = {};
    const size_t bytes = static_cast<size_t>(width - x) * sizeof(int16_t);
    std::memcpy(up, above + x, bytes);
    std::memcpy(down, below + x, bytes);
    storea(map + x, motionBlock<kLimited>(loada(diff + x), loadu(diff + x - 1), loadu(diff + x + 1),
                                          loadu(up), loadu(down), w, limit));
  }
}

}  // namespace

void DiffRowSse2Aligned(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width) {
  diffRow<AlignedLoad>(current, neighbour, diff, width);
}

void DiffRowSse2(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width) {
  diffRow<UnalignedLoad>(current, neighbour, diff, width);
}

void MotionRowSse2(int16_t* diff, int16_t* map, int width, int pitch,
                   const MotionWeights& weights) {
  motionRow<false>(diff, map, width, pitch, 0, weights);
}

void MotionRowLimitedSse2(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                          const MotionWeights& weights) {
  motionRow<true>(diff, map, width, pitch, hardLimit, weights);
}

HOST_ENTRY void DiffStageSse2Aligned(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)extra;
  runDiffStage(threadCount, *job, DiffRowSse2Aligned);
}

HOST_ENTRY void DiffStageSse2(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)extra;
  runDiffStage(threadCount, *job, DiffRowSse2);
}

HOST_ENTRY void MotionMapStageSse2(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  // Leave any MMX state an earlier stage kept before the float work.
  _mm_empty();
  runMotionMapStage(threadCount, *job, *static_cast<const NeighbourSlot*>(extra), MotionRowSse2,
                    MotionRowLimitedSse2);
}

}  // namespace quillet
