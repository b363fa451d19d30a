// What the platform backends and the portable parts of the platform layer
// share. Not for callers outside src/platform.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

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

// ---- the file services of platform.h, of paths without a NUL byte (files.cpp
// applies that rule before it calls them)

bool exists(const std::string& path);
bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                   bool* brokenOff);
std::string resolvedPath(const std::string& path);
bool fileIdentity(const std::string& path, FileIdentity& identity);
bool fileStatus(const std::string& path, FileStatus& status);
bool readFile(const std::string& path, std::string& content);
bool openedFileSize(const std::string& path, std::int64_t& size);
// `offset` is not negative; `bytes` comes in empty.
bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes);
PathKind pathKind(const std::string& path);
// readRegularFile, or with `startOnly` readRegularFileStart of `maxBytes` bytes;
// `content` comes in empty.
FileOutcome readRegular(const std::string& path, std::int64_t maxBytes, bool startOnly,
                        std::string& content);
FileOutcome replaceRegularFile(const std::string& path, const std::string& content,
                               const std::string& temporaryTag);
void removeStaleTemporaries(const std::string& path, const std::string& temporaryTag);
// startProcess for a launch whose path and directory hold no NUL; `record` comes in empty.
bool startProcess(const ProcessLaunch& launch, ProcessRecord& record, std::uint32_t& errorCode);
// The system's error code for "no such file" (ENOENT, ERROR_FILE_NOT_FOUND).
std::uint32_t fileNotFoundError();
// The value of this process's environment variable `name` (ASCII); false when unset.
bool environmentVariable(const std::string& name, std::string& value);
// Sets this process's environment variable `name` (ASCII), which every process
// started afterwards inherits.
void setEnvironmentVariable(const std::string& name, const std::string& value);
// This process's id, as the system numbers processes.
std::uint32_t currentProcessId();

// Reads a regular file of `size` bytes (as its open handle tells) into `content`
// through `read`, one system read into a buffer: the bytes read, 0 at the end,
// or -1 with the failure's outcome set. Takes at most `maxBytes`: with
// `startOnly` the rest stays unread; otherwise a file over the bound, or one that
// grows past it while it is read, is Refused and `content` freed. A failed read
// gives its outcome and an empty `content`.
FileOutcome readBounded(std::int64_t size, std::int64_t maxBytes, bool startOnly,
                        std::string& content,
                        const std::function<std::int64_t(char*, std::size_t, FileOutcome&)>& read);

// The temporaries replaceRegularFile makes for a target named `targetName`:
// targetName + "." + tag + "-" + process id + "-" + counter + ".tmp". The tag
// is the caller's: the status log's keeps every log tracker from taking one
// for a program's log.
class TemporaryNames {
 public:
  TemporaryNames(const std::string& targetName, const std::string& tag);
  // A name no earlier call of this process gave.
  std::string next() const;
  // True when `entryName` is one of them, made by any process.
  bool matches(const std::string& entryName) const;
  // What every name begins and ends with (a search pattern's fixed parts).
  const std::string& prefix() const { return prefix_; }
  static constexpr const char* kSuffix = ".tmp";

 private:
  std::string prefix_;
};

// The backends' table of started processes: Handles from a counter that never
// repeats, so a closed Handle stays invalid instead of coming to name another
// process. Hold `mutex` around every use.
template <typename Entry>
struct HandleTable {
  std::mutex mutex;
  std::map<Handle, Entry> entries;

  // A new Handle and its (default) entry.
  Handle add() {
    const Handle handle = next_++;
    entries[handle];
    return handle;
  }
  // The entry of an open Handle, or null.
  Entry* find(Handle handle) {
    auto found = entries.find(handle);
    return found == entries.end() ? nullptr : &found->second;
  }

 private:
  Handle next_ = 1;
};

// Releases a lock handle that lockFileExclusive gave out; 0 is ignored.
void releaseFileLock(std::uintptr_t handle);

// Tries once to take the exclusive lock on an open lock file: Done, Busy (held
// elsewhere) or Refused.
FileOutcome tryLockOnce(std::uintptr_t handle);

// Opens (creating it when missing) the lock file at `path`; 0 and the outcome
// on failure.
std::uintptr_t openLockFile(const std::string& path, FileOutcome& outcome);

}  // namespace tavrelon::platform::backend
