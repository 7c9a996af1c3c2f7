#include <sys/mman.h>

#include <atomic>

#include "platform/virtual_memory.h"

namespace quillet::platform {

namespace {
std::atomic<int> failuresPending{0};
std::atomic<int> liveAllocations{0};
}  // namespace

void* allocatePages(size_t size) {
  if (size == 0) return nullptr;
  for (int pending = failuresPending.load(); pending > 0;) {
    if (failuresPending.compare_exchange_weak(pending, pending - 1)) return nullptr;
  }
  // Anonymous mappings come zero-filled, as committed virtual memory does on Windows.
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  liveAllocations.fetch_add(1);
  return p;
}

void releasePages(void* base, size_t size) {
  if (base == nullptr) return;
  munmap(base, size);
  liveAllocations.fetch_sub(1);
}

void failNextAllocations(int count) { failuresPending.store(count); }

int liveAllocationCount() { return liveAllocations.load(); }

}  // namespace quillet::platform
