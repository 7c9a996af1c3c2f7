#include "dispatch/kernel_sets.h"

#include "dispatch/mmx_state.h"

namespace quillet {

// The scalar set is defined in the header.

#if QUILLET_ENABLE_SIMD
// MMX alone vectorises only the low-pass.
constexpr KernelSet kKernelSetMmx{
    .buildWeights = BuildWeightsScalar,
    .lowpassUnaligned = LowpassStageMmx,
    .lowpassAligned = LowpassStageMmx,
    .diffUnaligned = DiffStageScalar,
    .diffAligned = DiffStageScalar,
    .motionMap = MotionMapStageScalar,
    .blend = BlendStageScalar,
    .clearMmx = clearMmxState,
};

// SSE without SSE2 has no 128-bit integer instructions: the low-pass stays on MMX.
constexpr KernelSet kKernelSetSse{
    .buildWeights = BuildWeightsSse,
    .lowpassUnaligned = LowpassStageMmx,
    .lowpassAligned = LowpassStageMmx,
    .diffUnaligned = DiffStageSse,
    .diffAligned = DiffStageSse,
    .motionMap = MotionMapStageSse,
    .blend = BlendStageSse,
    .clearMmx = clearMmxState,
};

constexpr KernelSet kKernelSetSse2{
    .buildWeights = BuildWeightsSse,
    .lowpassUnaligned = LowpassStageSse2,
    .lowpassAligned = LowpassStageSse2Aligned,
    .diffUnaligned = DiffStageSse2,
    .diffAligned = DiffStageSse2Aligned,
    .motionMap = MotionMapStageSse2,
    .blend = BlendStageSse2,
    .clearMmx = clearMmxState,
};
#endif

#if QUILLET_HAVE_AVX2
// The AVX2 stages need no alignment, so both low-pass and both difference slots take the same
// stage; the SSE weight builder already gives the weights every vector form reads.
constexpr KernelSet kKernelSetAvx2{
    .buildWeights = BuildWeightsSse,
    .lowpassUnaligned = LowpassStageAvx2,
    .lowpassAligned = LowpassStageAvx2,
    .diffUnaligned = DiffStageAvx2,
    .diffAligned = DiffStageAvx2,
    .motionMap = MotionMapStageAvx2,
    .blend = BlendStageAvx2,
    .clearMmx = clearMmxState,
};
#endif

CpuFeatures kernelSetLevel(CpuFeatures features) {
#if QUILLET_HAVE_AVX2
  // The plug-in has no AVX-512 set: such processors run its AVX2 set.
  if ((features & (kCpuAvx2 | kCpuAvx512)) != 0) return kCpuAvx2;
#endif
#if QUILLET_ENABLE_SIMD
  if ((features & kCpuSse2) != 0) return kCpuSse2;
  if ((features & kCpuSse) != 0) return kCpuSse;
  if ((features & kCpuMmx) != 0) return kCpuMmx;
#else
  (void)features;
#endif
  return 0;
}

const KernelSet& kernelSetFor(CpuFeatures features) {
  switch (kernelSetLevel(features)) {
#if QUILLET_HAVE_AVX2
    case kCpuAvx2:
      return kKernelSetAvx2;
#endif
#if QUILLET_ENABLE_SIMD
    case kCpuSse2:
      return kKernelSetSse2;
    case kCpuSse:
      return kKernelSetSse;
    case kCpuMmx:
      return kKernelSetMmx;
#endif
    default:
      return kKernelSetScalar;
  }
}

}  // namespace quillet
