#pragma once

// Book-keeping shared by every operating system's allocatePages / releasePages: the injected
// failures and the count of live allocations behind the test controls of virtual_memory.h.
namespace quillet::platform {

// True when an injected failure is pending; consumes it.
bool takeInjectedFailure();

void countAllocation();
void countRelease();

}  // namespace quillet::platform
