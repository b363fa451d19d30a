// Supervision goes on, and no status row is lost, whatever happens to the
// program's log directory and to the status log's place on disk.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logging/status_log.h"
#include "logging/status_updates.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace test;

// A watcher as the driver prepares it on fake_program, which writes `lines`
// lines 20 ms apart to `writeTo` (dir/logs unless named), crashes once (flag
// file dir/crashed) and finishes on the next run; the tracker looks in dir/logs.
ProgramWatcher crashOnceWatcher(const TempDir& dir, const std::string& statusLog, int lines,
                                const std::string& writeTo = "") {
  const std::string arguments = "--lines " + std::to_string(lines) +
                                " --interval-ms 20 --crash-once \"" + dir.file("crashed") + "\"";
  if (writeTo.empty())
    return fakeWatcher(dir, statusLog, arguments);
  return driverWatcher(settingsFor(fakeProgram(), "--log-dir \"" + writeTo + "\" " + arguments,
                                   dir.file("logs"), statusLog));
}

// A supervision while a thread does to the program's log folder what a test says.
class LogDirectoryFaults : public ::testing::Test {
 protected:
  // Supervises `watcher` while `vandal` runs beside it; `done` is set once the
  // supervision is over. Returns the console output; every run it announced
  // must have its row, left in `rows`.
  std::string superviseWhile(ProgramWatcher& watcher, const std::function<void()>& vandal) {
    std::thread thread(vandal);
    const std::string output = superviseCapturing(watcher);
    done = true;
    thread.join();
    rows = readStatusLog(statusLog);
    EXPECT_TRUE(everyRunRecorded(output, rows));
    return output;
  }

  ShortSleeps sleeps{kSupervisionSleepDivisor};
  TempDir dir;
  const std::string logDir = dir.file("logs");
  const std::string statusLog = dir.file("TavrelonLog_fake.csv");
  std::atomic<bool> done{false};
  std::vector<StatusRecord> rows;
};

TEST_F(LogDirectoryFaults, DeletedAndRecreatedWhileTheProgramRunsSupervisionGoesOn) {
  // About two seconds of logging per run, crash once, then finish.
  ProgramWatcher watcher = crashOnceWatcher(dir, statusLog, 100);
  const std::string output = superviseWhile(watcher, [&] {
    // While the first run logs: the directory goes, comes back empty, goes again.
    for (int round = 0; round < 3 && !done; ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::error_code ignored;
      fs::remove_all(logDir, ignored);
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      fs::create_directory(logDir, ignored);
    }
  });
  EXPECT_EQ(occurrences(output, "has crashed!"), 1) << output;
  EXPECT_EQ(occurrences(output, "has finished!"), 1) << output;
}

TEST_F(LogDirectoryFaults, UnreadableWhileTheProgramRunsCountsAsNoProgress) {
  TAVRELON_SKIP_WHERE_PERMISSION_BITS_DO_NOT_BIND();
  // Two seconds of logging a run: the unreadable stretch, not the crash, ends the first.
  ProgramWatcher watcher = crashOnceWatcher(dir, statusLog, 100);
  const std::string output = superviseWhile(watcher, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::error_code ignored;
    fs::permissions(logDir, fs::perms::none, ignored);
    // Long enough for a time-out: a minute is six polls of 50 ms here.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    fs::permissions(logDir, fs::perms::owner_all, ignored);
  });
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0].runningStatus, "timeout") << output;
  EXPECT_GE(occurrences(output, "has timed out! Restarting now..."), 1) << output;
  EXPECT_EQ(occurrences(output, "has finished!"), 1) << output;
}

TEST_F(LogDirectoryFaults, ASubFolderThatCannotBeListedKeepsItsLogFollowedAndIsSaidOnce) {
  TAVRELON_SKIP_WHERE_PERMISSION_BITS_DO_NOT_BIND();
  const std::string sub = logDir + S + "sub";
  // An older log beside the folder: the tracker must not fall back on it.
  writeFile(logDir + S + "older.csv", "older\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ProgramWatcher watcher = crashOnceWatcher(dir, statusLog, 100, sub);
  const std::string output = superviseWhile(watcher, [&] {
    // The folder can be entered but not listed for longer than a time-out.
    waitUntil([&] { return platform::exists(sub + S + "fake.csv"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::error_code ignored;
    fs::permissions(sub, fs::perms::owner_exec, ignored);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    fs::permissions(sub, fs::perms::owner_all, ignored);
  });
  EXPECT_EQ(occurrences(output, "timed out"), 0) << output;
  EXPECT_EQ(occurrences(output, "  " + logDir + S + "older.csv  "), 0) << output;
  EXPECT_EQ(occurrences(output, "Warning: Failed to list log folder [" + sub +
                                    "]!  Its logs from the last good scan are kept.\n"),
            1)
      << output;
  EXPECT_EQ(occurrences(output, "has crashed!"), 1) << output;
  EXPECT_EQ(occurrences(output, "has finished!"), 1) << output;
}

// Supervision of a program that crashes once and then finishes, its status
// log at `statusLog`; returns the console output.
std::string superviseCrashOnce(const TempDir& dir, const std::string& statusLog) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  ProgramWatcher watcher = crashOnceWatcher(dir, statusLog, 3);
  return superviseCapturing(watcher);
}

// The run crashed once and finished on the restart; `writeErrors` of its four
// status sequences (start, crash, start, finish) said they could not write,
// each line ended by `codePart` (the system's code, or nothing for a refusal
// by the watchdog's own rule).
void expectCrashRestartAndFinish(const std::string& output, const std::string& statusLog,
                                 int writeErrors, const std::string& codePart) {
  EXPECT_EQ(occurrences(output, "Start running [fake_program"), 2) << output;
  EXPECT_EQ(occurrences(output, "has crashed!  Restarting now..."), 1) << output;
  EXPECT_EQ(occurrences(output, "has finished!"), 1) << output;
  EXPECT_EQ(occurrences(output, "Error: Failed to write status log [" + statusLog + "]!"),
            writeErrors)
      << output;
  EXPECT_EQ(occurrences(output,
                        "Error: Failed to write status log [" + statusLog + "]!" + codePart + "\n"),
            writeErrors)
      << output;
}

TEST(StatusLogPlaceFaults, MissingDirectoryWritesNothingAndSupervisionGoesOn) {
  TempDir dir;
  const std::string missing = dir.file("no-such-dir");
  const std::string statusLog = missing + S + "s.csv";
  const std::string output = superviseCrashOnce(dir, statusLog);
  // No such folder: ENOENT, ERROR_PATH_NOT_FOUND.
  expectCrashRestartAndFinish(output, statusLog, 4,
                              platform::isWindows() ? "  errorcode:3" : "  errorcode:2");
  EXPECT_FALSE(platform::exists(missing));
}

TEST(StatusLogPlaceFaults, PathThatIsADirectoryStaysUntouched) {
  TempDir dir;
  const std::string statusDir = dir.file("status");
  writeFile(statusDir + S + "inside.txt", "kept");
  const std::string output = superviseCrashOnce(dir, statusDir);
  expectCrashRestartAndFinish(output, statusDir, 4, "");
  EXPECT_TRUE(fs::is_directory(statusDir));
  EXPECT_EQ(readFile(statusDir + S + "inside.txt"), "kept");
  // Nothing but what the test and the program made: no temporary left over.
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"crashed", "logs", "status"}));
}

TEST(StatusLogPlaceFaults, ALockNameTakenOrClosedToUsIsSaidAndNeverWaitedFor) {
  // A directory, a FIFO or a link has the lock file's name; or the lock file
  // is one we may not open.
  std::vector<std::string> kinds{"directory"};
  if (!platform::isWindows())
    kinds.insert(kinds.end(), {"fifo", "link", "closed"});
  for (const std::string& kind : kinds) {
    SCOPED_TRACE(kind);
    TempDir dir;
    const std::string statusLog = dir.file("TavrelonLog_fake.csv");
    const std::string lock = statusLogLockPath(statusLog);
    if (kind == "fifo")
      ASSERT_TRUE(makeFifo(lock));
    else if (kind == "link")
      fs::create_symlink(dir.file("elsewhere"), lock);
    else if (kind == "closed" && !runningAsRoot()) {
      writeFile(lock, "");
      fs::permissions(lock, fs::perms::none);
    } else
      fs::create_directory(lock);
    const auto begin = std::chrono::steady_clock::now();
    const std::string output = superviseCrashOnce(dir, statusLog);
    // Four sequences, each refused at once rather than after the lock's wait.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
    const bool closed = kind == "closed" && !runningAsRoot();
    // A lock file we may not open is the system's refusal (EACCES); the other
    // names are refused by the watchdog's own rule.
    expectCrashRestartAndFinish(output, statusLog, 4, closed ? "  errorcode:13" : "");
    const std::string said = closed ? "open" : "use";
    EXPECT_EQ(occurrences(output, "Error: Cannot " + said + " the lock file [" + lock +
                                      "] of status log [" + statusLog + "]!"),
              4)
        << output;
    EXPECT_FALSE(fs::exists(statusLog));
    EXPECT_FALSE(fs::exists(dir.file("elsewhere")));
  }
}

TEST(StatusLogPlaceFaults, DirectoryWithoutWritePermissionKeepsTheOldLog) {
  TAVRELON_SKIP_WHERE_PERMISSION_BITS_DO_NOT_BIND();
  TempDir dir;
  const std::string statusDir = dir.file("status");
  const std::string statusLog = statusDir + S + "s.csv";
  const std::string before = std::string(kStatusLogHeader) + "\r\nold,finished,a,b,N/A\r\n";
  writeFile(statusLog, before);
  fs::permissions(statusDir, fs::perms::owner_read | fs::perms::owner_exec);
  const std::string output = superviseCrashOnce(dir, statusLog);
  fs::permissions(statusDir, fs::perms::owner_all);
  expectCrashRestartAndFinish(output, statusLog, 4, "  errorcode:" + std::to_string(EACCES));
  EXPECT_EQ(readFile(statusLog), before);
}

TEST(StatusLogPlaceFaults, RowsOfAProgramEndedWhileTheFolderWasUnwritableReachItDuringTheNext) {
  TAVRELON_SKIP_WHERE_PERMISSION_BITS_DO_NOT_BIND();
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  TempDir dir;
  const std::string statusDir = dir.file("status");
  fs::create_directory(statusDir);
  const std::string statusLog = statusDir + S + "s.csv";
  // The status logs of the run, as the driver keeps them across its programs.
  const auto statusLogs = std::make_shared<StatusLogQueues>();
  std::vector<ProgramWatcher> programs;
  for (const char* logs : {"logs1", "logs2"}) {
    programs.push_back(driverWatcher(settingsFor(builtProgram("fake_program"),
                                                 "--log-dir \"" + dir.file(logs) + "\" --lines 3",
                                                 dir.file(logs), statusLog)));
    programs.back().shareStatusLogs(statusLogs);
  }
  // Program 1's row is written at its start; the folder is then unwritable
  // until program 2 runs.
  const std::string first = superviseCapturing(programs[0], [&] {
    fs::permissions(statusDir, fs::perms::owner_read | fs::perms::owner_exec);
  });
  const std::string second =
      superviseCapturing(programs[1], [&] { fs::permissions(statusDir, fs::perms::owner_all); });
  EXPECT_EQ(occurrences(first, "Error: Failed to write status log ["), 1) << first;
  const std::vector<StatusRecord> rows = readStatusLog(statusLog);
  ASSERT_EQ(rows.size(), 2u) << readFile(statusLog) << first << second;
  EXPECT_EQ(rows[0].applicationId, programs[0].status.applicationId);
  EXPECT_EQ(rows[0].runningStatus, "finished");
  EXPECT_EQ(rows[1].applicationId, programs[1].status.applicationId);
  EXPECT_EQ(rows[1].runningStatus, "finished");
}

TEST(StatusLogPlaceFaults, FifoAtThePathIsNeverOpenedForWritingAndNeverBlocks) {
  if (platform::isWindows())
    GTEST_SKIP() << "no FIFOs in a Windows file system";
  TempDir dir;
  const std::string fifo = dir.file("TavrelonLog_fifo.csv");
  ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
  const std::string output = superviseCrashOnce(dir, fifo);
  expectCrashRestartAndFinish(output, fifo, 4, "");
  EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
}

TEST(StatusLogPlaceFaults, UnreadableLogIsNotRewrittenAndGetsEveryRowOnceReadable) {
  TAVRELON_SKIP_WHERE_PERMISSION_BITS_DO_NOT_BIND();
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  TempDir dir;
  const std::string statusLog = dir.file("TavrelonLog_fake.csv");
  const std::string before = std::string(kStatusLogHeader) + "\r\nold,finished,a,b,N/A\r\n";
  writeFile(statusLog, before);
  ProgramWatcher watcher = crashOnceWatcher(dir, statusLog, 30);
  fs::permissions(statusLog, fs::perms::none);
  // Readable again while the first run logs: the next poll writes what is pending.
  const std::string output = superviseCapturing(watcher, [&] {
    EXPECT_EQ(readFile(statusLog), "");
    fs::permissions(statusLog, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(readFile(statusLog), before);
  });
  expectCrashRestartAndFinish(output, statusLog, 1, "  errorcode:" + std::to_string(EACCES));
  const std::vector<StatusRecord> rows = readStatusLog(statusLog);
  ASSERT_EQ(rows.size(), 3u) << readFile(statusLog);
  EXPECT_EQ(rows[0].applicationId, "old");
  EXPECT_EQ(rows[1].runningStatus, "crashed");
  EXPECT_EQ(rows[2].runningStatus, "finished");
}

TEST(StatusLogPlaceFaults, LockHeldElsewhereDelaysTheRowsButLosesNone) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  TempDir dir;
  const std::string statusLog = dir.file("TavrelonLog_fake.csv");
  const std::string progress = dir.file("holder.txt");
  // Another process holds the log's lock for a second: longer than
  // the shortened 10 s wait of the first start, shorter than the first run.
  platform::ProcessLaunch holder;
  holder.path = builtProgram("status_writer");
  holder.arguments = "\"" + statusLog + "\" \"" + progress + "\" --hold-lock 1000";
  holder.newConsole = false;
  holder.showWindow = false;
  platform::ProcessRecord record;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::startProcess(holder, record, error)) << error;
  for (int i = 0; i < 1000 && readFile(progress).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(readFile(progress), "locked\n");

  ProgramWatcher watcher = crashOnceWatcher(dir, statusLog, 100);
  // The pending "running" row reaches the log at a poll once the lock is free,
  // before the run ends.
  std::atomic<bool> done{false};
  std::atomic<bool> sawRunningRow{false};
  std::thread observer([&] {
    while (!done && !sawRunningRow) {
      const std::vector<StatusRecord> rows = readStatusLog(statusLog);
      sawRunningRow = rows.size() == 1 && rows[0].runningStatus == "running";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const std::string output = superviseCapturing(watcher);
  done = true;
  observer.join();
  platform::closeHandle(record.hProcess);
  expectCrashRestartAndFinish(output, statusLog, 1, "");
  EXPECT_TRUE(sawRunningRow);
  EXPECT_TRUE(everyRunRecorded(output, readStatusLog(statusLog)));
}

TEST(StatusLogPlaceFaults, DirectoryThatComesBackGetsTheRowsOfLaterRuns) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  TempDir dir;
  const std::string statusDir = dir.file("status");
  const std::string statusLog = statusDir + S + "s.csv";
  ProgramWatcher watcher = crashOnceWatcher(dir, statusLog, 30);
  // The first run starts without the directory; it appears while that run logs.
  const std::string output = superviseCapturing(watcher, [&] { fs::create_directory(statusDir); });
  expectCrashRestartAndFinish(output, statusLog, 1,
                              platform::isWindows() ? "  errorcode:3" : "  errorcode:2");
  // The first run's "running" row could not be written; its close adds the
  // row, start time included, once the directory is there.
  const std::vector<StatusRecord> rows = readStatusLog(statusLog);
  EXPECT_TRUE(everyRunRecorded(output, rows));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].runningStatus, "crashed");
}

}  // namespace
}  // namespace tavrelon
