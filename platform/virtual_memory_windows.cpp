#include <windows.h>

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
  // Committed pages come zero-filled and aligned to the allocation granularity.
  void* p = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (p == nullptr) return nullptr;
  liveAllocations.fetch_add(1);
  return p;
}

void releasePages(void* base, size_t size) {
  (void)size;  // MEM_RELEASE frees the whole reservation and takes size 0
  if (base == nullptr) return;
  VirtualFree(base, 0, MEM_RELEASE);
  liveAllocations.fetch_sub(1);
}

void failNextAllocations(int count) { failuresPending.store(count); }

int liveAllocationCount() { return liveAllocations.load(); }

}  // namespace quillet::platform
