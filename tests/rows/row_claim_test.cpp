#include "rows/row_claim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace quillet {
namespace {

// Workers claiming together take every row exactly once, in runs of neighbouring rows, and
// leave the counter at the number of runs plus the number of workers.
TEST(ClaimRows, WorkersTogetherTakeEveryRowOnceInRuns) {
  for (int32_t rows : {0, 1, kRowsPerClaim - 1, kRowsPerClaim, kRowsPerClaim + 1, 100, 1080}) {
    for (int workers : {1, 2, 3, 8}) {
      SCOPED_TRACE(testing::Message() << rows << " rows, " << workers << " workers");
      std::atomic<int32_t> counter{0};
      std::vector<std::atomic<int>> taken(static_cast<size_t>(rows));
      std::vector<std::vector<RowRun>> runs(static_cast<size_t>(workers));
      std::vector<std::thread> threads;
      for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
          for (RowRun run = claimRows(counter, rows); run.begin < run.end;
               run = claimRows(counter, rows)) {
            runs[static_cast<size_t>(w)].push_back(run);
            for (int32_t r = run.begin; r < run.end; ++r) taken[static_cast<size_t>(r)]++;
          }
        });
      }
      for (std::thread& t : threads) t.join();
      for (int32_t r = 0; r < rows; ++r) ASSERT_EQ(taken[static_cast<size_t>(r)], 1) << "row " << r;
      const int32_t runCount = (rows + kRowsPerClaim - 1) / kRowsPerClaim;
      EXPECT_EQ(counter.load(), runCount + workers);
      for (const auto& mine : runs) {
        for (const RowRun& run : mine) {
          EXPECT_EQ(run.begin % kRowsPerClaim, 0);
          EXPECT_EQ(run.end - run.begin, std::min(kRowsPerClaim, rows - run.begin));
        }
      }
    }
  }
}

// A counter already past the rows (or a stage with no rows) yields empty runs that never wrap
// into the valid range, even near the counter's limit.
TEST(ClaimRows, ExhaustedOrNegativeCountsYieldEmptyRuns) {
  struct Case {
    int32_t preset, rows;
  };
  const Case cases[] = {{5, 100}, {INT32_MAX / kRowsPerClaim + 1, INT32_MAX}, {0, -3}, {0, 0}};
  for (const Case& c : cases) {
    std::atomic<int32_t> counter{c.preset};
    const RowRun run = claimRows(counter, c.rows);
    EXPECT_GE(run.begin, run.end) << "preset " << c.preset << " rows " << c.rows;
    EXPECT_EQ(counter.load(), c.preset + 1);
  }
}

}  // namespace
}  // namespace quillet
