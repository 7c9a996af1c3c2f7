#pragma once

#include <cstdint>

#include "common/pixel.h"
#include "motion/motion.h"
#include "motion/motion_state.h"
#include "rows/row_job.h"

// Stage loops shared by every form of the difference-map and motion-map stages. They are
// compiled once, without SIMD flags, and take the form's row kernels as pointers; only the row
// kernels differ between forms.
namespace quillet {

using DiffRowKernel = void (*)(const Pixel* current, const Pixel* neighbour, int16_t* diff,
                               int width);
using MotionRowKernel = void (*)(int16_t* diff, int16_t* map, int width, int pitch,
                                 const MotionWeights& weights);
using MotionRowLimitedKernel = void (*)(int16_t* diff, int16_t* map, int width, int pitch,
                                        int hardLimit, const MotionWeights& weights);

// Band rows of job.source against job.other into job.motion->diff at job.motion->pitch, plus
// the guard rows -1 (copy of row 0) and n (copy of row n-1). Below two threads the rows run in
// order; otherwise rows are claimed from job.counters->rows and the guard copies are made by the
// thread that computed row 0 or n-1. An empty band writes nothing.
void runDiffStage(int threadCount, const RowJob& job, DiffRowKernel row);

// Band rows of job.motion->diff into slot.map, both at job.motion->pitch, with the weights at
// job.weights; the limited kernel runs when job.hardLimit > 0. Rows come in order below two
// threads, else from job.counters->mapRows.
void runMotionMapStage(int threadCount, const RowJob& job, const NeighbourSlot& slot,
                       MotionRowKernel plain, MotionRowLimitedKernel limited);

}  // namespace quillet
