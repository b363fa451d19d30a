// File services of the platform layer where the Windows backend has most to
// get right: 64-bit sizes and offsets, files another process is writing,
// listings, and replacing a file as a whole. Portable: the same checks run
// against the POSIX backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "logging/test_log.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;

const std::string S(1, platform::separator());

TEST(FileServices, SizesAndOffsetsBeyondFourGibibytes) {
  testing::TempDir dir;
  const std::string path = dir.file("big.csv");
  testing::writeFile(path, "head");
  // Grown without writing: the file system keeps the new part as a hole.
  const std::int64_t size = (std::int64_t{1} << 32) + 4;
  std::error_code error;
  fs::resize_file(path, static_cast<std::uintmax_t>(size), error);
  if (error)
    GTEST_SKIP() << "no room for a file of 4 GiB here: " << error.message();

  platform::FileStatus status;
  ASSERT_TRUE(platform::fileStatus(path, status));
  EXPECT_EQ(status.size, size);
  std::int64_t opened = 0;
  ASSERT_TRUE(platform::openedFileSize(path, opened));
  EXPECT_EQ(opened, size);

  // An offset cut to 32 bits would read "head" from the start instead.
  std::string bytes;
  ASSERT_TRUE(platform::readFileRange(path, std::int64_t{1} << 32, 8, bytes));
  EXPECT_EQ(bytes, std::string(4, '\0'));
  ASSERT_TRUE(platform::readFileRange(path, 1, 3, bytes));
  EXPECT_EQ(bytes, "ead");
  fs::remove(path, error);
}

TEST(FileServices, ReadsAFileThatAnotherHandleHoldsOpenForWriting) {
  testing::TempDir dir;
  const std::string path = dir.file("log.csv");
  // As a supervised program holds its log: open for writing the whole time.
  std::ofstream writer(path, std::ios::binary);
  writer << "a,b\n" << std::flush;

  std::int64_t size = 0;
  ASSERT_TRUE(platform::openedFileSize(path, size));
  EXPECT_EQ(size, 4);
  writer << "c,d\n" << std::flush;
  ASSERT_TRUE(platform::openedFileSize(path, size));
  EXPECT_EQ(size, 8);

  std::string content;
  ASSERT_TRUE(platform::readFile(path, content));
  EXPECT_EQ(content, "a,b\nc,d\n");
  ASSERT_TRUE(platform::readFileRange(path, 5, 100, content));
  EXPECT_EQ(content, ",d\n");
  platform::FileStatus status;
  ASSERT_TRUE(platform::fileStatus(path, status));
  EXPECT_EQ(status.size, 8);
}

TEST(FileServices, ReadingFailsForMissingFilesAndDirectoriesAndStopsAtTheEnd) {
  testing::TempDir dir;
  const std::string path = dir.file("short.txt");
  testing::writeFile(path, "abc");
  std::string bytes = "stale";
  EXPECT_TRUE(platform::readFileRange(path, 10, 4, bytes));
  EXPECT_EQ(bytes, "");
  EXPECT_FALSE(platform::readFileRange(path, -1, 4, bytes));

  std::int64_t size = -1;
  EXPECT_FALSE(platform::openedFileSize(dir.file("missing.txt"), size));
  EXPECT_FALSE(platform::readFile(dir.file("missing.txt"), bytes));
  EXPECT_FALSE(platform::readFile(dir.path(), bytes));
  platform::FileStatus status;
  EXPECT_FALSE(platform::fileStatus(dir.file("missing.txt"), status));
}

TEST(FileServices, ExistsForFilesAndDirectoriesOnly) {
  testing::TempDir dir;
  testing::writeFile(dir.file("file.txt"), "");
  EXPECT_TRUE(platform::exists(dir.file("file.txt")));
  EXPECT_TRUE(platform::exists(dir.path()));
  EXPECT_FALSE(platform::exists(dir.file("missing.txt")));
  EXPECT_FALSE(platform::exists(dir.file("missing") + S + "file.txt"));
  EXPECT_FALSE(platform::exists(""));
}

TEST(FileServices, FileTimesAreSecondsSince1970) {
  testing::TempDir dir;
  const std::string path = dir.file("dated.csv");
  const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  testing::writeFile(path, "x");
  platform::FileStatus status;
  ASSERT_TRUE(platform::fileStatus(path, status));
  const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
  // File systems may round times to two seconds.
  EXPECT_GE(status.modificationTime, before - 2);
  EXPECT_LE(status.modificationTime, after + 2);
  EXPECT_GE(status.creationTime, before - 2);
  EXPECT_LE(status.creationTime, after + 2);

  // 2001-09-09 01:46:40 UTC is 1000000000 s after 1970, 12644473600 s after 1601.
  const auto target = std::chrono::system_clock::from_time_t(1000000000);
  const auto shift = std::chrono::duration_cast<fs::file_time_type::duration>(
      target - std::chrono::system_clock::now());
  fs::last_write_time(path, fs::file_time_type::clock::now() + shift);
  ASSERT_TRUE(platform::fileStatus(path, status));
  EXPECT_NEAR(static_cast<double>(status.modificationTime), 1e9, 2.0);
}

TEST(FileServices, ListsNamesAndKindsWithoutDotEntries) {
  testing::TempDir dir;
  testing::writeFile(dir.file("run1.csv"), "1");
  testing::writeFile(dir.file("sub") + S + "run2.csv", "2");
  fs::create_directory(dir.file("empty"));

  for (const std::string& directory : {dir.path(), dir.path() + S}) {
    std::vector<platform::DirectoryEntry> entries{{"kept", false}};
    ASSERT_TRUE(platform::listDirectory(directory, entries)) << directory;
    ASSERT_EQ(entries.size(), 4u) << directory;
    EXPECT_EQ(entries[0].name, "kept");
    std::sort(entries.begin() + 1, entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    EXPECT_EQ(entries[1].name, "empty");
    EXPECT_TRUE(entries[1].isDirectory);
    EXPECT_EQ(entries[2].name, "run1.csv");
    EXPECT_FALSE(entries[2].isDirectory);
    EXPECT_TRUE(entries[2].isFile);
    EXPECT_EQ(entries[3].name, "sub");
    EXPECT_TRUE(entries[3].isDirectory);
    EXPECT_FALSE(entries[1].isFile || entries[3].isFile || entries[2].isLink);
    // Windows listings carry the times a status query would give, so a search
    // needs no query per file; POSIX listings carry none.
    platform::FileStatus status;
    ASSERT_TRUE(platform::fileStatus(dir.file("run1.csv"), status));
    EXPECT_EQ(entries[2].hasTimes, platform::isWindows());
    if (entries[2].hasTimes) {
      EXPECT_EQ(entries[2].creationTime, status.creationTime);
      EXPECT_EQ(entries[2].modificationTime, status.modificationTime);
    }
  }

  std::vector<platform::DirectoryEntry> entries;
  EXPECT_TRUE(platform::listDirectory(dir.file("empty"), entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(platform::listDirectory(dir.file("missing"), entries));
  EXPECT_FALSE(platform::listDirectory(dir.file("run1.csv"), entries));
  EXPECT_FALSE(platform::listDirectory("", entries));
  EXPECT_TRUE(entries.empty());
}

// Names in `directory`, sorted.
std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FileServices, ReplacesAWholeFileAndLeavesNoTemporary) {
  testing::TempDir dir;
  const std::string path = dir.file("TavrelonLog.csv");
  ASSERT_TRUE(platform::replaceFileContent(path, "first\r\n"));
  EXPECT_EQ(testing::readFile(path), "first\r\n");
  ASSERT_TRUE(platform::replaceFileContent(path, "second, longer\r\n"));
  EXPECT_EQ(testing::readFile(path), "second, longer\r\n");
  ASSERT_TRUE(platform::replaceFileContent(path, ""));
  EXPECT_EQ(testing::readFile(path), "");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"TavrelonLog.csv"});
}

TEST(FileServices, FailedReplacementKeepsWhatWasThere) {
  testing::TempDir dir;
  EXPECT_FALSE(platform::replaceFileContent(dir.file("missing") + S + "log.csv", "x"));
  // A directory in the file's place stays a directory.
  fs::create_directory(dir.file("log.csv"));
  EXPECT_FALSE(platform::replaceFileContent(dir.file("log.csv"), "x"));
  EXPECT_TRUE(fs::is_directory(dir.file("log.csv")));
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"log.csv"});
}

// A folder chain under `root` whose path is longer than 260 characters.
std::string deepFolder(const std::string& root) {
  std::string path = root;
  while (path.size() <= 300)
    path += S + std::string(40, 'd') + std::to_string(path.size());
  return path;
}

TEST(FileServices, PathsBeyond260CharactersWorkInEveryFileService) {
  testing::TempDir dir;
  const std::string deep = deepFolder(dir.path());
  const std::string log = deep + S + "run.csv";
  // Made through the platform layer: a replacement needs the folder only.
  fs::create_directories(fs::u8path(deep));
  ASSERT_TRUE(platform::replaceFileContent(log, "a,b\r\nlast,line\r\n"));
  EXPECT_TRUE(platform::exists(log));
  platform::FileStatus status;
  ASSERT_TRUE(platform::fileStatus(log, status));
  EXPECT_EQ(status.size, 16);
  std::int64_t size = 0;
  EXPECT_TRUE(platform::openedFileSize(log, size));
  EXPECT_EQ(size, 16);
  std::string bytes;
  EXPECT_TRUE(platform::readFile(log, bytes));
  EXPECT_EQ(bytes, "a,b\r\nlast,line\r\n");
  EXPECT_TRUE(platform::readFileRange(log, 5, 4, bytes));
  EXPECT_EQ(bytes, "last");
  // The tracker walks the whole tree down to it and reads its last line.
  std::vector<std::string> files;
  listFilesRecursive(dir.path(), files);
  EXPECT_EQ(files, std::vector<std::string>{log});
  testing::ShortSleeps sleeps;
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogLine(), "[" + log + "] last line");
  // Other spellings of the same file: "/" and ".." are resolved before the
  // long-path form, which takes a path literally.
  const std::string other = platform::isWindows() ? "/" : S;
  EXPECT_TRUE(platform::exists(deep + S + ".." + other + fs::path(deep).filename().string() +
                               other + "run.csv"));
  // The status log's services: a replacement of a file that is there, a lock
  // beside it, a stale temporary cleared, the file's identity.
  EXPECT_EQ(platform::replaceRegularFile(log, "a,b\r\nlast,line\r\n", "TavrelonLog"),
            platform::FileOutcome::Done);
  EXPECT_EQ(platform::readRegularFile(log, 1024, bytes), platform::FileOutcome::Done);
  EXPECT_EQ(bytes, "a,b\r\nlast,line\r\n");
  platform::FileLock lock;
  EXPECT_EQ(platform::lockFileExclusive(log + ".lock", 1000, lock), platform::FileOutcome::Done);
  const std::string stale = deep + S + "run.csv.TavrelonLog-1-1.tmp";
  ASSERT_TRUE(platform::replaceFileContent(stale, "old"));
  platform::removeStaleTemporaries(log, "TavrelonLog");
  EXPECT_FALSE(platform::exists(stale));
  // Its final path is left to a real workstation: Wine gives none beyond 260.
  platform::FileIdentity identity;
  EXPECT_TRUE(platform::fileIdentity(log, identity));
}

TEST(FileServices, NamesOutsideTheAnsiCodePageNameTheRightFile) {
  testing::TempDir dir;
  // Greek and Japanese, which the ANSI code page of a Western system lacks.
  const std::string folder = dir.file("\xCE\xB4\xCE\xBF\xCE\xBA\xE6\x97\xA5");
  const std::string log = folder + S + "\xCE\xA9\xE8\xA8\x98\xE9\x8C\xB2.csv";
  fs::create_directories(fs::u8path(folder));
  ASSERT_TRUE(platform::replaceFileContent(log, "x,1\r\n"));
  EXPECT_TRUE(fs::exists(fs::u8path(log)));
  std::vector<platform::DirectoryEntry> entries;
  ASSERT_TRUE(platform::listDirectory(folder, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "\xCE\xA9\xE8\xA8\x98\xE9\x8C\xB2.csv");
  const std::string final = platform::resolvedPath(log);
  EXPECT_EQ(final.substr(final.size() - std::min<std::size_t>(final.size(), 12)), entries[0].name);
  std::string bytes;
  EXPECT_TRUE(platform::readFile(log, bytes));
  EXPECT_EQ(bytes, "x,1\r\n");
  testing::ShortSleeps sleeps;
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogSize(), 5);
  EXPECT_EQ(tracker.latestLogPath, log);
}

TEST(FileServices, TheWatchdogDeclaresItselfLongPathAware) {
  if (!platform::isWindows())
    GTEST_SKIP() << "an application manifest is a Windows resource";
  const std::string image = testing::readFile(testing::builtProgram("tavrelon"));
  EXPECT_NE(image.find("<ws2:longPathAware>true</ws2:longPathAware>"), std::string::npos);
  EXPECT_NE(image.find("supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\""),
            std::string::npos);
}

TEST(ExecutablePath, IsTheFullPathOfTheRunningTestProgram) {
  const std::string path = platform::executablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(fs::path(path).is_absolute()) << path;
  EXPECT_EQ(fs::path(path).stem().string(), "tavrelon_tests");
  platform::FileStatus status;
  ASSERT_TRUE(platform::fileStatus(path, status));
  EXPECT_GT(status.size, 0);
}

}  // namespace
}  // namespace tavrelon
