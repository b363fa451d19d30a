// The stop request both backends share: a flag that signal and console
// handlers set, and waits that it ends early.
#include <atomic>

#include "platform/clock.h"
#include "platform/clock_backend.h"
#include "platform/process_backend.h"
#include "platform/test_seams.h"
#include "platform/watchdog_process.h"

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

std::int32_t markSupervisionDepth() {
  const char* const name = "TAVRELON_DEPTH";
  std::string text;
  std::int32_t depth = 0;
  if (backend::environmentVariable(name, text) && !text.empty() && text.size() <= 6 &&
      text.find_first_not_of("0123456789") == std::string::npos) {
    depth = static_cast<std::int32_t>(std::stol(text));
  }
  backend::setEnvironmentVariable(name, std::to_string(depth + 1));
  return depth;
}

}  // namespace tavrelon::platform
