#pragma once

#include "common/attributes.h"
#include "pipeline/row_job.h"

namespace quillet {

// The fallback executor: calls stage(0, 1, job, extra) on the calling thread. Returns 1.
int runOnCallingThread(RowStage stage, RowJob* job, void* extra);

// Copies width pixels of rows 0..height-1 from `extra` (the fetched frame) into job->source.
// With two or more threads the rows are claimed from rowCounter, otherwise copied in order.
HOST_ENTRY void copyRows(int threadIndex, int threadCount, RowJob* job, void* extra);

// Claims the next row from `counter` for a stage running on two or more threads.
int32_t claimRow(std::atomic<int32_t>& counter);

}  // namespace quillet
