// What the platform backends and the portable parts of the platform layer
// share. Not for callers outside src/platform.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tavrelon::platform::backend {

// Blocks the calling thread for `milliseconds` of real time (0 or less: none).
void sleepForReal(std::int64_t milliseconds);

// Waits up to `milliseconds` of real time, returning early once wakeStopWaiters()
// has been called (now or before).
void waitForStopWake(std::int64_t milliseconds);

// Wakes every waitForStopWake(), now and later, until resetStopWake().
// Async-signal-safe on POSIX.
void wakeStopWaiters();
void resetStopWake();

// True while a test hook replaces sleeping (setSleepHookForTesting).
bool sleepHookIsSet();

// Converts `when` to local calendar time in `local`; false when it cannot.
bool localCalendarTime(std::time_t when, std::tm& local);

// True when `path` holds a NUL byte. Such a path names no file: the system
// calls would see only the part before the NUL, which is another file.
inline bool namesNoFile(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

}  // namespace tavrelon::platform::backend
