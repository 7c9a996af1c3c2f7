#pragma once

#include <cstdint>

#include "common/attributes.h"
#include "host/host_records.h"
#include "motion/motion.h"
#include "pipeline/filter_instance.h"
#include "rows/row_job.h"

namespace quillet {

// The driver's table of stage slots, filled once at load time with the forms that suit the
// processor. The two low-pass and the two difference-map slots differ only in the SSE2 set.
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

// Every stage in its scalar form.
extern const KernelSet kKernelSetScalar;

// The live table; starts out as the scalar set so it is always complete.
extern KernelSet kernels;

// The plug-in's one filter instance.
FilterInstance& pluginInstance();

// True when the aligned slot may run: 6 x stride and both frame addresses multiples of 16.
bool framesAligned(int32_t stride, const Pixel* a, const Pixel* b);

// The process callback: filters frameProcInfo->frameNumber into the host's buffers and
// exchanges editFrame and tempFrame. 1 on success; 0 when the cache, the current frame or the
// motion buffers could not be had (then editFrame is untouched and the pointers stay).
HOST_ENTRY int HOST_CDECL FilterProc(FilterTable* filter, FrameProcInfo* frame);

}  // namespace quillet
