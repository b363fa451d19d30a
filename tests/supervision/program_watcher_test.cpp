// The watcher itself: construction, move, the starts and stop() on real
// processes, and what many restarts leave behind.
#include <gtest/gtest.h>

#include "config/text_lines.h"
#include "logging/kvt_log.h"
#include "logging/status_log.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/test_seams.h"
#include "support/watcher_support.h"

namespace tavrelon {

// The polling state that only a long monitor() reaches otherwise.
struct ProgramWatcherTestPeer {
  static void setPollingState(ProgramWatcher& watcher, std::int32_t polls, std::string progress) {
    watcher.unchangedPolls_ = polls;
    watcher.lastProgress_ = std::move(progress);
  }
};

namespace {

using namespace test;

const std::string kName = fs::path(fakeProgram()).filename().string();

// Whether `handle` has been closed: both backends hand out handle values
// that never repeat, so a closed one reads Unknown for good.
bool handleClosed(platform::Handle handle) {
  std::uint32_t code = 0;
  return platform::processState(handle, code) == platform::ProcessState::Unknown;
}

TEST(ProgramWatcher, SplitsTheProgramPathAtItsLastSeparator) {
  const std::string other = !platform::isWindows() ? "\\" : "/";
  struct Case {
    std::string path, directory, file;
  };
  for (const Case& c : std::vector<Case>{
           {S + "opt" + S + "suite" + S + "alpha", S + "opt" + S + "suite" + S, "alpha"},
           {"beta", "", "beta"},
           {"x" + other + "y", "", "x" + other + "y"},  // not a separator here
           {S + "opt" + S, S + "opt" + S, ""},
           {"", "", ""}}) {
    ProgramConfig config;
    config.applicationPath = c.path;
    ProgramWatcher watcher(config);
    EXPECT_EQ(watcher.programDirectory(), c.directory) << c.path;
    EXPECT_EQ(watcher.programFileName(), c.file) << c.path;
  }
}

TEST(ProgramWatcher, StartAppendsARunningRowAndMakesAPlainTracker) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  // A row of another run is carried over.
  writeStatusLog({StatusRecord{"older_1", "finished", "a", "b", "N/A"}}, dir.file("status.csv"));
  ProgramWatcher watcher = driverWatcher(fakeConfig(dir, "--end hang"));
  EXPECT_EQ(startCapturing(watcher), "\nStart running [" + kName + "]...\n");

  EXPECT_EQ(watcher.status.applicationId, kName + "_" + watcher.runStamp());
  EXPECT_EQ(watcher.runState(), RunState::Started);
  EXPECT_NE(watcher.programProcess().dwProcessId, 0u);
  ASSERT_NE(watcher.logTracker(), nullptr);
  EXPECT_EQ(dynamic_cast<const KVTLog*>(watcher.logTracker()), nullptr);
  EXPECT_EQ(sleeps.count(5000), 1);
  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].applicationId, "older_1");
  EXPECT_EQ(rows[1].applicationId, watcher.status.applicationId);
  EXPECT_EQ(rows[1].runningStatus, "running");
  EXPECT_EQ(rows[1].endTime, "");
  EXPECT_EQ(rows[1].latestLog, "N/A");
  watcher.stop();
}

TEST(ProgramWatcher, AProgramWithoutAJobIsSaidOncePerStartAndRunsOn) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  platform::failJobAssignmentForTesting(1450);
  ProgramWatcher watcher = driverWatcher(fakeConfig(dir, "--end hang"));
  ::testing::internal::CaptureStdout();
  watcher.start();
  watcher.stop();
  watcher.startTest("alpha_1");
  platform::failJobAssignmentForTesting(0);
  const std::string warning = "Warning: [" + kName +
                              "] runs without a job; a time-out ends the program only!  "
                              "errorcode:1450\n";
  EXPECT_EQ(capturedOutput(), "\nStart running [" + kName + "]...\n" + warning +
                                  "\nStart testing [alpha_1]...\n" + warning);
  EXPECT_EQ(watcher.programProcess().jobErrorCode, 1450u);
  std::uint32_t exitCode = 0;
  EXPECT_EQ(platform::processState(watcher.programProcess().hProcess, exitCode),
            platform::ProcessState::Running);
  watcher.stop();
}

TEST(ProgramWatcher, ConstructedFromSettingsItStartsInTestModeAndKeepsItsIdentifiers) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  // Only a watcher made from settings is in test mode; the driver switches it off.
  EXPECT_FALSE(ProgramWatcher().testMode);
  ProgramWatcher watcher(fakeConfig(dir, "--end hang"));
  EXPECT_TRUE(matchesWhole(watcher.runStamp(), R"(\d{14})")) << watcher.runStamp();
  watcher.status.applicationId = "suite-9";
  ::testing::internal::CaptureStdout();
  watcher.start();
  EXPECT_EQ(watcher.status.applicationId, "suite-9");
  watcher.stop();
  fs::remove(dir.file("status.csv"));
  const std::string stamp = watcher.runStamp();
  watcher.startTest("suite-10");
  EXPECT_EQ(capturedOutput(),
            "\nStart running [" + kName + "]...\n\nStart testing [suite-10]...\n");
  EXPECT_EQ(watcher.status.applicationId, "suite-10");
  EXPECT_EQ(watcher.runStamp(), stamp);
  EXPECT_EQ(watcher.runState(), RunState::Started);
  EXPECT_NE(dynamic_cast<const KVTLog*>(watcher.logTracker()), nullptr);
  EXPECT_FALSE(fs::exists(dir.file("status.csv")));
  watcher.stop();
}

TEST(ProgramWatcher, StartTestReportsAMissingOrUnstartableProgram) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  fs::create_directory(dir.file("folder"));
  ProgramWatcher missing(configIn(dir, dir.file("none"), ""));
  ProgramWatcher unstartable(configIn(dir, dir.file("folder"), ""));
  ::testing::internal::CaptureStdout();
  missing.startTest("a");
  unstartable.startTest("b");
  const std::string output = capturedOutput();
  EXPECT_TRUE(matchesWhole(output,
                           "Specified test program \\[none\\] not found!\n"
                           "Start test process failed!  errorcode:[1-9]\\d*\n"))
      << output;
  EXPECT_EQ(missing.status.applicationId, "a");
  EXPECT_EQ(unstartable.logTracker(), nullptr);
}

TEST(ProgramWatcher, StopEndsTheRunningProgramWithItsProcessGroup) {
  if (!canProbeProcesses())
    GTEST_SKIP() << "process liveness is read from /proc, which a Windows process does not have";
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher =
      driverWatcher(fakeConfig(dir, "--end hang --grandchild \"" + dir.file("grandchild") + "\""));
  startCapturing(watcher);
  const std::uint32_t pid = watcher.programProcess().dwProcessId;
  const std::uint32_t grandchild = pidIn(dir.file("grandchild"));
  ASSERT_NE(grandchild, 0u);
  ASSERT_TRUE(processAlive(grandchild));

  watcher.stop();
  EXPECT_TRUE(endsWithin(pid));
  EXPECT_TRUE(endsWithin(grandchild));
  EXPECT_EQ(watcher.programProcess().hProcess, 0u);
  EXPECT_EQ(watcher.programProcess().dwProcessId, 0u);
  EXPECT_EQ(watcher.runState(), RunState::Idle);
  EXPECT_EQ(watcher.lastProgress(), "");
  watcher.stop();  // a second stop only resets the polling state
  EXPECT_EQ(watcher.runState(), RunState::Idle);
}

TEST(ProgramWatcher, StopLetsAnEndedProgramGoButKeepsItsExitCodeReadable) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher = driverWatcher(fakeConfig(dir, "--code 7"));
  startCapturing(watcher);
  ASSERT_TRUE(waitForExit(watcher.programProcess()));
  ProgramWatcherTestPeer::setPollingState(watcher, 4, "12");
  watcher.stop();
  EXPECT_EQ(watcher.programProcess().dwProcessId, 0u);
  EXPECT_EQ(watcher.unchangedPolls(), 0);
  EXPECT_EQ(watcher.lastProgress(), "");
  std::uint32_t code = 0;
  EXPECT_EQ(platform::processState(watcher.programProcess().hProcess, code),
            platform::ProcessState::Exited);
  EXPECT_EQ(code, 7u);
}

TEST(ProgramWatcher, RefusesToStartTheWatchdogItIsHanded) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  // The handed watchdog is the configured program, by another path.
  fs::copy_file(fakeProgram(), dir.file(kName));
  ProgramConfig config = fakeConfig(dir, "--end hang");
  config.applicationPath = dir.file(".") + S + kName;
  ProgramWatcher watcher(config, WatchdogPlace{dir.file(kName), dir.path()});
  watcher.testMode = false;
  ::testing::internal::CaptureStdout();
  watcher.start();
  EXPECT_EQ(capturedOutput(), "Specified program [" + kName + "] is the watchdog itself!\n");
  EXPECT_FALSE(watcher.programProcess().holdsProcess());
  EXPECT_FALSE(fs::exists(dir.file("status.csv")));
}

TEST(ProgramWatcher, ArgumentsAreSplitWithQuotesAndTheProgramRunsInItsOwnDirectory) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  const std::string record = dir.file("record.txt");
  ProgramWatcher watcher = driverWatcher(
      fakeConfig(dir, "--record \"" + record + "\" \"two words\" plain \"say \\\"hi\\\"\" \"\""));
  startCapturing(watcher);
  ASSERT_TRUE(waitForExit(watcher.programProcess()));
  std::vector<std::string> lines;
  readTextLines(record, lines);
  const std::string ownDirectory =
      watcher.programDirectory().substr(0, watcher.programDirectory().size() - 1);
  EXPECT_EQ(lines, (std::vector<std::string>{fs::canonical(ownDirectory).string(), "--record",
                                             record, "two words", "plain", "say \"hi\"", ""}));
}

TEST(ProgramWatcher, BareProgramNameRunsInTheWatchdogsCurrentDirectory) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  fs::copy_file(fakeProgram(), dir.file(kName));
  CurrentDirectory inDir(dir.path());
  ProgramConfig config = fakeConfig(dir, "--record record.txt");
  config.applicationPath = kName;
  ProgramWatcher watcher = driverWatcher(config);
  const std::string output = startCapturing(watcher);
  EXPECT_EQ(output, "\nStart running [" + kName + "]...\n");
  ASSERT_TRUE(waitForExit(watcher.programProcess()));
  EXPECT_EQ(watcher.programDirectory(), "");
  std::vector<std::string> lines;
  readTextLines(dir.file("record.txt"), lines);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], fs::canonical(dir.path()).string());
}

TEST(ProgramWatcher, MoveAndDestructionReleaseHandlesButEndNoProcess) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher ended = driverWatcher(fakeConfig(dir, ""));
  ProgramWatcher running = driverWatcher(fakeConfig(dir, "--lines 10 --interval-ms 50"));
  ::testing::internal::CaptureStdout();
  ended.start();
  running.start();
  capturedOutput();
  ASSERT_TRUE(waitForExit(ended.programProcess()));
  ended.stop();
  const platform::Handle endedHandle = ended.programProcess().hProcess;
  const std::uint32_t runningPid = running.programProcess().dwProcessId;

  ended = ProgramWatcher(fakeConfig(dir, ""));  // as the watchdog's loop assigns
  EXPECT_EQ(ended.logTracker(), nullptr);
  EXPECT_EQ(ended.programProcess().hProcess, 0u);
  EXPECT_TRUE(handleClosed(endedHandle));

  ProgramWatcher moved(std::move(running));
  EXPECT_EQ(running.programProcess().hProcess, 0u);
  const platform::Handle runningHandle = moved.programProcess().hProcess;
  { ProgramWatcher gone(std::move(moved)); }
  EXPECT_TRUE(handleClosed(runningHandle));
  if (canProbeProcesses()) {
    EXPECT_TRUE(processAlive(runningPid));
  }
}

TEST(ProgramWatcher, ManyCrashRestartsLeaveNoHandleOrDescriptorBehind) {
  test::TempDir dir;
  // Descriptors are counted on POSIX only: under Wine /proc shows Wine's own.
  const bool countFds = canProbeProcesses();
  auto openFds = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  startAndEndOneProgram();
  const auto fdsBefore = countFds ? openFds() : 0;
  std::vector<platform::Handle> handles;
  {
    ProgramConfig config = fakeConfig(dir, "--code 3");
    // A poll takes 10 ms here: a slow start (under Wine, say) must not pass for a hang.
    config.timeOutMin = 60;
    ProgramWatcher watcher = driverWatcher(config);
    int restarts = 0;
    ShortSleeps sleeps(1000, [&](std::int64_t ms) {
      if (ms != 1000)
        return;
      handles.push_back(watcher.programProcess().hProcess);
      if (++restarts == 50)
        watcher.config.applicationArgument = "";
    });
    const std::string output = monitorCapturing(watcher);
    EXPECT_NE(output.find("has finished!"), std::string::npos);
    handles.push_back(watcher.programProcess().hProcess);
    EXPECT_EQ(readStatusLog(dir.file("status.csv")).size(), 51u);
  }
  ASSERT_EQ(handles.size(), 51u);
  for (platform::Handle handle : handles)
    EXPECT_TRUE(handleClosed(handle)) << handle;
  if (countFds) {
    EXPECT_EQ(openFds(), fdsBefore);
  }
}

}  // namespace
}  // namespace tavrelon
