// The stop request both backends share: a flag that signal and console
// handlers set, and waits that it ends early.
#include <atomic>

#include "platform/backend.h"
#include "platform/platform.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

// Constant-initialised and lock-free, so a signal handler may set it.
std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from signal handlers");

}  // namespace

void requestStop() {
  stopFlag.store(true);
  backend::wakeStopWaiters();
}

bool stopRequested() {
  return stopFlag.load();
}

bool pauseUnlessStopped(std::int64_t milliseconds) {
  if (stopRequested())
    return false;
  if (backend::sleepHookIsSet()) {
    sleepMilliseconds(milliseconds);
  } else {
    backend::waitForStopWake(milliseconds);
  }
  return !stopRequested();
}

void clearStopRequestForTesting() {
  stopFlag.store(false);
  backend::resetStopWake();
}

}  // namespace tavrelon::platform
