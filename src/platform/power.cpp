// The portable part of the power service: the boot time's test seam and the
// formatting of a moment as local time.
#include "platform/power.h"

#include <ctime>
#include <mutex>

#include "platform/clock_backend.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

std::mutex& bootTimeMutex() {
  static std::mutex mutex;
  return mutex;
}

// The test's boot time; negative: none set.
std::int64_t& bootTimeForTesting() {
  static std::int64_t seconds = -1;
  return seconds;
}

}  // namespace

bool bootTime(std::int64_t& secondsSince1970) {
  {
    std::lock_guard<std::mutex> lock(bootTimeMutex());
    if (bootTimeForTesting() >= 0) {
      secondsSince1970 = bootTimeForTesting();
      return true;
    }
  }
  return backend::systemBootTime(secondsSince1970);
}

std::string localTimeOf(std::int64_t secondsSince1970, const char* pattern) {
  std::tm local{};
  if (!backend::localCalendarTime(static_cast<std::time_t>(secondsSince1970), local))
    return std::string();
  char buffer[256];
  const std::size_t length = std::strftime(buffer, sizeof buffer, pattern, &local);
  return std::string(buffer, length);
}

void setBootTimeForTesting(std::int64_t secondsSince1970) {
  std::lock_guard<std::mutex> lock(bootTimeMutex());
  bootTimeForTesting() = secondsSince1970;
}

}  // namespace tavrelon::platform
