#include "dispatch/row_kernels.h"

#include "dispatch/kernel_sets.h"

namespace quillet {

namespace {

constexpr RowKernels kRowKernelsScalar{
    .name = "scalar",
    .level = 0,
    .buildWeights = BuildWeightsScalar,
    .lowpass = &LowpassKernelsScalar,
    .lowpassAligned = &LowpassKernelsScalar,
    .diff = DiffRowScalar,
    .diffAligned = DiffRowScalar,
    .motion = MotionRowScalar,
    .motionLimited = MotionRowLimitedScalar,
    .blend = &BlendRowsScalar,
    .planar = &PlanarKernelsScalar,
    .usesMmx = false,
};

#if QUILLET_ENABLE_SIMD
// MMX alone vectorises only the low-pass.
constexpr RowKernels kRowKernelsMmx{
    .name = "mmx",
    .level = kCpuMmx,
    .buildWeights = BuildWeightsScalar,
    .lowpass = &LowpassKernelsMmx,
    .lowpassAligned = &LowpassKernelsMmx,
    .diff = DiffRowScalar,
    .diffAligned = DiffRowScalar,
    .motion = MotionRowScalar,
    .motionLimited = MotionRowLimitedScalar,
    .blend = &BlendRowsScalar,
    .planar = nullptr,
    .usesMmx = true,
};

// SSE without SSE2 has no 128-bit integer instructions: the low-pass stays on MMX.
constexpr RowKernels kRowKernelsSse{
    .name = "sse",
    .level = kCpuSse,
    .buildWeights = BuildWeightsSse,
    .lowpass = &LowpassKernelsMmx,
    .lowpassAligned = &LowpassKernelsMmx,
    .diff = DiffRowSse,
    .diffAligned = DiffRowSse,
    .motion = MotionRowSse,
    .motionLimited = MotionRowLimitedSse,
    .blend = &BlendRowsSse,
    .planar = nullptr,
    .usesMmx = true,
};

constexpr RowKernels kRowKernelsSse2{
    .name = "sse2",
    .level = kCpuSse2,
    .buildWeights = BuildWeightsSse,
    .lowpass = &LowpassKernelsSse2,
    .lowpassAligned = &LowpassKernelsSse2Aligned,
    .diff = DiffRowSse2,
    .diffAligned = DiffRowSse2Aligned,
    .motion = MotionRowSse2,
    .motionLimited = MotionRowLimitedSse2,
    .blend = &BlendRowsSse2,
    .planar = nullptr,
    .usesMmx = false,
};
#endif

#if QUILLET_HAVE_AVX2
// The AVX2 rows need no alignment: both low-pass and both difference slots take them.
constexpr RowKernels kRowKernelsAvx2{
    .name = "avx2",
    .level = kCpuAvx2,
    .buildWeights = BuildWeightsSse,
    .lowpass = &LowpassKernelsAvx2,
    .lowpassAligned = &LowpassKernelsAvx2,
    .diff = DiffRowAvx2,
    .diffAligned = DiffRowAvx2,
    .motion = MotionRowAvx2,
    .motionLimited = MotionRowLimitedAvx2,
    .blend = &BlendRowsAvx2,
    .planar = &PlanarKernelsAvx2,
    .usesMmx = false,
};
#endif

#if QUILLET_HAVE_AVX512
// The AVX-512 set: its own planar and motion rows, the AVX2 low-pass and difference rows (the
// plug-in's AVX2 set is its reference).
constexpr RowKernels kRowKernelsAvx512{
    .name = "avx512",
    .level = kCpuAvx512,
    .buildWeights = BuildWeightsSse,
    .lowpass = &LowpassKernelsAvx2,
    .lowpassAligned = &LowpassKernelsAvx2,
    .diff = DiffRowAvx2,
    .diffAligned = DiffRowAvx2,
    .motion = MotionRowAvx512,
    .motionLimited = MotionRowLimitedAvx512,
    .blend = &BlendRowsAvx2,
    .planar = &PlanarKernelsAvx512,
    .usesMmx = false,
};
#endif

}  // namespace

const RowKernels& rowKernelsFor(CpuFeatures features) {
#if QUILLET_HAVE_AVX512
  if ((features & kCpuAvx512) != 0) return kRowKernelsAvx512;
#endif
  // The plug-in's ladder, so both drivers pick the same set for the same features.
  switch (kernelSetLevel(features)) {
#if QUILLET_HAVE_AVX2
    case kCpuAvx2:
      return kRowKernelsAvx2;
#endif
#if QUILLET_ENABLE_SIMD
    case kCpuSse2:
      return kRowKernelsSse2;
    case kCpuSse:
      return kRowKernelsSse;
    case kCpuMmx:
      return kRowKernelsMmx;
#endif
    default:
      return kRowKernelsScalar;
  }
}

const CombKernels& combKernelsFor(CpuFeatures level) {
#if QUILLET_ENABLE_SIMD
#if QUILLET_HAVE_AVX2
  // The AVX-512 set keeps the AVX2 comb rows.
  if (level == kCpuAvx2 || level == kCpuAvx512) return CombKernelsAvx2;
#endif
  if (level == kCpuSse2 || level == kCpuAvx2 || level == kCpuAvx512) return CombKernelsSse2;
#endif
  (void)level;
  return CombKernelsScalar;
}

}  // namespace quillet
