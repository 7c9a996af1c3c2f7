#include "host/cpu_features.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include "platform/sse_support.h"

namespace quillet {

namespace {
constexpr uint32_t kEdxMmx = 1u << 23;
constexpr uint32_t kEdxSse = 1u << 25;
constexpr uint32_t kEdxSse2 = 1u << 26;
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

CpuFeatures probeCpuFeatures() {
#if defined(__i386__) || defined(__x86_64__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return 0;
  const bool sseReported = (edx & (kEdxSse | kEdxSse2)) != 0;
  return decodeCpuFeatures(edx, sseReported ? platform::osExecutesSse() : true);
#else
  return 0;
#endif
}

}  // namespace quillet
