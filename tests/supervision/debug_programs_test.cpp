// The DebugCrash and DebugTimeout programs: how they are launched, when they
// are ended, and what a missing or unstartable one does to the run.
#include <gtest/gtest.h>

#include "config/text_lines.h"
#include "logging/status_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

using namespace test;

const std::string kName = fs::path(fakeProgram()).filename().string();

// Settings with the debug programs switched on; DebugCrash defaults to the
// fake program beside the test executable, which exits at once without arguments.
ProgramConfig debugConfig(const test::TempDir& dir, const std::string& arguments) {
  ProgramConfig config = fakeConfig(dir, arguments);
  config.debugOrNot = true;
  config.debugCrashScript = S + kName;
  return config;
}

ProgramWatcher debugWatcher(ProgramConfig config) {
  ProgramWatcher watcher(std::move(config));
  watcher.testMode = false;
  return watcher;
}

// A shell script in `dir` that appends "pid argc cwd" to `record` and then
// sleeps, named as a debug script is named: relative to the executable's own
// directory. Empty where there is no POSIX shell or no relative way there.
std::string sleepingScript(const test::TempDir& dir, const std::string& name,
                           const std::string& record) {
  if (platform::separator() != '/' || !fs::exists("/bin/sh"))
    return "";
  const std::string path = dir.file(name);
  test::writeFile(path, "#!/bin/sh\necho \"$$ $# $(pwd -P)\" >> '" + record + "'\nexec sleep 30\n");
  fs::permissions(path, fs::perms::owner_exec, fs::perm_options::add);
  const fs::path relative = fs::relative(fs::canonical(path), platform::executableDirectory());
  return relative.empty() ? "" : S + relative.string();
}

// The "pid argc cwd" lines a sleeping script recorded.
std::vector<std::string> recorded(const std::string& record) {
  std::vector<std::string> lines;
  readTextLines(record, lines);
  return lines;
}

std::uint32_t pidOf(const std::string& line) {
  return static_cast<std::uint32_t>(std::stoul(line.substr(0, line.find(' '))));
}

TEST(DebugCrash, IsLaunchedBesideTheProgramWithoutAnyMessage) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramWatcher watcher = debugWatcher(debugConfig(dir, "--end hang"));
  EXPECT_EQ(startCapturing(watcher), "\nStart running [" + kName + "]...\n");
  EXPECT_NE(watcher.debugCrashProcess().dwProcessId, 0u);
  std::uint32_t code = 99;
  EXPECT_EQ(waitForEnd(watcher.debugCrashProcess(), code), platform::ProcessState::Exited);
  EXPECT_EQ(code, 0u);
  EXPECT_NE(watcher.logTracker(), nullptr);
  watcher.stop();
}

TEST(DebugCrash, StartsInTheOwnDirectoryWithNoArgumentsAndStopEndsIt) {
  test::TempDir dir;
  const std::string script = sleepingScript(dir, "crash.sh", dir.file("crash.rec"));
  if (script.empty())
    GTEST_SKIP() << "needs a POSIX shell reachable from the build folder";
  test::ShortSleeps sleeps(100);
  ProgramConfig config = debugConfig(dir, "--end hang");
  config.debugCrashScript = script;
  ProgramWatcher watcher = debugWatcher(config);
  startCapturing(watcher);
  const std::uint32_t programPid = watcher.programProcess().dwProcessId;
  ASSERT_TRUE(waitUntil([&] { return recorded(dir.file("crash.rec")).size() == 1; }));
  const std::string line = recorded(dir.file("crash.rec"))[0];
  EXPECT_EQ(line.substr(line.find(' ')),
            " 0 " + fs::canonical(platform::executableDirectory()).string());

  watcher.stop();
  EXPECT_TRUE(endsWithin(programPid));
  EXPECT_TRUE(endsWithin(pidOf(line)));
  EXPECT_EQ(watcher.debugCrashProcess().dwProcessId, 0u);
}

TEST(DebugCrash, IsLookedForInTheWatchdogsDirectoryItIsHanded) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  WatchdogPlace place{dir.file("tavrelon"), dir.path()};
  ProgramWatcher absent(debugConfig(dir, "--end hang"), place);
  absent.testMode = false;
  ::testing::internal::CaptureStdout();
  absent.start();
  // The program beside this test is not the one beside the handed watchdog.
  EXPECT_EQ(capturedOutput(),
            "\nStart running [" + kName + "]...\nDebugCrash program not found!\n");
  EXPECT_EQ(absent.debugCrashProcess().dwProcessId, 0u);

  fs::copy_file(fakeProgram(), dir.file(kName));
  ProgramWatcher present(debugConfig(dir, "--end hang"), place);
  present.testMode = false;
  ::testing::internal::CaptureStdout();
  present.start();
  EXPECT_EQ(capturedOutput(), "\nStart running [" + kName + "]...\n");
  EXPECT_NE(present.debugCrashProcess().dwProcessId, 0u);
  present.stop();
}

TEST(DebugCrash, UnstartableOneIsReportedAndTheProgramRunsOn) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramConfig config = debugConfig(dir, "--end hang");
  // The own directory exists but is no program.
  config.debugCrashScript = "";
  ProgramWatcher watcher = debugWatcher(config);
  const std::string output = startCapturing(watcher);
  EXPECT_TRUE(matchesWhole(output, "\nStart running \\[" + literal(kName) +
                                       "\\]\\.\\.\\.\nStart DebugCrash process failed!  "
                                       "errorcode:[1-9]\\d*\n"))
      << output;
  std::uint32_t code = 0;
  EXPECT_EQ(platform::processState(watcher.programProcess().hProcess, code),
            platform::ProcessState::Running);
  EXPECT_NE(watcher.logTracker(), nullptr);
  watcher.stop();
}

TEST(DebugCrash, MissingOneStopsTheRunWhichThenDoesNotCountAsFinished) {
  test::TempDir dir;
  test::ShortSleeps sleeps(100);
  ProgramConfig config = debugConfig(dir, "--end hang");
  config.debugCrashScript = S + "no-such-debug-program";
  ProgramWatcher watcher = debugWatcher(config);
  ::testing::internal::CaptureStdout();
  watcher.start();
  const std::uint32_t programPid = watcher.programProcess().dwProcessId;
  watcher.monitor();
  watcher.startTest("suite");
  const std::string output = capturedOutput();

  EXPECT_EQ(output, "\nStart running [" + kName + "]...\nDebugCrash program not found!\n" +
                        "\nStart testing [suite]...\nDebugCrash program not found!\n");
  if (canProbeProcesses()) {
    EXPECT_TRUE(endsWithin(programPid));
  }
  // The "running" row stays; no tracker was made.
  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].runningStatus, "running");
  EXPECT_EQ(watcher.logTracker(), nullptr);
  EXPECT_EQ(sleeps.count(5000), 0);
}

TEST(DebugTimeout, TimeOutLaunchesItEndsDebugCrashAndTheFinalStopEndsEverything) {
  test::TempDir dir;
  const std::string crash = sleepingScript(dir, "crash.sh", dir.file("crash.rec"));
  const std::string timeout = sleepingScript(dir, "timeout.sh", dir.file("timeout.rec"));
  if (crash.empty() || timeout.empty())
    GTEST_SKIP() << "needs a POSIX shell";
  ProgramConfig config =
      debugConfig(dir, logArguments(dir, "--lines 2 --hang-once \"" + dir.file("marker") + "\""));
  config.debugCrashScript = crash;
  config.debugTimeoutScript = timeout;
  ProgramWatcher watcher = debugWatcher(config);
  // At the restart pause: the first DebugCrash must be gone, DebugTimeout up.
  bool crashEndedAtTimeOut = false;
  bool timeoutRunningAtTimeOut = false;
  ShortSleeps sleeps(100, [&](std::int64_t ms) {
    if (ms != 1000)
      return;
    waitUntil([&] { return !recorded(dir.file("timeout.rec")).empty(); });
    crashEndedAtTimeOut = endsWithin(pidOf(recorded(dir.file("crash.rec")).at(0)));
    timeoutRunningAtTimeOut = processAlive(pidOf(recorded(dir.file("timeout.rec")).at(0)));
  });
  const HungRun hung = monitorHungRun(watcher, dir, 2);
  ASSERT_TRUE(hung.logged);
  const std::string& output = hung.output;

  EXPECT_NE(output.find("has timed out! Restarting now..."), std::string::npos) << output;
  EXPECT_NE(output.find("has finished!"), std::string::npos) << output;
  EXPECT_TRUE(crashEndedAtTimeOut);
  EXPECT_TRUE(timeoutRunningAtTimeOut);
  const std::vector<std::string> crashRuns = recorded(dir.file("crash.rec"));
  const std::vector<std::string> timeoutRuns = recorded(dir.file("timeout.rec"));
  ASSERT_EQ(crashRuns.size(), 2u);  // one beside each start
  ASSERT_EQ(timeoutRuns.size(), 1u);
  // DebugTimeout inherits the watchdog's current directory; no arguments.
  const std::string line = timeoutRuns[0];
  EXPECT_EQ(line.substr(line.find(' ')), " 0 " + fs::canonical(fs::current_path()).string());
  EXPECT_TRUE(endsWithin(hung.firstPid));
  for (const std::string& run : {crashRuns[0], crashRuns[1], line}) {
    EXPECT_TRUE(endsWithin(pidOf(run))) << run;
  }
}

TEST(DebugTimeout, MissingOrUnstartableOneStopsTheRunWithoutARestart) {
  for (const std::string& script : {S + "no-such-debug-program", std::string()}) {
    test::TempDir dir;
    test::ShortSleeps sleeps(100);
    ProgramConfig config = debugConfig(dir, logArguments(dir, "--lines 2 --end hang"));
    config.debugTimeoutScript = script;
    ProgramWatcher watcher = debugWatcher(config);
    const HungRun hung = monitorHungRun(watcher, dir, 2);
    ASSERT_TRUE(hung.logged);
    const std::string& output = hung.output;

    const std::string tail = script.empty() ? "Start DebugTimeout process failed!\n" : "";
    const std::string id = watcher.status.applicationId;
    EXPECT_TRUE(matchesWhole(output, "[\\s\\S]*\n" +
                                         literal("[" + id + "] has timed out! Restarting now...") +
                                         "\n\n" + literal(tail)))
        << "script [" << script << "]: " << output;
    EXPECT_EQ(sleeps.count(1000), 0);
    const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].runningStatus, "timeout");
    if (canProbeProcesses()) {
      EXPECT_TRUE(endsWithin(hung.firstPid));
    }
  }
}

}  // namespace
}  // namespace tavrelon
