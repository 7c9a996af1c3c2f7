#include "platform/allocation_controls.h"

#include <atomic>

#include "platform/virtual_memory.h"

namespace quillet::platform {

namespace {
std::atomic<int> failuresPending{0};
std::atomic<int> liveAllocations{0};
}  // namespace

bool takeInjectedFailure() {
  for (int pending = failuresPending.load(); pending > 0;) {
    if (failuresPending.compare_exchange_weak(pending, pending - 1)) return true;
  }
  return false;
}

void countAllocation() { liveAllocations.fetch_add(1); }

void countRelease() { liveAllocations.fetch_sub(1); }

void failNextAllocations(int count) { failuresPending.store(count); }

int liveAllocationCount() { return liveAllocations.load(); }

}  // namespace quillet::platform
