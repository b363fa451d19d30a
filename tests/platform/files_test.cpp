// The file and path services on real files in temporary directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/test_seams.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<platform::DirectoryEntry> entries;
  platform::listDirectory(directory, entries);
  std::vector<std::string> names;
  for (const auto& entry : entries)
    names.push_back(entry.name);
  return names;
}

TEST(ListDirectory, AppendsEntriesSortedByNameWithoutDotEntries) {
  testing::TempDir dir;
  testing::writeFile(dir.file("b.csv"), "b");
  testing::writeFile(dir.file("a.csv"), "a");
  testing::writeFile(dir.file("C.txt"), "c");
  fs::create_directory(dir.file("sub"));

  std::vector<platform::DirectoryEntry> entries{{"zz-already-there", false}};
  ASSERT_TRUE(platform::listDirectory(dir.path(), entries));
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].name, "zz-already-there");
  std::vector<std::string> names;
  for (std::size_t i = 1; i < entries.size(); ++i)
    names.push_back(entries[i].name);
  if (!platform::isWindows()) {
    EXPECT_EQ(names, (std::vector<std::string>{"C.txt", "a.csv", "b.csv", "sub"}));
  } else {
    // Windows lists in the file system's own order (NTFS: case-insensitive).
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"C.txt", "a.csv", "b.csv", "sub"}));
  }
  for (std::size_t i = 1; i < entries.size(); ++i)
    EXPECT_EQ(entries[i].isDirectory, entries[i].name == "sub") << entries[i].name;

  EXPECT_FALSE(platform::listDirectory(dir.file("missing"), entries));
  EXPECT_EQ(entries.size(), 5u);
}

TEST(Exists, SeesFilesAndDirectoriesButNotMissingPaths) {
  testing::TempDir dir;
  testing::writeFile(dir.file("f"), "");
  EXPECT_TRUE(platform::exists(dir.file("f")));
  EXPECT_TRUE(platform::exists(dir.path()));
  EXPECT_FALSE(platform::exists(dir.file("missing")));
}

TEST(FileStatus, CreationTimeStaysWhenTheFileGrowsLater) {
  // Under Wine the "creation" time is the inode-change time and moves with writes.
  if (platform::runningUnderWineForTesting())
    GTEST_SKIP() << "creation time is not fixed under Wine";
  testing::TempDir dir;
  std::string path = dir.file("log.csv");
  testing::writeFile(path, "first\n");
  platform::FileStatus created;
  ASSERT_TRUE(platform::fileStatus(path, created));
  EXPECT_EQ(created.size, 6);

  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  std::ofstream(path, std::ios::binary | std::ios::app) << "second\n";
  platform::FileStatus grown;
  ASSERT_TRUE(platform::fileStatus(path, grown));
  EXPECT_EQ(grown.creationTime, created.creationTime);
  EXPECT_GT(grown.modificationTime, created.creationTime);
  EXPECT_EQ(grown.size, 13);

  platform::FileStatus missing;
  EXPECT_FALSE(platform::fileStatus(dir.file("missing"), missing));
}

TEST(FileStatus, SizesAndOffsetsBeyondFourGibibytesAreExact) {
  testing::TempDir dir;
  std::string path = dir.file("big.csv");
  const std::int64_t size = 5LL << 30;
  testing::writeFile(path, "");
  fs::resize_file(path, static_cast<std::uintmax_t>(size));  // sparse: no disk used

  platform::FileStatus status;
  ASSERT_TRUE(platform::fileStatus(path, status));
  EXPECT_EQ(status.size, size);
  std::int64_t opened = 0;
  ASSERT_TRUE(platform::openedFileSize(path, opened));
  EXPECT_EQ(opened, size);
  std::string bytes = "stale";
  ASSERT_TRUE(platform::readFileRange(path, size - 4, 100, bytes));
  EXPECT_EQ(bytes, std::string(4, '\0'));
}

TEST(ReadFile, ReadsBytesAndRangesAsStoredAndFailsOnMissingFiles) {
  testing::TempDir dir;
  std::string path = dir.file("data.csv");
  testing::writeFile(path, "a,b\r\nc,d\r\n");
  std::string content;
  ASSERT_TRUE(platform::readFile(path, content));
  EXPECT_EQ(content, "a,b\r\nc,d\r\n");

  std::string bytes;
  ASSERT_TRUE(platform::readFileRange(path, 5, 3, bytes));
  EXPECT_EQ(bytes, "c,d");
  ASSERT_TRUE(platform::readFileRange(path, 8, 100, bytes));
  EXPECT_EQ(bytes, "\r\n");
  ASSERT_TRUE(platform::readFileRange(path, 50, 10, bytes));
  EXPECT_EQ(bytes, "");
  EXPECT_FALSE(platform::readFileRange(path, -1, 10, bytes));

  std::int64_t size = -1;
  ASSERT_TRUE(platform::openedFileSize(path, size));
  EXPECT_EQ(size, 10);
  EXPECT_FALSE(platform::readFile(dir.file("missing"), content));
  EXPECT_FALSE(platform::openedFileSize(dir.file("missing"), size));
  EXPECT_FALSE(platform::readFileRange(dir.file("missing"), 0, 1, bytes));
}

TEST(ReplaceFileContent, ReplacesOrCreatesTheWholeFile) {
  testing::TempDir dir;
  std::string path = dir.file("status.csv");
  ASSERT_TRUE(platform::replaceFileContent(path, "one\r\n"));
  EXPECT_EQ(testing::readFile(path), "one\r\n");
  ASSERT_TRUE(platform::replaceFileContent(path, "x"));
  EXPECT_EQ(testing::readFile(path), "x");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(ReplaceFileContent, FailingOnADirectoryLeavesItAndNoTemporary) {
  testing::TempDir dir;
  fs::create_directory(dir.file("status.csv"));
  EXPECT_FALSE(platform::replaceFileContent(dir.file("status.csv"), "rows"));
  EXPECT_TRUE(fs::is_directory(dir.file("status.csv")));
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(ReplaceFileContent, FailingInAReadOnlyDirectoryKeepsTheOldFile) {
  testing::TempDir dir;
  std::string path = dir.file("status.csv");
  testing::writeFile(path, "old");
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  // Root ignores directory permissions, so there is nothing to observe then.
  if (std::ofstream(dir.file("probe")))
    GTEST_SKIP() << "permissions are not enforced (root)";

  EXPECT_FALSE(platform::replaceFileContent(path, "new"));
  EXPECT_EQ(testing::readFile(path), "old");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(PathWithANulByte, NamesNoFileNotEvenTheOneBeforeTheNul) {
  testing::TempDir dir;
  const std::string real = dir.file("status.csv");
  testing::writeFile(real, "old rows");
  // Each path up to its NUL is an existing file or directory.
  const std::string path = real + std::string(1, '\0') + ".junk";
  const std::string directory = dir.path() + std::string(1, '\0');

  EXPECT_FALSE(platform::exists(path));
  EXPECT_FALSE(platform::exists(directory));
  platform::FileStatus status;
  EXPECT_FALSE(platform::fileStatus(path, status));
  std::string content = "untouched";
  EXPECT_FALSE(platform::readFile(path, content));
  std::int64_t size = -1;
  EXPECT_FALSE(platform::openedFileSize(path, size));
  std::string bytes;
  EXPECT_FALSE(platform::readFileRange(path, 0, 4, bytes));
  EXPECT_TRUE(bytes.empty());
  std::vector<platform::DirectoryEntry> entries;
  EXPECT_FALSE(platform::listDirectory(directory, entries));
  EXPECT_TRUE(entries.empty());

  EXPECT_FALSE(platform::replaceFileContent(path, "new rows"));
  EXPECT_EQ(testing::readFile(real), "old rows");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(ExecutablePath, NamesTheRunningTestProgram) {
  fs::path self = platform::executablePath();
  EXPECT_TRUE(self.is_absolute());
  EXPECT_EQ(self.stem().string(), "tavrelon_tests");
  EXPECT_TRUE(fs::exists(self));
}

// Both paths name one existing file, by whatever spelling or link.
bool sameFile(const std::string& first, const std::string& second) {
  platform::FileIdentity a, b;
  return platform::fileIdentity(first, a) && platform::fileIdentity(second, b) && a == b;
}

TEST(FileIdentity, SeesThroughAnotherSpellingAndALinkButTellsCopiesApart) {
  testing::TempDir dir;
  const std::string S(1, platform::separator());
  const std::string file = dir.file("a.exe");
  testing::writeFile(file, "x");
  fs::copy_file(file, dir.file("copy.exe"));
  EXPECT_TRUE(sameFile(file, dir.path() + S + "." + S + "a.exe"));
  EXPECT_FALSE(sameFile(file, dir.file("copy.exe")));
  EXPECT_FALSE(sameFile(file, dir.file("missing.exe")));
  EXPECT_FALSE(sameFile(dir.file("missing.exe"), dir.file("missing.exe")));
  if (!platform::isWindows()) {  // links need rights that Windows accounts lack
    fs::create_symlink(file, dir.file("link"));
    EXPECT_TRUE(sameFile(dir.file("link"), file));
  }
}

TEST(StopRequest, EndsAWaitUnderwayAtOnceAndEveryLaterOneUntilCleared) {
  EXPECT_TRUE(platform::pauseUnlessStopped(1));
  const auto begin = std::chrono::steady_clock::now();
  std::thread requester([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    platform::requestStop();
  });
  EXPECT_FALSE(platform::pauseUnlessStopped(60000));
  requester.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_TRUE(platform::stopRequested());
  EXPECT_FALSE(platform::pauseUnlessStopped(60000));
  {
    // The test seam sees the waits too; a request still ends them.
    testing::ShortSleeps sleeps;
    EXPECT_FALSE(platform::pauseUnlessStopped(60000));
    platform::clearStopRequestForTesting();
    EXPECT_TRUE(platform::pauseUnlessStopped(5000));
    EXPECT_EQ(sleeps.count(5000), 1);
  }
  EXPECT_FALSE(platform::stopRequested());
  EXPECT_TRUE(platform::pauseUnlessStopped(1));
}

}  // namespace
}  // namespace tavrelon
