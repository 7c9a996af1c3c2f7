#include "tests/support/kernel_forms.h"

namespace quillet::test {

const std::vector<KernelForm>& kernelForms() {
  static const std::vector<KernelForm> forms = {
    {.name = "Scalar",
     .set = "scalar",
     .engineCpu = QUILLET_CPU_SCALAR,
     .level = 0,
     .aligned = false,
     .usesMmx = false,
     .block = 1,
     .lowpass = &LowpassKernelsScalar,
     .lowpassStage = LowpassStageScalar,
     .diffRow = DiffRowScalar,
     .diffStage = DiffStageScalar,
     .motionRow = MotionRowScalar,
     .motionRowLimited = MotionRowLimitedScalar,
     .motionStage = MotionMapStageScalar,
     .blendRows = &BlendRowsScalar,
     .blendStage = BlendStageScalar,
     .convert = &ConvertKernelsScalar,
     .planar = &PlanarKernelsScalar,
     .comb = &CombKernelsScalar},
#if QUILLET_ENABLE_SIMD
    // MMX alone has only the low-pass; the SSE set keeps that low-pass.
    {.name = "Mmx",
     .set = "mmx",
     .engineCpu = QUILLET_CPU_MMX,
     .level = kCpuMmx,
     .aligned = false,
     .usesMmx = true,
     .block = 4,
     .lowpass = &LowpassKernelsMmx,
     .lowpassStage = LowpassStageMmx},
    {.name = "Sse",
     .set = "sse",
     .engineCpu = QUILLET_CPU_SSE,
     .level = kCpuSse,
     .aligned = false,
     .usesMmx = true,
     .block = 4,
     .diffRow = DiffRowSse,
     .diffStage = DiffStageSse,
     .motionRow = MotionRowSse,
     .motionRowLimited = MotionRowLimitedSse,
     .motionStage = MotionMapStageSse,
     .blendRows = &BlendRowsSse,
     .blendStage = BlendStageSse},
    {.name = "Sse2",
     .set = "sse2",
     .engineCpu = QUILLET_CPU_SSE2,
     .level = kCpuSse2,
     .aligned = false,
     .usesMmx = false,
     .block = 8,
     .lowpass = &LowpassKernelsSse2,
     .lowpassStage = LowpassStageSse2,
     .diffRow = DiffRowSse2,
     .diffStage = DiffStageSse2,
     .motionRow = MotionRowSse2,
     .motionRowLimited = MotionRowLimitedSse2,
     .motionStage = MotionMapStageSse2,
     .blendRows = &BlendRowsSse2,
     .blendStage = BlendStageSse2,
     .convert = &ConvertKernelsSse2,
     .comb = &CombKernelsSse2},
    {.name = "Sse2Aligned",
     .set = nullptr,
     .engineCpu = QUILLET_CPU_AUTO,
     .level = kCpuSse2,
     .aligned = true,
     .usesMmx = false,
     .block = 8,
     .lowpass = &LowpassKernelsSse2Aligned,
     .lowpassStage = LowpassStageSse2Aligned,
     .diffRow = DiffRowSse2Aligned,
     .diffStage = DiffStageSse2Aligned},
#endif
#if QUILLET_HAVE_AVX2
    {.name = "Avx2",
     .set = "avx2",
     .engineCpu = QUILLET_CPU_AVX2,
     .level = kCpuAvx2,
     .aligned = false,
     .usesMmx = false,
     .block = 16,
     .lowpass = &LowpassKernelsAvx2,
     .lowpassStage = LowpassStageAvx2,
     .diffRow = DiffRowAvx2,
     .diffStage = DiffStageAvx2,
     .motionRow = MotionRowAvx2,
     .motionRowLimited = MotionRowLimitedAvx2,
     .motionStage = MotionMapStageAvx2,
     .blendRows = &BlendRowsAvx2,
     .blendStage = BlendStageAvx2,
     .convert = &ConvertKernelsAvx2,
     .planar = &PlanarKernelsAvx2,
     .comb = &CombKernelsAvx2},
#endif
#if QUILLET_HAVE_AVX512
    // The AVX-512 set: its own motion and planar rows, the AVX2 set's others.
    {.name = "Avx512",
     .set = "avx512",
     .engineCpu = QUILLET_CPU_AVX512,
     .level = kCpuAvx512,
     .aligned = false,
     .usesMmx = false,
     .block = 32,
     .motionRow = MotionRowAvx512,
     .motionRowLimited = MotionRowLimitedAvx512,
     .planar = &PlanarKernelsAvx512},
#endif
  };
  return forms;
}

bool formRuns(const KernelForm& form) {
  static const CpuFeatures present = probeCpuFeatures();
  return (present & form.level) == form.level;
}

std::vector<KernelForm> kernelSets() {
  std::vector<KernelForm> sets;
  for (const KernelForm& form : kernelForms()) {
    if (form.set != nullptr) sets.push_back(form);
  }
  return sets;
}

}  // namespace quillet::test
