// What the report's end-to-end and browser tests share: a short night of the
// real watchdog supervising the fake program, and a run of tavrelon_report.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

namespace tavrelon::test {

// The status folder of a night: alpha crashes once and then finishes (its log
// in <dir>/status/hostA), beta finishes (<dir>/status/hostB); beside them a
// program's own results.csv, which is no status log. Takes about 25 s.
inline std::string runWatchdogNight(const TempDir& dir) {
  namespace fs = std::filesystem;
  const std::string s(1, platform::separator());
  const fs::path built = builtProgram("tavrelon");
  const std::string watchdog = dir.file(built.filename().string());
  fs::copy_file(built, watchdog);
  const std::string status = dir.file("status");
  fs::create_directories(status + s + "hostA");
  fs::create_directories(status + s + "hostB");
  writeFile(status + s + "hostA" + s + "results.csv", "step,result\r\n1,ok\r\n");

  const std::string fake = builtProgram("fake_program");
  auto block = [&](const std::string& logs, const std::string& more, const std::string& log) {
    return "ApplicationPath: " + fake + "\nApplicationArgument: --log-dir \"" + logs +
           "\" --interval-ms 100 " + more + "\nApplicationLogDir: " + logs +
           "\nTavrelonLog: " + log + "\n\n";
  };
  writeFile(dir.file("TavrelonConfig.ini"),
            block(dir.file("logsA"), "--lines 3 --crash-once \"" + dir.file("marker") + "\"",
                  status + s + "hostA" + s + "alpha.csv") +
                block(dir.file("logsB"), "--lines 1", status + s + "hostB" + s + "beta.csv"));
  std::string output;
  EXPECT_EQ(runCapturingOutput(watchdog, "", output), 0);
  return status;
}

// Runs the built tavrelon_report in `folder` with `arguments` (quoted by the
// caller), its standard output and error into `output` and `errors`, line ends
// as "\n". Returns its exit status.
inline int runReport(const std::string& folder, const std::string& arguments, std::string& output,
                     std::string& errors) {
  TempDir scratch;
  const bool windows = platform::isWindows();
  std::string command = std::string(windows ? "cd /d \"" : "cd \"") + folder + "\" && \"" +
                        builtProgram("tavrelon_report") + "\" " + arguments + " > \"" +
                        scratch.file("out") + "\" 2> \"" + scratch.file("err") + "\"";
  // cmd.exe drops the outermost quotes of a command line that starts with one.
  if (windows)
    command = "\"" + command + "\"";
  const int result = std::system(command.c_str());
  auto lines = [](const std::string& text) {
    std::string normal;
    for (char c : text) {
      if (c != '\r')
        normal += c;
    }
    return normal;
  };
  output = lines(readFile(scratch.file("out")));
  errors = lines(readFile(scratch.file("err")));
  // POSIX's system() gives the status as wait() does: the exit code above 8 bits.
  return windows ? result : (result & 0x7F) == 0 ? (result >> 8) & 0xFF : -1;
}

}  // namespace tavrelon::test
