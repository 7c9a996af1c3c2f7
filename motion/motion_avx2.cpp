// AVX2 forms: sixteen pixels per step in the 256-bit registers, each value computed as the SSE2
// forms compute it (the same saturating differences, median steps, single-precision square law
// with its round-to-nearest-even conversion), so they equal the SSE2 forms for every input and
// differ from the scalar form exactly where those do. Against the SSE2 forms' memory use:
// - no alignment needed anywhere;
// - map rows are written in whole blocks of sixteen, up to the width rounded up to 16 (the map
//   pitch, a multiple of 32 at least 8 past the width, always has that room);
// - a motion row reads its own difference row only at -1..width and the rows above and below
//   only at 0..width-1: the last partial block goes through stack copies, since a whole block
//   could reach the next row's spare element -1, which another thread writes;
// - frame rows are never read past pixel width-1: the last partial block goes through a stack
//   copy.
#include <immintrin.h>
#include <mmintrin.h>

#include <cstring>

#include "motion/motion.h"
#include "motion/motion_stage.h"

namespace quillet {

namespace {

constexpr int kBlock = 16;  // pixels, or map values, per step

__m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// Samples 8k..8k+7 of pixels 0..7 in the low half and the same of pixels 8..15 in the high half,
// so each 128-bit half holds eight whole pixels in three vectors, as the SSE2 form's block.
__m256i loadHalves(const int16_t* p, int k) {
  return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 24 + 8 * k),
                             reinterpret_cast<const __m128i*>(p + 8 * k));
}

// |c - b| per sample with both steps saturating, so every result lies in 0..32767.
__m256i absDifference(__m256i c, __m256i b) {
  const __m256i t = _mm256_subs_epi16(c, b);
  return _mm256_max_epi16(t, _mm256_subs_epi16(_mm256_setzero_si256(), t));
}

// Sixteen pixels (48 samples) of each frame -> sixteen differences in pixel order.
__m256i diffBlock(const int16_t* c, const int16_t* b) {
  const __m256i a0 = absDifference(loadHalves(c, 0), loadHalves(b, 0));  // Y0 .. Cb2
  const __m256i a1 = absDifference(loadHalves(c, 1), loadHalves(b, 1));  // Cr2 .. Y5
  const __m256i a2 = absDifference(loadHalves(c, 2), loadHalves(b, 2));  // Cb5 .. Cr7
  // Per half, the largest of three consecutive samples: a pixel's maximum lands in the lane of
  // its first sample - pixels 0, 1, 2 in lanes 0, 3, 6 of m0; 3, 4, 5 in lanes 1, 4, 7 of m1;
  // 6, 7 in lanes 2, 5 of m2.
  const __m256i m0 = _mm256_max_epi16(
      a0, _mm256_max_epi16(_mm256_alignr_epi8(a1, a0, 2), _mm256_alignr_epi8(a1, a0, 4)));
  const __m256i m1 = _mm256_max_epi16(
      a1, _mm256_max_epi16(_mm256_alignr_epi8(a2, a1, 2), _mm256_alignr_epi8(a2, a1, 4)));
  const __m256i m2 =
      _mm256_max_epi16(a2, _mm256_max_epi16(_mm256_srli_si256(a2, 2), _mm256_srli_si256(a2, 4)));
  // Each pixel's lane moved to its place, the other lanes cleared (byte index -1 gives zero).
  const __m256i from0 =
      _mm256_setr_epi8(0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 6, 7, 12,
                       13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i from1 =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1,
                       -1, -1, 2, 3, 8, 9, 14, 15, -1, -1, -1, -1);
  const __m256i from2 =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 10, 11, -1, -1, -1, -1,
                       -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 10, 11);
  return _mm256_or_si256(
      _mm256_shuffle_epi8(m0, from0),
      _mm256_or_si256(_mm256_shuffle_epi8(m1, from1), _mm256_shuffle_epi8(m2, from2)));
}

void diffRow(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width) {
  int x = 0;
  for (; x + kBlock <= width; x += kBlock) {
    store(diff + x, diffBlock(reinterpret_cast<const int16_t*>(current + x),
                              reinterpret_cast<const int16_t*>(neighbour + x)));
  }
  if (x < width) {
    Pixel c[kBlock] = {};
    Pixel b[kBlock] = {};
    const size_t bytes = static_cast<size_t>(width - x) * sizeof(Pixel);
    std::memcpy(c, current + x, bytes);
    std::memcpy(b, neighbour + x, bytes);
    store(diff + x,
          diffBlock(reinterpret_cast<const int16_t*>(c), reinterpret_cast<const int16_t*>(b)));
  }
}

// Weights for the sixteen measures, single precision: min(M x M x W, 4096) rounded to nearest
// even (the default mode), packed with saturation. `w` holds the four weight lanes in each half:
// measure i meets lane i mod 4, as in the SSE2 form.
__m256i squareLaw(__m256i measure, __m256 w) {
  const __m256 full = _mm256_set1_ps(4096.0f);
  const __m256i zero = _mm256_setzero_si256();
  __m256 lo = _mm256_cvtepi32_ps(_mm256_unpacklo_epi16(measure, zero));
  __m256 hi = _mm256_cvtepi32_ps(_mm256_unpackhi_epi16(measure, zero));
  lo = _mm256_min_ps(_mm256_mul_ps(_mm256_mul_ps(lo, lo), w), full);
  hi = _mm256_min_ps(_mm256_mul_ps(_mm256_mul_ps(hi, hi), w), full);
  return _mm256_packs_epi32(_mm256_cvtps_epi32(lo), _mm256_cvtps_epi32(hi));
}

template <bool kLimited>
__m256i motionBlock(__m256i p, __m256i l, __m256i r, __m256i u, __m256i d, __m256 w,
                    __m256i limit) {
  const __m256i a = _mm256_max_epi16(p, u);
  const __m256i b = _mm256_min_epi16(p, u);
  const __m256i max3 = _mm256_max_epi16(a, d);
  const __m256i med3 = _mm256_max_epi16(b, _mm256_min_epi16(a, d));
  const __m256i max4 = _mm256_max_epi16(max3, l);
  const __m256i s4 = _mm256_max_epi16(med3, _mm256_min_epi16(max3, l));
  const __m256i m1 = _mm256_max_epi16(max4, r);
  const __m256i m2 = _mm256_max_epi16(s4, _mm256_min_epi16(max4, r));
  // Mean of the two largest, an exact half rounded up.
  __m256i weight = squareLaw(_mm256_avg_epu16(m1, m2), w);
  if constexpr (kLimited) {
    const __m256i t = _mm256_subs_epi16(p, med3);
    const __m256i departure = _mm256_max_epi16(t, _mm256_subs_epi16(_mm256_setzero_si256(), t));
    weight = _mm256_max_epi16(
        weight, _mm256_and_si256(_mm256_cmpgt_epi16(departure, limit), _mm256_set1_epi16(4096)));
  }
  return weight;
}

template <bool kLimited>
void motionRow(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
               const MotionWeights& weights) {
  if (width <= 0) return;
  const __m256 w = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(weights.lane));
  const __m256i limit = _mm256_set1_epi16(static_cast<short>(hardLimit));
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
    // own[0..count+1] holds the row's values x-1 .. width, spare elements included; the rows
    // above and below are read only up to width-1, their spare elements belong to the threads
    // working on those rows.
    int16_t own[kBlock + 2] = {};
    int16_t up[kBlock] = {};
    int16_t down[kBlock] = {};
    const size_t count = static_cast<size_t>(width - x);
    std::memcpy(own, diff + x - 1, (count + 2) * sizeof(int16_t));
    std::memcpy(up, above + x, count * sizeof(int16_t));
    std::memcpy(down, below + x, count * sizeof(int16_t));
    store(map + x, motionBlock<kLimited>(load(own + 1), load(own), load(own + 2), load(up),
                                         load(down), w, limit));
  }
}

}  // namespace

void DiffRowAvx2(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width) {
  diffRow(current, neighbour, diff, width);
}

void MotionRowAvx2(int16_t* diff, int16_t* map, int width, int pitch,
                   const MotionWeights& weights) {
  motionRow<false>(diff, map, width, pitch, 0, weights);
}

void MotionRowLimitedAvx2(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                          const MotionWeights& weights) {
  motionRow<true>(diff, map, width, pitch, hardLimit, weights);
}

HOST_ENTRY void DiffStageAvx2(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)extra;
  runDiffStage(threadCount, *job, DiffRowAvx2);
}

HOST_ENTRY void MotionMapStageAvx2(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  // Leave any MMX state an earlier stage kept before the float work.
  _mm_empty();
  runMotionMapStage(threadCount, *job, *static_cast<const NeighbourSlot*>(extra), MotionRowAvx2,
                    MotionRowLimitedAvx2);
}

}  // namespace quillet
