#include "pipeline/row_execution.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rows/row_claim.h"

namespace quillet {

int runOnCallingThread(RowStage stage, RowJob* job, void* extra) {
  stage(0, 1, job, extra);
  return 1;
}

namespace {
void copyRow(const RowJob& job, const Pixel* from, int32_t row) {
  const ptrdiff_t offset = static_cast<ptrdiff_t>(row) * job.stride;
  std::memcpy(job.source + offset, from + offset, static_cast<size_t>(job.width) * sizeof(Pixel));
}
}  // namespace

HOST_ENTRY void copyRows(int threadIndex, int threadCount, RowJob* job, void* extra) {
  (void)threadIndex;
  const auto* from = static_cast<const Pixel*>(extra);
  if (job->height <= 0 || job->width <= 0) return;
  if (threadCount < 2) {
    for (int32_t r = 0; r < job->height; ++r) copyRow(*job, from, r);
    return;
  }
  forEachClaimedRow(job->counters->rows, job->height, [&](int32_t r) { copyRow(*job, from, r); });
}

}  // namespace quillet
