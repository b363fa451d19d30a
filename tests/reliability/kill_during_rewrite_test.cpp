// A watchdog killed while it rewrites a status log must leave a log that
// parses and holds every row a completed rewrite wrote, and no pile of
// temporary files beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "logging/status_log.h"
#include "logging/status_updates.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/test_seams.h"
#include "reliability/writer_rows.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

const std::string kLockName = "TavrelonLog_writer.csv.TavrelonLog-lock";

// The number on the last complete line of the writer's progress file; 0 when
// it has none. A line cut short by the kill does not count.
std::int64_t lastCompletedRewrite(const std::string& progressFile) {
  const std::string text = test::readFile(progressFile);
  const std::string::size_type end = text.rfind('\n');
  if (end == std::string::npos)
    return 0;
  const std::string::size_type begin = text.rfind('\n', end - 1);
  const std::string line = text.substr(begin == std::string::npos ? 0 : begin + 1,
                                       end - (begin == std::string::npos ? 0 : begin + 1));
  return std::stoll(line);
}

std::vector<std::string> entriesOf(const std::string& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  return names;
}

// Waits until the writer has completed a rewrite past `completed`; false when
// it ends first or after ten seconds.
bool waitForARewrite(const std::string& progressFile, std::int64_t completed,
                     const platform::ProcessRecord& writer) {
  for (int i = 0; i < 2000; ++i) {
    if (lastCompletedRewrite(progressFile) > completed)
      return true;
    std::uint32_t code = 0;
    if (platform::processState(writer.hProcess, code) != platform::ProcessState::Running)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(StatusLogUnderKill, EveryKillLeavesTheRowsOfEveryCompletedRewrite) {
  if (platform::runningUnderWineForTesting())
    GTEST_SKIP() << "Wine's ReplaceFileW moves the old log aside first: a kill inside leaves none";
  TempDir logDir;
  TempDir scratch;
  const std::string statusLog = logDir.file("TavrelonLog_writer.csv");
  const std::string progress = scratch.file("progress.txt");
  const std::string expectedFile = scratch.file("expected.csv");

  platform::ProcessLaunch launch;
  launch.path = test::builtProgram("status_writer");
  launch.arguments = "\"" + statusLog + "\" \"" + progress + "\"";
  launch.newConsole = false;
  launch.showWindow = false;

  std::mt19937 random(7);
  // A rewrite takes the lock and looks for stale temporaries too: allow it the time.
  std::uniform_int_distribution<int> delayMs(0, 40);
  int killsThatLeftATemporary = 0;
  std::int64_t shown = 0;
  constexpr int kRounds = 300;
  for (int round = 0; round < kRounds; ++round) {
    platform::ProcessRecord writer;
    std::uint32_t error = 0;
    ASSERT_TRUE(platform::startProcess(launch, writer, error)) << "error " << error;
    // Every other kill comes only once the writer has completed a rewrite, so
    // the log moves on however slow a start is (a loaded machine, sanitizers);
    // the others may come at any moment from the start on.
    if (round % 2 == 1) {
      ASSERT_TRUE(waitForARewrite(progress, lastCompletedRewrite(progress), writer))
          << "round " << round;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    platform::terminateProcess(writer);
    std::uint32_t code = 0;
    ASSERT_NE(test::waitForEnd(writer, code, std::chrono::seconds(10)),
              platform::ProcessState::Running)
        << "round " << round;
    platform::closeHandle(writer.hProcess);

    const std::int64_t completed = lastCompletedRewrite(progress);
    const std::vector<StatusRecord> rows = readStatusLog(statusLog);
    const std::int64_t before = shown;
    shown = test::writerRewritesShownBy(rows);
    ASSERT_GE(shown, 0) << "round " << round << ": rows no rewrite wrote";
    // Rewrites that completed just before a kill may be missing from the
    // progress file, never from the log; and no kill undoes an earlier rewrite.
    ASSERT_GE(shown, completed) << "round " << round << ": rows of completed rewrites lost";
    ASSERT_GE(shown, before) << "round " << round << ": a kill took rows back";
    if (shown > 0) {
      writeStatusLog(test::writerRowsAfter(shown), expectedFile);
      ASSERT_EQ(test::readFile(statusLog), test::readFile(expectedFile))
          << "round " << round << ": the log is not the bytes of a completed rewrite";
    }

    const std::vector<std::string> entries = entriesOf(logDir.path());
    std::string listing;
    for (const std::string& name : entries)
      listing += " " + name;
    ASSERT_LE(entries.size(), shown > 0 ? 3u : 2u)
        << "round " << round << ": temporaries pile up:" << listing;
    for (const std::string& name : entries) {
      if (name == "TavrelonLog_writer.csv" || name == kLockName)
        continue;
      // What a kill in mid-write leaves: one temporary that no log tracker
      // takes for a program's log, removed by the next rewrite under the lock.
      EXPECT_NE(name.find("TavrelonLog"), std::string::npos) << name;
      ++killsThatLeftATemporary;
    }
  }
  // The writer got on between the kills.
  EXPECT_GE(shown, kRounds / 2);
  RecordProperty("rewrites", static_cast<int>(shown));
  RecordProperty("killsThatLeftATemporary", killsThatLeftATemporary);

  // The next rewrite (the writer's next step) leaves the log alone in its
  // directory: a killed holder's lock file goes with the rewrite's own lock.
  StatusLogUpdates updates;
  const std::int64_t next = shown + 1;
  if (next % 2 == 1)
    updates.addRow(test::writerRow((next + 1) / 2, false));
  else
    updates.closeRow(test::writerRow(next / 2, true), false);
  ASSERT_TRUE(updates.apply(statusLog, false));
  EXPECT_EQ(entriesOf(logDir.path()), std::vector<std::string>{"TavrelonLog_writer.csv"});
  EXPECT_EQ(test::writerRewritesShownBy(readStatusLog(statusLog)), next);
}

}  // namespace
}  // namespace tavrelon

namespace tavrelon {
namespace {

TEST(StatusLogLock, MadeUnderUmask077ItTakesTheLogsPermissionBitsAndGoesWithItsHolder) {
  if (platform::isWindows())
    GTEST_SKIP() << "a umask and permission bits are POSIX matters";
  TempDir dir;
  const std::string statusLog = dir.file("TavrelonLog_shared.csv");
  const std::string progress = dir.file("progress");
  test::writeFile(statusLog, std::string(kStatusLogHeader) + "\r\n");
  const fs::perms shared = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::group_write | fs::perms::others_read |
                           fs::perms::others_write;
  fs::permissions(statusLog, shared);
  // Another process under a umask that would shut every other user out.
  const std::string command = "sh -c 'umask 077; exec \"" + test::builtProgram("status_writer") +
                              "\" \"" + statusLog + "\" \"" + progress + "\" --hold-lock 1500' &";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(test::waitUntil([&] { return test::readFile(progress) == "locked\n"; }));
  const std::string lock = statusLogLockPath(statusLog);
  EXPECT_EQ(fs::status(lock).permissions(), shared);
  // Its holder ended: the lock file is gone, and the folder holds the log alone.
  EXPECT_TRUE(test::waitUntil([&] { return !fs::exists(lock); }, std::chrono::seconds(10)));
  std::vector<std::string> left = entriesOf(dir.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"TavrelonLog_shared.csv", "progress"}));
}

TEST(StatusLogLock, TwoWritersOnOneLogLoseNoRow) {
  TempDir dir;
  const std::string statusLog = dir.file("TavrelonLog_shared.csv");
  constexpr int kRuns = 40;
  std::vector<platform::ProcessRecord> writers(2);
  for (std::size_t i = 0; i < writers.size(); ++i) {
    platform::ProcessLaunch launch;
    launch.path = test::builtProgram("status_writer");
    launch.arguments = "\"" + statusLog + "\" \"" + dir.file("progress" + std::to_string(i)) +
                       "\" w" + std::to_string(i) + " " + std::to_string(kRuns);
    launch.newConsole = false;
    launch.showWindow = false;
    std::uint32_t error = 0;
    ASSERT_TRUE(platform::startProcess(launch, writers[i], error)) << "error " << error;
  }
  for (platform::ProcessRecord& writer : writers) {
    std::uint32_t code = 99;
    for (int i = 0; i < 6000 && platform::processState(writer.hProcess, code) ==
                                    platform::ProcessState::Running;
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(platform::processState(writer.hProcess, code), platform::ProcessState::Exited);
    EXPECT_EQ(code, 0u);
    platform::closeHandle(writer.hProcess);
  }
  const std::vector<StatusRecord> rows = readStatusLog(statusLog);
  EXPECT_EQ(rows.size(), 2u * kRuns) << test::readFile(statusLog);
  for (const StatusRecord& row : rows)
    EXPECT_EQ(row.runningStatus, "finished") << row.applicationId;
}

}  // namespace
}  // namespace tavrelon
