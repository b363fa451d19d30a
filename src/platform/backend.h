// What each platform backend provides to the portable parts of the platform
// layer. Not for callers outside src/platform.
#pragma once

#include <cstdint>
#include <ctime>

namespace tavrelon::platform::backend {

// Blocks the calling thread for `milliseconds` of real time (0 or less: none).
void sleepForReal(std::int64_t milliseconds);

// Converts `when` to local calendar time in `local`; false when it cannot.
bool localCalendarTime(std::time_t when, std::tm& local);

}  // namespace tavrelon::platform::backend
