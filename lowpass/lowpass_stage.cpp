#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>

#include "lowpass/lowpass.h"

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

namespace {

void copyPixels(Pixel* dst, const Pixel* src, int count) {
  std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(Pixel));
}

// Pixels x0 .. x0 + w - 1 of every frame row: margin rows copied, band rows filtered.
void lowpassColumns(LowpassKernel kernel, const RowJob& job, int x0, int w) {
  const ptrdiff_t stride = job.stride;
  const auto sourceRow = [&](int y) { return job.source + y * stride + x0; };
  const auto destinationRow = [&](int y) { return job.other + y * stride + x0; };
  for (int y = 0; y < job.bandTop; ++y) copyPixels(destinationRow(y), sourceRow(y), w);
  kernel(reinterpret_cast<int16_t*>(destinationRow(job.bandTop)),
         reinterpret_cast<const int16_t*>(sourceRow(job.bandTop)), job.bandEnd - job.bandTop, w,
         job.stride);
  for (int y = job.bandEnd; y < job.height; ++y) copyPixels(destinationRow(y), sourceRow(y), w);
}

}  // namespace

void runLowpassStage(const LowpassKernelTable& kernels, int threadIndex, int threadCount,
                     const RowJob& job) {
  assert(job.selector >= 0 && job.selector < kTapCount);
  assert(0 <= job.bandTop && job.bandTop <= job.bandEnd && job.bandEnd <= job.height);
  const LowpassKernel kernel = kernels[static_cast<size_t>(job.selector)];
  if (threadCount <= 1) {
    if (job.width > 0) lowpassColumns(kernel, job, 0, job.width);
    return;
  }
  // Strips of whole 8-pixel blocks, so a strip starts on a 16-byte boundary whenever its row
  // does: threads below `extra` take one block more (all of them when extra >= threadCount),
  // and the row's end cuts the last strip short.
  const int blocksPerThread = job.width / (8 * threadCount);
  const int extra = job.width % (8 * threadCount);
  int x0 = 0;
  int x1 = 0;
  if (threadIndex < extra) {
    x0 = 8 * threadIndex * (blocksPerThread + 1);
    x1 = 8 * (threadIndex + 1) * (blocksPerThread + 1);
  } else {
    x0 = 8 * (threadIndex * blocksPerThread + extra);
    x1 = 8 * ((threadIndex + 1) * blocksPerThread + extra);
  }
  const int w = std::min(x1, job.width) - x0;
  if (w <= 0) return;
  lowpassColumns(kernel, job, x0, w);
}

HOST_ENTRY void LowpassStageScalar(int threadIndex, int threadCount, RowJob* job, void*) {
  runLowpassStage(LowpassKernelsScalar, threadIndex, threadCount, *job);
}

}  // namespace quillet
