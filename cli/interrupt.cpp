#include "cli/interrupt.h"

#include <csignal>
#include <cstdlib>
#include <utility>

#if !defined(_WIN32)
#include <pthread.h>

#include <system_error>
#include <thread>
#endif

namespace quillet::cli {
namespace {

std::mutex lock;
std::function<void()> registered;  // under `lock`

[[noreturn]] void endInterrupted(int signal) {
  // The lock is never released: the process ends holding it, so no frame starts after this.
  lock.lock();
  if (registered) registered();
  std::_Exit(128 + signal);
}

#if defined(_WIN32)
// Windows runs console interrupt handlers on a thread of their own, where locking is safe.
void onSignal(int signal) { endInterrupted(signal); }
#endif

}  // namespace

void watchInterrupts() {
#if defined(_WIN32)
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
#else
  // A handler may not take a lock; a thread that waits for the signals may.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  try {
    std::thread([signals] {
      int signal = 0;
      while (sigwait(&signals, &signal) != 0) {
      }
      endInterrupted(signal);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to wait for them: the signals end the tool as they would without it.
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  }
#endif
}

std::mutex& interruptLock() { return lock; }

InterruptAction::InterruptAction(std::function<void()> action) {
  const std::lock_guard<std::mutex> hold(lock);
  registered = std::move(action);
}

InterruptAction::~InterruptAction() {
  const std::lock_guard<std::mutex> hold(lock);
  registered = nullptr;
}

}  // namespace quillet::cli
