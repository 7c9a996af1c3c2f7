#pragma once

#include <cstdint>

#include "common/attributes.h"
#include "common/pixel.h"
#include "rows/row_job.h"

namespace quillet {

// W = 4096 / a^2 in all four lanes, a = 8 x the motion threshold. Vector kernels load it whole
// with one aligned 128-bit load; scalar kernels read lane 0.
struct alignas(16) MotionWeights {
  float lane[4];
};

using BuildWeights = MotionWeights* (*)(MotionWeights* weights, int level);
// Double-precision quotient rounded to single precision.
MotionWeights* BuildWeightsScalar(MotionWeights* weights, int level);
// Single-precision square and quotient; identical to the scalar form for every level 8m.
MotionWeights* BuildWeightsSse(MotionWeights* weights, int level);

// ---- Difference map -------------------------------------------------------------------
// One map row from a row of each frame: per pixel the largest of the three components'
// absolute differences, each clamped to 32767. Symmetric in the two frames.
void DiffRowScalar(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width);
// Vector rows: never touch frame memory past pixel width-1; may write whole blocks into the
// map row past `width` (within the map pitch). The aligned form needs 16-byte-aligned frame
// rows and map rows; the others only 16-byte-aligned map rows.
void DiffRowSse2Aligned(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width);
void DiffRowSse2(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width);
void DiffRowSse(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width);
#if QUILLET_HAVE_AVX2
// AVX2 rows (x86-64 builds), difference and motion alike: the SSE2 rows' values for every input,
// no alignment needed. Map rows are written in whole 16-value blocks past `width` (within the
// map pitch); a motion row reads its own difference row at -1..width only and the rows above and
// below at 0..width-1.
void DiffRowAvx2(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width);
#endif

// Difference-map stages: compare band rows of job->source and job->other into job->motion->diff
// (rows at job->motion->pitch), with guard rows -1 and n copied from rows 0 and n-1.
HOST_ENTRY void DiffStageScalar(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void DiffStageSse2Aligned(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void DiffStageSse2(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void DiffStageSse(int threadIndex, int threadCount, RowJob* job, void* extra);
#if QUILLET_HAVE_AVX2
HOST_ENTRY void DiffStageAvx2(int threadIndex, int threadCount, RowJob* job, void* extra);
#endif

// ---- Motion map -----------------------------------------------------------------------
// One weight row (0..4096) from difference row `diff` (rows above and below at `pitch` values)
// with `weights` (built by a BuildWeights form; nothing else is read). Writes the difference
// row's spare elements -1 and `width` first.
void MotionRowScalar(int16_t* diff, int16_t* map, int width, int pitch,
                     const MotionWeights& weights);
void MotionRowLimitedScalar(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                            const MotionWeights& weights);
void MotionRowSse2(int16_t* diff, int16_t* map, int width, int pitch, const MotionWeights& weights);
void MotionRowLimitedSse2(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                          const MotionWeights& weights);
void MotionRowSse(int16_t* diff, int16_t* map, int width, int pitch, const MotionWeights& weights);
void MotionRowLimitedSse(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                         const MotionWeights& weights);
#if QUILLET_HAVE_AVX2
void MotionRowAvx2(int16_t* diff, int16_t* map, int width, int pitch, const MotionWeights& weights);
void MotionRowLimitedAvx2(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                          const MotionWeights& weights);
#endif
#if QUILLET_HAVE_AVX512
// AVX-512 rows (x86-64 builds, AVX512F + AVX512BW): the AVX2 rows' values for every input, map
// rows written in whole 32-value blocks past `width` (within the map pitch).
void MotionRowAvx512(int16_t* diff, int16_t* map, int width, int pitch,
                     const MotionWeights& weights);
void MotionRowLimitedAvx512(int16_t* diff, int16_t* map, int width, int pitch, int hardLimit,
                            const MotionWeights& weights);
#endif

// Motion-map stages: `extra` is the NeighbourSlot whose map is written, from job->motion->diff
// with the weights at job->weights.
HOST_ENTRY void MotionMapStageScalar(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void MotionMapStageSse2(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void MotionMapStageSse(int threadIndex, int threadCount, RowJob* job, void* extra);
#if QUILLET_HAVE_AVX2
HOST_ENTRY void MotionMapStageAvx2(int threadIndex, int threadCount, RowJob* job, void* extra);
#endif

}  // namespace quillet
