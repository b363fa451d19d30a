#include "logging/log_tracker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "logging/kvt_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using test::ShortSleeps;
using test::TempDir;
using test::writeFile;

using test::S;

// Creation times have whole-second resolution: files created after this pause
// are newer than those created before it.
void nextSecond() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
}

std::int64_t creationTime(const std::string& path) {
  platform::FileStatus status;
  return platform::fileStatus(path, status) ? status.creationTime : -1;
}

std::int64_t modificationTime(const std::string& path) {
  platform::FileStatus status;
  return platform::fileStatus(path, status) ? status.modificationTime : -1;
}

// Writes `firstBytes` to `first`, then `secondBytes` to `second`, again (up to
// five times) until both have the same creation time; whether they have.
bool writeInOneClockTick(const std::string& first, const std::string& firstBytes,
                         const std::string& second, const std::string& secondBytes) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    writeFile(first, firstBytes);
    writeFile(second, secondBytes);
    if (creationTime(first) == creationTime(second))
      return true;
    fs::remove(first);
    fs::remove(second);
  }
  return false;
}

// Each case once for TestLog and once for KVTLog, the test-mode tracker, which
// answers as TestLog does through its own overrides.
class BothTrackers : public ::testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<TestLog> tracker(const std::string& logDir) const {
    if (GetParam())
      return std::make_unique<KVTLog>(logDir);
    return std::make_unique<TestLog>(logDir);
  }
};

TEST_P(BothTrackers, WaitFiveSecondsAtConstructionAndFindNothingWithoutLogs) {
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("a.txt"), "x\n");
  writeFile(dir.file("b.CSV"), "x\n");
  writeFile(dir.file("TavrelonLog_alpha.exe_20240601093000.csv"), "x\n");
  writeFile(dir.file("TavrelonQueue.csv"), "x\n");  // the queue's journal
  writeFile(dir.file("TavrelonLogs" + S + "run.csv"), "x\n");
  for (const std::string& logDir : {std::string(), dir.file("missing"), dir.path()}) {
    std::unique_ptr<TestLog> found = tracker(logDir);
    EXPECT_EQ(found->logDir, logDir);
    EXPECT_EQ(found->latestLogPath, "");
    EXPECT_EQ(found->latestLogSize(), 0);
    EXPECT_EQ(found->latestLogTime(), 0);
    EXPECT_EQ(found->latestLogLine(), "");
    EXPECT_EQ(found->latestLogPath, "");
  }
  EXPECT_EQ(sleeps.requested(), (std::vector<std::int64_t>{5000, 5000, 5000}));
}

TEST_P(BothTrackers, FollowTheNewestLogByCreationTimeAcrossTheTree) {
  ShortSleeps sleeps;
  TempDir dir;
  // Two logs of the same second: the first listed stays the choice.
  std::string first = dir.file("a.csv"), second = dir.file("b.csv");
  ASSERT_TRUE(writeInOneClockTick(first, "alpha,beta\ngamma,delta\n", second, "other\n"));
  std::unique_ptr<TestLog> early = tracker(dir.path());
  EXPECT_EQ(early->latestLogPath, first);
  const std::int64_t firstModified = modificationTime(first);

  nextSecond();
  std::string nested = dir.path() + S + "sub" + S + "run2.csv";
  writeFile(nested, "step 1\n");
  std::unique_ptr<TestLog> later = tracker(dir.path());
  EXPECT_EQ(later->latestLogPath, nested);

  nextSecond();
  std::string backup = nested + ".bak";
  writeFile(backup, std::string(1234, 'x'));
  // Size searches anew; time and line keep the file found at construction.
  EXPECT_EQ(early->latestLogTime(), firstModified);
  EXPECT_EQ(early->latestLogLine(), "[" + first + "] gamma delta");
  EXPECT_EQ(early->latestLogSize(), 1234);
  EXPECT_EQ(early->latestLogPath, backup);
  writeFile(backup, std::string(1300, 'x'));
  EXPECT_EQ(early->latestLogSize(), 1300);
  EXPECT_EQ(later->latestLogLine(), "[" + nested + "] step 1");
  EXPECT_EQ(sleeps.count(5000), 2);
}

INSTANTIATE_TEST_SUITE_P(TestLogAndKVTLog, BothTrackers, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "KVTLog" : "TestLog"; });

TEST(TestLog, ALogWhoseStatusCannotBeReadIsSkippedSaidOnceAndNeverReplacesTheChoice) {
  if (platform::isWindows())
    GTEST_SKIP() << "Windows takes the times from the listing: no status query can fail";
  if (test::runningAsRoot())
    GTEST_SKIP() << "root's status queries pass a folder without search permission";
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("c.csv"), "older\n");
  nextSecond();
  writeFile(dir.file("b") + S + "locked.csv", "unreadable status\n");
  writeFile(dir.file("a.csv"), "newest\n");
  // b can be listed but not searched: b/locked.csv's status cannot be read.
  fs::permissions(dir.file("b"), fs::perms::owner_read);
  const std::string locked = dir.file("b") + S + "locked.csv";
  const std::vector<std::string> said{"Warning: Failed to read the status of log [" + locked +
                                      "]!  It is skipped."};
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogPath, dir.file("a.csv"));
  EXPECT_EQ(tracker.latestLogLine(), "[" + dir.file("a.csv") + "] newest");
  EXPECT_EQ(tracker.takeMessages(), said);

  // Listed last and alone besides an older log, it is still no choice; said once.
  fs::remove(dir.file("a.csv"));
  EXPECT_EQ(tracker.latestLogSize(), 6);
  EXPECT_EQ(tracker.latestLogPath, dir.file("c.csv"));
  fs::remove(dir.file("c.csv"));
  EXPECT_EQ(tracker.latestLogSize(), 0);
  EXPECT_EQ(tracker.latestLogPath, dir.file("c.csv"));
  EXPECT_TRUE(tracker.takeMessages().empty());
  TestLog broken(dir.path());
  EXPECT_EQ(broken.latestLogPath, "");
  EXPECT_EQ(broken.latestLogTime(), 0);
  EXPECT_EQ(broken.latestLogLine(), "");
  EXPECT_EQ(broken.takeMessages(), said);
  fs::permissions(dir.file("b"), fs::perms::owner_all);

  // Ten are named a run; one line stands for the rest.
  for (int i = 10; i < 22; ++i)
    writeFile(dir.file("b") + S + std::to_string(i) + ".csv", "\n");
  fs::permissions(dir.file("b"), fs::perms::owner_read);
  const std::vector<std::string> lines = TestLog(dir.path()).takeMessages();
  fs::permissions(dir.file("b"), fs::perms::owner_all);
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[9], "Warning: Failed to read the status of log [" + dir.file("b") + S +
                          "19.csv]!  It is skipped.");
  EXPECT_EQ(lines[10], "Warning: More log folders or logs cannot be read; they are not named.");
}

TEST(TestLog, ASubFolderThatCannotBeListedKeepsItsLogsFromTheLastGoodScanAndIsSaidOnce) {
  TAVRELON_SKIP_WHERE_PERMISSION_BITS_DO_NOT_BIND();
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("old.csv"), "older\n");
  nextSecond();
  const std::string sub = dir.file("sub");
  const std::string run = sub + S + "deep" + S + "run.csv";
  writeFile(run, "step 1\n");
  TestLog tracker(dir.path());
  ASSERT_EQ(tracker.latestLogPath, run);

  // sub can be entered but no longer listed: its log stays the choice and is
  // still followed, the rest of the tree is still scanned.
  fs::permissions(sub, fs::perms::owner_exec);
  const std::vector<std::string> said{"Warning: Failed to list log folder [" + sub +
                                      "]!  Its logs from the last good scan are kept."};
  EXPECT_EQ(tracker.latestLogSize(), 7);
  writeFile(run, "step 1\nstep 2\n");
  EXPECT_EQ(tracker.latestLogSize(), 14);
  EXPECT_EQ(tracker.latestLogPath, run);
  EXPECT_EQ(tracker.takeMessages(), said);
  nextSecond();
  writeFile(dir.file("new") + S + "next.csv", "newer\n");
  EXPECT_EQ(tracker.latestLogSize(), 6);
  EXPECT_EQ(tracker.latestLogPath, dir.file("new") + S + "next.csv");
  EXPECT_TRUE(tracker.takeMessages().empty());

  // Unlistable from the first scan on, it counts as absent.
  fs::remove_all(dir.file("new"));
  TestLog late(dir.path());
  EXPECT_EQ(late.latestLogPath, dir.file("old.csv"));
  EXPECT_EQ(late.takeMessages(), said);
  fs::permissions(sub, fs::perms::owner_all);
  EXPECT_EQ(late.latestLogSize(), 14);
  EXPECT_EQ(late.latestLogPath, run);
}

TEST(TestLog, ATieInTheSameClockTickGoesToTheLaterModifiedThenToTheFirstListed) {
  ShortSleeps sleeps;
  TempDir dir;
  const std::string summary = dir.file("a_summary.csv"), trace = dir.file("b_trace.csv");
  ASSERT_TRUE(writeInOneClockTick(summary, "summary\n", trace, "trace 1\n"));
  // Same modification second too: the first listed.
  fs::last_write_time(trace, fs::last_write_time(summary));
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogPath, summary);
  // The trace grows later: it is the log being written.
  fs::last_write_time(trace, fs::last_write_time(summary) + std::chrono::seconds(3));
  EXPECT_EQ(tracker.latestLogSize(), 8);
  EXPECT_EQ(tracker.latestLogPath, trace);
  fs::last_write_time(summary, fs::last_write_time(trace) + std::chrono::seconds(3));
  EXPECT_EQ(tracker.latestLogSize(), 8);
  EXPECT_EQ(tracker.latestLogPath, summary);
}

TEST(TestLog, TakesOnlyRegularFilesAndNeverOpensFifosDevicesOrDanglingLinks) {
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("d.csv"), "plain,file\n");
  nextSecond();
  // Each of these is newer than d.csv and listed before it.
  std::error_code error;
  fs::create_symlink(dir.file("gone"), dir.file("c.csv"), error);
  if (error)
    GTEST_SKIP() << "no symbolic links here: " << error.message();
  const bool fifo = test::makeFifo(dir.file("a.csv"));
  if (!platform::isWindows())
    fs::create_symlink("/dev/null", dir.file("b.csv"));
  fs::create_symlink(dir.file("d.csv"), dir.file("e.csv"));
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogPath, dir.file("d.csv"));
  EXPECT_EQ(tracker.latestLogLine(), "[" + dir.file("d.csv") + "] plain file");
  EXPECT_EQ(tracker.latestLogSize(), 11);
  // A link to a regular file counts as that file.
  fs::remove(dir.file("d.csv"));
  writeFile(dir.file("elsewhere"), "linked\n");
  fs::remove(dir.file("e.csv"));
  fs::create_symlink(dir.file("elsewhere"), dir.file("e.csv"));
  EXPECT_EQ(tracker.latestLogSize(), 7);
  EXPECT_EQ(tracker.latestLogPath, dir.file("e.csv"));
  if (!fifo)
    return;
  // Opened directly, a FIFO without a writer fails at once instead of blocking.
  std::int64_t size = 0;
  std::string bytes;
  EXPECT_FALSE(platform::openedFileSize(dir.file("a.csv"), size));
  EXPECT_FALSE(platform::readFileRange(dir.file("a.csv"), 0, 10, bytes));
  EXPECT_FALSE(platform::readFile(dir.file("a.csv"), bytes));
}

TEST(TestLog, FollowsLinksToFoldersButWalksEachFolderOnceASearch) {
  ShortSleeps sleeps;
  TempDir dir, outside;
  writeFile(dir.file("sub") + S + "run.csv", "in sub\n");
  writeFile(outside.file("far.csv"), "far away\n");
  std::error_code error;
  // Two links to the folder itself and one back up from below: without the
  // identity check a search would go round for ever.
  fs::create_directory_symlink(dir.path(), dir.file("loop1"), error);
  if (error)
    GTEST_SKIP() << "no links to folders here: " << error.message();
  fs::create_directory_symlink(dir.path(), dir.file("loop2"));
  fs::create_directory_symlink(dir.path(), dir.file("sub") + S + "up");
  fs::create_directory_symlink(outside.path(), dir.file("far"));
  std::vector<std::string> list;
  listFilesRecursive(dir.path(), list);
  EXPECT_EQ(list, (std::vector<std::string>{dir.file("far") + S + "far.csv",
                                            dir.file("sub") + S + "run.csv"}));
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogPath, dir.file("far") + S + "far.csv");
  EXPECT_EQ(tracker.latestLogSize(), 9);
}

TEST(TestLog, AppliesTheNameRuleBelowTheLogFolderOnly) {
  ShortSleeps sleeps;
  TempDir dir;
  const std::string logDir = dir.file("TavrelonLogs") + S + "alpha";
  writeFile(logDir + S + "run.csv", "found\n");
  writeFile(logDir + S + "TavrelonLog_old" + S + "hidden.csv", "hidden\n");
  writeFile(logDir + S + "x.CSV", "no\n");
  TestLog tracker(logDir);
  EXPECT_EQ(tracker.latestLogPath, logDir + S + "run.csv");
  // A folder named with ".csv" makes no file below it a log.
  writeFile(dir.file("logs.csv") + S + "notes.txt", "not a log\n");
  TestLog none(dir.file("logs.csv"));
  EXPECT_EQ(none.latestLogPath, "");
}

TEST(TestLog, NeverTakesTheWatchersOwnStatusLog) {
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("run.csv"), "busy\n");
  nextSecond();
  writeFile(dir.file("status.csv"),
            "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log\n");
  // Named another way, it is still the same file.
  const std::string statusLog = dir.path() + S + "sub" + S + ".." + S + "STATUS.csv";
  fs::create_directory(dir.file("sub"));
  TestLog tracker(dir.path(), platform::isWindows() ? statusLog : dir.file("status.csv"));
  EXPECT_EQ(tracker.latestLogPath, dir.file("run.csv"));
  TestLog plain(dir.path());
  EXPECT_EQ(plain.latestLogPath, dir.file("status.csv"));
  // Another file of the same name is a program's log like any other.
  writeFile(dir.file("sub") + S + "status.csv", "own log\n");
  KVTLog testMode(dir.path(), dir.file("status.csv"));
  EXPECT_EQ(testMode.latestLogPath, dir.file("sub") + S + "status.csv");
  // A status log path that links into the log folder leaves out the link's target.
  fs::remove(dir.file("sub") + S + "status.csv");
  TempDir elsewhere;
  std::error_code error;
  fs::create_symlink(dir.file("status.csv"), elsewhere.file("rows.csv"), error);
  if (error)
    GTEST_SKIP() << "no symbolic links here: " << error.message();
  TestLog linked(dir.path(), elsewhere.file("rows.csv"));
  EXPECT_EQ(linked.latestLogPath, dir.file("run.csv"));
}

TEST(TestLog, NeverTakesAnythingUnderTheEvidenceFolderHoweverReached) {
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("run.csv"), "busy\n");
  nextSecond();
  const std::string evidence = dir.file("evidence");
  writeFile(evidence + S + "prog.csv_1" + S + "summary.csv.txt", "Application_ID: x\n");
  TestLog plain(dir.path());
  EXPECT_EQ(plain.latestLogPath, evidence + S + "prog.csv_1" + S + "summary.csv.txt");
  TestLog tracker(dir.path(), "", evidence);
  EXPECT_EQ(tracker.latestLogPath, dir.file("run.csv"));
  // Named another way, it is still the same folder.
  fs::create_directory(dir.file("sub"));
  TestLog sameFolder(dir.path(), "", dir.file("sub") + S + ".." + S + "evidence");
  EXPECT_EQ(sameFolder.latestLogPath, dir.file("run.csv"));
  // A link to a folder in the log folder leaves out the folder under its own name too.
  fs::rename(evidence, dir.file("kept"));
  std::error_code error;
  fs::create_directory_symlink(dir.file("kept"), evidence, error);
  if (error)
    GTEST_SKIP() << "no symbolic links here: " << error.message();
  TestLog linked(dir.path(), "", evidence);
  EXPECT_EQ(linked.latestLogPath, dir.file("run.csv"));
}

TEST(TestLog, ReadsTheLastLineOfReadOnlyAndGrowingLogs) {
  ShortSleeps sleeps;
  TempDir dir;
  std::string log = dir.file("run.csv");
  writeFile(log, "a,b\nabc\nd");
  fs::permissions(log, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogLine(), "[" + log + "] d");
  EXPECT_EQ(tracker.latestLogSize(), 9);

  // A line of 4096 bytes is kept whole; of a longer one, its final 4096 bytes.
  fs::permissions(log, fs::perms::owner_write, fs::perm_options::add);
  const std::string fullLine = "h" + std::string(4094, 'y') + "t";
  writeFile(log, "first\n" + fullLine + "\n\n");
  EXPECT_EQ(tracker.latestLogLine(), "[" + log + "] " + fullLine);
  writeFile(log, "first\n" + std::string(200 * 1024, 'x') + fullLine + "\r\n");
  EXPECT_EQ(tracker.latestLogLine(), "[" + log + "] " + fullLine);
  // So too for a log without any line feed.
  writeFile(log, std::string(3 * 512 * 1024, 'w') + fullLine);
  EXPECT_EQ(tracker.latestLogLine(), "[" + log + "] " + fullLine);
  // A cut through a UTF-8 character drops its rest, and the line stays UTF-8.
  std::string wide;
  for (int i = 0; i < 1366; ++i)
    wide += "\xE6\x97\xA5";
  writeFile(log, "first\n" + wide);
  EXPECT_EQ(tracker.latestLogLine(), "[" + log + "] " + wide.substr(3));

  fs::remove(log);
  EXPECT_EQ(tracker.latestLogLine(), "");
  EXPECT_EQ(tracker.latestLogSize(), 0);
  EXPECT_EQ(tracker.latestLogPath, log);
}

TEST(TestLog, TracksALogOfFiveGibibytes) {
  ShortSleeps sleeps;
  TempDir dir;
  std::string log = dir.file("huge.csv");
  writeFile(log, "first line\n");
  const std::uintmax_t hole = 5ull << 30;
  std::error_code error;
  fs::resize_file(log, hole, error);
  if (error)
    GTEST_SKIP() << "no room for a sparse file: " << error.message();
  {
    std::ofstream out(log, std::ios::binary | std::ios::app);
    out << "step,41\nstep,42\n";
  }
  TestLog tracker(dir.path());
  ASSERT_EQ(tracker.latestLogPath, log);
  EXPECT_EQ(tracker.latestLogSize(), static_cast<std::int64_t>(hole + 16));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tracker.latestLogLine(), "[" + log + "] step 42");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_GT(tracker.latestLogTime(), 0);
}

TEST(ListFilesRecursive, AppendsEveryFileDepthFirstInNameOrder) {
  TempDir dir;
  writeFile(dir.file("b.txt"), "");
  writeFile(dir.path() + S + "a" + S + "z.csv", "");
  writeFile(dir.path() + S + "a" + S + "deep" + S + "y", "");
  writeFile(dir.file("c.csv"), "");
  std::vector<std::string> list{"kept"};
  listFilesRecursive(dir.path(), list);
  std::string a = dir.path() + S + "a" + S;
  EXPECT_EQ(list, (std::vector<std::string>{"kept", a + "deep" + S + "y", a + "z.csv",
                                            dir.file("b.txt"), dir.file("c.csv")}));
  listFilesRecursive(dir.file("missing"), list);
  EXPECT_EQ(list.size(), 5u);
}

}  // namespace
}  // namespace tavrelon
