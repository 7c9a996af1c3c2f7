#pragma once

#include <cstdint>

#include "common/attributes.h"
#include "host/host_records.h"
#include "motion/motion.h"
#include "pipeline/filter_instance.h"
#include "rows/row_job.h"

namespace quillet {

// The plug-in's one filter instance.
FilterInstance& pluginInstance();

// True when the aligned slot may run: 6 x stride and both frame addresses multiples of 16.
bool framesAligned(int32_t stride, const Pixel* a, const Pixel* b);

// The process callback: filters frameProcInfo->frameNumber into the host's buffers and
// exchanges editFrame and tempFrame. 1 on success; 0 when the cache, the current frame or the
// motion buffers could not be had (then editFrame is untouched and the pointers stay).
HOST_ENTRY int HOST_CDECL FilterProc(FilterTable* filter, FrameProcInfo* frame);

}  // namespace quillet
