#include "runtime/worker_pool.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "standin/host.h"

namespace quillet::standin {
namespace {

using runtime::WorkerPool;

// What the workers of one run saw; shared through the stage's `extra` pointer.
struct Record {
  explicit Record(int workers) : calls(static_cast<size_t>(workers)), counts(workers) {}
  std::vector<std::atomic<int>> calls;  // calls per thread index
  std::atomic<int> arrived{0};
  std::atomic<int> badCount{0};  // calls whose thread count was not the pool's size
  std::atomic<bool> allMet{true};
  int counts;
  std::mutex idsMutex;
  std::set<std::thread::id> ids;
  std::thread::id indexZero;  // the thread that ran index 0
};

// Every worker waits here until all of them have arrived: this only completes when the
// workers really run at the same time.
void rendezvousStage(int index, int count, RowJob*, void* extra) {
  auto& record = *static_cast<Record*>(extra);
  record.calls[static_cast<size_t>(index)].fetch_add(1);
  if (count != record.counts) record.badCount.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(record.idsMutex);
    record.ids.insert(std::this_thread::get_id());
    if (index == 0) record.indexZero = std::this_thread::get_id();
  }
  record.arrived.fetch_add(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (record.arrived.load() < count) {
    if (std::chrono::steady_clock::now() > deadline) {
      record.allMet = false;
      return;
    }
    std::this_thread::yield();
  }
}

// A new pool offers every index to its helpers: the calls run on distinct threads at once.
TEST(WorkerPool, FirstRunRunsEveryIndexOnItsOwnThreadAtOnce) {
  for (const int workers : {1, 2, 3, 4, 16}) {
    SCOPED_TRACE(workers);
    WorkerPool pool(workers);
    ASSERT_EQ(pool.size(), workers);
    Record record(workers);
    pool.run(&rendezvousStage, nullptr, &record);
    for (int i = 0; i < workers; ++i) EXPECT_EQ(record.calls[static_cast<size_t>(i)].load(), 1);
    EXPECT_EQ(record.badCount.load(), 0);
    EXPECT_TRUE(record.allMet.load()) << "workers did not all run at the same time";
    EXPECT_EQ(record.ids.size(), static_cast<size_t>(workers));
    // The caller works as index 0; the other indices run on the pool's own threads.
    EXPECT_EQ(record.indexZero, std::this_thread::get_id());
  }
}

// A helper the system refuses to start leaves a smaller pool that still runs every stage.
TEST(WorkerPool, KeepsTheHelpersThatStartedWhenTheSystemRefusesOne) {
  struct Case {
    int workers;
    int refused;  // the helper whose start fails
    int started;  // workers the pool then has, the caller included
  };
  for (const Case c : {Case{4, 2, 2}, Case{3, 1, 1}, Case{6, 5, 5}}) {
    SCOPED_TRACE(c.refused);
    WorkerPool pool(c.workers, c.refused);
    EXPECT_EQ(pool.requested(), c.workers);
    ASSERT_EQ(pool.size(), c.started);
    Record record(c.started);
    pool.run(&rendezvousStage, nullptr, &record);
    for (int i = 0; i < c.started; ++i) EXPECT_EQ(record.calls[static_cast<size_t>(i)].load(), 1);
    EXPECT_EQ(record.badCount.load(), 0);
    EXPECT_TRUE(record.allMet.load());
  }
}

// Plain (non-atomic) writes that finish late; the caller reads them right after run().
struct SlowWrites {
  std::vector<int64_t> values;
  std::vector<int64_t> calls;  // per index
  int64_t generation = 0;
  int count = 0;  // the thread count every call must see
};

void slowWriteStage(int index, int count, RowJob* job, void* extra) {
  auto& writes = *static_cast<SlowWrites*>(extra);
  if (index % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(200));
  const auto i = static_cast<size_t>(index);
  writes.values[i] = count == writes.count ? writes.generation * 1000 + index + job->width : -2;
  ++writes.calls[i];
}

TEST(WorkerPool, ReturnsOnlyAfterEveryCallHasReturnedAndItsWritesAreVisible) {
  for (const int workers : {1, 2, 5}) {
    SCOPED_TRACE(workers);
    WorkerPool pool(workers);
    SlowWrites writes;
    writes.values.assign(static_cast<size_t>(workers), -1);
    writes.calls.assign(static_cast<size_t>(workers), 0);
    writes.count = workers;
    RowJob job{};
    for (int64_t g = 0; g < 300; ++g) {
      writes.generation = g;
      job.width = static_cast<int32_t>(g % 7);
      pool.run(&slowWriteStage, &job, &writes);
      for (int i = 0; i < workers; ++i) {
        ASSERT_EQ(writes.values[static_cast<size_t>(i)], g * 1000 + i + job.width)
            << "generation " << g << " worker " << i;
        ASSERT_EQ(writes.calls[static_cast<size_t>(i)], g + 1) << "worker " << i;
      }
    }
  }
}

// Where index 1 of each run ran, and work that keeps index 0 busy for a while.
struct Placement {
  std::thread::id caller;
  int onHelper = 0;
};

void placementStage(int index, int, RowJob*, void* extra) {
  auto& placement = *static_cast<Placement*>(extra);
  if (index == 1 && std::this_thread::get_id() != placement.caller) ++placement.onHelper;
  if (index != 0) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
  while (std::chrono::steady_clock::now() < end) {
  }
}

// With every thread on one processor a helper only runs while the caller does not: handing it
// runs costs a switch each time and gains nothing, so the pool stops doing it (a retry may
// still hand it a few).
TEST(WorkerPool, StopsHandingRunsToAHelperOnTheCallersProcessor) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  Placement placement{std::this_thread::get_id()};
  int runs = 0;
  {
    WorkerPool pool(2);  // its helper inherits the one processor
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    for (; std::chrono::steady_clock::now() < end; ++runs) {
      pool.run(&placementStage, nullptr, &placement);
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_LT(placement.onHelper * 10, runs) << placement.onHelper << " of " << runs << " runs";
}

void countingStage(int index, int count, RowJob*, void* extra) {
  auto* hits = static_cast<std::atomic<int>*>(extra);
  hits[index].fetch_add(1);
  hits[count + 1].store(count);
}

// The executor the host offers the filter: the record's RunOnThreads entry, or none.
TEST(WorkerPool, HostOffersThePoolThroughTheServicesRecordOnlyWithWorkers) {
  for (const int threads : {0, 1, 3}) {
    SCOPED_TRACE(threads);
    HostConfig config;
    config.width = 8;
    config.height = 2;
    config.threads = threads;
    Host host(config);
    const RunOnThreadsFn run = host.filterTable()->services->runOnThreads;
    if (threads == 0) {
      EXPECT_EQ(run, nullptr);
      continue;
    }
    ASSERT_NE(run, nullptr);
    std::vector<std::atomic<int>> hits(static_cast<size_t>(threads) + 2);
    EXPECT_NE(run(&countingStage, nullptr, hits.data()), 0);
    for (int i = 0; i < threads; ++i) EXPECT_EQ(hits[static_cast<size_t>(i)].load(), 1);
    EXPECT_EQ(hits[static_cast<size_t>(threads)].load(), 0);
    EXPECT_EQ(hits[static_cast<size_t>(threads) + 1].load(), threads);
  }
}

}  // namespace
}  // namespace quillet::standin
