// What the report's end-to-end and browser tests share: a short night of the
// real watchdog supervising the fake program, and a run of tavrelon_report.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "logging/status_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "report/report_model.h"
#include "support/test_support.h"

namespace tavrelon::test {

// The status folder of a night: alpha crashes once and then finishes (its log
// in <dir>/status/hostA, the crash's evidence in <dir>/status/hostA/evidence),
// beta finishes (<dir>/status/hostB); beside them a program's own results.csv,
// which is no status log. Takes about 25 s.
inline std::string runWatchdogNight(const TempDir& dir) {
  namespace fs = std::filesystem;
  const std::string& s = S;
  const std::string watchdog = copyOfProgram("tavrelon", dir.path());
  const std::string status = dir.file("status");
  fs::create_directories(status + s + "hostA");
  fs::create_directories(status + s + "hostB");
  writeFile(status + s + "hostA" + s + "results.csv", "step,result\r\n1,ok\r\n");

  const std::string fake = builtProgram("fake_program");
  auto block = [&](const std::string& logs, const std::string& more, const std::string& log,
                   const std::string& keys) {
    return "ApplicationPath: " + fake + "\nApplicationArgument: --log-dir \"" + logs +
           "\" --interval-ms 100 " + more + "\nApplicationLogDir: " + logs +
           "\nTavrelonLog: " + log + "\n" + keys + "\n";
  };
  writeFile(dir.file("TavrelonConfig.ini"),
            block(dir.file("logsA"), "--lines 3 --crash-once \"" + dir.file("marker") + "\"",
                  status + s + "hostA" + s + "alpha.csv",
                  "EvidenceDir: " + status + s + "hostA" + s + "evidence\n") +
                block(dir.file("logsB"), "--lines 1", status + s + "hostB" + s + "beta.csv", ""));
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

namespace tavrelon::test {

// A realistic lab night ending at `now` (seconds as parseStatusTime gives),
// written with the watchdog's own writer under <folder>/ws01..ws03: on ws01 a
// crash loop of 39 crashes (render_suite.exe), a hang timed out
// (network_suite.exe) and a finish; on ws02 one log shared by two programs, a
// run stopped by hand and an interrupted one; on ws03 one program with three
// default-named logs (one per start of the watchdog), the last run still
// going. ws01 and ws02 keep the evidence of their newest crash, time-out and
// stop in an evidence folder beside the logs, as the watchdog writes it.
// Returns the number of lanes: programs per workstation.
inline int writeRealisticNight(const std::string& folder, std::int64_t now) {
  const std::string& s = S;
  auto t = [&](std::int64_t minutesBeforeNow) {
    return report::formatStatusTime(now - minutesBeforeNow * 60);
  };
  auto row = [&](const std::string& program, int n, const char* status, std::int64_t from,
                 std::int64_t to, const std::string& line) {
    return StatusRecord{
        program + "_2026120" + std::to_string(n), status, t(from), to < 0 ? std::string() : t(to),
        "[D:\\lab\\logs\\" + program + "\\run" + std::to_string(n) + ".csv] " + line};
  };
  auto write = [&](const std::string& workstation, const std::string& name,
                   const std::vector<StatusRecord>& rows) {
    std::filesystem::create_directories(folder + s + workstation);
    const std::string path = folder + s + workstation + s + name;
    writeFile(path, "");
    EXPECT_EQ(writeStatusLog(rows, path), StatusLogOutcome::Done) << path;
  };

  std::vector<StatusRecord> render;
  render.push_back(row("render_suite.exe", 0, "finished", 600, 420, "all 812 frames ok"));
  for (int i = 0; i < 39; ++i)
    render.push_back(row("render_suite.exe", i + 1, "crashed", 419 - 3 * i, 418 - 3 * i,
                         "step 12 of 4000 assertion failed in frame 77"));
  render.push_back(row("render_suite.exe", 40, "finished", 300, 60, "all 812 frames ok"));
  write("ws01", "render_suite.csv", render);
  write("ws01", "network_suite.csv",
        {row("network_suite.exe", 1, "finished", 590, 500, "1200 requests ok"),
         row("network_suite.exe", 2, "timeout", 499, 380, "waiting for peer 10.0.0.7"),
         row("network_suite.exe", 3, "finished", 379, 200, "1200 requests ok")});
  write("ws01", "export_suite.csv",
        {row("export_suite.exe", 1, "finished", 580, 100, "exported 4 TB")});

  write("ws02", "shared.csv",
        {row("ui_suite.exe", 1, "finished", 570, 450, "312 dialogs ok"),
         row("storage_suite.exe", 1, "stopped", 560, 330, "writing block 88812"),
         row("ui_suite.exe", 2, "interrupted", 449, 240, "dialog 97 of 312"),
         row("storage_suite.exe", 2, "crashed", 320, 250, "disk full at block 12"),
         row("ui_suite.exe", 3, "finished", 230, 30, "312 dialogs ok")});

  auto evidence = [&](const std::string& workstation, const std::string& id, const char* status,
                      const std::string& end) {
    const std::string run = folder + s + workstation + s + "evidence" + s + id;
    std::filesystem::create_directories(run);
    writeFile(run + s + "summary.txt", "Application_ID: " + id + "\nStatus: " + status +
                                           "\nCommand_Line: D:\\lab\\" +
                                           id.substr(0, id.find('_')) + "\nDirectory: D:\\lab\n" +
                                           end + "File: summary.txt\n");
  };
  evidence("ws01", "render_suite.exe_202612039", "crashed",
           "Ended_By: exit code 3221225477\nExit_Code: 3221225477\n"
           "Exit_Code_Hex: 0xC0000005 access violation\n");
  evidence("ws01", "network_suite.exe_20261202", "timeout",
           "Ended_By: no log growth for 5 minutes\n");
  evidence("ws02", "storage_suite.exe_20261202", "crashed",
           "Ended_By: exit code 3\nExit_Code: 3\nExit_Code_Hex: 0x00000003\n");
  evidence("ws02", "storage_suite.exe_20261201", "stopped", "Ended_By: ended by a stop request\n");

  for (int n = 0; n < 3; ++n) {
    const std::int64_t from = 600 - n * 200;
    write("ws03",
          "TavrelonLog_backup_suite.exe_2026120" + std::to_string(n) + "_21000" +
              std::to_string(n) + ".csv",
          {row("backup_suite.exe", n, n < 2 ? "interrupted" : "running", from,
               n < 2 ? from - 190 : -1, n < 2 ? "copying set " + std::to_string(n) : "verifying")});
  }
  return 6;
}

}  // namespace tavrelon::test
