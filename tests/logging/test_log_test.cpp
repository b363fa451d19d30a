#include "logging/test_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "logging/kvt_log.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using testing::ShortSleeps;
using testing::TempDir;
using testing::writeFile;

const std::string kSep(1, platform::separator());

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

TEST(TestLog, ConstructionWaitsFiveSecondsAndFindsNothingWithoutLogs) {
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("a.txt"), "x\n");
  writeFile(dir.file("b.CSV"), "x\n");
  writeFile(dir.file("TavrelonLog_alpha.exe_20240601093000.csv"), "x\n");
  writeFile(dir.file("TavrelonLogs" + kSep + "run.csv"), "x\n");
  for (const std::string& logDir : {std::string(), dir.file("missing"), dir.path()}) {
    TestLog tracker(logDir);
    EXPECT_EQ(tracker.logDir, logDir);
    EXPECT_EQ(tracker.latestLogPath, "");
    EXPECT_EQ(tracker.latestLogSize(), 0);
    EXPECT_EQ(tracker.latestLogTime(), 0);
    EXPECT_EQ(tracker.latestLogLine(), "");
    EXPECT_EQ(tracker.latestLogPath, "");
  }
  EXPECT_EQ(sleeps.requested(), (std::vector<std::int64_t>{5000, 5000, 5000}));
}

TEST(TestLog, FollowsTheNewestLogByCreationTimeAcrossTheTree) {
  ShortSleeps sleeps;
  TempDir dir;
  // Two logs of the same second: the first listed stays the choice.
  std::string first = dir.file("a.csv"), second = dir.file("b.csv");
  for (int attempt = 0; attempt < 5; ++attempt) {
    writeFile(first, "alpha,beta\ngamma,delta\n");
    writeFile(second, "other\n");
    if (creationTime(first) == creationTime(second))
      break;
    fs::remove(first);
    fs::remove(second);
  }
  ASSERT_EQ(creationTime(first), creationTime(second));
  TestLog early(dir.path());
  EXPECT_EQ(early.latestLogPath, first);
  const std::int64_t firstModified = modificationTime(first);

  nextSecond();
  std::string nested = dir.path() + kSep + "sub" + kSep + "run2.csv";
  writeFile(nested, "step 1\n");
  TestLog later(dir.path());
  EXPECT_EQ(later.latestLogPath, nested);

  nextSecond();
  std::string backup = nested + ".bak";
  writeFile(backup, std::string(1234, 'x'));
  // Size searches anew; time and line keep the file found at construction.
  EXPECT_EQ(early.latestLogTime(), firstModified);
  EXPECT_EQ(early.latestLogLine(), "[" + first + "] gamma delta");
  EXPECT_EQ(early.latestLogSize(), 1234);
  EXPECT_EQ(early.latestLogPath, backup);
  writeFile(backup, std::string(1300, 'x'));
  EXPECT_EQ(early.latestLogSize(), 1300);
  EXPECT_EQ(later.latestLogLine(), "[" + nested + "] step 1");
}

TEST(TestLog, ACandidateWhoseStatusFailsMakesTheLastCandidateTheChoice) {
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("c.csv"), "older or same\n");
  writeFile(dir.file("a.csv"), "newest\n");
  std::error_code error;
  fs::create_symlink(dir.file("gone"), dir.file("b.csv"), error);
  if (error)
    GTEST_SKIP() << "no symbolic links here: " << error.message();
  // a.csv is the newest, but b.csv's status cannot be read.
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogPath, dir.file("c.csv"));
  EXPECT_EQ(tracker.latestLogLine(), "[" + dir.file("c.csv") + "] older or same");

  fs::remove(dir.file("a.csv"));
  fs::remove(dir.file("c.csv"));
  TestLog broken(dir.path());
  EXPECT_EQ(broken.latestLogPath, dir.file("b.csv"));
  EXPECT_EQ(broken.latestLogTime(), 0);
  EXPECT_EQ(broken.latestLogSize(), 0);
  EXPECT_EQ(broken.latestLogLine(), "");
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

  // A last line longer than the first look at the tail is read whole.
  fs::permissions(log, fs::perms::owner_write, fs::perm_options::add);
  std::string longLine(200 * 1024, 'y');
  writeFile(log, "first\n" + longLine + "\r\n");
  EXPECT_EQ(tracker.latestLogLine(), "[" + log + "] " + longLine);

  // Without any line feed only the final mebibyte is taken.
  std::string endless(3 * 512 * 1024, 'w');
  endless.replace(endless.size() - 5, 5, "tail!");
  writeFile(log, endless);
  std::string line = tracker.latestLogLine();
  EXPECT_EQ(line.size(), ("[" + log + "] ").size() + 1024 * 1024);
  EXPECT_EQ(line.substr(line.size() - 5), "tail!");

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

TEST(KVTLog, AnswersThroughATestLogPointerLikeATestLog) {
  ShortSleeps sleeps;
  TempDir dir;
  writeFile(dir.file("run.csv"), "one\ntwo,three\n");
  for (const std::string& logDir : {std::string(), dir.file("missing"), dir.path()}) {
    std::unique_ptr<TestLog> plain = std::make_unique<TestLog>(logDir);
    std::unique_ptr<TestLog> testMode = std::make_unique<KVTLog>(logDir);
    EXPECT_EQ(testMode->latestLogPath, plain->latestLogPath);
    EXPECT_EQ(testMode->latestLogLine(), plain->latestLogLine());
    EXPECT_EQ(testMode->latestLogSize(), plain->latestLogSize());
    EXPECT_EQ(testMode->latestLogTime(), plain->latestLogTime());
    EXPECT_EQ(testMode->latestLogPath, plain->latestLogPath);
  }
  KVTLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogLine(), "[" + dir.file("run.csv") + "] two three");
  EXPECT_EQ(sleeps.count(5000), 7);
}

TEST(ListFilesRecursive, AppendsEveryFileDepthFirstInNameOrder) {
  TempDir dir;
  writeFile(dir.file("b.txt"), "");
  writeFile(dir.path() + kSep + "a" + kSep + "z.csv", "");
  writeFile(dir.path() + kSep + "a" + kSep + "deep" + kSep + "y", "");
  writeFile(dir.file("c.csv"), "");
  std::vector<std::string> list{"kept"};
  listFilesRecursive(dir.path(), list);
  std::string a = dir.path() + kSep + "a" + kSep;
  EXPECT_EQ(list, (std::vector<std::string>{"kept", a + "deep" + kSep + "y", a + "z.csv",
                                            dir.file("b.txt"), dir.file("c.csv")}));
  listFilesRecursive(dir.file("missing"), list);
  EXPECT_EQ(list.size(), 5u);
}

}  // namespace
}  // namespace tavrelon
