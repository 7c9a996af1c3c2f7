#include "dispatch/cpu_features.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include "platform/sse_support.h"

namespace quillet {

namespace {
constexpr uint32_t kEdxMmx = 1u << 23;
constexpr uint32_t kEdxSse = 1u << 25;
constexpr uint32_t kEdxSse2 = 1u << 26;
constexpr uint32_t kEcxOsxsave = 1u << 27;
constexpr uint32_t kEcxAvx = 1u << 28;
constexpr uint32_t kEbxAvx2 = 1u << 5;
constexpr uint32_t kEbxAvx512f = 1u << 16;
constexpr uint32_t kEbxAvx512bw = 1u << 30;
// XCR0: bit 1 the SSE registers, bit 2 the upper halves of the AVX registers; bits 5 to 7 the
// opmask registers, the upper halves of ZMM0-15 and ZMM16-31.
constexpr uint64_t kXcr0SseAvx = 6;
constexpr uint64_t kXcr0Avx512 = 0xE0;

#if defined(__x86_64__)
// XCR0 by XGETBV; only called when CPUID reports OSXSAVE. Written as the instruction itself so
// this scalar file needs no -mxsave.
uint64_t readXcr0() {
  uint32_t eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (uint64_t{edx} << 32) | eax;
}
#endif
}  // namespace

CpuFeatures decodeCpuFeatures(uint32_t edx, bool osExecutesSse) {
  CpuFeatures features = 0;
  if ((edx & kEdxMmx) != 0) features |= kCpuMmx;
  if ((edx & kEdxSse) != 0) features |= kCpuSse;
  if ((edx & kEdxSse2) != 0) features |= kCpuSse2;
  // Without the operating system saving the SSE registers only the MMX instructions are usable.
  if (features > kCpuMmx && !osExecutesSse) features &= kCpuMmx;
  return features;
}

CpuFeatures decodeAvx2Support(uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0) {
  const uint32_t ecxBits = kEcxOsxsave | kEcxAvx;
  if ((leaf1Ecx & ecxBits) != ecxBits || (leaf7Ebx & kEbxAvx2) == 0) return 0;
  // A processor with AVX2 under a system that does not save the 256-bit registers faults on
  // the first AVX instruction.
  return (xcr0 & kXcr0SseAvx) == kXcr0SseAvx ? kCpuAvx2 : 0;
}

CpuFeatures decodeAvx512Support(uint32_t leaf1Ecx, uint32_t leaf7Ebx, uint64_t xcr0) {
  if (decodeAvx2Support(leaf1Ecx, leaf7Ebx, xcr0) == 0) return 0;
  const uint32_t ebxBits = kEbxAvx512f | kEbxAvx512bw;
  if ((leaf7Ebx & ebxBits) != ebxBits) return 0;
  return (xcr0 & kXcr0Avx512) == kXcr0Avx512 ? kCpuAvx512 : 0;
}

CpuFeatures probeAvx2Support() {
#if defined(__x86_64__)
  unsigned eax = 0, ebx = 0, leaf1Ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &leaf1Ecx, &edx) == 0) return 0;
  unsigned leaf7Ebx = 0, ecx = 0;
  // __get_cpuid_count returns 0 when the processor has no leaf 7.
  if (__get_cpuid_count(7, 0, &eax, &leaf7Ebx, &ecx, &edx) == 0) return 0;
  const uint64_t xcr0 = (leaf1Ecx & kEcxOsxsave) != 0 ? readXcr0() : 0;
  return decodeAvx2Support(leaf1Ecx, leaf7Ebx, xcr0) |
         decodeAvx512Support(leaf1Ecx, leaf7Ebx, xcr0);
#else
  return 0;
#endif
}

CpuFeatures probeCpuFeatures() {
#if defined(__i386__) || defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return 0;
  const bool sseReported = (edx & (kEdxSse | kEdxSse2)) != 0;
  return decodeCpuFeatures(edx, sseReported ? platform::osExecutesSse() : true) |
         probeAvx2Support();
#else
  return 0;
#endif
}

}  // namespace quillet
