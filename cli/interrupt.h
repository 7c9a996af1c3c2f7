#pragma once

#include <functional>
#include <mutex>

namespace quillet::cli {

// SIGINT and SIGTERM end the tool at once with the shell's code (128 + the signal's number),
// after the registered action, without waiting for a read that may never return. Whatever the
// action needs whole (a frame being written) is done under interruptLock(); the interrupt
// takes the lock first. A write or an action that blocks (an output nobody reads) delays the
// end by at most a second: then the tool ends without waiting further.

// Starts watching for the signals. Call it before any other thread starts: they must inherit
// the signals blocked.
void watchInterrupts();

// Held while a frame is written, so that an interrupt never flushes half a frame.
std::mutex& interruptLock();

// Runs `action` on an interrupt, under interruptLock(), while it is alive: it flushes the
// output written so far. Declare it after what the action uses, so that it goes first. The
// action gets `graceMilliseconds` once the lock is had: a second for a flush, longer for one
// that has work of its own to finish (an encoder's last frames and a container's index).
class InterruptAction {
 public:
  explicit InterruptAction(std::function<void()> action, int graceMilliseconds = 1000);
  ~InterruptAction();
  InterruptAction(const InterruptAction&) = delete;
  InterruptAction& operator=(const InterruptAction&) = delete;
};

}  // namespace quillet::cli
