#pragma once

#include <atomic>
#include <cstdint>

namespace quillet {

// Rows handed out per claim. Each worker takes runs of neighbouring rows, so its reads and
// writes stream through memory of its own (rows claimed one by one interleave the workers and
// make every core fetch the other's rows too); a worker that finishes early still takes over
// the runs a slower one has not reached.
inline constexpr int32_t kRowsPerClaim = 32;

// Rows [begin, end) of one claim; empty once the stage's rows are all taken.
struct RowRun {
  int32_t begin;
  int32_t end;
};

// Claims the next run of rows out of 0..rows-1 from `counter`, which counts the runs handed out.
// Every worker's last claim comes back empty, so after a stage the counter reads the number of
// runs plus the number of workers.
RowRun claimRows(std::atomic<int32_t>& counter, int32_t rows);

// Calls process(run) for each run of rows this worker claims from `counter`.
template <class RunFunction>
void forEachClaimedRun(std::atomic<int32_t>& counter, int32_t rows, RunFunction&& process) {
  for (RowRun run = claimRows(counter, rows); run.begin < run.end; run = claimRows(counter, rows)) {
    process(run);
  }
}

// Calls process(r) for every row of each run this worker claims from `counter`.
template <class RowFunction>
void forEachClaimedRow(std::atomic<int32_t>& counter, int32_t rows, RowFunction&& process) {
  forEachClaimedRun(counter, rows, [&](RowRun run) {
    for (int32_t r = run.begin; r < run.end; ++r) process(r);
  });
}

}  // namespace quillet
