#include "standin/worker_pool.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <system_error>

namespace quillet::standin {

namespace {

// How long a thread polls before it sleeps: the stages of one frame follow each other within
// microseconds, so a short poll catches the next hand-over without a wake-up through the
// kernel (which costs a tenth of a millisecond and more on a virtual machine). A pool with
// more workers than processors never polls: a polling thread would hold a processor another
// worker needs.
constexpr auto kPollTime = std::chrono::microseconds(200);

void relax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

// Polls for a while until done() holds; returns whether it did.
template <class Condition>
bool pollUntil(Condition done) {
  const auto pollEnd = std::chrono::steady_clock::now() + kPollTime;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= pollEnd) return false;
    relax();
  }
}

}  // namespace

WorkerPool::WorkerPool(int workers, int refuseHelper)
    : requested_(std::max(workers, 1)),
      poll_(static_cast<unsigned>(requested_) <=
            std::max(std::thread::hardware_concurrency(), 1u)) {
  helpers_.reserve(static_cast<size_t>(requested_ - 1));
  try {
    for (int i = 1; i < requested_; ++i) {
      if (i == refuseHelper) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "helper thread refused by the test control");
      }
      helpers_.emplace_back([this, i] { helperLoop(i); });
    }
  } catch (const std::system_error&) {
    // The system refused the thread (or, below, the memory for its start): keep the helpers
    // that started, a smaller pool is still a working one.
  } catch (const std::bad_alloc&) {
  }
  // Helpers read the count only after the first change of generation_, which publishes it.
  count_ = static_cast<int>(helpers_.size()) + 1;
}

WorkerPool::~WorkerPool() { stopAll(); }

void WorkerPool::stopAll() {
  stopping_.store(true, std::memory_order_relaxed);
  startHelpers();
  for (std::thread& t : helpers_) t.join();
}

void WorkerPool::startHelpers() {
  {
    // Under the mutex, so a helper that found the old generation and is about to sleep cannot
    // miss the change. The release publishes the stage fields and the pending count.
    std::lock_guard<std::mutex> lock(mutex_);
    generation_.fetch_add(1, std::memory_order_release);
  }
  startSignal_.notify_all();
}

void WorkerPool::run(RowStage stage, RowJob* job, void* extra) {
  stage_ = stage;
  job_ = job;
  extra_ = extra;
  const int helpers = count_ - 1;
  if (helpers > 0) {
    pending_.store(helpers, std::memory_order_relaxed);
    startHelpers();
  }
  stage(0, count_, job, extra);
  if (helpers == 0) return;
  // Each helper's release decrement orders its writes before the acquire that sees zero.
  const auto allReturned = [this] { return pending_.load(std::memory_order_acquire) == 0; };
  if (poll_ && pollUntil(allReturned)) return;
  std::unique_lock<std::mutex> lock(mutex_);
  doneSignal_.wait(lock, allReturned);
}

void WorkerPool::helperLoop(int index) {
  uint64_t seen = 0;
  for (;;) {
    const auto started = [&] { return generation_.load(std::memory_order_acquire) != seen; };
    if (!poll_ || !pollUntil(started)) {
      std::unique_lock<std::mutex> lock(mutex_);
      startSignal_.wait(lock, started);
    }
    seen = generation_.load(std::memory_order_acquire);
    if (stopping_.load(std::memory_order_relaxed)) return;
    stage_(index, count_, job_, extra_);
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // Under the mutex, so the caller cannot check the count and then miss the signal.
      std::lock_guard<std::mutex> lock(mutex_);
      doneSignal_.notify_one();
    }
  }
}

}  // namespace quillet::standin
