#pragma once

#include <cstdint>

#include "comb/comb.h"
#include "common/pixel.h"
#include "compose/compose.h"
#include "dispatch/cpu_features.h"
#include "formats/planar.h"
#include "lowpass/lowpass.h"
#include "motion/motion.h"

namespace quillet {

using DiffRowFn = void (*)(const Pixel* current, const Pixel* neighbour, int16_t* diff, int width);
using MotionRowFn = void (*)(int16_t* diff, int16_t* map, int width, int pitch,
                             const MotionWeights& weights);
using MotionRowLimitedFn = void (*)(int16_t* diff, int16_t* map, int width, int pitch,
                                    int hardLimit, const MotionWeights& weights);

// The row kernels of one kernel set, for drivers that run rows themselves (the engine). Each
// slot holds the same form the plug-in's stages of that set run, so both drivers give the same
// bytes. Aligned slots need 16-byte-aligned rows and strides of whole 8-pixel blocks; they give
// the same results as the unaligned ones.
struct RowKernels {
  const char* name;
  CpuFeatures level;  // the one feature bit the set is built for; 0 for scalar
  BuildWeights buildWeights;
  const LowpassKernelTable* lowpass;
  const LowpassKernelTable* lowpassAligned;
  DiffRowFn diff;
  DiffRowFn diffAligned;
  MotionRowFn motion;
  MotionRowLimitedFn motionLimited;
  const BlendRowTable* blend;
  // The engine's planar rows of this set; null where the set has none (the engine then runs
  // its strips on host pixels). Every planar form gives the scalar form's values.
  const PlanarKernels* planar;
  // The rows use the MMX registers: the state must be cleared before x87 code runs.
  bool usesMmx;
};

// The set for the highest level in `features` (AVX2, SSE2, SSE, MMX, else scalar).
const RowKernels& rowKernelsFor(CpuFeatures features);

// The comb detector's rows for a kernel set of `level` (its one feature bit): AVX2 and SSE2 sets
// run their own form, the older ones the scalar reference.
const CombKernels& combKernelsFor(CpuFeatures level);

}  // namespace quillet
