#pragma once

#include "dispatch/cpu_features.h"
#include "dispatch/kernel_sets.h"

namespace quillet {

// Probes the processor, masks the result with the forcing mask and installs the matching set
// (dispatch/kernel_sets.h) as the plug-in instance's live table.
void selectKernels();

// For tests, the stand-in host and the CLI: features outside `mask` are ignored by the next
// selectKernels(). The plug-in itself never calls this.
void setCpuFeatureMask(CpuFeatures mask);

// Features of the set installed by the last selectKernels().
CpuFeatures selectedCpuFeatures();

}  // namespace quillet
