#include "cli/interrupt.h"

#include <csignal>
#include <cstdlib>
#include <utility>

#if defined(_WIN32)
#include <chrono>
#include <thread>
#else
#include <pthread.h>
#include <sys/time.h>

#include <system_error>
#include <thread>
#endif

namespace quillet::cli {
namespace {

std::mutex lock;
std::function<void()> registered;  // under `lock`
int registeredGrace = 0;           // under `lock`

// How long an interrupt waits for a frame being written and for the action: an output that
// does not take data (a pipe nobody reads) must not keep the tool running.
constexpr int kGraceMilliseconds = 1000;

#if defined(_WIN32)
[[noreturn]] void endInterrupted(int signal) {
  // No timer here: the lock is tried until the grace period ends, then the tool ends without
  // the action (the output takes nothing, so there is nothing it could flush).
  for (int waited = 0; !lock.try_lock(); waited += 10) {
    if (waited >= kGraceMilliseconds) std::_Exit(128 + signal);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (registered) registered();
  std::_Exit(128 + signal);
}

// Windows runs console interrupt handlers on a thread of their own, where locking is safe.
void onSignal(int signal) { endInterrupted(signal); }
#else
volatile std::sig_atomic_t exitCode = 0;

void onAlarm(int) { std::_Exit(exitCode); }

void armTimer(int milliseconds) {
  itimerval grace{};
  grace.it_value.tv_sec = milliseconds / 1000;
  grace.it_value.tv_usec = milliseconds % 1000 * 1000;
  setitimer(ITIMER_REAL, &grace, nullptr);
}

[[noreturn]] void endInterrupted(int signal) {
  // A timer bounds the wait for the lock and the action: a writer blocked on its output holds
  // the lock, and the action's flush would block too. The frames written before stay whole; only
  // a frame the output refused to take may be left part-written in it.
  exitCode = 128 + signal;
  std::signal(SIGALRM, onAlarm);
  armTimer(kGraceMilliseconds);
  // The lock is never released: the process ends holding it, so no frame starts after this.
  lock.lock();
  if (registered) {
    armTimer(registeredGrace);
    registered();
  }
  std::_Exit(128 + signal);
}
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

InterruptAction::InterruptAction(std::function<void()> action, int graceMilliseconds) {
  const std::lock_guard<std::mutex> hold(lock);
  registered = std::move(action);
  registeredGrace = graceMilliseconds;
}

InterruptAction::~InterruptAction() {
  const std::lock_guard<std::mutex> hold(lock);
  registered = nullptr;
}

}  // namespace quillet::cli
