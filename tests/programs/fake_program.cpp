// Plays a supervised program for the tests: writes CSV log lines, then exits,
// hangs or dies by a signal as told.
//
//   --log-dir DIR       write lines to DIR + separator + NAME (DIR created if missing)
//   --log-name NAME     log file name, default "fake.csv"
//   --interval-ms N     pause between lines, default 100
//   --lines K           lines to write before the ending, default 0
//   --end MODE          "exit" (default): exit with --code; "hang": sleep forever
//                       without writing; "signal": raise SIGTERM
//   --code N            exit code for --end exit, default 0
//   --crash-once FILE   if FILE does not exist: create it and exit with code 3
//                       instead of the ending
//   --hang-once FILE    if FILE does not exist: create it and hang (as --end hang)
//                       instead of the ending
//   --record FILE       at start: write the current directory, then each
//                       argument, one per line, to FILE
//   --depth FILE        at start: write the nesting mark it inherited
//                       (TAVRELON_DEPTH), or "unset", to FILE
//   --grandchild FILE   at start: start a copy of this program with "--end hang"
//                       in our own process group (or job), write its pid to FILE
//   --escape FILE       if FILE does not exist: the same, but the copy leaves our
//                       group (a session of its own on POSIX, a new job on Windows)
//   --wait-for FILE     before the first line: wait (10 s at most) until FILE
//                       exists, as a program that opens a file another made
//
// Each log line is "line,<i>,<run>" with <run> the start time in milliseconds,
// which tells the runs apart; the file is opened, appended to and closed per line.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "own_copy.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace {

using tavrelon::platform::separator;

bool writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

// Starts a hanging copy of this program, in our group or one of its own; its
// pid goes to `pidFile`.
void startGrandchild(const std::string& pidFile, bool ownGroup) {
  std::uint32_t error = 0;
  if (!tavrelon::test::startOwnCopy("--end hang", ownGroup, pidFile, error))
    std::fprintf(stderr, "fake_program: grandchild not started, error %u\n", error);
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options{{"--log-name", "fake.csv"},
                                             {"--interval-ms", "100"},
                                             {"--lines", "0"},
                                             {"--end", "exit"},
                                             {"--code", "0"}};
  std::string recorded = std::filesystem::current_path().string() + "\n";
  for (int i = 1; i < argc; ++i)
    recorded += std::string(argv[i]) + "\n";
  // Words that are not options are skipped, so tests can pass any arguments
  // beside the options and read them back through --record.
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]).rfind("--", 0) == 0) {
      options[argv[i]] = argv[i + 1];
      ++i;
    }
  }
  auto option = [&](const std::string& name) {
    auto found = options.find(name);
    return found == options.end() ? std::string() : found->second;
  };

  if (!option("--record").empty())
    writeText(option("--record"), recorded);
  if (!option("--depth").empty()) {
    const char* depth = std::getenv("TAVRELON_DEPTH");
    writeText(option("--depth"), depth != nullptr ? depth : "unset");
  }
  if (!option("--grandchild").empty())
    startGrandchild(option("--grandchild"), false);
  if (!option("--escape").empty() && !tavrelon::platform::exists(option("--escape")))
    startGrandchild(option("--escape"), true);

  for (int waited = 0; !option("--wait-for").empty() && waited < 1000 &&
                       !tavrelon::platform::exists(option("--wait-for"));
       ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  long long run = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  std::string logPath;
  if (!option("--log-dir").empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(option("--log-dir"), ignored);
    logPath = option("--log-dir") + separator() + option("--log-name");
  }
  int lines = std::atoi(option("--lines").c_str());
  auto interval = std::chrono::milliseconds(std::atoll(option("--interval-ms").c_str()));
  for (int i = 1; i <= lines; ++i) {
    if (i > 1)
      std::this_thread::sleep_for(interval);
    if (logPath.empty())
      continue;
    std::ofstream log(logPath, std::ios::binary | std::ios::app);
    log << "line," << i << "," << run << "\n";
  }

  std::string crashOnce = option("--crash-once");
  if (!crashOnce.empty() && !tavrelon::platform::exists(crashOnce)) {
    writeText(crashOnce, "crashed once\n");
    return 3;
  }
  std::string hangOnce = option("--hang-once");
  std::string end = option("--end");
  if (!hangOnce.empty() && !tavrelon::platform::exists(hangOnce)) {
    writeText(hangOnce, "hung once\n");
    end = "hang";
  }
  if (end == "hang") {
    for (;;)
      std::this_thread::sleep_for(std::chrono::hours(1));
  }
  if (end == "signal")
    std::raise(SIGTERM);
  return std::atoi(option("--code").c_str());
}
