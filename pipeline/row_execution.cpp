#include "pipeline/row_execution.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillet {

std::atomic<int32_t> rowCounter{0};
std::atomic<int32_t> mapRowCounter{0};

RowRun claimRows(std::atomic<int32_t>& counter, int32_t rows) {
  // In 64 bits, so a run past the last row cannot wrap into the valid range.
  const int64_t first = int64_t{counter.fetch_add(1)} * kRowsPerClaim;
  const int64_t limit = std::max<int32_t>(rows, 0);
  const auto begin = static_cast<int32_t>(std::clamp<int64_t>(first, 0, limit));
  const auto end = static_cast<int32_t>(std::clamp<int64_t>(first + kRowsPerClaim, begin, limit));
  return RowRun{begin, end};
}

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
  forEachClaimedRow(rowCounter, job->height, [&](int32_t r) { copyRow(*job, from, r); });
}

}  // namespace quillet
