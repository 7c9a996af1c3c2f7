#pragma once

#include <cstddef>

namespace quillet::platform {

// Commits `size` bytes of zero-filled, read-write memory, page aligned. Null when refused.
void* allocatePages(size_t size);

// Releases an allocation made by allocatePages; `size` is the size it was made with.
void releasePages(void* base, size_t size);

// Test control: the next `count` calls of allocatePages fail as if the system refused them.
void failNextAllocations(int count);

// Test control: number of allocatePages calls that succeeded and releasePages calls made.
int liveAllocationCount();

}  // namespace quillet::platform
