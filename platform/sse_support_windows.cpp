#include <windows.h>

#include "platform/sse_support.h"

// Executes `xorps xmm0, xmm0` and returns (defined below in assembly).
extern "C" void quilletSseProbe();

namespace quillet::platform {

namespace {
// Length of the probe instruction below, skipped when the processor refuses it.
constexpr DWORD kProbeLength = 3;

// Set by the handler when the probe faulted. The probe runs on one thread at a time (the init
// callback), and only the probing thread's own fault reaches the handler with this address.
volatile LONG probeFaulted = 0;

LONG CALLBACK onProbeException(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ILLEGAL_INSTRUCTION) return EXCEPTION_CONTINUE_SEARCH;
  if (record->ExceptionAddress != reinterpret_cast<void*>(&quilletSseProbe)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  probeFaulted = 1;
#if defined(__i386__)
  info->ContextRecord->Eip += kProbeLength;
#else
  info->ContextRecord->Rip += kProbeLength;
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}
}  // namespace

// The probe is a function of its own whose first instruction is `xorps xmm0, xmm0`, written as
// bytes so that no object outside the SSE kernel forms is assembled with an SSE mnemonic. The
// handler recognises the fault by the function's address and resumes after the instruction.
__asm__(
    ".text\n"
    ".p2align 4\n"
#if defined(__i386__)
    "_quilletSseProbe:\n"
#else
    "quilletSseProbe:\n"
#endif
    ".byte 0x0f, 0x57, 0xc0\n"  // xorps xmm0, xmm0
    "ret\n");

// Windows raises EXCEPTION_ILLEGAL_INSTRUCTION for SSE instructions when it does not save the
// SSE register state. GCC has no structured exception blocks, so a vectored handler, installed
// only around the probe, catches the fault; any other exception passes on unchanged.
bool osExecutesSse() {
  probeFaulted = 0;
  void* handler = AddVectoredExceptionHandler(1, onProbeException);
  if (handler == nullptr) return false;
  quilletSseProbe();
  RemoveVectoredExceptionHandler(handler);
  return probeFaulted == 0;
}

}  // namespace quillet::platform
