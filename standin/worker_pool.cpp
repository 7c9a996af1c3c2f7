#include "standin/worker_pool.h"

#include <algorithm>

namespace quillet::standin {

WorkerPool::WorkerPool(int workers) : count_(std::max(workers, 1)) {
  threads_.reserve(static_cast<size_t>(count_));
  try {
    for (int i = 0; i < count_; ++i) threads_.emplace_back([this, i] { workerLoop(i); });
  } catch (...) {
    stopAll();
    throw;
  }
}

WorkerPool::~WorkerPool() { stopAll(); }

void WorkerPool::stopAll() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  startSignal_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::run(RowStage stage, RowJob* job, void* extra) {
  std::unique_lock<std::mutex> lock(mutex_);
  stage_ = stage;
  job_ = job;
  extra_ = extra;
  pending_ = size();
  ++generation_;
  startSignal_.notify_all();
  // The mutex taken by every worker after its call orders its writes before this return.
  doneSignal_.wait(lock, [this] { return pending_ == 0; });
}

void WorkerPool::workerLoop(int index) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    startSignal_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    const RowStage stage = stage_;
    RowJob* const job = job_;
    void* const extra = extra_;
    lock.unlock();
    stage(index, count_, job, extra);
    lock.lock();
    if (--pending_ == 0) doneSignal_.notify_one();
  }
}

}  // namespace quillet::standin
