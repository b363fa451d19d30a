// What the clock, the stop requests and their backends share. Not for callers
// outside src/platform.
#pragma once

#include <cstdint>
#include <ctime>

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

}  // namespace tavrelon::platform::backend
