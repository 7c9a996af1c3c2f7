#include <algorithm>
#include <cassert>
#include <cstdint>

#include "compose/blend_stage.h"
#include "compose/compose.h"

namespace quillet {

namespace {

constexpr int32_t kWeightOne = 4096;

// w/4096 of the filtered component a, the rest of the source component b. 2047 rather than 2048:
// an exact half rounds toward minus infinity. For w in 0..4096 the sum fits in 32 bits and the
// result lies between a and b, so keeping the low 16 bits never changes it.
int16_t mixComponent(int16_t a, int16_t b, int32_t w) {
  const int32_t sum = w * a + (kWeightOne - w) * b + 2047;
  return static_cast<int16_t>(sum >> 12);
}

void mixPixel(Pixel& dst, const Pixel& src, int32_t w) {
  assert(w >= 0 && w <= kWeightOne);
  dst.y = mixComponent(dst.y, src.y, w);
  dst.cb = mixComponent(dst.cb, src.cb, w);
  dst.cr = mixComponent(dst.cr, src.cr, w);
}

}  // namespace

void BlendRowPrevScalar(Pixel* dst, const Pixel* src, const int16_t* prevMap,
                        const int16_t* nextMap, int width) {
  (void)nextMap;
  for (int x = 0; x < width; ++x) mixPixel(dst[x], src[x], prevMap[x]);
}

void BlendRowMinScalar(Pixel* dst, const Pixel* src, const int16_t* prevMap, const int16_t* nextMap,
                       int width) {
  for (int x = 0; x < width; ++x) mixPixel(dst[x], src[x], std::min(prevMap[x], nextMap[x]));
}

void BlendRowMaxScalar(Pixel* dst, const Pixel* src, const int16_t* prevMap, const int16_t* nextMap,
                       int width) {
  for (int x = 0; x < width; ++x) mixPixel(dst[x], src[x], std::max(prevMap[x], nextMap[x]));
}

const BlendRowTable BlendRowsScalar = {BlendRowPrevScalar, BlendRowMinScalar, BlendRowMaxScalar};

HOST_ENTRY void BlendStageScalar(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  (void)threadCount;
  runBlendRows(*job, extra, BlendRowsScalar);
}

}  // namespace quillet
