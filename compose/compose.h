#pragma once

#include <array>
#include <cstdint>

#include "common/attributes.h"
#include "common/pixel.h"
#include "rows/row_job.h"

namespace quillet {

// Blends `width` pixels of dst (filtered) with src (unfiltered) by the weight of each pixel:
// (w * dst + (4096 - w) * src + 2047) >> 12 per component. Mode 0 takes the previous map's
// weight, mode 1 the smaller of both maps, mode 2 the larger. width <= 0 does nothing.
using BlendRow = void (*)(Pixel* dst, const Pixel* src, const int16_t* prevMap,
                          const int16_t* nextMap, int width);
using BlendRowTable = std::array<BlendRow, 3>;

void BlendRowPrevScalar(Pixel* dst, const Pixel* src, const int16_t* prevMap,
                        const int16_t* nextMap, int width);
void BlendRowMinScalar(Pixel* dst, const Pixel* src, const int16_t* prevMap, const int16_t* nextMap,
                       int width);
void BlendRowMaxScalar(Pixel* dst, const Pixel* src, const int16_t* prevMap, const int16_t* nextMap,
                       int width);
extern const BlendRowTable BlendRowsScalar;
// SSE rows: identical pixels for weights 0..4096; never touch frame memory past pixel width-1.
// They leave the MMX registers in use: the caller clears the state before any x87 code.
extern const BlendRowTable BlendRowsSse;
// SSE2 rows: identical pixels for weights 0..4096; never touch frame memory past pixel width-1;
// read map values up to width + 6 (inside the map pitch).
extern const BlendRowTable BlendRowsSse2;
#if QUILLET_HAVE_AVX2
// AVX2 rows (x86-64 builds): the SSE2 rows' pixels for every 16-bit weight. Read map values
// 0..width-1 only; never touch frame memory past pixel width-1.
extern const BlendRowTable BlendRowsAvx2;
#endif

// Blend stages: `extra` points at two NeighbourSlot pointers, previous then next. Rows are
// claimed from job->counters->rows; map rows are job->motion->pitch values apart.
HOST_ENTRY void BlendStageScalar(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void BlendStageSse(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void BlendStageSse2(int threadIndex, int threadCount, RowJob* job, void* extra);
#if QUILLET_HAVE_AVX2
HOST_ENTRY void BlendStageAvx2(int threadIndex, int threadCount, RowJob* job, void* extra);
#endif

// Paints the display weight of each band pixel into its colour: Cb = (m * 3435) >> 13,
// Cr = (m * 2231) >> 13, Y kept. `stride` is the frame's row distance in pixels, `mapPitch`
// the maps'. A mode outside 0..2 does nothing.
void MotionDisplay(int stride, int rows, Pixel* bandStart, const int16_t* prevMap,
                   const int16_t* nextMap, int mode, int width, int mapPitch);

}  // namespace quillet
