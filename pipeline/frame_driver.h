#pragma once

#include <cstdint>

#include "common/attributes.h"
#include "common/pixel.h"
#include "pipeline/filter_instance.h"
#include "pipeline/filter_settings.h"
#include "rows/row_job.h"

namespace quillet {

// An executor: calls stage(i, n, job, extra) for i = 0..n-1 and returns once every call has
// returned, passing both pointers through unchanged.
using RunStagesFn = int(HOST_CDECL*)(RowStage stage, RowJob* job, void* extra);

// One process call as the frame driver sees it: the host's services, with whatever they need
// to find the caller bound into `host`, the frame's words and the slider and check-box values.
struct FrameCall {
  void* host;  // passed back to reserveFrameCache and fetchFrame
  int (*reserveFrameCache)(void* host, int32_t maxWidth, int32_t maxHeight, int32_t frames,
                           int32_t flags);
  // Frame `frameNumber`, null when the host cannot deliver it; with width and height non-null
  // the host also writes the frame's size there.
  Pixel* (*fetchFrame)(void* host, int32_t frameNumber, int32_t* width, int32_t* height);
  RunStagesFn runOnThreads;  // may be null: the driver then runs stages itself
  int32_t frameNumber;
  int32_t maxWidth;   // row stride in pixels of every frame
  int32_t maxHeight;  // rows the frames can hold
  int32_t* width;     // where the host reports the current frame's size
  int32_t* height;
  Pixel* editFrame;            // after success holds the result
  Pixel* tempFrame;            // scratch frame of the same geometry
  const int32_t* trackValues;  // kTrackCount slider values
  const int32_t* checkValues;  // kCheckCount check-box values, 0 or 1 each
};

// True when the aligned slot may run: 6 x stride and both frame addresses multiples of 16.
bool framesAligned(int32_t stride, const Pixel* a, const Pixel* b);

// Filters frame call.frameNumber into the host's buffers with `instance`'s kernels, maps and
// counters, and exchanges call.editFrame and call.tempFrame. 1 on success; 0 when the cache, the
// current frame or the motion buffers could not be had (then editFrame is untouched and the
// pointers stay).
int processFrame(FilterInstance& instance, FrameCall& call);

}  // namespace quillet
