// Pieces shared by the reliability tests: a watcher on one of the test programs,
// its console output, and the check that every run left its row.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/program_config.h"
#include "logging/status_log.h"
#include "platform/platform.h"
#include "supervision/program_watcher.h"
#include "support/test_support.h"

namespace tavrelon::testing {

// Sleeps shortened to 1/200: a poll takes 50 ms and a one-minute time-out
// 300 ms of real time, long enough that a busy machine never makes a
// program that logs every 20 ms look hung.
constexpr std::int64_t kFaultSleepDivisor = 200;

// True when this process runs with root's rights: permission bits then stop
// nothing, so checks that rely on them are skipped.
inline bool runningAsRoot() {
  std::error_code error;
  // Root can create a file inside a directory that has no write bit at all.
  TempDir probe;
  std::filesystem::permissions(
      probe.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec, error);
  const std::string file = probe.file("probe");
  writeFile(file, "x");
  const bool root = platform::exists(file);
  std::filesystem::permissions(probe.path(), std::filesystem::perms::owner_all, error);
  return root;
}

// A copy of the test program `name` in `directory`, so a test may delete it.
inline std::string copyOfProgram(const std::string& name, const std::string& directory) {
  const std::string copy = directory + platform::separator() + name;
  std::filesystem::copy_file(builtProgram(name), copy,
                             std::filesystem::copy_options::overwrite_existing);
  return copy;
}

// Settings for `program` with `arguments`, its logs in `logDir`, its status
// log at `statusLog`, hung after one minute without log growth.
inline ProgramConfig settingsFor(const std::string& program, const std::string& arguments,
                                 const std::string& logDir, const std::string& statusLog) {
  ProgramConfig config;
  config.applicationPath = program;
  config.applicationArgument = arguments;
  config.applicationLogDir = logDir;
  config.statusLogPath = statusLog;
  config.timeOutMin = 1;
  return config;
}

// A watcher as the driver prepares it: normal mode, no debug programs.
inline ProgramWatcher driverWatcher(const ProgramConfig& config) {
  ProgramWatcher watcher(config);
  watcher.testMode = false;
  watcher.config.debugOrNot = false;
  return watcher;
}

// Runs start(), `between` (if any), monitor() and stop() with the console
// captured; returns what was printed.
template <typename Between>
std::string superviseCapturing(ProgramWatcher& watcher, Between between) {
  ::testing::internal::CaptureStdout();
  watcher.start();
  between();
  platform::sleepMilliseconds(2000);
  watcher.monitor();
  watcher.stop();
  return ::testing::internal::GetCapturedStdout();
}

inline std::string superviseCapturing(ProgramWatcher& watcher) {
  return superviseCapturing(watcher, [] {});
}

// `text` as one line of the watchdog's console output: the C runtime ends
// lines with CR LF on Windows.
inline std::string consoleLine(const std::string& text) {
  return text + (platform::separator() == '\\' ? "\r\n" : "\n");
}

// How often `needle` occurs in `text`.
inline int occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::string::size_type at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

// Every run that the console announced has its row, in order, and each row
// but the last is closed as hung or crashed; the last one finished.
inline ::testing::AssertionResult everyRunRecorded(const std::string& output,
                                                   const std::vector<StatusRecord>& rows) {
  const int starts = occurrences(output, "Start running [");
  if (starts != static_cast<int>(rows.size()))
    return ::testing::AssertionFailure()
           << starts << " runs started but " << rows.size() << " rows\n"
           << output;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string& state = rows[i].runningStatus;
    const bool last = i + 1 == rows.size();
    if (last ? state != "finished" : state != "timeout" && state != "crashed")
      return ::testing::AssertionFailure() << "row " << i << " is " << state;
    if (rows[i].startTime.empty() || rows[i].endTime.empty())
      return ::testing::AssertionFailure() << "row " << i << " lacks its times";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tavrelon::testing
