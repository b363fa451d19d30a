// The real watchdog, in real time, on the fake program: a copy of the built
// executable in a directory of its own beside a configuration the test writes.
// Each test checks the whole standard output and the status log's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/test_support.h"
#include "support/watchdog_run.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::string kFake = test::builtProgram("fake_program");
const std::string kName = fs::path(kFake).filename().string();

const std::string kHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log\r\n";
const std::string kRowTime = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";
const std::string kId = "(" + test::literal(kName) + R"(_\d{14}))";

bool onPosix() {
  return !platform::isWindows();
}

std::string fakeArguments(const std::string& logDir, const std::string& more) {
  return "--log-dir \"" + logDir + "\" --interval-ms 100 " + more;
}

std::string startLines() {
  return "\nStart running \\[" + literal(kName) + "\\]\\.\\.\\.\n";
}

// The pattern of a closed status row: run `id` (a pattern), `status`, both
// row times and `latestLog` (a pattern), ended by CR LF.
std::string closedRow(const std::string& id, const std::string& status,
                      const std::string& latestLog = "N/A") {
  return id + "," + status + "," + kRowTime + "," + kRowTime + "," + latestLog + "\r\n";
}

// The Latest_Log pattern of line `n` of the fake program's log in `logs`.
std::string fakeLogLine(const std::string& logs, int n) {
  return literal("[" + logs + S + "fake.csv] line " + std::to_string(n) + " ") + "\\d+";
}

// Whether the file at `path` holds the status log's header and then rows
// that match `rows` exactly.
::testing::AssertionResult statusLogMatches(const std::string& path, const std::string& rows) {
  const std::string bytes = test::readFile(path);
  if (std::regex_match(bytes, std::regex(literal(kHeader) + rows)))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << bytes;
}

TEST(WatchdogEndToEnd, SupervisesTwoProgramsInOrderEachToItsFinish) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs1");
  const std::string first = watchdog.dir().file("first.csv");
  const std::string second = watchdog.dir().file("second.csv");
  // The first program logs for about nine seconds: polled at least once.
  const std::string output = watchdog.run(
      "# two programs\n" +
      block(kFake, "--log-dir \"" + logs + "\" --lines 10 --interval-ms 1000", logs,
            "TavrelonLog: " + first) +
      block(kFake, "--lines 1", watchdog.dir().file("logs2"), "TavrelonLog: " + second));

  std::smatch ids;
  // Groups: 2 the identifier of the last poll line, 3 and 4 the finished runs.
  const std::regex shape("Program \\[1\\]:\n" + startLines() + "(\n" + kId + "  " +
                         literal(logs + S + "fake.csv") + "  \\d+\n)+\\[" + kId +
                         "\\] has finished!\n\nProgram \\[2\\]:\n" + startLines() + "\\[" + kId +
                         "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, shape)) << output;
  EXPECT_EQ(ids[2].str(), ids[3].str());
  for (const auto& [log, id] : {std::pair{first, ids[3].str()}, std::pair{second, ids[4].str()}}) {
    EXPECT_TRUE(statusLogMatches(log, closedRow(literal(id), "finished")));
  }
  // Nothing of the watchdog's own is left beside the status logs: no lock file,
  // no temporary.
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(watchdog.dir().path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  // (The log folders are the test's, made before the run as a lab has them.)
  std::vector<std::string> expected{"TavrelonConfig.ini",
                                    "first.csv",
                                    "logs1",
                                    "logs2",
                                    "second.csv",
                                    fs::path(watchdog.program()).filename().string()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST(WatchdogEndToEnd, ARunLeftRunningBeforeTheMachinesLastBootIsClosedAsInterruptedAtStart) {
  Watchdog watchdog;
  const std::string status = watchdog.dir().file("status.csv");
  // One run cut short years ago, one "running" in a watchdog started after the boot.
  const std::string before = "old_1,running,2001-01-01 00:00:00,,N/A\r\n";
  const std::string after = "other_1,running,2099-01-01 00:00:00,,N/A\r\n";
  writeFile(status, kHeader + before + after);
  const std::string output = watchdog.run(
      block(kFake, "--lines 1", watchdog.dir().file("logs"), "TavrelonLog: " + status));

  std::smatch ids;
  ASSERT_TRUE(std::regex_match(
      output, ids,
      std::regex("Program \\[1\\]:\n" + startLines() + "\\[" + kId + "\\] has finished!\n\n")))
      << output;
  EXPECT_TRUE(statusLogMatches(status, "old_1,interrupted,2001-01-01 00:00:00," + kRowTime +
                                           ",N/A\r\n" + literal(after) +
                                           closedRow(literal(ids[1].str()), "finished")));
}

TEST(WatchdogEndToEnd, RestartsAProgramThatCrashedOnceAndRecordsBothRuns) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string output = watchdog.run(
      block(kFake,
            fakeArguments(logs, "--lines 3 --crash-once \"" + watchdog.dir().file("marker") + "\""),
            logs));

  std::smatch ids;
  const std::regex expected("Program \\[1\\]:\n" + startLines() + "\n" +
                            literal("[" + kName + "] has crashed!  Restarting now...") + "\n" +
                            startLines() + "\\[" + kId + "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;

  // The status log carries the program's file name and the time it was configured.
  const std::vector<std::string> logsFound = watchdog.defaultStatusLogs(kName);
  ASSERT_EQ(logsFound.size(), 1u);
  EXPECT_TRUE(statusLogMatches(logsFound[0], closedRow(kId, "crashed", fakeLogLine(logs, 3)) +
                                                 closedRow(literal(ids[1].str()), "finished")));
}

TEST(WatchdogEndToEnd, WithAnEvidenceFolderACrashAddsOneLineAndItsFolderAndTheRowsStayAsTheyWere) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  // Inside the log folder: the tracker must never take the evidence for a log.
  const std::string evidence = logs + S + "evidence";
  const std::string output = watchdog.run(
      block(kFake,
            fakeArguments(logs, "--lines 3 --crash-once \"" + watchdog.dir().file("marker") + "\""),
            logs, "EvidenceDir: " + evidence));

  std::smatch ids;
  const std::regex expected("Program \\[1\\]:\n" + startLines() + "\n" +
                            literal("[" + kName + "] has crashed!  Restarting now...") +
                            "\nEvidence of \\[" + kId + "\\] saved in \\[" + literal(evidence + S) +
                            kId + "\\]\n" + startLines() + "\\[" + kId + "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;
  EXPECT_EQ(ids[1].str(), ids[2].str());
  const std::string summary = test::readFile(evidence + S + ids[1].str() + S + "summary.txt");
  EXPECT_NE(summary.find("\nStatus: crashed\nStart_Time: "), std::string::npos) << summary;
  EXPECT_NE(summary.find("\nExit_Code: 3\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("\nLatest_Log: " + logs + S + "fake.csv\n"), std::string::npos) << summary;

  const std::vector<std::string> logsFound = watchdog.defaultStatusLogs(kName);
  ASSERT_EQ(logsFound.size(), 1u);
  EXPECT_TRUE(statusLogMatches(logsFound[0],
                               closedRow(literal(ids[1].str()), "crashed", fakeLogLine(logs, 3)) +
                                   closedRow(literal(ids[3].str()), "finished")));
}

TEST(WatchdogEndToEnd, EndsAndRestartsAProgramWhoseLogStoppedGrowingForAMinute) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  // The hung run also starts a worker that leaves its group; it goes with the run.
  const std::string worker = watchdog.dir().file("worker.pid");
  const std::string output = watchdog.run(
      block(kFake,
            fakeArguments(logs, "--lines 3 --hang-once \"" + watchdog.dir().file("marker") +
                                    "\" --escape \"" + worker + "\""),
            logs, "TimeOutMin: 1\nTavrelonLog: " + watchdog.dir().file("status.csv")));
  if (onPosix()) {
    const std::uint32_t pid = pidIn(worker);
    EXPECT_FALSE(processAlive(pid)) << "the escaped worker survived the time-out";
    killByPid(pid);
  }

  // Three lines "line,<i>,<13-digit start time>\n" of 21 bytes, then nothing:
  // the first poll sees the size change, the next six see it unchanged.
  const std::string poll = "\n" + kId + "  " + literal(logs + S + "fake.csv") + "  63\n";
  std::smatch ids;
  const std::regex expected("Program \\[1\\]:\n" + startLines() + poll + "(?:" + poll + "){6}" +
                            "\n\\[" + kId + "\\] has timed out! Restarting now...\n\n" +
                            startLines() + "\\[" + kId + "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;
  // Groups: 1 and 2 the hung run in its poll lines, 3 in the time-out, 4 the restarted run.
  EXPECT_EQ(ids[1].str(), ids[2].str());
  EXPECT_EQ(ids[1].str(), ids[3].str());

  EXPECT_TRUE(statusLogMatches(watchdog.dir().file("status.csv"),
                               closedRow(literal(ids[1].str()), "timeout", fakeLogLine(logs, 3)) +
                                   closedRow(literal(ids[4].str()), "finished")));
}

TEST(WatchdogEndToEnd, ReportsAMissingProgramAndGoesOnToTheNext) {
  Watchdog watchdog;
  const std::string second = watchdog.dir().file("second.csv");
  const std::string output = watchdog.run(
      block(watchdog.dir().file("missing_program"), "", watchdog.dir().file("logs1")) +
      block(kFake, "--lines 1", watchdog.dir().file("logs2"), "TavrelonLog: " + second));

  std::smatch ids;
  const std::regex expected(
      "Program \\[1\\]:\nSpecified program \\[missing_program\\] not found!\nProgram \\[2\\]:\n" +
      startLines() + "\\[" + kId + "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;
  // The missing program never had a run, so it has no status log at all.
  EXPECT_TRUE(watchdog.defaultStatusLogs("missing_program").empty());
  EXPECT_TRUE(statusLogMatches(second, closedRow(literal(ids[1].str()), "finished")));
}

TEST(WatchdogEndToEnd, RowsThatCannotBeWrittenAtExitAreSavedBesideTheWatchdogAndSaidOnce) {
  Watchdog watchdog;
  // A status log in a folder that never comes: no sequence can write it.
  const std::string statusLog = watchdog.dir().file("gone") + S + "nightly.csv";
  const std::string saved = watchdog.dir().file("TavrelonLog-unwritten_nightly.csv");
  const std::string output = watchdog.run(
      block(kFake, "--lines 1", watchdog.dir().file("logs"), "TavrelonLog: " + statusLog));

  const std::string failed =
      "Error: Failed to write status log \\[" + literal(statusLog) + "\\]!  errorcode:[0-9]+\n";
  std::smatch ids;
  const std::regex expected("Program \\[1\\]:\n" + failed + startLines() + "\\[" + kId +
                            "\\] has finished!\n\n" + failed +
                            "Rows not written to status log \\[" + literal(statusLog) +
                            "\\] are saved in \\[" + literal(saved) + "\\]!\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;
  EXPECT_TRUE(statusLogMatches(saved, closedRow(literal(ids[1].str()), "finished")));
  EXPECT_FALSE(fs::exists(watchdog.dir().file("gone")));
}

TEST(WatchdogEndToEnd, EachStopSignalEndsTheRunAndEverythingItStartedWithinASecond) {
  if (!onPosix())
    GTEST_SKIP() << "POSIX signals; Windows' console events are tested in the console test";
  for (const char* name : {"TERM", "INT", "HUP", "QUIT"}) {
    SCOPED_TRACE(name);
    Watchdog watchdog;
    const std::string logs = watchdog.dir().file("logs");
    const std::string status = watchdog.dir().file("status.csv");
    const std::string inGroup = watchdog.dir().file("grandchild.pid");
    const std::string escaped = watchdog.dir().file("worker.pid");
    watchdog.start(block(kFake,
                         fakeArguments(logs, "--lines 3 --end hang --grandchild \"" + inGroup +
                                                 "\" --escape \"" + escaped + "\""),
                         logs, "TavrelonLog: " + status) +
                   block(kFake, "--lines 1", watchdog.dir().file("logs2")));
    const std::vector<std::uint32_t> pids{pidIn(inGroup), pidIn(escaped)};
    ASSERT_TRUE(waitUntil([&] {
      return test::readFile(logs + S + "fake.csv").find("line,3,") != std::string::npos &&
             test::readFile(status).find(",running,") != std::string::npos;
    }));

    const auto signalled = std::chrono::steady_clock::now();
    watchdog.signal(name);
    EXPECT_EQ(watchdog.finish(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(1500));
    for (std::uint32_t pid : pids) {
      EXPECT_FALSE(processAlive(pid)) << pid << " survived the stop";
      killByPid(pid);
    }

    // No further program is started.
    std::smatch id;
    const std::string output = watchdog.output();
    ASSERT_TRUE(std::regex_match(
        output, id,
        std::regex("Program \\[1\\]:\n" + startLines() + "\\[" + kId + "\\] has been stopped!\n")))
        << output;
    EXPECT_TRUE(
        statusLogMatches(status, closedRow(literal(id[1].str()), "stopped", fakeLogLine(logs, 3))));
  }
}

TEST(WatchdogEndToEnd, AStopWithNoRunInProgressEndsAtOnceAndPrintsNothing) {
  if (!onPosix())
    GTEST_SKIP() << "POSIX signals; Windows' console events are tested in the console test";
  Watchdog watchdog;
  watchdog.start(block(watchdog.dir().file("missing_program"), "", watchdog.dir().file("logs1")) +
                 block(kFake, "--lines 1", watchdog.dir().file("logs2")));
  // The stop comes in the pause after the failed start.
  ASSERT_TRUE(
      waitUntil([&] { return watchdog.output().find("not found!\n") != std::string::npos; }));
  const auto signalled = std::chrono::steady_clock::now();
  watchdog.signal("TERM");
  EXPECT_EQ(watchdog.finish(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(1500));
  EXPECT_EQ(watchdog.output(), "Program [1]:\nSpecified program [missing_program] not found!\n");
}

TEST(WatchdogEndToEnd, AClosedOutputNeitherEndsTheWatchdogNorLosesTheRow) {
  if (!onPosix())
    GTEST_SKIP() << "a POSIX pipeline into head";
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string status = watchdog.dir().file("status.csv");
  // The log folder made: no warning line before the one that head keeps.
  watchdog.configure(
      block(kFake, fakeArguments(logs, "--lines 10"), logs, "TavrelonLog: " + status));
  const std::string command = "( \"" + watchdog.program() + "\"; echo $? > \"" +
                              watchdog.dir().file("rc") + "\" ) | head -n 1 > \"" +
                              watchdog.dir().file("out.txt") + "\"";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(test::readFile(watchdog.dir().file("rc")), "0\n");
  EXPECT_EQ(watchdog.output(), "Program [1]:\n");
  EXPECT_TRUE(statusLogMatches(status, closedRow(kId, "finished")));
}

TEST(WatchdogEndToEnd, AFullOutputPipeDelaysNoCrashAndEveryLineFollowsOnceItIsRead) {
  if (!onPosix())
    GTEST_SKIP() << "a POSIX pipeline whose reader waits";
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string status = watchdog.dir().file("status.csv");
  const std::string go = watchdog.dir().file("go");
  // The log folder made: no warning line before the ones compared.
  watchdog.configure(
      block(kFake,
            fakeArguments(logs, "--lines 3 --crash-once \"" + watchdog.dir().file("marker") + "\""),
            logs, "TavrelonLog: " + status));
  // 64 KiB fill the pipe before the watchdog writes to it; its reader reads
  // nothing until told, as a paused terminal.
  const std::string command =
      "( head -c 65536 /dev/zero; exec \"" + watchdog.program() + "\" ) | ( while [ ! -e \"" + go +
      "\" ]; do sleep 0.05; done; cat > \"" + watchdog.dir().file("out.txt") + "\" )";
  std::atomic<int> result{-1};
  std::thread pipeline([&] { result = std::system(command.c_str()); });
  const bool crashSeen =
      waitUntil([&] { return test::readFile(status).find(",crashed,") != std::string::npos; },
                std::chrono::seconds(30));
  test::writeFile(go, "");
  pipeline.join();
  EXPECT_TRUE(crashSeen) << "the crash was recorded only once the console read";
  EXPECT_EQ(result, 0);

  const std::string output = test::readFile(watchdog.dir().file("out.txt"));
  ASSERT_GE(output.size(), 65536u);
  EXPECT_EQ(output.substr(0, 65536), std::string(65536, '\0'));
  const std::regex expected("Program \\[1\\]:\n" + startLines() + "\n" +
                            literal("[" + kName + "] has crashed!  Restarting now...") + "\n" +
                            startLines() + "\\[" + kId + "\\] has finished!\n\n");
  EXPECT_TRUE(std::regex_match(output.substr(65536), expected)) << output.substr(65536);
}

TEST(WatchdogEndToEnd, StartedWithSigchldIgnoredItStillSeesTheProgramFinish) {
  if (!onPosix())
    GTEST_SKIP() << "POSIX signal dispositions";
  Watchdog watchdog;
  const std::string status = watchdog.dir().file("status.csv");
  // perl (Debian's perl-base is essential) execs the watchdog with SIGCHLD
  // ignored; the shell would set it back itself.
  watchdog.start(block(kFake, "--lines 1", watchdog.dir().file("logs"), "TavrelonLog: " + status),
                 "perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV or exit 127'");
  EXPECT_EQ(watchdog.finish(30), 0);
  EXPECT_TRUE(std::regex_match(
      watchdog.output(),
      std::regex("Program \\[1\\]:\n" + startLines() + "\\[" + kId + "\\] has finished!\n\n")))
      << watchdog.output();
  EXPECT_TRUE(statusLogMatches(status, closedRow(kId, "finished")));
}

TEST(WatchdogEndToEnd, NeverStartsItselfByAnyPathAndGoesOnToTheNextProgram) {
  Watchdog watchdog;
  const std::string self = fs::path(watchdog.program()).filename().string();
  // Another spelling of its own path, and on POSIX a link to it.
  std::string configuration =
      block(watchdog.dir().path() + S + "." + S + self, "", watchdog.dir().file("logs1"));
  std::string refused = "Program \\[1\\]:\n" +
                        literal("Specified program [" + self + "] is the watchdog itself!") + "\n";
  if (onPosix()) {
    fs::create_symlink(watchdog.program(), watchdog.dir().file("link"));
    configuration += block(watchdog.dir().file("link"), "", watchdog.dir().file("logs2"));
    refused += "Program \\[2\\]:\n" + literal("Specified program [link] is the watchdog itself!\n");
  }
  const std::string last = onPosix() ? "3" : "2";
  const std::string output =
      watchdog.run(configuration + block(kFake, "--lines 1", watchdog.dir().file("logs3")));
  EXPECT_TRUE(
      std::regex_match(output, std::regex(refused + "Program \\[" + last + "\\]:\n" + startLines() +
                                          "\\[" + kId + "\\] has finished!\n\n")))
      << output;
  EXPECT_TRUE(watchdog.defaultStatusLogs(self).empty());
}

TEST(WatchdogEndToEnd, AConfigurationInUtf8OrInTheAnsiCodePageNamesTheSameProgram) {
  Watchdog watchdog;
  const std::string folder = watchdog.dir().file("caf\xC3\xA9");
  fs::create_directories(fs::u8path(folder));
  fs::copy_file(kFake, fs::u8path(folder + S + kName));
  const std::string logs = watchdog.dir().file("logs");
  std::vector<std::string> configurations{block(folder + S + kName, "--lines 1", logs)};
  // The same name saved in the ANSI code page, where that holds an "é" (POSIX has none).
  if (platform::isWindows() && platform::toAnsiCodePage("\xC3\xA9") == "\xE9")
    configurations.push_back(block(watchdog.dir().file("caf\xE9") + S + kName, "--lines 1", logs));
  for (const std::string& configuration : configurations) {
    const std::string output = watchdog.run(configuration);
    EXPECT_TRUE(std::regex_match(output, std::regex("Program \\[1\\]:\n" + startLines() + "\\[" +
                                                    kId + "\\] has finished!\n\n")))
        << output;
  }
}

TEST(WatchdogEndToEnd, SaysTheConfigurationsMistakesOnceAtStartAndSupervisesAsConfigured) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  // The log folder is made by the program itself, after the watchdog looked.
  const std::string output = watchdog.run(
      "# nightly\nApplicationPath: " + kFake +
          "\nApplicationArgument: " + fakeArguments(logs, "--lines 1") +
          "\nApplicationLogDir: " + logs + "\nTimeoutMin: 5\nTimeOutMin: 0.5\nTimeOutMin: 1\n",
      false);
  const std::string say = "Warning: TavrelonConfig.ini line ";
  std::smatch ids;
  const std::regex expected(
      literal(say + "4: ApplicationLogDir [" + logs +
              "] does not exist: no log can grow there until something creates it, so each run "
              "is timed out after 1 minute.\n" +
              say + "5: unknown key [TimeoutMin] is ignored; did you mean [TimeOutMin]?\n" + say +
              "6: TimeOutMin [0.5] is not a whole number of minutes; it is taken as 0: the "
              "program is never timed out.\n" +
              say +
              "7: TimeOutMin is given twice in one program block (lines 6 and 7): the later "
              "value [1] is used.\n") +
      "Program \\[1\\]:\n" + startLines() + "\\[" + kId + "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;
  const std::vector<std::string> logsFound = watchdog.defaultStatusLogs(kName);
  ASSERT_EQ(logsFound.size(), 1u);
  EXPECT_TRUE(statusLogMatches(logsFound[0], closedRow(literal(ids[1].str()), "finished")));
}

}  // namespace
}  // namespace tavrelon
