// A watcher on one of the test programs, set up as the watchdog's own loop
// sets it up, supervised with its console output captured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "config/program_config.h"
#include "logging/status_log.h"
#include "platform/platform.h"
#include "supervision/program_watcher.h"
#include "support/test_support.h"

namespace tavrelon::test {

namespace fs = std::filesystem;

// Sleeps shortened to 1/200 for whole supervisions: a poll takes 50 ms and a
// one-minute time-out 300 ms of real time, long enough that a busy machine
// never makes a program that logs every 20 ms look hung.
constexpr std::int64_t kSupervisionSleepDivisor = 200;

inline std::string fakeProgram() {
  return builtProgram("fake_program");
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

// Settings for the fake program with `arguments`, its logs in dir/logs and
// its status log in dir/status.csv.
inline ProgramConfig fakeConfig(const TempDir& dir, const std::string& arguments) {
  return settingsFor(fakeProgram(), arguments, dir.file("logs"), dir.file("status.csv"));
}

// "--log-dir <dir/logs>" plus `more`: the fake program logging where the tracker looks.
inline std::string logArguments(const TempDir& dir, const std::string& more) {
  return "--log-dir \"" + dir.file("logs") + "\" --interval-ms 20 " + more;
}

inline std::string fakeLogPath(const TempDir& dir) {
  return dir.file("logs") + S + "fake.csv";
}

// A watcher as the driver prepares it: normal mode, no debug programs.
inline ProgramWatcher driverWatcher(ProgramConfig config) {
  ProgramWatcher watcher(std::move(config));
  watcher.testMode = false;
  watcher.config.debugOrNot = false;
  return watcher;
}

// Whether the process ends by itself within ten seconds.
inline bool waitForExit(const platform::ProcessRecord& record) {
  std::uint32_t code = 0;
  return waitForEnd(record, code, std::chrono::seconds(10)) == platform::ProcessState::Exited;
}

// Runs start(), `between`, a two-second pause, monitor() and stop() with the
// console captured; returns what was printed.
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

}  // namespace tavrelon::test
