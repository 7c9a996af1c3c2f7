#include "motion/motion_stage.h"

#include <cassert>
#include <cstddef>
#include <cstring>

#include "rows/row_claim.h"

namespace quillet {

namespace {

int16_t* mapRow(int16_t* plane, int32_t row, int32_t pitch) {
  return plane + static_cast<ptrdiff_t>(row) * pitch;
}

void copyMapRow(int16_t* to, const int16_t* from, int32_t width) {
  if (width > 0) std::memcpy(to, from, static_cast<size_t>(width) * sizeof(int16_t));
}

void diffOneRow(const RowJob& job, DiffRowKernel row, int32_t r) {
  const ptrdiff_t offset = static_cast<ptrdiff_t>(job.bandTop + r) * job.stride;
  row(job.source + offset, job.other + offset, mapRow(job.motion->diff, r, job.motion->pitch),
      job.width);
}

}  // namespace

void runDiffStage(int threadCount, const RowJob& job, DiffRowKernel row) {
  const int32_t n = job.bandEnd - job.bandTop;
  if (n <= 0) return;
  assert(job.motion->diff != nullptr && job.width + 8 <= job.motion->pitch);
  const int32_t pitch = job.motion->pitch;
  int16_t* const diff = job.motion->diff;
  int16_t* const guardAbove = mapRow(diff, -1, pitch);
  int16_t* const guardBelow = mapRow(diff, n, pitch);

  if (threadCount < 2) {
    for (int32_t r = 0; r < n; ++r) diffOneRow(job, row, r);
    copyMapRow(guardBelow, mapRow(diff, n - 1, pitch), job.width);
    copyMapRow(guardAbove, diff, job.width);
    return;
  }
  forEachClaimedRow(job.counters->rows, n, [&](int32_t r) {
    diffOneRow(job, row, r);
    if (r == 0) copyMapRow(guardAbove, diff, job.width);
    if (r == n - 1) copyMapRow(guardBelow, mapRow(diff, n - 1, pitch), job.width);
  });
}

void runMotionMapStage(int threadCount, const RowJob& job, const NeighbourSlot& slot,
                       MotionRowKernel plain, MotionRowLimitedKernel limited) {
  const int32_t n = job.bandEnd - job.bandTop;
  if (n <= 0) return;
  assert(job.motion->diff != nullptr && slot.map != nullptr && job.width + 8 <= job.motion->pitch &&
         job.weights != nullptr);
  const int32_t pitch = job.motion->pitch;
  int16_t* const diff = job.motion->diff;
  const MotionWeights& weights = *job.weights;
  const bool useLimit = job.hardLimit > 0;

  auto processRow = [&](int32_t r) {
    int16_t* diffRow = mapRow(diff, r, pitch);
    int16_t* map = mapRow(slot.map, r, pitch);
    if (useLimit) {
      limited(diffRow, map, job.width, pitch, job.hardLimit, weights);
    } else {
      plain(diffRow, map, job.width, pitch, weights);
    }
  };

  if (threadCount < 2) {
    for (int32_t r = 0; r < n; ++r) processRow(r);
    return;
  }
  forEachClaimedRow(job.counters->mapRows, n, processRow);
}

}  // namespace quillet
