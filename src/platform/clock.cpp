// The clock services both backends share: local time formatting and sleeping
// with the test-only hook.
#include <mutex>

#include "platform/clock.h"
#include "platform/clock_backend.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

std::mutex& sleepHookMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(std::int64_t)>& sleepHook() {
  static std::function<void(std::int64_t)> hook;
  return hook;
}

}  // namespace

std::string localTime(const char* pattern) {
  std::tm local{};
  if (!backend::localCalendarTime(std::time(nullptr), local))
    return std::string();
  char buffer[256];
  std::size_t length = std::strftime(buffer, sizeof buffer, pattern, &local);
  return std::string(buffer, length);
}

void sleepMilliseconds(std::int64_t milliseconds) {
  std::function<void(std::int64_t)> hook;
  {
    std::lock_guard<std::mutex> lock(sleepHookMutex());
    hook = sleepHook();
  }
  if (hook) {
    hook(milliseconds);
    return;
  }
  backend::sleepForReal(milliseconds);
}

bool backend::sleepHookIsSet() {
  std::lock_guard<std::mutex> lock(sleepHookMutex());
  return static_cast<bool>(sleepHook());
}

void setSleepHookForTesting(std::function<void(std::int64_t)> hook) {
  std::lock_guard<std::mutex> lock(sleepHookMutex());
  sleepHook() = std::move(hook);
}

}  // namespace tavrelon::platform
