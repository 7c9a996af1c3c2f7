#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>

#include "motion/motion.h"
#include "motion/motion_stage.h"

namespace quillet {

namespace {

constexpr int32_t kFullWeight = 4096;

// A component difference beyond the 16-bit range counts as the largest one, as in the vector
// forms; its low 16 bits alone could read as a small or negative difference.
int32_t componentDifference(int16_t c, int16_t b) {
  return std::min(std::abs(static_cast<int32_t>(c) - static_cast<int32_t>(b)), 32767);
}

void compareExchange(int16_t& lo, int16_t& hi) {
  if (lo > hi) std::swap(lo, hi);
}

// Mean of the two largest of the plus-shaped neighbourhood, an exact half rounded up.
int32_t motionMeasure(int16_t p, int16_t l, int16_t r, int16_t u, int16_t d) {
  int16_t v[5] = {p, l, r, u, d};
  // One bubble pass leaves the largest last; the second largest is the largest of the rest.
  compareExchange(v[0], v[1]);
  compareExchange(v[1], v[2]);
  compareExchange(v[2], v[3]);
  compareExchange(v[3], v[4]);
  const int32_t m1 = v[4];
  const int32_t m2 = std::max(std::max(v[0], v[1]), std::max(v[2], v[3]));
  return (m1 + m2 + 1) >> 1;
}

int32_t truncateTowardZero(float v) { return static_cast<int32_t>(v); }

// min(4096, M^2 x W) rounded half up: the double sum M^2 x W + 0.5 is rounded to single
// precision and then truncated. Each step goes through a named variable of its type, so an
// x87 build rounds where an SSE build does.
int32_t squareLawWeight(int32_t measure, float w) {
  const int32_t square = measure * measure;  // exact: |M| <= 32768
  const double product = static_cast<double>(square) * static_cast<double>(w);
  const double halfUp = product + 0.5;
  const float v = static_cast<float>(halfUp);
  if (v > static_cast<float>(kFullWeight)) return kFullWeight;
  return truncateTowardZero(v);
}

int16_t median3(int16_t a, int16_t b, int16_t c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

template <bool kLimited>
void motionRow(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
               const MotionWeights& weights) {
  if (width <= 0) return;
  const float w = weights.lane[0];
  // The row's spare elements serve as its horizontal edge: d(-1) = d(0), d(width) = d(width-1).
  diff[-1] = diff[0];
  diff[width] = diff[width - 1];
  const int16_t* above = diff - pitch;
  const int16_t* below = diff + pitch;
  for (int x = 0; x < width; ++x) {
    const int16_t p = diff[x];
    int32_t weight =
        squareLawWeight(motionMeasure(p, diff[x - 1], diff[x + 1], above[x], below[x]), w);
    if constexpr (kLimited) {
      const int32_t med = median3(p, above[x], below[x]);
      if (std::abs(static_cast<int32_t>(p) - med) > hardLimit) weight = kFullWeight;
    }
    map[x] = static_cast<int16_t>(weight);
  }
}

}  // namespace

void DiffRowScalar(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width) {
  for (int x = 0; x < width; ++x) {
    const Pixel& c = current[x];
    const Pixel& b = neighbour[x];
    const int32_t largest =
        std::max({componentDifference(c.y, b.y), componentDifference(c.cb, b.cb),
                  componentDifference(c.cr, b.cr)});
    diff[x] = static_cast<int16_t>(largest);
  }
}

void MotionRowScalar(int16_t* diff, int16_t* map, int width, int pitch,
                     const MotionWeights& weights) {
  motionRow<false>(diff, map, width, pitch, 0, weights);
}

void MotionRowLimitedScalar(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                            const MotionWeights& weights) {
  assert(hardLimit > 0);
  motionRow<true>(diff, map, width, pitch, hardLimit, weights);
}

HOST_ENTRY void DiffStageScalar(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)extra;
  runDiffStage(threadCount, *job, DiffRowScalar);
}

HOST_ENTRY void MotionMapStageScalar(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  runMotionMapStage(threadCount, *job, *static_cast<const NeighbourSlot*>(extra), MotionRowScalar,
                    MotionRowLimitedScalar);
}

}  // namespace quillet
