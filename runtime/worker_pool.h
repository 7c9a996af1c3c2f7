#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "rows/row_job.h"

namespace quillet::runtime {

// The executor behind the stand-in host's RunOnThreads and the engine's strips: up to `workers`
// threads run every stage together.
// The thread that calls run() is worker 0 and works on the stage at once; workers 1..n-1 are
// helper threads that live as long as the pool. Working on the stage at once, instead of
// sleeping while helpers wake up, keeps the cost of handing a stage over small: with rows
// claimed from a counter, a helper that wakes late simply finds fewer rows left.
//
// Helpers share the processors with whatever else runs on the machine. The pool watches what
// handing stages over brings: when helpers keep coming too late to take part, or keep the
// caller waiting long after its own share is done (a helper that was descheduled in the middle
// of its rows), it hands runs to fewer helpers (with two workers: none, so the caller runs
// every stage alone, as one worker would) and tries again after a pause, which doubles while
// the retries fail. Waiting threads poll only briefly and yield the processor while they do.
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

  // Calls stage(i, n, job, extra) once for every i = 0..n-1, n = size(). i = 0 runs on the
  // calling thread at once; each other index on a helper that takes it while index 0 runs, and
  // the indices no helper has taken by the time index 0 returns then run on the calling thread
  // one after the other. So the calls overlap as far as helpers are free to take part, and a
  // stage must never wait for another index to start. Returns when every call has returned;
  // everything the calls wrote happens before run() returns. One caller at a time; never from
  // inside a stage. The first run of a new pool offers every index to the helpers.
  void run(RowStage stage, RowJob* job, void* extra);

  // run() for a driver of its own: calls work(i, context) once for every worker index i, with
  // the same guarantees.
  template <class Context>
  void run(void (*work)(int worker, Context& context), Context& context) {
    struct Call {
      void (*work)(int, Context&);
      Context* context;
    } call{work, &context};
    run(
        [](int worker, int, RowJob*, void* extra) {
          auto* c = static_cast<Call*>(extra);
          c->work(worker, *c->context);
        },
        nullptr, &call);
  }

 private:
  using Clock = std::chrono::steady_clock;

  void helperLoop(int helper);
  // Waits until a run this helper may join has started since generation `seen`; false when the
  // pool is stopping.
  bool waitForRun(int helper, uint32_t seen);
  // Runs the indices no helper has claimed on the calling thread; returns how many.
  int runUnclaimed(RowStage stage, RowJob* job, void* extra);
  void waitForHelpers();
  // Called by run() only: how many helpers take runs, and when that changes.
  void judgeRun(bool helperLate, bool helperSlow, Clock::time_point now);
  void setSharing(int helpers);
  void stopAll();

  const int requested_;
  int count_ = 1;  // fixed before the first run; helpers read it only after one has started
  // Whether waiting threads poll before they sleep (not more workers asked for than processors).
  const bool poll_;
  // The generation (high 32 bits: which run) and the next index of it to hand out (low 32).
  // run() writes the stage fields, then starts a generation at index 1; whoever increments the
  // index from i to i + 1 runs index i.
  std::atomic<uint64_t> ticket_{0};
  std::atomic<int> pending_{0};  // indices 1..n-1 of the current run that have not returned
  std::atomic<int> sharing_{0};  // helpers 1..sharing_ take runs; the others stay asleep
  std::atomic<bool> stopping_{false};
  // Sleeping, after the poll: helpers wait for a new generation, the caller for pending_ == 0.
  std::mutex mutex_;
  std::condition_variable startSignal_;  // helpers that take runs
  std::condition_variable parkSignal_;   // helpers left out, until sharing_ reaches them
  std::condition_variable doneSignal_;
  RowStage stage_ = nullptr;
  RowJob* job_ = nullptr;
  void* extra_ = nullptr;
  std::vector<std::thread> helpers_;

  // How handing runs over went lately; touched by run() only.
  int misses_ = 0;      // consecutive runs in which some index had to be run by the caller
  bool trial_ = false;  // sharing_ was raised and has not yet gone a while without a retreat
  Clock::time_point trialEnd_{};
  Clock::time_point retryAt_{};  // when to raise sharing_ again after a retreat
  Clock::duration pause_{};      // the wait before the next retry
};

}  // namespace quillet::runtime
