#include <setjmp.h>
#include <signal.h>

#include "platform/sse_support.h"

namespace quillet::platform {

namespace {
sigjmp_buf probeJump;

void onIllegalInstruction(int) { siglongjmp(probeJump, 1); }
}  // namespace

// The kernel refuses SSE instructions with SIGILL when it does not save the SSE register state;
// the probe runs one under a temporary SIGILL handler.
bool osExecutesSse() {
#if defined(__i386__) || defined(__x86_64__)
  struct sigaction probe {};
  struct sigaction previous {};
  probe.sa_handler = onIllegalInstruction;
  sigemptyset(&probe.sa_mask);
  if (sigaction(SIGILL, &probe, &previous) != 0) return false;
  bool executed = false;
  if (sigsetjmp(probeJump, 1) == 0) {
    __asm__ volatile(".byte 0x0f, 0x57, 0xc0" : : : "xmm0");  // xorps xmm0, xmm0
    executed = true;
  }
  sigaction(SIGILL, &previous, nullptr);
  return executed;
#else
  return false;
#endif
}

}  // namespace quillet::platform
