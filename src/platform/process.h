// Processes: starting one, reading its state, ending it with what it started.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon::platform {

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

  // True while the record holds a process that its owner started and has not
  // let go.
  bool holdsProcess() const { return dwProcessId != 0; }
  // Lets the process go: no longer the owner's to end, while its handle stays
  // open and its exit code readable until the record is released.
  void letGo() { dwProcessId = 0; }

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
