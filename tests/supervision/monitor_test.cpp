// The monitor loop on real processes: finish, crash, time-out and the starts
// that fail, with the console lines and status rows each leaves.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <functional>
#include <memory>

#include "logging/kvt_log.h"
#include "logging/status_log.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/test_seams.h"
#include "platform/watchdog_process.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

using namespace test;

const std::string kRowTime = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";
const std::string kName = fs::path(fakeProgram()).filename().string();

std::string startLines(const std::string& name) {
  return "\nStart running \\[" + literal(name) + "\\]\\.\\.\\.\n";
}
// Any number of poll lines of run `id`; the log path is empty before the first log exists.
std::string pollLines(const std::string& id, const std::string& logPath, const char* times = "*") {
  return "(\n" + literal(id) + "  (" + literal(logPath) + ")?  \\d+\n)" + times;
}
std::string finishLines(const std::string& id) {
  return literal("[" + id + "] has finished!") + "\n\n";
}
std::string crashLines(const std::string& name) {
  return "\n" + literal("[" + name + "] has crashed!  Restarting now...") + "\n";
}

// Copies the fake program into `dir` as `stem` with the platform's ending;
// returns the copy's file name.
std::string copyOfFake(const TempDir& dir, const std::string& stem) {
  const std::string name = stem + fs::path(fakeProgram()).extension().string();
  copyOfProgram("fake_program", dir.path(), name);
  return name;
}

// A sleep hook that counts the pauses before a restart in `restarts` and
// calls `act` at the `n`th.
std::function<void(std::int64_t)> atRestartPause(int n, int& restarts, std::function<void()> act) {
  return [n, &restarts, act](std::int64_t ms) {
    if (ms == 1000 && ++restarts == n)
      act();
  };
}

TEST(Monitor, ProgramEndingWithZeroIsRecordedAsFinished) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher = driverWatcher(fakeConfig(dir, logArguments(dir, "--lines 2")));
  bool exited = false;
  const std::string output =
      monitorCapturing(watcher, [&] { exited = waitForExit(watcher.programProcess()); });
  ASSERT_TRUE(exited);

  const std::string id = watcher.status.applicationId;
  EXPECT_TRUE(matchesWhole(id, literal(kName) + R"(_\d{14})")) << id;
  EXPECT_EQ(output, "\nStart running [" + kName + "]...\n[" + id + "] has finished!\n\n");
  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].applicationId, id);
  EXPECT_EQ(rows[0].runningStatus, "finished");
  EXPECT_TRUE(matchesWhole(rows[0].startTime, kRowTime)) << rows[0].startTime;
  EXPECT_TRUE(matchesWhole(rows[0].endTime, kRowTime)) << rows[0].endTime;
  EXPECT_EQ(rows[0].latestLog, "N/A");  // the finish does not ask the tracker
  EXPECT_EQ(sleeps.count(10000), 0);
  EXPECT_EQ(watcher.runState(), RunState::Idle);
  EXPECT_EQ(watcher.programProcess().dwProcessId, 0u);
}

TEST(Monitor, PrintsOneLinePerPollAndPausesTenSecondsAfterEach) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher = driverWatcher(fakeConfig(dir, logArguments(dir, "--lines 15")));
  const std::string output = monitorCapturing(watcher);

  const std::string id = watcher.status.applicationId;
  EXPECT_TRUE(matchesWhole(
      output, startLines(kName) + pollLines(id, fakeLogPath(dir), "+") + finishLines(id)))
      << output;
  EXPECT_EQ(sleeps.count(10000), occurrences(output, "\n" + id + "  "));
}

TEST(Monitor, ALogNamedWithControlCharactersIsShownEscapedAndForgesNoLine) {
  if (platform::isWindows())
    GTEST_SKIP() << "Windows names hold no control characters";
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  const std::string name = "x\n[prog_20991231235959] has finished!\x1b[2J.csv";
  ProgramWatcher watcher =
      driverWatcher(fakeConfig(dir, logArguments(dir, "--lines 15 --log-name \"" + name + "\"")));
  const std::string output = monitorCapturing(watcher);

  const std::string id = watcher.status.applicationId;
  const std::string shown =
      dir.file("logs") + S + "x\\n[prog_20991231235959] has finished!\\x1b[2J.csv";
  EXPECT_TRUE(matchesWhole(output, startLines(kName) + pollLines(id, shown, "+") + finishLines(id)))
      << output;
  EXPECT_EQ(occurrences(output, "has finished!\n"), 1) << output;
}

TEST(Monitor, CrashIsRecordedWithTheLastLogLineAndTheProgramRestarted) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher = driverWatcher(
      fakeConfig(dir, logArguments(dir, "--lines 3 --crash-once \"" + dir.file("marker") + "\"")));
  std::string firstId;
  bool exited = false;
  const std::string output = monitorCapturing(watcher, [&] {
    firstId = watcher.status.applicationId;
    exited = waitForExit(watcher.programProcess());
  });
  ASSERT_TRUE(exited);

  const std::string secondId = watcher.status.applicationId;
  EXPECT_TRUE(matchesWhole(output, startLines(kName) + crashLines(kName) + startLines(kName) +
                                       pollLines(secondId, fakeLogPath(dir)) +
                                       finishLines(secondId)))
      << output;
  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].applicationId, firstId);
  EXPECT_EQ(rows[0].runningStatus, "crashed");
  EXPECT_TRUE(matchesWhole(rows[0].endTime, kRowTime));
  EXPECT_TRUE(
      matchesWhole(rows[0].latestLog, literal("[" + fakeLogPath(dir) + "] line 3 ") + "\\d+"))
      << rows[0].latestLog;
  EXPECT_EQ(rows[1].applicationId, secondId);
  EXPECT_EQ(rows[1].runningStatus, "finished");
  EXPECT_EQ(rows[1].latestLog, "N/A");
  EXPECT_EQ(sleeps.count(1000), 1);
  EXPECT_EQ(sleeps.count(5000), 2);
}

class TimeOut : public ::testing::TestWithParam<int> {};

TEST_P(TimeOut, FiresOnExactlyTheSixTimesTimeOutMinthUnchangedPollThenRestarts) {
  const int minutes = GetParam();
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramConfig config =
      fakeConfig(dir, logArguments(dir, "--lines 2 --hang-once \"" + dir.file("marker") + "\""));
  config.timeOutMin = minutes;
  ProgramWatcher watcher = driverWatcher(config);
  const HungRun hung = monitorHungRun(watcher, dir, 2);
  ASSERT_TRUE(hung.logged);
  const std::string& output = hung.output;
  const std::string& firstId = hung.firstId;

  const std::string secondId = watcher.status.applicationId;
  const std::string timedOut =
      "\n" + literal("[" + firstId + "] has timed out! Restarting now...") + "\n\n";
  EXPECT_TRUE(
      matchesWhole(output, startLines(kName) +
                               pollLines(firstId, fakeLogPath(dir),
                                         ("{" + std::to_string(6 * minutes + 1) + "}").c_str()) +
                               timedOut + startLines(kName) +
                               pollLines(secondId, fakeLogPath(dir)) + finishLines(secondId)))
      << output;
  // The pauses before the restart's 1000 ms: one after every poll but the last.
  std::vector<std::int64_t> requested = sleeps.requested();
  auto restart = std::find(requested.begin(), requested.end(), 1000);
  EXPECT_EQ(std::count(requested.begin(), restart, 10000), 6 * minutes);

  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].runningStatus, "timeout");
  EXPECT_TRUE(
      matchesWhole(rows[0].latestLog, literal("[" + fakeLogPath(dir) + "] line 2 ") + "\\d+"))
      << rows[0].latestLog;
  EXPECT_EQ(rows[1].runningStatus, "finished");
  if (canProbeProcesses()) {
    EXPECT_TRUE(endsWithin(hung.firstPid));
  }
}

INSTANTIATE_TEST_SUITE_P(Minutes, TimeOut, ::testing::Values(1, 2));

class NoTimeOut : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(NoTimeOut, ZeroNegativeOrHugeTimeOutMinNeverFires) {
  test::TempDir dir;
  ProgramConfig config = fakeConfig(dir, logArguments(dir, "--lines 1 --end hang"));
  config.timeOutMin = GetParam();
  ProgramWatcher watcher = driverWatcher(config);
  // After 20 unchanged polls the test ends the program itself, which reads as a finish.
  int polls = 0;
  ShortSleeps sleeps(1000, [&](std::int64_t ms) {
    if (ms == 10000 && ++polls == 20)
      platform::terminateProcess(watcher.programProcess());
  });
  const std::string output = monitorCapturing(watcher);

  EXPECT_EQ(output.find("timed out"), std::string::npos) << output;
  EXPECT_EQ(occurrences(output, "\n" + watcher.status.applicationId + "  "), 20);
  EXPECT_NE(output.find("has finished!"), std::string::npos);
  EXPECT_EQ(sleeps.count(1000), 0);
}

INSTANTIATE_TEST_SUITE_P(Limits, NoTimeOut, ::testing::Values(0, -1, INT32_MAX, INT32_MIN));

TEST(Monitor, MissingProgramIsReportedOnceAndNothingCountsAsFinished) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher = driverWatcher(configIn(dir, dir.file("none"), ""));
  const std::string output = monitorCapturing(watcher);
  watcher.stop();
  EXPECT_EQ(output, "Specified program [none] not found!\n");
  EXPECT_FALSE(fs::exists(dir.file("status.csv")));
  EXPECT_EQ(sleeps.count(10000), 0);
  EXPECT_EQ(sleeps.count(5000), 0);  // no tracker for a run that never began
  EXPECT_EQ(watcher.logTracker(), nullptr);
}

TEST(Monitor, ProgramThatCannotBeStartedPrintsTheErrorCodeAndNoFinish) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  // A directory passes the existence test but cannot be executed.
  fs::create_directory(dir.file("folder"));
  ProgramWatcher watcher = driverWatcher(configIn(dir, dir.file("folder"), ""));
  const std::string output = monitorCapturing(watcher);
  EXPECT_TRUE(matchesWhole(output, R"(Start process failed!  errorcode:[1-9]\d*\n)")) << output;
  EXPECT_FALSE(fs::exists(dir.file("status.csv")));
}

TEST(Monitor, ExitCode259CountsAsACrash) {
  test::TempDir dir;
  ProgramWatcher watcher =
      driverWatcher(fakeConfig(dir, logArguments(dir, "--lines 1 --code 259")));
  // The restart runs the program with arguments that let it finish.
  ShortSleeps sleeps(100, [&](std::int64_t ms) {
    if (ms == 1000)
      watcher.config.applicationArgument = logArguments(dir, "--lines 1");
  });
  bool exited = false;
  const std::string output =
      monitorCapturing(watcher, [&] { exited = waitForExit(watcher.programProcess()); });
  ASSERT_TRUE(exited);

  EXPECT_TRUE(matchesWhole(output, startLines(kName) + crashLines(kName) + startLines(kName) +
                                       pollLines(watcher.status.applicationId, fakeLogPath(dir)) +
                                       finishLines(watcher.status.applicationId)))
      << output;
  EXPECT_EQ(runningStatuses(dir.file("status.csv")),
            (std::vector<std::string>{"crashed", "finished"}));
}

TEST(Monitor, FailedRestartAfterACrashRetriesOncePerPauseUntilTheProgramIsBack) {
  test::TempDir dir;
  const std::string name = copyOfFake(dir, "flaky");
  const std::string copy = dir.file(name);
  ProgramWatcher watcher = driverWatcher(configIn(
      dir, copy, logArguments(dir, "--lines 1 --crash-once \"" + dir.file("marker") + "\"")));
  int restarts = 0;
  ShortSleeps sleeps(100, atRestartPause(3, restarts, [&] { fs::copy_file(fakeProgram(), copy); }));
  bool exited = false;
  const std::string output = monitorCapturing(watcher, [&] {
    exited = waitForExit(watcher.programProcess());
    fs::remove(copy);
  });
  ASSERT_TRUE(exited);

  // The crash and the missing file are said once for the whole outage.
  const std::string notFound = literal("Specified program [" + name + "] not found!") + "\n";
  const std::string id = watcher.status.applicationId;
  EXPECT_TRUE(matchesWhole(output, startLines(name) + crashLines(name) + notFound +
                                       startLines(name) + pollLines(id, fakeLogPath(dir)) +
                                       finishLines(id)))
      << output;
  EXPECT_EQ(restarts, 3);
  // Failed starts add no row.
  EXPECT_EQ(runningStatuses(dir.file("status.csv")),
            (std::vector<std::string>{"crashed", "finished"}));
}

TEST(Monitor, AFirstStartThatMeetsAPassingShortageIsRetriedAsARestartIs) {
  test::TempDir dir;
  const std::string name = copyOfFake(dir, "busy");
  const std::string copy = dir.file(name);
  // Still being written, as a copy into place is: starting it fails with
  // ETXTBSY (POSIX) or a sharing violation (Windows).
  auto writer = std::make_unique<std::ofstream>(copy, std::ios::binary | std::ios::app);
  ProgramWatcher watcher = driverWatcher(configIn(dir, copy, logArguments(dir, "--lines 1")));
  int restarts = 0;
  ShortSleeps sleeps(100, atRestartPause(3, restarts, [&] { writer.reset(); }));
  const std::string output = monitorCapturing(watcher);

  // Said once; the start that follows the write runs to its finish.
  const std::string id = watcher.status.applicationId;
  const std::string code = platform::isWindows() ? "32" : "26";
  EXPECT_TRUE(matchesWhole(output, "Start process failed!  errorcode:" + code + "\n" +
                                       startLines(name) + pollLines(id, fakeLogPath(dir)) +
                                       finishLines(id)))
      << output;
  EXPECT_EQ(restarts, 3);
  EXPECT_EQ(runningStatuses(dir.file("status.csv")), std::vector<std::string>{"finished"});
}

// Forgets the stop request that a test made, however the test ends.
struct StopRequestGuard {
  ~StopRequestGuard() { platform::clearStopRequestForTesting(); }
};

TEST(Monitor, AStopRequestDuringAPollEndsTheRunAndWhatItStartedAsStopped) {
  test::TempDir dir;
  StopRequestGuard guard;
  int polls = 0;
  ShortSleeps sleeps(100, [&](std::int64_t ms) {
    if (ms == 10000 && ++polls == 2)
      platform::requestStop();
  });
  ProgramWatcher watcher = driverWatcher(fakeConfig(
      dir, logArguments(dir, "--lines 3 --end hang --grandchild \"" + dir.file("pid") + "\"")));
  const HungRun hung = monitorHungRun(watcher, dir, 3);
  ASSERT_TRUE(hung.logged);
  const std::string& output = hung.output;

  const std::string id = watcher.status.applicationId;
  EXPECT_TRUE(matchesWhole(output, startLines(kName) + pollLines(id, fakeLogPath(dir), "{2}") +
                                       literal("[" + id + "] has been stopped!") + "\n"))
      << output;
  EXPECT_EQ(polls, 2);  // the pause that the stop cut short was the last
  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].runningStatus, "stopped");
  EXPECT_TRUE(matchesWhole(rows[0].endTime, kRowTime)) << rows[0].endTime;
  EXPECT_TRUE(
      matchesWhole(rows[0].latestLog, literal("[" + fakeLogPath(dir) + "] line 3 ") + "\\d+"))
      << rows[0].latestLog;
  EXPECT_EQ(watcher.programProcess().dwProcessId, 0u);
  if (canProbeProcesses()) {
    EXPECT_TRUE(endsWithin(hung.firstPid));
    EXPECT_TRUE(endsWithin(pidIn(dir.file("pid"))));
  }
}

TEST(Monitor, AStopRequestDuringTheRestartPauseLeavesACrashedProgramDown) {
  test::TempDir dir;
  StopRequestGuard guard;
  ShortSleeps sleeps(100, [](std::int64_t ms) {
    if (ms == 1000)
      platform::requestStop();
  });
  ProgramWatcher watcher = driverWatcher(fakeConfig(dir, logArguments(dir, "--lines 1 --code 3")));
  bool exited = false;
  const std::string output =
      monitorCapturing(watcher, [&] { exited = waitForExit(watcher.programProcess()); });
  ASSERT_TRUE(exited);

  EXPECT_TRUE(matchesWhole(output, startLines(kName) +
                                       pollLines(watcher.status.applicationId, fakeLogPath(dir)) +
                                       crashLines(kName)))
      << output;
  EXPECT_EQ(runningStatuses(dir.file("status.csv")), std::vector<std::string>{"crashed"});
  EXPECT_EQ(sleeps.count(1000), 1);
}

TEST(TestMode, TimeOutKeepsOneIdentifierOverTwoRowsAndUsesTheTestModeTracker) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher(
      fakeConfig(dir, logArguments(dir, "--lines 2 --hang-once \"" + dir.file("marker") + "\"")));
  ASSERT_TRUE(watcher.testMode);
  watcher.status.applicationId = "nightly-suite";
  std::string stamp;
  bool logged = false;
  const std::string output = monitorCapturing(watcher, [&] {
    stamp = watcher.runStamp();
    logged = fakeLogReaches(dir, 2);
  });
  ASSERT_TRUE(logged);

  const std::string id = "nightly-suite";
  EXPECT_TRUE(matchesWhole(output, startLines(kName) + pollLines(id, fakeLogPath(dir), "{7}") +
                                       "\n" +
                                       literal("[" + id + "] has timed out! Restarting now...") +
                                       "\n\n" + "\nStart testing \\[" + id + "\\]\\.\\.\\.\n" +
                                       pollLines(id, fakeLogPath(dir)) + finishLines(id)))
      << output;
  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].applicationId, id);
  EXPECT_EQ(rows[0].runningStatus, "timeout");
  EXPECT_EQ(rows[1].applicationId, id);
  EXPECT_EQ(rows[1].runningStatus, "finished");
  // The test-mode start's own time reaches the row with its closing update.
  EXPECT_TRUE(matchesWhole(rows[1].startTime, kRowTime)) << rows[1].startTime;
  EXPECT_NE(dynamic_cast<const KVTLog*>(watcher.logTracker()), nullptr);
  EXPECT_EQ(watcher.runStamp(), stamp);
}

TEST(TestMode, CrashPausesTwiceAndAppendsTheNextRunsRow) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher(
      fakeConfig(dir, logArguments(dir, "--lines 1 --crash-once \"" + dir.file("marker") + "\"")));
  watcher.status.applicationId = "suite";
  bool exited = false;
  const std::string output =
      monitorCapturing(watcher, [&] { exited = waitForExit(watcher.programProcess()); });
  ASSERT_TRUE(exited);

  EXPECT_TRUE(matchesWhole(output, startLines(kName) + crashLines(kName) +
                                       "\nStart testing \\[suite\\]\\.\\.\\.\n" +
                                       pollLines("suite", fakeLogPath(dir)) + finishLines("suite")))
      << output;
  const std::vector<std::int64_t> expected{5000, 1000, 1000, 5000};
  const std::vector<std::int64_t> requested = sleeps.requested();
  EXPECT_TRUE(std::search(requested.begin(), requested.end(), expected.begin(), expected.end()) !=
              requested.end());
  EXPECT_EQ(runningStatuses(dir.file("status.csv")),
            (std::vector<std::string>{"crashed", "finished"}));
}

}  // namespace
}  // namespace tavrelon
