#include "runtime/worker_pool.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace quillet::runtime {

namespace {

using Clock = std::chrono::steady_clock;

// How long a thread polls before it sleeps: the stages of one frame follow each other within
// microseconds, so a short poll catches the next hand-over without a wake-up through the
// kernel (which costs a tenth of a millisecond and more on a virtual machine). A pool with
// more workers than processors never polls: a polling thread would hold a processor another
// worker needs.
constexpr auto kPollTime = std::chrono::microseconds(200);
// Polls that only pause the core; after them every poll yields the processor, so a polling
// thread gives way at once to any thread (ours or another program's) waiting for it.
constexpr int kPausePolls = 64;

// Runs in a row in which a helper came too late to take its index before the caller finished
// index 0: the helpers are asleep or descheduled, and waking them costs more than they bring.
constexpr int kLateRunsToRetreat = 8;
// The caller, done with its share, waited for a helper longer than its own share took and
// longer than this: the helper was descheduled in the middle of its rows.
constexpr auto kSlowHelperWait = std::chrono::microseconds(50);
// The pause after a retreat before helpers are tried again; it doubles while retries fail, up to
// kLongestPause, and falls back once the helpers have taken runs for kTrialTime without one.
constexpr auto kFirstPause = std::chrono::milliseconds(50);
constexpr auto kLongestPause = std::chrono::seconds(2);
constexpr auto kTrialTime = std::chrono::milliseconds(200);

constexpr uint64_t kIndexMask = 0xffffffffu;

uint32_t generationOf(uint64_t ticket) { return static_cast<uint32_t>(ticket >> 32); }
int indexOf(uint64_t ticket) { return static_cast<int>(ticket & kIndexMask); }

void relax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

// Polls for a while until done() holds; returns whether it did.
template <class Condition>
bool pollUntil(Condition done) {
  const Clock::time_point pollEnd = Clock::now() + kPollTime;
  for (int polls = 0;; ++polls) {
    if (done()) return true;
    if (Clock::now() >= pollEnd) return false;
    if (polls < kPausePolls) {
      relax();
    } else {
      std::this_thread::yield();
    }
  }
}

}  // namespace

WorkerPool::WorkerPool(int workers, int refuseHelper)
    : requested_(std::max(workers, 1)),
      poll_(static_cast<unsigned>(requested_) <=
            std::max(std::thread::hardware_concurrency(), 1u)) {
  helpers_.reserve(static_cast<size_t>(requested_ - 1));
  sharing_.store(requested_ - 1, std::memory_order_relaxed);
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
  // Helpers read the count only after the first run has started, which publishes it.
  count_ = static_cast<int>(helpers_.size()) + 1;
  sharing_.store(count_ - 1, std::memory_order_relaxed);
}

WorkerPool::~WorkerPool() { stopAll(); }

void WorkerPool::stopAll() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true, std::memory_order_relaxed);
  }
  startSignal_.notify_all();
  parkSignal_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

void WorkerPool::setSharing(int helpers) {
  {
    // Under the mutex, so a helper that is about to sleep cannot miss the change.
    std::lock_guard<std::mutex> lock(mutex_);
    sharing_.store(helpers, std::memory_order_relaxed);
  }
  parkSignal_.notify_all();
}

void WorkerPool::run(RowStage stage, RowJob* job, void* extra) {
  if (count_ == 1) {
    stage(0, 1, job, extra);
    return;
  }
  const Clock::time_point start = Clock::now();
  int sharing = sharing_.load(std::memory_order_relaxed);
  if (sharing < count_ - 1 && start >= retryAt_) {
    sharing = std::min(count_ - 1, std::max(1, 2 * sharing));
    setSharing(sharing);
    trial_ = true;
    trialEnd_ = start + kTrialTime;
  } else if (sharing == 0) {
    for (int i = 0; i < count_; ++i) stage(i, count_, job, extra);
    return;
  }

  stage_ = stage;
  job_ = job;
  extra_ = extra;
  pending_.store(count_ - 1, std::memory_order_relaxed);
  {
    // Under the mutex, so a helper that found the old generation and is about to sleep cannot
    // miss the change. The release publishes the stage fields and the pending count.
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t generation = generationOf(ticket_.load(std::memory_order_relaxed)) + 1u;
    ticket_.store(generation << 32 | 1u, std::memory_order_release);
  }
  startSignal_.notify_all();

  stage(0, count_, job, extra);
  // Indices beyond the helpers that take runs are the caller's anyway.
  const bool late = runUnclaimed(stage, job, extra) > count_ - 1 - sharing;
  bool slow = false;
  if (pending_.load(std::memory_order_acquire) != 0) {
    const Clock::time_point ownDone = Clock::now();
    waitForHelpers();
    const Clock::duration waited = Clock::now() - ownDone;
    slow = waited > kSlowHelperWait && waited > ownDone - start;
  }
  judgeRun(late, slow, start);
}

int WorkerPool::runUnclaimed(RowStage stage, RowJob* job, void* extra) {
  int ran = 0;
  uint64_t ticket = ticket_.load(std::memory_order_relaxed);
  while (indexOf(ticket) < count_) {
    if (ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_relaxed)) {
      stage(indexOf(ticket), count_, job, extra);
      ++ticket;
      ++ran;
    }
  }
  if (ran > 0) pending_.fetch_sub(ran, std::memory_order_relaxed);
  return ran;
}

void WorkerPool::waitForHelpers() {
  // Each helper's release decrement orders its writes before the acquire that sees zero.
  const auto allReturned = [this] { return pending_.load(std::memory_order_acquire) == 0; };
  if (poll_ && pollUntil(allReturned)) return;
  std::unique_lock<std::mutex> lock(mutex_);
  doneSignal_.wait(lock, allReturned);
}

void WorkerPool::judgeRun(bool helperLate, bool helperSlow, Clock::time_point now) {
  misses_ = helperLate ? misses_ + 1 : 0;
  if (helperSlow || misses_ >= kLateRunsToRetreat) {
    // A retry that failed waits twice as long for the next; a first retreat the shortest pause.
    pause_ = trial_ ? std::min<Clock::duration>(2 * pause_, kLongestPause) : kFirstPause;
    retryAt_ = now + pause_;
    trial_ = false;
    misses_ = 0;
    setSharing(sharing_.load(std::memory_order_relaxed) / 2);
  } else if (trial_ && now >= trialEnd_) {
    trial_ = false;
  }
}

bool WorkerPool::waitForRun(int helper, uint32_t seen) {
  const auto takesRuns = [&] { return helper <= sharing_.load(std::memory_order_relaxed); };
  const auto ready = [&] {
    return stopping_.load(std::memory_order_relaxed) ||
           (takesRuns() && generationOf(ticket_.load(std::memory_order_relaxed)) != seen);
  };
  if (!poll_ || !takesRuns() || !pollUntil(ready)) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ready()) (takesRuns() ? startSignal_ : parkSignal_).wait(lock);
  }
  return !stopping_.load(std::memory_order_relaxed);
}

void WorkerPool::helperLoop(int helper) {
  uint32_t seen = 0;
  while (waitForRun(helper, seen)) {
    // The acquire pairs with run()'s release: the stage fields, the count and pending_ are those
    // of this generation for as long as one of its indices is claimed and running.
    uint64_t ticket = ticket_.load(std::memory_order_acquire);
    seen = generationOf(ticket);
    while (generationOf(ticket) == seen && indexOf(ticket) < count_) {
      if (!ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acquire)) continue;
      stage_(indexOf(ticket), count_, job_, extra_);
      if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // Under the mutex, so the caller cannot check the count and then miss the signal.
        std::lock_guard<std::mutex> lock(mutex_);
        doneSignal_.notify_one();
      }
      break;
    }
  }
}

}  // namespace quillet::runtime
