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
  // Starts up to workers - 1 helper threads (none for 1 or fewer workers). When the system
  // refuses a thread (no memory for its stack, a thread limit), no further helper is started
  // and the pool works with those that did start: size() < requested() tells the caller.
  // `refuseHelper` is a test control: starting helper number refuseHelper (1..workers-1) fails
  // as a refusal by the system would; 0 refuses none.
  explicit WorkerPool(int workers, int refuseHelper = 0);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Workers that take part in every run: the caller and the helpers that started.
  int size() const { return count_; }
  // Workers asked for (at least 1).
  int requested() const { return requested_; }

  // Calls stage(i, n, job, extra) once for every i = 0..n-1, n = size(), all at the same time:
  // i = 0 on the calling thread, the others on the helpers. Returns when every call has
  // returned; everything the calls wrote happens before run() returns. One caller at a time;
  // never from inside a stage.
  void run(RowStage stage, RowJob* job, void* extra);

 private:
  void helperLoop(int index);
  void startHelpers();
  void stopAll();

  const int requested_;
  int count_ = 1;  // fixed before the first run; helpers read it only after one has started
  // Whether waiting threads poll before they sleep (not more workers asked for than processors).
  const bool poll_;
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
