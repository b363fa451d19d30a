// Operating-system services used by the rest of the watchdog. One backend
// implements this header per platform (platform_posix.cpp, platform_win32.cpp);
// CMake compiles exactly one of them. Callers see plain types only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tavrelon::platform {

// ---------------------------------------------------------------- paths

// The separator this platform's paths use: '\\' on Windows, '/' on POSIX.
// Wherever the watchdog splits or joins a path it uses this character only.
char separator();

// True on Windows, false on POSIX: for the few places whose answer differs by
// system in more than the separator (line ends, file times, links).
bool isWindows();

// Full path of the running executable, never truncated; empty when the
// system cannot tell.
std::string executablePath();

// The directory of the running executable, without a trailing separator; the
// whole path when it holds no separator (empty when executablePath() is).
std::string executableDirectory();

// The portable path helpers (paths.cpp). `alsoSlash`: a '/' separates too, as
// the Windows system calls take it; the watchdog's own splits use separator() only.

// Where the final name of `path` begins: just past its last separator; 0 when
// it has none.
std::size_t finalNameOffset(const std::string& path, bool alsoSlash = false);

// The text after the last separator of `path`; `path` itself without one.
std::string finalNameOf(const std::string& path, bool alsoSlash = false);

// The text before the last separator of `path`; `path` itself without one.
std::string directoryOf(const std::string& path);

// `directory`, the separator and `name`.
std::string joinPath(const std::string& directory, const std::string& name);

// ---------------------------------------------------------------- text
// Inside the watchdog text and paths are UTF-8. Files that the system's other
// programs read in the ANSI code page (the status log) are converted at their
// edge; on POSIX both conversions leave the bytes as they are.

// `utf8` in the ANSI code page; a character that the code page lacks becomes
// '?'. ASCII stays byte for byte.
std::string toAnsiCodePage(const std::string& utf8);

// `ansi` (bytes in the ANSI code page) as UTF-8. ASCII stays byte for byte.
std::string fromAnsiCodePage(const std::string& ansi);

// The arguments after the program's name, as UTF-8. On Windows they come from
// the wide command line (argv holds them in the ANSI code page, which loses
// every character it lacks); elsewhere they are argv's own.
std::vector<std::string> programArguments(int argc, char** argv);

// ---------------------------------------------------------------- files
// A path that holds a NUL byte names no file: every service below treats it as
// missing (exists() is false, reads and writes fail), and so does startProcess.

// True when a file or a directory exists at `path`, and also when the system
// cannot tell now (a file held without sharing, a share that reconnects): only
// a name that reaches no file (no such file or folder) is false.
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
// Returns false, appending nothing, when it cannot be opened, and also when the
// listing broke off with an error midway; then `brokenOff`, when given, is set
// to true (it is left alone otherwise).
bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                   bool* brokenOff = nullptr);

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
                                      // file system records one (a recorded 0
                                      // counts as none), else modification
  std::int64_t modificationTime = 0;  // seconds since 1970
  std::int64_t size = 0;              // bytes, 64-bit
};

// Queries the status of `path`; false when it cannot be queried.
bool fileStatus(const std::string& path, FileStatus& status);

// Reads the whole file as bytes (no line-end translation); false when it
// cannot be opened or read, or is not a regular file (never blocks on a FIFO).
bool readFile(const std::string& path, std::string& content);

// Opens `path` for its attributes only (Windows; POSIX: read-only), sharing
// read, write and delete with whoever else holds it, and reports its size;
// false when it cannot be opened or is not a regular file. A program that
// holds its log without letting others read it is not disturbed. The open
// never blocks (a FIFO fails at once).
bool openedFileSize(const std::string& path, std::int64_t& size);

// Reads up to `length` bytes from byte `offset` of `path` (read-only open with
// full sharing, as openedFileSize) into `bytes`; fewer at the end of the file.
// False when the file cannot be opened or read, or is not a regular file.
bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes);

// How a read or a replacement of a whole file ended.
enum class FileOutcome {
  Done,
  Missing,  // nothing at the path (reads only)
  Busy,     // may pass soon: held by someone else for now (a sharing violation, a
            // lock), a network share that reconnects
  Refused,  // will not pass as things stand: not a regular file, read-only, too large,
            // no such folder, no permission (Controlled Folder Access, a pending delete)
};

// The system's error code (errno on POSIX, GetLastError on Windows) of the
// latest file service on this thread that ended Busy or Refused on a system
// error (a missing file on a read is no such failure); 0 when none has since
// the last call. Clears it. A refusal by a rule of its own (not a regular
// file, too large) leaves no code.
std::uint32_t takeFileErrorCode();

enum class PathKind { Missing, RegularFile, Other };

// What is at `path`, links followed: nothing, a regular file, or anything else
// (a directory, FIFO, device or socket). Nothing is opened.
PathKind pathKind(const std::string& path);

// Reads the whole regular file at `path` (links followed) into `content`. The
// open never blocks (a FIFO or device at the path is refused unread), and a file
// over `maxBytes` is refused before anything is allocated for it.
FileOutcome readRegularFile(const std::string& path, std::int64_t maxBytes, std::string& content);

// Reads at most the first `length` bytes of the regular file at `path` into
// `bytes`, with the same non-blocking open and checks as readRegularFile.
FileOutcome readRegularFileStart(const std::string& path, std::size_t length, std::string& bytes);

// Replaces the whole content of the regular file at `path` (created when
// missing) as an in-place write would: a link stays a link and its final target
// gets the bytes; the old file's permission bits (POSIX) or creation time,
// attributes and security (Windows, ReplaceFileW; where it is refused for
// access, as on a share with "Change" rights, a replacing rename keeps neither)
// are kept. A link is a symbolic link or a junction; other reparse points
// (cloud placeholders, deduplicated files) are ordinary files. The bytes go to a
// unique temporary beside the target (its name: sideFileName of the target's
// with the caller's `temporaryTag`, "-", this process's id, "-", a counter,
// ".tmp"), created exclusively without following links, flushed to disk and then
// put in the place of the very file that was checked (one swapped in meanwhile:
// Busy). Links are followed as resolveWriteTarget follows them. A read-only file
// or anything but a regular file is refused untouched. On any failure the old
// file stays as it was and no temporary of this call is left behind. Where
// Windows removed the old file and the new one cannot take its name, the new one
// is kept (recoverKeptReplacement) and the call is Done.
FileOutcome replaceRegularFile(const std::string& path, const std::string& content,
                               const std::string& temporaryTag);

// replaceRegularFile(path, content, "replace") == FileOutcome::Done.
bool replaceFileContent(const std::string& path, const std::string& content);

// Removes what replaceRegularFile calls for `path` with `temporaryTag` left
// behind when their process was killed: regular files beside the target whose
// names follow the temporary pattern and whose writer (the process id in the
// name) no longer runs; links are never followed. Call while holding the
// file's lock, so no replacement of a writer that honours it is under way.
void removeStaleTemporaries(const std::string& path, const std::string& temporaryTag);

// Puts back in its place the copy that replaceRegularFile kept for `path` when
// Windows had removed the old file and the new one could not take its name
// (error 1176, the name held by someone who still has the old file open): the
// copy lies beside it as the target's name, ".", `temporaryTag` and "-kept",
// and no sweep takes it. Done when there is none, when it is back, or when a
// file is at the path again (both then stay); Busy when it cannot be put back
// now: the file must then be neither read nor rewritten. Call while holding the
// file's lock, before removeStaleTemporaries. Always Done on POSIX.
FileOutcome recoverKeptReplacement(const std::string& path, const std::string& temporaryTag);

// The start of the name of a file kept beside one named `name` (its lock, its
// replacement's temporaries): `name`, "." and `tag`. A name so long that a side
// file's name would pass 255 bytes is cut at a character's end and a hash of
// the whole name put after it, so every process derives the same names.
std::string sideFileName(const std::string& name, const std::string& tag);

// The file that a write to `path` reaches, its links followed once, into
// `target` (`path` itself when no link is there, also when nothing is). A
// dangling link or a loop is Refused, and so is a link that another user owns
// in a sticky folder that all may write, unless the folder is that user's.
FileOutcome resolveWriteTarget(const std::string& path, std::string& target);

// An exclusive lock on a lock file, held until the object goes (or is moved
// from). The operating system drops it when the holding process dies. The lock
// file goes with the lock: removed while still held (POSIX), or deleted with
// its last handle (Windows).
class FileLock {
 public:
  FileLock() = default;
  FileLock(std::uintptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  bool held() const { return handle_ != 0; }

 private:
  std::uintptr_t handle_ = 0;
  std::string path_;  // where the lock file is; empty for a handle that never held it
};

// Why lockFileExclusive gave no lock, beyond its outcome.
enum class LockFault {
  None,        // no fault of the lock file's own: it is held elsewhere, or it was got
  NotAFile,    // a directory, FIFO, device or link has the lock file's name
  CannotOpen,  // the lock file is there but cannot be opened (another user's, say)
};

// Takes an exclusive operating-system lock (flock / LockFileEx) on the file at
// `path`, created when missing (with the permission bits of `like` when that
// file is there), waiting at most `timeoutMs`. The lock holds only once the
// open file is still the one at `path`. Busy when another holder kept it that
// long; Refused, with `fault` set, when the name is no regular file (never
// blocking on it) or the file cannot be opened. `lock` holds it exactly on Done.
FileOutcome lockFileExclusive(const std::string& path, std::int64_t timeoutMs, FileLock& lock,
                              LockFault* fault = nullptr, const std::string& like = "");

// ---------------------------------------------------------------- clock

// The current local time formatted with the strftime `pattern`.
std::string localTime(const char* pattern);

// Blocks the calling thread for `milliseconds` (or calls the test hook of
// test_seams.h).
void sleepMilliseconds(std::int64_t milliseconds);

// ---------------------------------------------------------------- stop requests

// Once at start-up of the watchdog: stop requests (SIGINT, SIGTERM, SIGHUP; the
// console's Ctrl+C, Ctrl+Break, close, logoff and shutdown) call requestStop();
// SIGPIPE is ignored and SIGCHLD set back to its default; on Linux orphaned
// descendants are handed to us; QuickEdit is turned off in our own console.
// On Windows also: system error boxes off (inherited by the programs started,
// so a crash ends a program with its code instead of a dialog that waits) and
// console output in UTF-8.
void prepareWatchdogProcess();

// Before the watchdog returns from its entry function: restores the console
// mode and output code page that prepareWatchdogProcess() changed. Safe to
// call when it never ran.
void restoreWatchdogProcess();

// Writes `line` and this platform's line end (CR LF on Windows, as a text-mode
// stream of the C runtime writes it; LF elsewhere) to standard output, straight
// to the system with no buffer, blocking until all of it is taken. False when it
// cannot be written (no standard output, a reader that went away).
bool writeStandardOutputLine(const std::string& line);

// Asks the supervision to stop: the flag stays set and every interruptible
// wait, running or to come, returns at once. Async-signal-safe.
void requestStop();

// True once a stop has been requested.
bool stopRequested();

// Waits `milliseconds` (through the test hook, like sleepMilliseconds) unless a
// stop is requested before or meanwhile, which ends the wait early. Returns
// true when the full wait passed with no stop requested.
bool pauseUnlessStopped(std::int64_t milliseconds);

// ---------------------------------------------------------------- nesting

// Once at start-up of the watchdog: the number of watchdogs that run above this
// one, as the environment it inherited marks it (TAVRELON_DEPTH; 0 when
// unmarked or not a number). Marks this process's own environment, which every
// process it starts inherits, with one more.
std::int32_t markSupervisionDepth();

// ---------------------------------------------------------------- processes

// Opaque process handle; 0 is no handle. Values never repeat, so a closed
// handle stays invalid instead of coming to name another process.
using Handle = std::uintptr_t;

// A started process as its owner holds it (names as in the Windows record).
// The record owns the handle: it is closed when the record goes or is assigned
// over, which does not end the process. Moves hand it over; no copies.
struct ProcessRecord {
  Handle hProcess = 0;
  // Nonzero on success; an owner that has let the process go may set it back
  // to 0 and keep the handle, through which the exit code stays readable.
  std::uint32_t dwProcessId = 0;
  // Nonzero when the process was to have a job (process group) of its own but
  // runs without one: the system's error code. Ending it then ends it alone.
  std::uint32_t jobErrorCode = 0;

  ProcessRecord() = default;
  ProcessRecord(ProcessRecord&& other) noexcept;
  ProcessRecord& operator=(ProcessRecord&& other) noexcept;
  ProcessRecord(const ProcessRecord&) = delete;
  ProcessRecord& operator=(const ProcessRecord&) = delete;
  ~ProcessRecord();
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

// Starts a process: exactly the file at `path` (made absolute against our own
// current directory; no search, no extension appended). What `record` held is
// released first. On success fills `record` (nonzero dwProcessId) and returns true. On failure,
// exec failures included, returns false with the system's error code (errno / GetLastError) in
// `errorCode`.
bool startProcess(const ProcessLaunch& launch, ProcessRecord& record, std::uint32_t& errorCode);

// What a failed start's error code says about trying again.
enum class StartFailure {
  Lasting,         // fails again as things stand: no such file, no permission, not a program
  Passing,         // a passing shortage: memory, processes, a program file still being written
  NeedsElevation,  // the program asks for administrator rights, which a start cannot give
};

// How a start that failed with startProcess's `errorCode` is to be taken.
StartFailure startFailureKind(std::uint32_t errorCode);

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
// group), with exit code 0, and waits up to 5 s until all of them have gone.
// Failures (already ended, say) are ignored.
void terminateProcess(const ProcessRecord& record);

// Releases a process handle now, as a record's destructor does; 0 and a
// closed handle are ignored. Closing does not end the process.
void closeHandle(Handle handle);

}  // namespace tavrelon::platform
