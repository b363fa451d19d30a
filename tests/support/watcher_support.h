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
#include "platform/clock.h"
#include "platform/process.h"
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
// log at `statusLog` (none named when empty), hung after one minute without log growth.
inline ProgramConfig settingsFor(const std::string& program, const std::string& arguments,
                                 const std::string& logDir = "",
                                 const std::string& statusLog = "") {
  ProgramConfig config;
  config.applicationPath = program;
  config.applicationArgument = arguments;
  config.applicationLogDir = logDir;
  config.statusLogPath = statusLog;
  config.timeOutMin = 1;
  return config;
}

// Settings for `program` with `arguments`, its logs in dir/logs and its
// status log in dir/status.csv.
inline ProgramConfig configIn(const TempDir& dir, const std::string& program,
                              const std::string& arguments) {
  return settingsFor(program, arguments, dir.file("logs"), dir.file("status.csv"));
}

// configIn for the fake program.
inline ProgramConfig fakeConfig(const TempDir& dir, const std::string& arguments) {
  return configIn(dir, fakeProgram(), arguments);
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

// A watcher as the driver prepares it on the fake program, which logs into
// dir/logs with `arguments` after its "--log-dir"; its status log at `statusLog`.
inline ProgramWatcher fakeWatcher(const TempDir& dir, const std::string& statusLog,
                                  const std::string& arguments) {
  return driverWatcher(settingsFor(fakeProgram(),
                                   "--log-dir \"" + dir.file("logs") + "\" " + arguments,
                                   dir.file("logs"), statusLog));
}

// Whether the process ends by itself within ten seconds.
inline bool waitForExit(const platform::ProcessRecord& record) {
  std::uint32_t code = 0;
  return waitForEnd(record, code, std::chrono::seconds(10)) == platform::ProcessState::Exited;
}

// Runs start() with the console captured; returns what it printed, line ends as "\n".
inline std::string startCapturing(ProgramWatcher& watcher) {
  ::testing::internal::CaptureStdout();
  watcher.start();
  return capturedOutput();
}

// Runs start(), `between` and monitor() with the console captured; returns
// what was printed, line ends as "\n".
template <typename Between>
std::string monitorCapturing(ProgramWatcher& watcher, Between between) {
  ::testing::internal::CaptureStdout();
  watcher.start();
  between();
  watcher.monitor();
  return capturedOutput();
}

inline std::string monitorCapturing(ProgramWatcher& watcher) {
  return monitorCapturing(watcher, [] {});
}

// Whether the fake program's log in dir/logs reaches `lines` lines within ten
// seconds: a hung run has then written all it will write.
inline bool fakeLogReaches(const TempDir& dir, std::size_t lines) {
  return waitUntil([&] { return lineCount(fakeLogPath(dir)) == lines; });
}

// What monitorHungRun saw: the console output, and the first run's
// identifier and process id and whether its log lines all came.
struct HungRun {
  std::string output;
  std::string firstId;
  std::uint32_t firstPid = 0;
  bool logged = false;
};

// monitorCapturing on a fake program whose first run hangs once it has
// logged `lines` lines into dir/logs: the monitor begins after they came, so
// every poll but the first finds the log unchanged.
inline HungRun monitorHungRun(ProgramWatcher& watcher, const TempDir& dir, std::size_t lines) {
  HungRun run;
  run.output = monitorCapturing(watcher, [&] {
    run.firstId = watcher.status.applicationId;
    run.firstPid = watcher.programProcess().dwProcessId;
    run.logged = fakeLogReaches(dir, lines);
  });
  return run;
}

// The Running_Status of each row of the status log at `path`, in order.
inline std::vector<std::string> runningStatuses(const std::string& path) {
  std::vector<std::string> statuses;
  for (const StatusRecord& row : readStatusLog(path))
    statuses.push_back(row.runningStatus);
  return statuses;
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
