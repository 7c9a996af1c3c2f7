#include "engine/strip_maps.h"

#include <cstring>

#include "dispatch/mmx_state.h"

namespace quillet::engine {

void motionRows(const RowKernels& k, const FrameJob& job, int16_t* diffBefore, int32_t r0,
                int32_t r1, int32_t width, int32_t pitch, int16_t* map) {
  const int32_t n = job.bandEnd - job.bandTop;
  const auto diffRow = [&](int32_t r) {
    return diffBefore + static_cast<ptrdiff_t>(r - r0 + 1) * pitch;
  };
  const size_t rowBytes = static_cast<size_t>(width) * sizeof(int16_t);
  // The map's guard rows repeat the band's first and last difference rows.
  if (r0 == 0) std::memcpy(diffRow(-1), diffRow(0), rowBytes);
  if (r1 == n) std::memcpy(diffRow(n), diffRow(n - 1), rowBytes);
  if (k.usesMmx) clearMmxState();
  const int32_t hardLimit = 2 * job.settings.motion2;
  for (int32_t r = r0; r < r1; ++r) {
    int16_t* out = map + static_cast<ptrdiff_t>(r - r0) * pitch;
    if (hardLimit > 0) {
      k.motionLimited(diffRow(r), out, width, pitch, hardLimit, job.weights);
    } else {
      k.motion(diffRow(r), out, width, pitch, job.weights);
    }
  }
  if (k.usesMmx) clearMmxState();
}

}  // namespace quillet::engine
