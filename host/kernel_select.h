#pragma once

#include "host/cpu_features.h"
#include "pipeline/frame_driver.h"

namespace quillet {

// kKernelSetScalar is the driver's (pipeline/frame_driver.h): the live table starts as it.
extern const KernelSet kKernelSetMmx;
extern const KernelSet kKernelSetSse;
extern const KernelSet kKernelSetSse2;
#if QUILLET_HAVE_AVX2
extern const KernelSet kKernelSetAvx2;
#endif

// The set for the highest of AVX2 (x86-64 builds), SSE2, SSE, MMX in `features`; scalar when
// none.
const KernelSet& kernelSetFor(CpuFeatures features);

// Probes the processor, masks the result with the forcing mask and installs the set.
void selectKernels();

// For tests, the stand-in host and the CLI: features outside `mask` are ignored by the next
// selectKernels(). The plug-in itself never calls this.
void setCpuFeatureMask(CpuFeatures mask);

// Features of the set installed by the last selectKernels().
CpuFeatures selectedCpuFeatures();

}  // namespace quillet
