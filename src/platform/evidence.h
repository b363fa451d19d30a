// Evidence of a supervised program's run: which processes its tree holds, their
// stacks or dumps, what the run cost and how it ended, and the private folders
// the evidence is kept in. Callers see plain types only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"

namespace tavrelon::platform {

// One process of a program's tree.
struct TreeProcess {
  std::uint32_t pid = 0;
  std::uint32_t parentPid = 0;
  std::string image;  // the executable's file name ("" when the system does not tell)
};

// The processes of the program started into `record` that still run, children
// first: on Linux its process group and the orphans of it handed to the
// watchdog; on Windows its job's processes (the program alone without a job).
// Processes in `leaveOut` (the debug programs) are left out.
std::vector<TreeProcess> processTree(const ProcessRecord& record,
                                     const std::vector<std::uint32_t>& leaveOut);

// CPU time and peak memory of a program's job or process group, as far as the
// system tells. `known` false: nothing could be read; `note` says what the
// figures cover.
struct ResourceUse {
  bool known = false;
  double userSeconds = 0;
  double kernelSeconds = 0;
  std::int64_t peakBytes = -1;  // -1: not told
  std::string note;
};

// What the program of `record` (and `tree`, while it runs) has used so far: the
// running processes' own accounts, or once the program has ended, what the
// system kept of it (its job on Windows, its wait status on Linux).
ResourceUse resourceUse(const ProcessRecord& record, const std::vector<TreeProcess>& tree);

// How the ended program of `record`, whose exit code is `exitCode`, ended, in
// words: "exit code 3", "signal 11 (SIGSEGV), core dumped", or on Windows
// "exit code 3221225477 (0xC0000005, access violation)".
std::string describeEnd(const ProcessRecord& record, std::uint32_t exitCode);

// The name Windows gives an exception or status code (0xC0000005 "access
// violation"); "" for any other code.
std::string statusCodeName(std::uint32_t code);

// What a capture left: the files written (full paths) and every failure, one
// line apiece. `abandoned`: the time limit passed before it was done.
struct CaptureOutcome {
  std::vector<std::string> files;
  std::vector<std::string> problems;
  // Further summary lines, key and value: what each file was taken from.
  std::vector<std::pair<std::string, std::string>> details;
  bool abandoned = false;
};

// Takes the stacks (Linux: one stacks.txt with every thread of every process:
// state, wait channel and call stack with function names) or the minidumps
// (Windows: the last screen of the program's console as console.txt, then
// <image>_<pid>.dmp each, thread information and module list, from a process
// snapshot where the system takes one; full memory with `fullMemory`) of
// `tree` into the existing `folder`. Gives up after
// `limitMs` of real time: what is not done then is abandoned and said.
CaptureOutcome captureProcesses(const std::vector<TreeProcess>& tree, const std::string& folder,
                                bool fullMemory, std::int64_t limitMs);

// True when `argv` is the call with which the watchdog starts a copy of itself
// to read a hung program's console (Windows; always false elsewhere): the call
// is then carried out, and `exitCode` is what the copy is to exit with.
bool runConsoleReaderCall(int argc, char** argv, int& exitCode);

// Where the system may have put a crash dump or core file of the process `pid`
// running `image` in `directory` (Windows Error Reporting's LocalDumps folder,
// the core pattern's file in the program's directory); the caller checks which exist.
std::vector<std::string> crashDumpCandidates(const std::string& image, std::uint32_t pid,
                                             const std::string& directory);

// Creates the directory `path` for its owner (never writable by others; a
// link at `path` is never followed, an existing entry is never taken over).
// False with the system's error code in `error` when it could not be made.
bool createPrivateDirectory(const std::string& path, std::uint32_t& error);

// Creates the directory `path` and its missing parents (existing ones, links
// included, are taken as they are), the new ones as createPrivateDirectory
// makes them. False with the error code when `path` is not a directory afterwards.
bool createPrivateDirectories(const std::string& path, std::uint32_t& error);

// Writes `content` to the new file `path`, created exclusively (never through
// a link, never over an existing entry) and readable by its owner alone.
bool writeNewFile(const std::string& path, const std::string& content, std::uint32_t& error);

// Removes the directory `path` with everything in it; a link inside is removed
// as a link, never followed. False when something remained.
bool removeTree(const std::string& path);

// The size in bytes of the regular files under `path`, links not followed.
std::int64_t treeSize(const std::string& path);

// The system's words for the error code `error` ("Permission denied").
std::string errorText(std::uint32_t error);

}  // namespace tavrelon::platform
