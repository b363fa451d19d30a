// The demo that the example configuration supervises: a small program that
// logs progress into a CSV file and crashes on every other run, so that one
// watchdog run shows a crash, a restart and a finish.
//
//   tavrelon_demo LOG_DIR
//
// A marker file in LOG_DIR decides the run: missing, the program creates it,
// logs for about nine seconds and exits with code 3 (a crash); present, it
// removes it, logs for as long and exits with code 0 (a finish). Every run
// writes a new log file demo_<time>.csv, one line a second.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace {

namespace platform = tavrelon::platform;

constexpr int kSteps = 10;  // lines, one second apart: nine seconds of work
constexpr int kCrashCode = 3;

// Appends one line; the file is closed again so its size grows visibly.
void logLine(const std::string& path, const std::string& line) {
  std::ofstream log(path, std::ios::binary | std::ios::app);
  log << line << "\n";
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tavrelon_demo LOG_DIR\n");
    return 2;
  }
  const std::string logDir = argv[1];
  std::error_code ignored;
  std::filesystem::create_directories(logDir, ignored);

  // No ".csv" in the marker's name: the watchdog must not take it for a log.
  const std::string marker = logDir + platform::separator() + "demo-crash-marker";
  const bool crashRun = !platform::exists(marker);
  if (crashRun) {
    platform::replaceFileContent(marker, "the next run finishes\n");
  } else {
    std::filesystem::remove(marker, ignored);
  }

  const std::string logPath =
      logDir + platform::separator() + "demo_" + platform::localTime("%Y%m%d%H%M%S") + ".csv";
  const char* const ending = crashRun ? "about to crash" : "about to finish";
  for (int step = 1; step <= kSteps; ++step) {
    if (step > 1)
      platform::sleepMilliseconds(1000);
    logLine(logPath, platform::localTime("%Y-%m-%d %H:%M:%S") + ",step " + std::to_string(step) +
                         " of " + std::to_string(kSteps) + "," +
                         (step == kSteps ? ending : "working"));
  }
  return crashRun ? kCrashCode : 0;
}
