#pragma once

#include "common/attributes.h"
#include "rows/row_job.h"

namespace quillet {

// The fallback executor: calls stage(0, 1, job, extra) on the calling thread. Returns 1.
int runOnCallingThread(RowStage stage, RowJob* job, void* extra);

// Copies width pixels of rows 0..height-1 from `extra` (the fetched frame) into job->source.
// With two or more threads the rows are claimed from job->counters->rows, otherwise copied in
// order.
HOST_ENTRY void copyRows(int threadIndex, int threadCount, RowJob* job, void* extra);

}  // namespace quillet
