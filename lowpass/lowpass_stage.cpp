#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lowpass/lowpass.h"
#include "rows/row_claim.h"

namespace quillet {

int lowpassReach(int tap) { return tap == 0 ? 1 : tap + 1; }

int mirrorBandRow(int row, int rows) {
  if (rows <= 1) return 0;
  // Mirroring about the first and the last band row in turn repeats every 2 * (rows - 1) rows,
  // so repeated mirroring reduces to a remainder folded back into the band.
  const int period = 2 * (rows - 1);
  int folded = row % period;
  if (folded < 0) folded += period;
  return folded < rows ? folded : period - folded;
}

BandRows bandRowsToFilter(int rows, int firstRow, int rowCount) {
  // In 64 bits, so a range reaching past INT_MAX cannot wrap.
  const int64_t end = std::min<int64_t>(int64_t{firstRow} + std::max(rowCount, 0), rows);
  const int begin = std::max(firstRow, 0);
  return BandRows{begin, static_cast<int>(std::max<int64_t>(end, begin))};
}

namespace {

void copyRow(const RowJob& job, int y) {
  const ptrdiff_t offset = static_cast<ptrdiff_t>(y) * job.stride;
  std::memcpy(job.other + offset, job.source + offset,
              static_cast<size_t>(job.width) * sizeof(Pixel));
}

// Frame rows y0 .. y1 - 1: margin rows copied, band rows filtered in one kernel call.
void lowpassRows(LowpassKernel kernel, const RowJob& job, int y0, int y1) {
  const int top = job.bandTop;
  const int end = job.bandEnd;
  for (int y = y0; y < std::min(y1, top); ++y) copyRow(job, y);
  const int first = std::max(y0, top);
  const int last = std::min(y1, end);
  if (first < last) {
    const ptrdiff_t bandOffset = static_cast<ptrdiff_t>(top) * job.stride;
    kernel(reinterpret_cast<int16_t*>(job.other + bandOffset),
           reinterpret_cast<const int16_t*>(job.source + bandOffset), end - top, job.width,
           job.stride, first - top, last - first);
  }
  for (int y = std::max(y0, end); y < y1; ++y) copyRow(job, y);
}

}  // namespace

void runLowpassStage(const LowpassKernelTable& kernels, int threadIndex, int threadCount,
                     const RowJob& job) {
  assert(job.selector >= 0 && job.selector < kTapCount);
  assert(0 <= job.bandTop && job.bandTop <= job.bandEnd && job.bandEnd <= job.height);
  const LowpassKernel kernel = kernels[static_cast<size_t>(job.selector)];
  if (job.width <= 0 || job.height <= 0) return;
  if (threadCount <= 1) {
    lowpassRows(kernel, job, 0, job.height);
    return;
  }
  // Runs of whole rows claimed from the row counter: each thread's reads and writes stay in rows of
  // its own, and a thread that starts late or runs slowly leaves its share to the others.
  (void)threadIndex;
  forEachClaimedRun(job.counters->rows, job.height,
                    [&](RowRun run) { lowpassRows(kernel, job, run.begin, run.end); });
}

HOST_ENTRY void LowpassStageScalar(int threadIndex, int threadCount, RowJob* job, void*) {
  runLowpassStage(LowpassKernelsScalar, threadIndex, threadCount, *job);
}

}  // namespace quillet
