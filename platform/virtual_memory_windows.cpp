#include <windows.h>

#include "platform/allocation_controls.h"
#include "platform/virtual_memory.h"

namespace quillet::platform {

void* allocatePages(size_t size) {
  if (size == 0) return nullptr;
  if (takeInjectedFailure()) return nullptr;
  // Committed pages come zero-filled and aligned to the allocation granularity.
  void* p = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (p == nullptr) return nullptr;
  countAllocation();
  return p;
}

void releasePages(void* base, size_t size) {
  (void)size;  // MEM_RELEASE frees the whole reservation and takes size 0
  if (base == nullptr) return;
  VirtualFree(base, 0, MEM_RELEASE);
  countRelease();
}

}  // namespace quillet::platform
