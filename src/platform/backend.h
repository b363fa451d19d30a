// What the platform backends and the portable parts of the platform layer
// share. Not for callers outside src/platform.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/platform.h"

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

// The error code that failJobAssignmentForTesting() set; 0 when none is set.
std::uint32_t forcedJobAssignmentFailure();

// True when `path` holds a NUL byte. Such a path names no file: the system
// calls would see only the part before the NUL, which is another file.
inline bool namesNoFile(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// Releases a lock handle that lockFileExclusive gave out; 0 is ignored.
void releaseFileLock(std::uintptr_t handle);

// Tries once to take the exclusive lock on an open lock file: Done, Busy (held
// elsewhere) or Refused.
FileOutcome tryLockOnce(std::uintptr_t handle);

// Opens (creating it when missing) the lock file at `path`; 0 and the outcome
// on failure.
std::uintptr_t openLockFile(const std::string& path, FileOutcome& outcome);

// The prefix and suffix of the temporaries replaceRegularFile makes for a target
// named `targetName`: targetName + ".TavrelonLog-" ... ".tmp". "TavrelonLog" in
// the name keeps every log tracker from taking one for a program's log.
std::string temporaryPrefix(const std::string& targetName);
constexpr const char* kTemporarySuffix = ".tmp";

}  // namespace tavrelon::platform::backend
