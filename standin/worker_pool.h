#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/row_job.h"

namespace quillet::standin {

// A fixed set of worker threads that live as long as the pool. run() hands one stage to all of
// them at once; it is the host's executor behind RunOnThreads.
class WorkerPool {
 public:
  // Starts `workers` threads (at least 1).
  explicit WorkerPool(int workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return count_; }

  // Calls stage(i, n, job, extra) once on every worker, i = 0..n-1, n = size(), all at the
  // same time, and returns when every call has returned. Everything the calls wrote happens
  // before run() returns. One caller at a time; never from inside a stage.
  void run(RowStage stage, RowJob* job, void* extra);

 private:
  void workerLoop(int index);
  void stopAll();

  const int count_;  // fixed before any worker starts
  std::mutex mutex_;
  std::condition_variable startSignal_;
  std::condition_variable doneSignal_;
  uint64_t generation_ = 0;  // counts run() calls; a change tells the workers to start
  int pending_ = 0;          // workers of the current run that have not returned yet
  bool stopping_ = false;
  RowStage stage_ = nullptr;
  RowJob* job_ = nullptr;
  void* extra_ = nullptr;
  std::vector<std::thread> threads_;
};

}  // namespace quillet::standin
