#pragma once

#include "compose/compose.h"
#include "dispatch/cpu_features.h"
#include "lowpass/lowpass.h"
#include "motion/motion.h"
#include "rows/row_job.h"

namespace quillet {

// The plug-in driver's table of stage slots, one kernel set per processor level. The two
// low-pass and the two difference-map slots differ only in the SSE2 set.
struct KernelSet {
  BuildWeights buildWeights;
  RowStage lowpassUnaligned;
  RowStage lowpassAligned;
  RowStage diffUnaligned;
  RowStage diffAligned;
  RowStage motionMap;
  RowStage blend;
  // Clears the MMX state on the calling thread after stages of a set that uses the MMX
  // registers; null for a set that never does, so a processor without MMX meets no MMX
  // instruction.
  void (*clearMmx)();
};

// Every stage in its scalar form. Defined here, so that a live table starting out as it is
// initialised before any code runs.
inline constexpr KernelSet kKernelSetScalar{
    .buildWeights = BuildWeightsScalar,
    .lowpassUnaligned = LowpassStageScalar,
    .lowpassAligned = LowpassStageScalar,
    .diffUnaligned = DiffStageScalar,
    .diffAligned = DiffStageScalar,
    .motionMap = MotionMapStageScalar,
    .blend = BlendStageScalar,
    .clearMmx = nullptr,
};

// The vector sets, each with the forms its processor level runs best.
extern const KernelSet kKernelSetMmx;
extern const KernelSet kKernelSetSse;
extern const KernelSet kKernelSetSse2;
#if QUILLET_HAVE_AVX2
extern const KernelSet kKernelSetAvx2;
#endif

// The set for the highest of AVX2 (x86-64 builds), SSE2, SSE, MMX in `features`; scalar when
// none.
const KernelSet& kernelSetFor(CpuFeatures features);

// The one feature bit of the set kernelSetFor(features) picks; 0 for the scalar set.
CpuFeatures kernelSetLevel(CpuFeatures features);

}  // namespace quillet
