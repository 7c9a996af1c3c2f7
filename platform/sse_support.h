#pragma once

namespace quillet::platform {

// Executes one SSE instruction and reports whether the operating system let it run (SSE
// register state enabled). Only called when the processor reports SSE.
bool osExecutesSse();

}  // namespace quillet::platform
