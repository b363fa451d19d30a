// Operating-system services used by the rest of the watchdog. One backend
// implements this header per platform (platform_posix.cpp, platform_win32.cpp);
// CMake compiles exactly one of them. Callers see plain types only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavrelon::platform {

// ---------------------------------------------------------------- paths

// The separator this platform's paths use: '\\' on Windows, '/' on POSIX.
// Wherever the watchdog splits or joins a path it uses this character only.
char separator();

// Full path of the running executable, never truncated; empty when the
// system cannot tell.
std::string executablePath();

// True when both paths name one and the same existing file, also through
// another spelling or a link (device and inode / volume serial and file index).
// False when either cannot be opened or queried.
bool sameFile(const std::string& first, const std::string& second);

// ---------------------------------------------------------------- files
// A path that holds a NUL byte names no file: every service below treats it as
// missing (exists() is false, reads and writes fail), and so does startProcess.

// True when a file or a directory exists at `path`.
bool exists(const std::string& path);

// One entry of a listing. A symbolic link (or a junction) counts as what it
// points to; one that points nowhere, a FIFO, a socket or a device is neither
// a directory nor a file.
struct DirectoryEntry {
  std::string name;          // the entry's own name, no directory part
  bool isDirectory = false;  // a directory, or a link to one
  bool isFile = false;       // a regular file, or a link to one
  bool isLink = false;       // a symbolic link or a junction, whatever it points to
  // True when the listing itself gave the times below (Windows); false where
  // they need a status query of their own (POSIX listings carry none).
  bool hasTimes = false;
  std::int64_t creationTime = 0;      // as FileStatus::creationTime
  std::int64_t modificationTime = 0;  // as FileStatus::modificationTime
};

// Appends the entries of `directory` ("." and ".." left out) to `entries`, in
// the platform's listing order (sorted by name on POSIX, where readdir order
// is arbitrary). Only links and entries of unknown kind cost a status query.
// Returns false, appending nothing, when it cannot be opened.
bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries);

// What tells two paths to one file or directory apart: device and inode on
// POSIX, volume serial number and file index on Windows.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
};

// The full path of what `path` names with every link followed (a symbolic
// link's target); empty when it cannot be resolved (nothing there, say).
std::string resolvedPath(const std::string& path);

// The identity of the file or directory at `path`, links followed; false when
// it cannot be queried. Opens nothing for reading, so a FIFO never blocks it.
bool fileIdentity(const std::string& path, FileIdentity& identity);

struct FileStatus {
  std::int64_t creationTime = 0;      // seconds since 1970; birth time where the
                                      // file system records one, else modification
  std::int64_t modificationTime = 0;  // seconds since 1970
  std::int64_t size = 0;              // bytes, 64-bit
};

// Queries the status of `path`; false when it cannot be queried.
bool fileStatus(const std::string& path, FileStatus& status);

// Reads the whole file as bytes (no line-end translation); false when it
// cannot be opened or read, or is not a regular file (never blocks on a FIFO).
bool readFile(const std::string& path, std::string& content);

// Opens `path` for reading only, sharing read, write and delete with whoever
// else holds it, and reports its size; false when it cannot be opened or is
// not a regular file. The open never blocks (a FIFO fails at once).
bool openedFileSize(const std::string& path, std::int64_t& size);

// Reads up to `length` bytes from byte `offset` of `path` (read-only open with
// full sharing, as openedFileSize) into `bytes`; fewer at the end of the file.
// False when the file cannot be opened or read, or is not a regular file.
bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes);

// Replaces the whole content of `path` with `content`: the bytes go to a
// temporary file beside it, are flushed to disk and the temporary is renamed
// over `path`. On any failure `path` stays as it was, no temporary is left
// behind, and false is returned.
bool replaceFileContent(const std::string& path, const std::string& content);

// ---------------------------------------------------------------- clock

// The current local time formatted with the strftime `pattern`.
std::string localTime(const char* pattern);

// Blocks the calling thread for `milliseconds` (or calls the test hook).
void sleepMilliseconds(std::int64_t milliseconds);

// Test-only seam: while a hook is set, sleepMilliseconds(ms) calls hook(ms)
// instead of sleeping. An empty function restores real sleeping. The shipped
// program never calls this.
void setSleepHookForTesting(std::function<void(std::int64_t)> hook);

// ---------------------------------------------------------------- stop requests

// Once at start-up of the watchdog: stop requests (SIGINT, SIGTERM, SIGHUP; the
// console's Ctrl+C, Ctrl+Break, close, logoff and shutdown) call requestStop();
// SIGPIPE is ignored and SIGCHLD set back to its default; on Linux orphaned
// descendants are handed to us; QuickEdit is turned off in our own console.
void prepareWatchdogProcess();

// Before the watchdog returns from its entry function: restores the console
// mode that prepareWatchdogProcess() changed. Safe to call when it never ran.
void restoreWatchdogProcess();

// Asks the supervision to stop: the flag stays set and every interruptible
// wait, running or to come, returns at once. Async-signal-safe.
void requestStop();

// True once a stop has been requested.
bool stopRequested();

// Waits `milliseconds` (through the test hook, like sleepMilliseconds) unless a
// stop is requested before or meanwhile, which ends the wait early. Returns
// true when the full wait passed with no stop requested.
bool pauseUnlessStopped(std::int64_t milliseconds);

// Test-only: forgets an earlier stop request. The shipped program never calls it.
void clearStopRequestForTesting();

// Test-only: true when this Windows build runs under Wine, whose file times
// and consoles differ from Windows'; always false on POSIX.
bool runningUnderWineForTesting();

// ---------------------------------------------------------------- processes

// Opaque process or thread handle; 0 is no handle.
using Handle = std::uintptr_t;

// A started process as its owner records it (names as in the Windows record).
// dwProcessId is nonzero on success.
struct ProcessRecord {
  Handle hProcess = 0;
  Handle hThread = 0;
  std::uint32_t dwProcessId = 0;
  std::uint32_t dwThreadId = 0;
};

// What to start and how.
struct ProcessLaunch {
  std::string path;       // the executable
  std::string arguments;  // argument string, split by the Windows C runtime's rules
  // false: started by its path alone with no arguments at all (the debug programs)
  bool withArguments = true;
  // true: a console of its own (a new session with stdin from /dev/null and
  // stdout/stderr on our stderr on POSIX); false: no window (same on POSIX)
  bool newConsole = true;
  bool showWindow = true;  // start-up block's window state: shown or hidden
  // true: the process and everything it starts are ended together
  // (job object / process group); false: stays in the caller's group
  bool ownProcessGroup = true;
  // empty: the child inherits our current directory
  std::string workingDirectory;
};

// Starts a process. On success fills `record` (nonzero dwProcessId) and
// returns true. On failure, exec failures included, returns false with the
// system's error code (errno / GetLastError) in `errorCode`.
bool startProcess(const ProcessLaunch& launch, ProcessRecord& record, std::uint32_t& errorCode);

enum class ProcessState {
  Running,  // still running (an exit code of 259 is an exit code like any other)
  Exited,   // ended; exitCode holds its code
  Unknown,  // null or closed handle, or the query failed; exitCode untouched
};

// State of the process behind `hProcess`. An exited process stays readable
// until its handle is closed. A process ended by terminateProcess reads 0; on
// POSIX a process killed by a signal reads 128 + the signal number.
ProcessState processState(Handle hProcess, std::uint32_t& exitCode);

// Ends the recorded process and every process it started (its job or process
// group), with exit code 0. Failures (already ended, say) are ignored.
void terminateProcess(const ProcessRecord& record);

// Releases a handle; 0 is ignored. Closing does not end the process.
void closeHandle(Handle handle);

}  // namespace tavrelon::platform
