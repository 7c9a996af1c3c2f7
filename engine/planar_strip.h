#pragma once

#include <cstdint>

#include "dispatch/row_kernels.h"
#include "engine/aligned_buffer.h"
#include "engine/format.h"
#include "engine/frame_job.h"
#include "formats/planar.h"
#include "formats/sample_scale.h"

namespace quillet::engine {

// Buffers of one worker for strips of planar rows: each plane's values on the host's scale at
// its stored width. Chroma rows are indexed by frame row, a stored row of 4:2:0 standing in both
// frame rows it covers, so the set's low-pass reads the columns the plug-in's does.
struct PlanarStripBuffers {
  AlignedBuffer memory;
  int32_t stride[3] = {};         // values between rows of each plane's buffers
  int16_t* source[3] = {};        // current frame, strip rows plus the low-pass halo
  int16_t* filtered[3] = {};      // low-pass output of the strip's band rows
  int16_t* chromaDiff = nullptr;  // chroma differences of the stored rows, chroma stride
  int16_t* diff = nullptr;        // difference rows, strip plus guard rows, at the map pitch
  int16_t* map = nullptr;         // the previous pair's weights when they are not cached
  int16_t* weight = nullptr;      // the weights the blend takes (modes 1 and 2)
  int32_t* runs = nullptr;        // first columns of the runs of blocks alike (still or moving),
                                  // then the width
};

// Where decoding a stored code and encoding the value again gives the code back for every code
// 0..maxCode of a plane kind, a pixel whose output is its source takes its stored code (a code
// above maxCode, decoded as maxCode, as maxCode): still blocks and rows outside the band are
// copied, not blended and encoded. At depths where several codes share a host value the
// engine encodes them.
struct CodeCopies {
  bool luma = false;
  bool chroma = false;
};
CodeCopies codeCopiesFor(const SampleScale& scale);

// Takes the memory of `buffers` for strips of `stripRows` rows; false when refused.
bool allocatePlanarStrip(const Format& format, int32_t stripRows, int32_t mapPitch,
                         PlanarStripBuffers& buffers);

// Filters frame rows [y0, y1) of the frame in `job` into job.out on planar rows: decode, weights
// (motion on), low-pass of the blocks that move, blend and encode in one pass (still blocks
// copied where `copies` says so). Needs a set whose `planar` slot is set and a format of 1 or 3
// planes of 8..16 bits.
void runPlanarStrip(const Format& format, const RowKernels& kernels, const SampleScale& scale,
                    CodeCopies copies, const FrameJob& job, PlanarStripBuffers& buffers,
                    int32_t mapPitch, int32_t y0, int32_t y1);

}  // namespace quillet::engine
