// Shared pieces of the test suites: temporary directories and files, the test
// programs' paths, shortened sleeps, polling, console output and process probes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrelon::test {

// The platform's path separator as a string, for joining paths in tests.
inline const std::string S(1, platform::separator());

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + separator + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Makes `dir` the current directory until it goes.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirectory() { std::filesystem::current_path(previous_); }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

// Writes `bytes` to `path` exactly (binary), creating parent directories.
void writeFile(const std::string& path, const std::string& bytes);
// The file's bytes, or "" when it cannot be read.
std::string readFile(const std::string& path);

// Makes a FIFO (named pipe) at `path` with mkfifo; false where there is none
// (Windows has no FIFOs in a folder).
bool makeFifo(const std::string& path);

// Path of a program built beside the test executable (".exe" added on Windows).
std::string builtProgram(const std::string& name);

// Copies builtProgram(`name`) to `directory`/`as` (the built file's own name
// when `as` is empty), creating `directory` and replacing an earlier copy;
// returns the copy's path, which a test may delete or move.
std::string copyOfProgram(const std::string& name, const std::string& directory,
                          const std::string& as = "");

// Runs `program` with `arguments` (quoted by the caller as the platform's
// command processor wants) through std::system, standard output captured into
// `output`. Returns std::system's result: 0 exactly when the program exited 0.
int runCapturingOutput(const std::string& program, const std::string& arguments,
                       std::string& output);

// While alive, every platform sleep is recorded, handed to `onSleep` (if any)
// so a test can act at a given point of a loop, and shortened to ms / divisor
// of real time, so polls and waits take milliseconds.
class ShortSleeps {
 public:
  explicit ShortSleeps(std::int64_t divisor = 1000,
                       std::function<void(std::int64_t)> onSleep = nullptr);
  ~ShortSleeps();
  ShortSleeps(const ShortSleeps&) = delete;
  ShortSleeps& operator=(const ShortSleeps&) = delete;

  // Every duration requested so far, in order.
  std::vector<std::int64_t> requested() const;
  // How many requests asked for exactly `milliseconds`.
  int count(std::int64_t milliseconds) const;

 private:
  std::function<void(std::int64_t)> onSleep_;
  mutable std::mutex mutex_;
  std::vector<std::int64_t> requested_;
};

// Calls `done` every 5 ms of real time until it holds (true) or `limit` has
// passed (false).
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// Polls the process until it is no longer running or `limit` has passed;
// returns the last state seen, the exit code in `exitCode` once it has ended.
platform::ProcessState waitForEnd(const platform::ProcessRecord& record, std::uint32_t& exitCode,
                                  std::chrono::milliseconds limit = std::chrono::seconds(30));

// The id of a process that ran the fake program and has ended (and been
// reaped): no process has it now.
std::uint32_t idOfAnEndedProcess();

// How many times `needle` (not empty) occurs in `text` without overlapping,
// counted from the left: "aaa" holds "aa" once.
int occurrences(const std::string& text, const std::string& needle);

// `text` without its carriage returns: console output with line ends as "\n".
std::string withoutCarriageReturns(const std::string& text);
// What ::testing::internal::CaptureStdout collected, line ends as "\n".
std::string capturedOutput();
// `text` as one line of the watchdog's console output: the C runtime ends
// lines with CR LF on Windows.
std::string consoleLine(const std::string& text);

// `text` with the characters that a regular expression reads as operators escaped.
std::string literal(const std::string& text);
// Whether the whole of `text` matches the regular expression `pattern`.
bool matchesWhole(const std::string& text, const std::string& pattern);

// Number of lines in the file at `path` (0 when missing).
std::size_t lineCount(const std::string& path);

// The number on the first line of the file at `path` once that line is
// complete (ended by a line feed), waiting up to `limit`; 0 when none came.
std::uint32_t pidIn(const std::string& path,
                    std::chrono::milliseconds limit = std::chrono::seconds(10));

// True when processes can be probed by pid here (Linux's /proc). Under Wine
// the same path names Linux's /proc, whose pids are not Windows process ids.
bool canProbeProcesses();
// The fields of /proc/<pid>/stat after the command name, state first; empty
// when the process is gone (reaped). Linux only.
std::vector<std::string> procStat(std::uint32_t pid);
// Whether the process `pid` still runs; a zombie counts as ended. Linux only.
bool processAlive(std::uint32_t pid);
// Waits up to `limit` for the process `pid` to end. Linux only.
bool endsWithin(std::uint32_t pid, std::chrono::milliseconds limit = std::chrono::seconds(5));
// Ends the process `pid`, which need not be our child; for cleaning up after a test.
void killByPid(std::uint32_t pid);

// Starts a program in a group of its own and waits for its end: the first such
// start opens, for good, the descriptor that ties later programs to this
// process's life. Counts of descriptors are taken after it.
void startAndEndOneProgram();

// True when this process runs with root's rights: permission bits then stop
// nothing, so checks that rely on them are skipped.
bool runningAsRoot();

// Skips the calling test where permission bits refuse this process nothing:
// on Windows (ACLs decide there) and as root.
#define TAVRELON_SKIP_WHERE_PERMISSION_BITS_DO_NOT_BIND()                     \
  if (::tavrelon::platform::isWindows() || ::tavrelon::test::runningAsRoot()) \
  GTEST_SKIP() << "permission bits bind neither on Windows (ACLs) nor for root"

}  // namespace tavrelon::test
