#include "host/kernel_select.h"

#include <gtest/gtest.h>

#include "compose/compose.h"
#include "dispatch/cpu_features.h"
#include "dispatch/mmx_state.h"
#include "host/filter_entry.h"
#include "lowpass/lowpass.h"
#include "motion/motion.h"
#include "pipeline/frame_driver.h"

namespace quillet {
namespace {

// EDX of CPUID leaf 1 with the MMX (23), SSE (25) and SSE2 (26) bits of `word` and every other
// bit set, so a decoder that looks at a neighbouring bit is caught.
uint32_t edxFor(int word) {
  uint32_t edx = ~((1u << 23) | (1u << 25) | (1u << 26));
  if ((word & 1) != 0) edx |= 1u << 23;
  if ((word & 2) != 0) edx |= 1u << 25;
  if ((word & 4) != 0) edx |= 1u << 26;
  return edx;
}

TEST(CpuFeaturesTest, DecodesFeatureBitsAndDropsSseWhenTheSystemFaults) {
  struct Row {
    int word;
    bool osExecutesSse;
    CpuFeatures expected;
  };
  const Row rows[] = {
      {0, true, 0},  {1, true, 1},  {2, true, 2},  {3, true, 3},  {4, true, 4},  {5, true, 5},
      {6, true, 6},  {7, true, 7},  {0, false, 0}, {1, false, 1}, {2, false, 0}, {3, false, 1},
      {4, false, 0}, {5, false, 1}, {6, false, 0}, {7, false, 1},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(decodeCpuFeatures(edxFor(r.word), r.osExecutesSse), r.expected)
        << "word " << r.word << " os " << r.osExecutesSse;
    EXPECT_EQ(
        decodeCpuFeatures(edxFor(r.word) & ((1u << 23) | (1u << 25) | (1u << 26)), r.osExecutesSse),
        r.expected)
        << "word " << r.word << " without other bits";
  }
}

TEST(CpuFeaturesTest, Avx2NeedsTheProcessorBitsAndTheSystemSavingTheRegisters) {
  constexpr uint32_t kOsxsave = 1u << 27, kAvx = 1u << 28, kAvx2 = 1u << 5;
  struct Row {
    uint32_t ecx;  // leaf 1
    uint32_t ebx;  // leaf 7
    uint64_t xcr0;
    CpuFeatures expected;
  };
  const Row rows[] = {
      {kOsxsave | kAvx, kAvx2, 0x7, kCpuAvx2},
      {kOsxsave | kAvx, kAvx2, 0x6, kCpuAvx2},
      {kOsxsave | kAvx, kAvx2, 0xe7, kCpuAvx2},
      {kOsxsave | kAvx, kAvx2, 0x3, 0},
      {kOsxsave | kAvx, kAvx2, 0x5, 0},
      {kOsxsave | kAvx, kAvx2, 0, 0},
      {kOsxsave | kAvx, 0, 0x7, 0},
      {kAvx, kAvx2, 0x7, 0},
      {kOsxsave, kAvx2, 0x7, 0},
      {0, kAvx2, 0x7, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message()
                 << std::hex << "ecx " << r.ecx << " ebx " << r.ebx << " xcr0 " << r.xcr0);
    EXPECT_EQ(decodeAvx2Support(r.ecx, r.ebx, r.xcr0), r.expected);
    // Every other bit of the CPUID words set: a decoder looking at a neighbouring bit is caught.
    const uint32_t otherEcx = ~(kOsxsave | kAvx), otherEbx = ~kAvx2;
    EXPECT_EQ(decodeAvx2Support(r.ecx | otherEcx, r.ebx | otherEbx, r.xcr0), r.expected);
  }
}

TEST(CpuFeaturesTest, Avx512NeedsAvx2BothBitsAndTheSystemSavingTheZmmState) {
  constexpr uint32_t kEcx = (1u << 27) | (1u << 28), kAvx2 = 1u << 5;
  constexpr uint32_t kF = 1u << 16, kBw = 1u << 30;
  struct Row {
    uint32_t ebx;
    uint64_t xcr0;
    CpuFeatures expected;
  };
  const Row rows[] = {
      {kAvx2 | kF | kBw, 0xe7, kCpuAvx512},
      {kAvx2 | kF | kBw, 0xe6, kCpuAvx512},
      {kAvx2 | kF | kBw, 0x67, 0},
      {kAvx2 | kF | kBw, 0xa7, 0},
      {kAvx2 | kF | kBw, 0xc7, 0},
      {kAvx2 | kF | kBw, 0xe3, 0},
      {kAvx2 | kF, 0xe7, 0},
      {kAvx2 | kBw, 0xe7, 0},
      {kF | kBw, 0xe7, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << "ebx " << r.ebx << " xcr0 " << r.xcr0);
    EXPECT_EQ(decodeAvx512Support(kEcx, r.ebx, r.xcr0), r.expected);
  }
}

#if defined(__i386__) || defined(__x86_64__)
TEST(CpuFeaturesTest, ProbeAgreesWithTheCompilersCpuCheck) {
  __builtin_cpu_init();
  // The compiler's check of AVX2 includes the system's XCR0 test; 32-bit builds never report it.
#if defined(__x86_64__)
  const bool avx2 = __builtin_cpu_supports("avx2");
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
  const bool avx2 = false;
  const bool avx512 = false;
#endif
  const CpuFeatures expected = (__builtin_cpu_supports("mmx") ? kCpuMmx : 0) |
                               (__builtin_cpu_supports("sse") ? kCpuSse : 0) |
                               (__builtin_cpu_supports("sse2") ? kCpuSse2 : 0) |
                               (avx2 ? kCpuAvx2 : 0) | (avx512 ? kCpuAvx512 : 0);
  EXPECT_EQ(probeCpuFeatures(), expected);
}
#endif

bool sameSet(const KernelSet& a, const KernelSet& b) {
  return a.buildWeights == b.buildWeights && a.lowpassUnaligned == b.lowpassUnaligned &&
         a.lowpassAligned == b.lowpassAligned && a.diffUnaligned == b.diffUnaligned &&
         a.diffAligned == b.diffAligned && a.motionMap == b.motionMap && a.blend == b.blend &&
         a.clearMmx == b.clearMmx;
}

// The expected sets spelled out stage by stage.
constexpr KernelSet kScalarStages{
    BuildWeightsScalar, LowpassStageScalar,   LowpassStageScalar, DiffStageScalar,
    DiffStageScalar,    MotionMapStageScalar, BlendStageScalar,   nullptr};
#if QUILLET_ENABLE_SIMD
constexpr KernelSet kMmxStages{BuildWeightsScalar, LowpassStageMmx, LowpassStageMmx,
                               DiffStageScalar,    DiffStageScalar, MotionMapStageScalar,
                               BlendStageScalar,   clearMmxState};
constexpr KernelSet kSseStages{BuildWeightsSse, LowpassStageMmx,   LowpassStageMmx, DiffStageSse,
                               DiffStageSse,    MotionMapStageSse, BlendStageSse,   clearMmxState};
constexpr KernelSet kSse2Stages{BuildWeightsSse, LowpassStageSse2,     LowpassStageSse2Aligned,
                                DiffStageSse2,   DiffStageSse2Aligned, MotionMapStageSse2,
                                BlendStageSse2,  clearMmxState};
#endif
#if QUILLET_HAVE_AVX2
constexpr KernelSet kAvx2Stages{BuildWeightsSse, LowpassStageAvx2, LowpassStageAvx2,
                                DiffStageAvx2,   DiffStageAvx2,    MotionMapStageAvx2,
                                BlendStageAvx2,  clearMmxState};
#endif

TEST(KernelSelectTest, FeatureWordPicksTheSetOfItsHighestBit) {
  struct Row {
    CpuFeatures features;
    const KernelSet* expected;
  };
#if QUILLET_ENABLE_SIMD
  const Row rows[] = {{0, &kScalarStages}, {1, &kMmxStages},  {2, &kSseStages},  {3, &kSseStages},
                      {4, &kSse2Stages},   {5, &kSse2Stages}, {6, &kSse2Stages}, {7, &kSse2Stages}};
#else
  const Row rows[] = {{0, &kScalarStages}, {1, &kScalarStages}, {2, &kScalarStages},
                      {3, &kScalarStages}, {4, &kScalarStages}, {5, &kScalarStages},
                      {6, &kScalarStages}, {7, &kScalarStages}};
#endif
  for (const Row& r : rows) {
    EXPECT_TRUE(sameSet(kernelSetFor(r.features), *r.expected)) << "features " << r.features;
    // The AVX2 bit outranks the others; builds without the AVX2 forms ignore it.
#if QUILLET_HAVE_AVX2
    const KernelSet& withAvx2 = kAvx2Stages;
#else
    const KernelSet& withAvx2 = *r.expected;
#endif
    EXPECT_TRUE(sameSet(kernelSetFor(r.features | kCpuAvx2), withAvx2))
        << "features " << (r.features | kCpuAvx2);
  }
}

TEST(KernelSelectTest, SelectionHonoursTheFeatureMask) {
  const CpuFeatures available = probeCpuFeatures();
  struct Row {
    CpuFeatures mask;
    CpuFeatures level;  // the set expected when the processor has every bit of the mask
  };
  const Row rows[] = {{0, 0},
                      {kCpuMmx, kCpuMmx},
                      {kCpuMmx | kCpuSse, kCpuSse},
                      {7, kCpuSse2},
                      {15, QUILLET_HAVE_AVX2 ? kCpuAvx2 : kCpuSse2}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.mask);
    if ((available & r.mask) != r.mask) continue;
    setCpuFeatureMask(r.mask);
    selectKernels();
    const CpuFeatures level = QUILLET_ENABLE_SIMD ? r.level : 0;
    EXPECT_EQ(selectedCpuFeatures(), level);
    EXPECT_TRUE(sameSet(pluginInstance().kernels, kernelSetFor(level)));
  }
  setCpuFeatureMask(kCpuMmx | kCpuSse | kCpuSse2 | kCpuAvx2);
  selectKernels();
}

TEST(FramesAlignedTest, NeedsRowBytesAndBothFramesOnSixteenByteBoundaries) {
  alignas(64) static Pixel buffer[64];
  const Pixel* aligned = buffer;
  const auto offsetBy = [](const Pixel* p, int bytes) {
    return reinterpret_cast<const Pixel*>(reinterpret_cast<const char*>(p) + bytes);
  };
  struct Row {
    int32_t stride;
    int offsetA;
    int offsetB;
    bool expected;
  };
  const Row rows[] = {
      {96, 0, 0, true},   {100, 0, 0, false}, {96, 8, 0, false}, {96, 0, 8, false},
      {96, 48, 96, true}, {8, 0, 0, true},    {4, 0, 0, false},  {1, 0, 0, false},
      {104, 16, 0, true}, {96, 2, 2, false},  {97, 0, 0, false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(framesAligned(r.stride, offsetBy(aligned, r.offsetA), offsetBy(aligned, r.offsetB)),
              r.expected)
        << "stride " << r.stride << " offsets " << r.offsetA << "," << r.offsetB;
  }
}

}  // namespace
}  // namespace quillet
