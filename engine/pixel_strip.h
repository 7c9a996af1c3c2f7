#pragma once

#include <cstdint>

#include "common/pixel.h"
#include "dispatch/row_kernels.h"
#include "engine/aligned_buffer.h"
#include "engine/format.h"
#include "engine/frame_job.h"
#include "formats/convert.h"
#include "formats/sample_scale.h"

namespace quillet::engine {

// Buffers of one worker: the strip's rows on the host's scale and its maps.
struct StripBuffers {
  AlignedBuffer memory;
  Pixel* source = nullptr;     // current frame, strip rows plus the low-pass halo
  Pixel* filtered = nullptr;   // low-pass then blend output of the strip's band rows
  Pixel* neighbour = nullptr;  // a neighbour frame's rows, strip plus one row each side
  int16_t* diff = nullptr;     // difference rows, strip plus guard rows, at the map pitch
  int16_t* map = nullptr;      // the previous pair's weights when they are not cached
};

// Filters frame rows [y0, y1) of the frame in `job` into job.out on host pixels: the plug-in's
// interleaved rows between a decode and an encode of every row (the layouts and cases the planar
// strips do not take).
void runPixelStrip(const Format& format, const RowKernels& kernels, const ConvertKernels& convert,
                   const SampleScale& scale, const FrameJob& job, StripBuffers& buffers,
                   int32_t pixelStride, int32_t mapPitch, int32_t y0, int32_t y1);

}  // namespace quillet::engine
