#include "host/kernel_select.h"

#include "host/filter_entry.h"

namespace quillet {

namespace {
constexpr CpuFeatures kKnownFeatures = kCpuMmx | kCpuSse | kCpuSse2 | kCpuAvx2;
CpuFeatures featureMask = kKnownFeatures;
CpuFeatures installedFeatures = 0;
}  // namespace

void selectKernels() {
  const CpuFeatures features = probeCpuFeatures() & featureMask & kKnownFeatures;
  pluginInstance().kernels = kernelSetFor(features);
  installedFeatures = kernelSetLevel(features);
}

void setCpuFeatureMask(CpuFeatures mask) { featureMask = mask; }

CpuFeatures selectedCpuFeatures() { return installedFeatures; }

}  // namespace quillet
