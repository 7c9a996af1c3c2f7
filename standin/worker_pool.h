#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/row_job.h"

namespace quillet::standin {

// The host's executor behind RunOnThreads: `workers` threads run every stage together. The
// thread that calls run() is worker 0 and works on the stage itself; workers 1..n-1 are helper
// threads that live as long as the pool. Working on the stage at once, instead of sleeping
// while helpers wake up, keeps the cost of handing a stage over small: with rows claimed from a
// counter, a helper that wakes late simply finds fewer rows left.
class WorkerPool {
 public:
  // Starts workers - 1 helper threads (none for 1 or fewer workers).
  explicit WorkerPool(int workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return count_; }

  // Calls stage(i, n, job, extra) once for every i = 0..n-1, n = size(), all at the same time:
  // i = 0 on the calling thread, the others on the helpers. Returns when every call has
  // returned; everything the calls wrote happens before run() returns. One caller at a time;
  // never from inside a stage.
  void run(RowStage stage, RowJob* job, void* extra);

 private:
  void helperLoop(int index);
  void startHelpers();
  void stopAll();

  const int count_;  // fixed before any helper starts
  const bool
      poll_;  // whether waiting threads poll before they sleep (not more workers than processors)
  // Bumped by run() (and by the destructor) after the stage fields are written; a helper that
  // sees it change reads them and runs the stage.
  std::atomic<uint64_t> generation_{0};
  std::atomic<int> pending_{0};  // helpers of the current run that have not returned yet
  std::atomic<bool> stopping_{false};
  // Sleeping, after the poll: helpers wait for a new generation, the caller for pending_ == 0.
  std::mutex mutex_;
  std::condition_variable startSignal_;
  std::condition_variable doneSignal_;
  RowStage stage_ = nullptr;
  RowJob* job_ = nullptr;
  void* extra_ = nullptr;
  std::vector<std::thread> helpers_;
};

}  // namespace quillet::standin
