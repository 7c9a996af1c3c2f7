#include <sys/mman.h>

#include "platform/allocation_controls.h"
#include "platform/virtual_memory.h"

namespace quillet::platform {

void* allocatePages(size_t size) {
  if (size == 0) return nullptr;
  if (takeInjectedFailure()) return nullptr;
  // Anonymous mappings come zero-filled, as committed virtual memory does on Windows.
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  countAllocation();
  return p;
}

void releasePages(void* base, size_t size) {
  if (base == nullptr) return;
  munmap(base, size);
  countRelease();
}

}  // namespace quillet::platform
