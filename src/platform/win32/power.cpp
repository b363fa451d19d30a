// The power service on Windows: the boot time as the clock less the time since
// the start.
#include <windows.h>

#include "platform/power.h"

namespace tavrelon::platform {

bool backend::systemBootTime(std::int64_t& secondsSince1970) {
  // GetTickCount64 counts the milliseconds since the start, time asleep
  // included; the system time counts 100-nanosecond units since 1601.
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const ULONGLONG sinceStart = ::GetTickCount64();
  const std::uint64_t units =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr std::uint64_t kUnitsFrom1601To1970 = 116444736000000000ull;
  if (units < kUnitsFrom1601To1970)
    return false;
  const std::int64_t nowSeconds =
      static_cast<std::int64_t>((units - kUnitsFrom1601To1970) / 10000000ull);
  secondsSince1970 = nowSeconds - static_cast<std::int64_t>(sinceStart / 1000);
  return secondsSince1970 > 0;
}

void keepAwake() {
  // Continuous: in force until the next call with ES_CONTINUOUS; the system
  // still lets the display turn off.
  ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

void allowSleep() {
  ::SetThreadExecutionState(ES_CONTINUOUS);
}

}  // namespace tavrelon::platform
