// Pieces shared by the supervision tests: a watcher on the fake program in a
// temporary directory, scripted sleeps, captured output and process probes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/program_config.h"
#include "config/text_lines.h"
#include "platform/platform.h"
#include "platform/test_seams.h"
#include "supervision/program_watcher.h"
#include "support/test_support.h"

namespace tavrelon::supervision_test {

namespace fs = std::filesystem;

inline const std::string S(1, platform::separator());

inline std::string fakeProgram() {
  return testing::builtProgram("fake_program");
}

// Settings for the fake program with `arguments`, its logs in dir/logs and
// its status log in dir/status.csv.
inline ProgramConfig fakeConfig(const testing::TempDir& dir, const std::string& arguments) {
  ProgramConfig config;
  config.applicationPath = fakeProgram();
  config.applicationArgument = arguments;
  config.applicationLogDir = dir.file("logs");
  config.statusLogPath = dir.file("status.csv");
  config.timeOutMin = 1;
  return config;
}

// "--log-dir <dir/logs>" plus `more`: the fake program logging where the tracker looks.
inline std::string logArguments(const testing::TempDir& dir, const std::string& more) {
  return "--log-dir \"" + dir.file("logs") + "\" --interval-ms 20 " + more;
}

inline std::string fakeLogPath(const testing::TempDir& dir) {
  return dir.file("logs") + S + "fake.csv";
}

// A watcher set up the way the watchdog's own loop sets it up.
inline ProgramWatcher plainWatcher(ProgramConfig config) {
  ProgramWatcher watcher(std::move(config));
  watcher.testMode = false;
  watcher.config.debugOrNot = false;
  return watcher;
}

// What CaptureStdout collected, line ends as "\n" whatever the platform wrote.
inline std::string capturedOutput() {
  std::string output = ::testing::internal::GetCapturedStdout();
  std::string normal;
  for (char c : output) {
    if (c != '\r')
      normal += c;
  }
  return normal;
}

// `text` with the characters that a regular expression reads as operators escaped.
inline std::string literal(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

inline bool matchesWhole(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

// Calls `done` every 5 ms until it holds or `seconds` have passed.
inline bool waitUntil(const std::function<bool()>& done, int seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Waits until the recorded process has ended by itself; its exit code goes to `code`.
inline bool waitForExit(const platform::ProcessRecord& record, std::uint32_t& code) {
  return waitUntil([&] {
    return platform::processState(record.hProcess, code) == platform::ProcessState::Exited;
  });
}

inline bool waitForExit(const platform::ProcessRecord& record) {
  std::uint32_t code = 0;
  return waitForExit(record, code);
}

// True when processes can be probed by pid here (Linux's /proc). Under Wine
// the same path names Linux's /proc, whose pids are not Windows process ids.
inline bool canProbeProcesses() {
  return !platform::isWindows() && fs::exists("/proc/self/stat");
}

// Whether the process `pid` still runs (a zombie counts as ended). Linux only.
inline bool processAlive(std::uint32_t pid) {
  std::string stat = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
  std::string::size_type paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size())
    return false;
  return stat[paren + 2] != 'Z' && stat[paren + 2] != 'X';
}

inline bool endsWithin(std::uint32_t pid, int seconds = 5) {
  return waitUntil([&] { return !processAlive(pid); }, seconds);
}

// Number of lines in the file at `path` (0 when missing).
inline std::size_t lineCount(const std::string& path) {
  std::vector<std::string> lines;
  readTextLines(path, lines);
  return lines.size();
}

// Like testing::ShortSleeps, and calls `onSleep(ms)` at every requested sleep
// before sleeping ms / divisor, so a test can act at a given point of a loop.
class ScriptedSleeps {
 public:
  ScriptedSleeps(std::int64_t divisor, std::function<void(std::int64_t)> onSleep)
      : onSleep_(std::move(onSleep)) {
    platform::setSleepHookForTesting([this, divisor](std::int64_t ms) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_.push_back(ms);
      }
      if (onSleep_)
        onSleep_(ms);
      if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms / divisor));
    });
  }
  ~ScriptedSleeps() { platform::setSleepHookForTesting({}); }
  ScriptedSleeps(const ScriptedSleeps&) = delete;
  ScriptedSleeps& operator=(const ScriptedSleeps&) = delete;

  int count(std::int64_t ms) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (std::int64_t requested : requested_)
      n += requested == ms;
    return n;
  }
  std::vector<std::int64_t> requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
  }

 private:
  std::function<void(std::int64_t)> onSleep_;
  mutable std::mutex mutex_;
  std::vector<std::int64_t> requested_;
};

}  // namespace tavrelon::supervision_test
