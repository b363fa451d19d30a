// What the evidence services (evidence.h) need of each backend. Not for callers
// outside src/platform.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/evidence.h"
#include "platform/process.h"
namespace tavrelon::platform::backend {

// ---- the evidence services (evidence.h) of each backend's evidence.cpp

// What the system kept of an ended (POSIX) or running or ended (Windows job)
// started process: how it ended and what it used. `known` false: nothing.
struct EndDetail {
  bool known = false;
  bool signalled = false;  // POSIX: ended by a signal
  int signal = 0;
  bool coreDumped = false;
  double userSeconds = 0;
  double kernelSeconds = 0;
  std::int64_t peakBytes = -1;  // -1: not told
};

// The EndDetail of the process behind `hProcess` (platform_posix.cpp,
// platform_win32.cpp, which own the process table).
bool endDetail(Handle hProcess, EndDetail& detail);

// What the running processes of `tree` have used so far, summed into `use`
// with its note; false where the backend reads no running process's account
// (Windows, whose job keeps one account for running and ended processes).
bool runningResourceUse(const std::vector<TreeProcess>& tree, ResourceUse& use);

// What the EndDetail figures of the program started into `record` cover.
std::string endDetailCoverage(const ProcessRecord& record);

// The ids of the processes in the job of the process behind `hProcess`; false
// when it has no job (Windows only: platform_win32.cpp).
bool jobProcessIds(Handle hProcess, std::vector<std::uint32_t>& ids);

// Takes the evidence of `tree` into `folder` (evidence.h's captureProcesses),
// asking `expired` between steps and giving up once it says so. Runs on a
// thread of its own: it touches only its arguments and the system.
void captureInto(const std::vector<TreeProcess>& tree, const std::string& folder, bool fullMemory,
                 const std::function<bool()>& expired, CaptureOutcome& outcome);

// Windows only (win32/evidence_console.cpp): the last screen of the console of
// the program of `tree` (its last process, children first) as console.txt in
// `folder`, read by a copy of the watchdog started for it; files and failures
// into `outcome`. Gives up when `expired` says so or after 10 s.
void captureConsole(const std::vector<TreeProcess>& tree, const std::string& folder,
                    const std::function<bool()>& expired, CaptureOutcome& outcome);

// The program that reads a console for captureConsole: this executable, or
// the one a test named (setConsoleReaderForTesting).
std::string consoleReaderProgram();

}  // namespace tavrelon::platform::backend
