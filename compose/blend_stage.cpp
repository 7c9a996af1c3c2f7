#include "compose/blend_stage.h"

#include <cstddef>

#include "motion/motion_state.h"
#include "rows/row_claim.h"

namespace quillet {

void runBlendRows(const RowJob& job, const void* extra, const BlendRowTable& rows) {
  const int32_t mode = job.selector;
  if (mode < 0 || mode > 2) return;
  const BlendRow row = rows[static_cast<size_t>(mode)];

  const auto* slots = static_cast<const NeighbourSlot* const*>(extra);
  const int16_t* prevMap = slots[0]->map;
  const int16_t* nextMap = mode == 0 ? nullptr : slots[1]->map;
  const ptrdiff_t frameStride = job.stride;
  const ptrdiff_t mapPitch = job.motion->pitch;
  Pixel* dstBand = job.other + job.bandTop * frameStride;
  const Pixel* srcBand = job.source + job.bandTop * frameStride;
  const int32_t n = job.bandEnd - job.bandTop;

  forEachClaimedRow(job.counters->rows, n, [&](int32_t r) {
    const ptrdiff_t frameOffset = r * frameStride;
    const ptrdiff_t mapOffset = r * mapPitch;
    row(dstBand + frameOffset, srcBand + frameOffset, prevMap + mapOffset,
        nextMap == nullptr ? nullptr : nextMap + mapOffset, job.width);
  });
}

}  // namespace quillet
