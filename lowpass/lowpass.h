#pragma once

#include <array>
#include <cstdint>

#include "common/attributes.h"
#include "rows/row_job.h"

namespace quillet {

constexpr int kTapCount = 7;

// A vertical low-pass kernel over a band of `rows` rows whose first rows `dst` and `src` address:
// writes destination band rows firstRow .. firstRow + rowCount - 1 (the part of that range inside
// the band), samples 0..3*width-1 of each, and nothing else. `stride` is the row distance in
// pixels of both buffers. Neighbour rows are mirrored about the band's first and last rows,
// repeatedly when a band is shorter than the filter's reach, so no row outside the band is ever
// read. The result of a row does not depend on the range asked for. rows <= 0, width <= 0 or an
// empty range does nothing.
using LowpassKernel = void (*)(int16_t* dst, const int16_t* src, int rows, int width, int stride,
                               int firstRow, int rowCount);
using LowpassKernelTable = std::array<LowpassKernel, kTapCount>;

// Rows used on each side of the output row: 1 for tap 0, tap + 1 otherwise.
int lowpassReach(int tap);

// Band rows [begin, end) a kernel call writes: firstRow .. firstRow + rowCount - 1 cut to the band.
struct BandRows {
  int begin;
  int end;
};
BandRows bandRowsToFilter(int rows, int firstRow, int rowCount);

// Band row that the filter reads for position `row` (may lie outside 0..rows-1): mirrored about
// the first and last band row until it lies inside. A one-row band yields row 0.
int mirrorBandRow(int row, int rows);

// The reference kernels; results clamped to -32768..32767.
extern const LowpassKernelTable LowpassKernelsScalar;
// MMX and SSE2 forms: bit-exact to the scalar form for samples of magnitude up to 8191, except
// where tap 5 meets an exact half (they round it down). Beyond that, neighbour pair sums
// saturate before weighting; results saturate like the scalar form's clamp.
extern const LowpassKernelTable LowpassKernelsMmx;
extern const LowpassKernelTable LowpassKernelsSse2;
// Needs src, dst 16-byte aligned and stride a multiple of 8 pixels.
extern const LowpassKernelTable LowpassKernelsSse2Aligned;
#if QUILLET_HAVE_AVX2
// AVX2 form (x86-64 builds): bit-exact to the SSE2 forms for every input, so it differs from
// the scalar form exactly where they do. No alignment needed; the same rows and samples read
// and written as the scalar form.
extern const LowpassKernelTable LowpassKernelsAvx2;
#endif

// The row driver shared by every form: copies the rows outside the band and runs the kernel for
// job->selector over the band rows. With several threads the threads claim runs of whole frame
// rows from job.counters->rows (copies and filtered rows alike); one thread takes every row in
// order without the counter. Compiled once, in a scalar file.
void runLowpassStage(const LowpassKernelTable& kernels, int threadIndex, int threadCount,
                     const RowJob& job);

HOST_ENTRY void LowpassStageScalar(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void LowpassStageMmx(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void LowpassStageSse2(int threadIndex, int threadCount, RowJob* job, void* extra);
HOST_ENTRY void LowpassStageSse2Aligned(int threadIndex, int threadCount, RowJob* job, void* extra);
#if QUILLET_HAVE_AVX2
HOST_ENTRY void LowpassStageAvx2(int threadIndex, int threadCount, RowJob* job, void* extra);
#endif

}  // namespace quillet
