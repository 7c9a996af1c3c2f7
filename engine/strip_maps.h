#pragma once

#include <cstddef>
#include <cstdint>

#include "dispatch/row_kernels.h"
#include "engine/frame_job.h"

namespace quillet::engine {

// The motion rows of band rows [r0, r1) from their difference rows, which lie `pitch` values
// apart from `diffBefore` (the row of band row r0 - 1) on: the band's guard rows (band rows -1
// and n, n the band's height) are made first from its first and last difference rows, then one
// weight row per band row goes into `map` (row r0 first).
void motionRows(const RowKernels& k, const FrameJob& job, int16_t* diffBefore, int32_t r0,
                int32_t r1, int32_t width, int32_t pitch, int16_t* map);

// The two maps a strip's band rows [r0, r1) blend with: the previous pair's, cached or made into
// `scratch` by pairMap(neighbour planes, strides, r0, r1, map), and the next pair's when the
// blend uses it (made into the job's cached next map), else null.
struct StripMaps {
  const int16_t* previous;
  const int16_t* next;
};
template <class PairMap>
StripMaps stripMaps(const FrameJob& job, int32_t r0, int32_t r1, int32_t pitch, int16_t* scratch,
                    PairMap pairMap) {
  StripMaps maps{};
  if (job.cachedPrevious != nullptr) {
    maps.previous = job.cachedPrevious + static_cast<ptrdiff_t>(r0) * pitch;
  } else {
    pairMap(job.previous, job.previousStride, r0, r1, scratch);
    maps.previous = scratch;
  }
  if (job.nextMap != nullptr) {
    int16_t* next = job.nextMap + static_cast<ptrdiff_t>(r0) * pitch;
    pairMap(job.next, job.nextStride, r0, r1, next);
    maps.next = next;
  }
  return maps;
}

}  // namespace quillet::engine
