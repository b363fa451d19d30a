// The file and path services on real files in temporary directories: sizes and
// offsets past 4 GiB, files another process is writing, listings, whole-file
// replacement, long paths and names outside the code page, on both backends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_tracker.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/test_seams.h"
#include "platform/text_encoding.h"
#include "platform/watchdog_process.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace test;

// Names in `directory`, sorted, as the file system itself lists them.
std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Whether every read service finds `bytes` in the file at `path`: its size by
// status and by an opened handle, the whole file, and the `length` bytes from `from`.
::testing::AssertionResult readsAs(const std::string& path, const std::string& bytes,
                                   std::int64_t from, std::size_t length) {
  const std::int64_t expected = static_cast<std::int64_t>(bytes.size());
  platform::FileStatus status;
  if (!platform::fileStatus(path, status) || status.size != expected)
    return ::testing::AssertionFailure() << "status size " << status.size;
  std::int64_t size = 0;
  if (!platform::openedFileSize(path, size) || size != expected)
    return ::testing::AssertionFailure() << "opened size " << size;
  std::string read;
  if (!platform::readFile(path, read) || read != bytes)
    return ::testing::AssertionFailure() << "read \"" << read << "\"";
  if (!platform::readFileRange(path, from, length, read) ||
      read != bytes.substr(static_cast<std::size_t>(from), length))
    return ::testing::AssertionFailure() << "range read \"" << read << "\"";
  return ::testing::AssertionSuccess();
}

TEST(ListDirectory, AppendsNamesAndKindsWithoutDotEntries) {
  TempDir dir;
  writeFile(dir.file("run1.csv"), "1");
  writeFile(dir.file("sub") + S + "run2.csv", "2");
  fs::create_directory(dir.file("empty"));

  for (const std::string& directory : {dir.path(), dir.path() + S}) {
    std::vector<platform::DirectoryEntry> entries{{"kept", false}};
    ASSERT_TRUE(platform::listDirectory(directory, entries)) << directory;
    ASSERT_EQ(entries.size(), 4u) << directory;
    EXPECT_EQ(entries[0].name, "kept");
    // POSIX lists in byte order; Windows in the file system's own (NTFS: case-insensitive).
    if (!platform::isWindows()) {
      EXPECT_TRUE(std::is_sorted(entries.begin() + 1, entries.end(),
                                 [](const auto& a, const auto& b) { return a.name < b.name; }));
    }
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
  entries.push_back({"kept", false});
  EXPECT_FALSE(platform::listDirectory(dir.file("missing"), entries));
  EXPECT_EQ(entries.size(), 1u);
  entries.clear();
  EXPECT_FALSE(platform::listDirectory(dir.file("run1.csv"), entries));
  EXPECT_FALSE(platform::listDirectory("", entries));
  EXPECT_TRUE(entries.empty());
}

TEST(Exists, SeesFilesAndDirectoriesButNotMissingPaths) {
  TempDir dir;
  writeFile(dir.file("f"), "");
  EXPECT_TRUE(platform::exists(dir.file("f")));
  EXPECT_TRUE(platform::exists(dir.path()));
  EXPECT_FALSE(platform::exists(dir.file("missing")));
  EXPECT_FALSE(platform::exists(dir.file("missing") + S + "f"));
  EXPECT_FALSE(platform::exists(""));
}

TEST(FileStatus, CreationTimeStaysWhenTheFileGrowsLater) {
  // Under Wine the "creation" time is the inode-change time and moves with writes.
  if (platform::runningUnderWineForTesting())
    GTEST_SKIP() << "creation time is not fixed under Wine";
  TempDir dir;
  std::string path = dir.file("log.csv");
  writeFile(path, "first\n");
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
  TempDir dir;
  const std::string path = dir.file("big.csv");
  writeFile(path, "head");
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

TEST(FileStatus, FileTimesAreSecondsSince1970) {
  TempDir dir;
  const std::string path = dir.file("dated.csv");
  const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  writeFile(path, "x");
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

TEST(ReadFile, ReadsBytesAndRangesAsStoredAndFailsOnMissingFiles) {
  TempDir dir;
  std::string path = dir.file("data.csv");
  writeFile(path, "a,b\r\nc,d\r\n");
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
  EXPECT_FALSE(platform::readFile(dir.path(), content));
  EXPECT_FALSE(platform::openedFileSize(dir.file("missing"), size));
  EXPECT_FALSE(platform::readFileRange(dir.file("missing"), 0, 1, bytes));
}

TEST(ReadFile, InPiecesHandsOnEveryByteInOrderUnderTheBoundAndStopsWhenTold) {
  TempDir dir;
  const std::string path = dir.file("big.csv");
  std::string bytes;
  for (int i = 0; bytes.size() < 200000; ++i)
    bytes += "row " + std::to_string(i) + "\r\n";
  writeFile(path, bytes);
  std::string joined;
  std::size_t pieces = 0, largest = 0;
  const platform::FilePieceSink keep = [&](const char* piece, std::size_t size) {
    joined.append(piece, size);
    largest = std::max(largest, size);
    ++pieces;
    return true;
  };
  EXPECT_EQ(platform::readRegularFileInPieces(path, 1 << 20, keep), platform::FileOutcome::Done);
  EXPECT_EQ(joined, bytes);
  EXPECT_GE(pieces, 4u);
  EXPECT_LE(largest, 65536u);
  // Over the bound: refused before a piece is handed on.
  joined.clear();
  EXPECT_EQ(platform::readRegularFileInPieces(path, 100000, keep), platform::FileOutcome::Refused);
  EXPECT_EQ(joined, "");
  // The reader says stop after the first piece: no more come.
  pieces = 0;
  EXPECT_EQ(platform::readRegularFileInPieces(
                path, 1 << 20, [&](const char*, std::size_t) { return ++pieces > 1; }),
            platform::FileOutcome::Refused);
  EXPECT_EQ(pieces, 1u);
  EXPECT_EQ(platform::readRegularFileInPieces(dir.file("missing"), 10, keep),
            platform::FileOutcome::Missing);
  EXPECT_EQ(platform::readRegularFileInPieces(dir.path(), 10, keep),
            platform::FileOutcome::Refused);
}

TEST(ReadFile, ReadsAFileThatAnotherHandleHoldsOpenForWriting) {
  TempDir dir;
  const std::string path = dir.file("log.csv");
  // As a supervised program holds its log: open for writing the whole time.
  std::ofstream writer(path, std::ios::binary);
  writer << "a,b\n" << std::flush;

  std::int64_t size = 0;
  ASSERT_TRUE(platform::openedFileSize(path, size));
  EXPECT_EQ(size, 4);
  writer << "c,d\n" << std::flush;
  EXPECT_TRUE(readsAs(path, "a,b\nc,d\n", 5, 100));
}

TEST(ReplaceFileContent, ReplacesOrCreatesTheWholeFile) {
  TempDir dir;
  std::string path = dir.file("status.csv");
  ASSERT_TRUE(platform::replaceFileContent(path, "one\r\n"));
  EXPECT_EQ(readFile(path), "one\r\n");
  ASSERT_TRUE(platform::replaceFileContent(path, "x"));
  EXPECT_EQ(readFile(path), "x");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(ReplaceFileContent, FailingOnADirectoryOrInAMissingOneLeavesEverythingAndNoTemporary) {
  TempDir dir;
  EXPECT_FALSE(platform::replaceFileContent(dir.file("missing") + S + "status.csv", "rows"));
  fs::create_directory(dir.file("status.csv"));
  EXPECT_FALSE(platform::replaceFileContent(dir.file("status.csv"), "rows"));
  EXPECT_TRUE(fs::is_directory(dir.file("status.csv")));
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(ReplaceFileContent, FailingInAReadOnlyDirectoryKeepsTheOldFile) {
  TempDir dir;
  std::string path = dir.file("status.csv");
  writeFile(path, "old");
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  // Root ignores directory permissions, so there is nothing to observe then.
  if (std::ofstream(dir.file("probe")))
    GTEST_SKIP() << "permissions are not enforced (root)";

  EXPECT_FALSE(platform::replaceFileContent(path, "new"));
  EXPECT_EQ(readFile(path), "old");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(ReplaceFileContent, ReplacesOnlyTheFileItCheckedNeverOneSwappedInMeanwhile) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  writeFile(path, "old");
  writeFile(dir.file("other"), "someone else's");
  // Between the check and the rename another file takes the name (a link
  // turned elsewhere does the same to the final path).
  platform::setBeforeReplaceHookForTesting(
      [&](const std::string&) { fs::rename(dir.file("other"), path); });
  const platform::FileOutcome swapped = platform::replaceRegularFile(path, "new", "TavrelonLog");
  platform::setBeforeReplaceHookForTesting(nullptr);
  EXPECT_EQ(swapped, platform::FileOutcome::Busy);
  EXPECT_EQ(readFile(path), "someone else's");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(ReplaceReadFile, ReplacesTheFileOnlyAsItWasReadNeverOneChangedOrCreatedSince) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  const auto readAndReplace = [&](const std::function<void()>& meanwhile) {
    std::string content;
    platform::ReadSnapshot seen;
    const platform::FileOutcome read = platform::readRegularFile(path, 1 << 20, content, seen);
    EXPECT_TRUE(read == platform::FileOutcome::Done || read == platform::FileOutcome::Missing);
    platform::setBeforeReplaceHookForTesting([&](const std::string&) { meanwhile(); });
    const platform::FileOutcome outcome =
        platform::replaceReadFile(path, "new", "TavrelonLog", seen);
    platform::setBeforeReplaceHookForTesting(nullptr);
    return outcome;
  };
  // Created by someone else after a read that found none: theirs stays.
  EXPECT_EQ(readAndReplace([&] { writeFile(path, "theirs"); }), platform::FileOutcome::Busy);
  EXPECT_EQ(readFile(path), "theirs");
  // A line appended after the read: the file stays with it.
  EXPECT_EQ(readAndReplace([&] { std::ofstream(path, std::ios::app) << "+line"; }),
            platform::FileOutcome::Busy);
  EXPECT_EQ(readFile(path), "theirs+line");
  // Unchanged since the read: replaced.
  EXPECT_EQ(readAndReplace([] {}), platform::FileOutcome::Done);
  EXPECT_EQ(readFile(path), "new");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

TEST(FileLock, TheLockFileLastsOnlyWhileHeldAndKeepsASecondHolderOut) {
  TempDir dir;
  const std::string path = dir.file("status.csv.TavrelonLog-lock");
  {
    platform::FileLock first;
    ASSERT_EQ(platform::lockFileExclusive(path, 0, first), platform::FileOutcome::Done);
    EXPECT_TRUE(fs::exists(path));
    platform::FileLock second;
    EXPECT_EQ(platform::lockFileExclusive(path, 100, second), platform::FileOutcome::Busy);
    EXPECT_FALSE(second.held());
  }
  // Released by its holder (the one that waited gave up): nothing is left.
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{});
  platform::FileLock again;
  EXPECT_EQ(platform::lockFileExclusive(path, 0, again), platform::FileOutcome::Done);
}

TEST(FileLock, AWaiterNeverHoldsALockFileThatWasRemovedOrReplacedMeanwhile) {
  TempDir dir;
  const std::string path = dir.file("status.csv.TavrelonLog-lock");
  platform::FileLock first;
  ASSERT_EQ(platform::lockFileExclusive(path, 0, first), platform::FileOutcome::Done);
  // The waiter has the old file open and tries it again and again.
  platform::FileOutcome waited = platform::FileOutcome::Refused;
  bool waiterHeld = false;
  std::thread waiter([&] {
    platform::FileLock lock;
    waited = platform::lockFileExclusive(path, 1500, lock);
    waiterHeld = lock.held();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // A clean-up job removes the held lock file; another writer makes a new one.
  std::error_code ignored;
  fs::remove(path, ignored);
  platform::FileLock third;
  const platform::FileOutcome took = platform::lockFileExclusive(path, 0, third);
  first = platform::FileLock();  // the old file's lock is free now
  waiter.join();
  if (took == platform::FileOutcome::Done) {
    // Only one of the two holds a lock on what the path names.
    EXPECT_EQ(waited, platform::FileOutcome::Busy);
    EXPECT_FALSE(waiterHeld);
    // The first holder's release left the third's file alone.
    EXPECT_TRUE(fs::exists(path));
  } else {
    // Windows: the name stays taken while the removed file has handles.
    EXPECT_EQ(took, platform::FileOutcome::Busy);
  }
}

TEST(SideFileName, LongNamesAreCutWithAHashAndKeepTheTag) {
  EXPECT_EQ(platform::sideFileName("status.csv", "TavrelonLog"), "status.csv.TavrelonLog");
  // A 249-byte name, as a long program name gives: every side file's name stays
  // within 255 bytes, and two such names stay apart.
  const std::string name = "TavrelonLog_" + std::string(218, 'p') + "_20260101000000.csv";
  const std::string side = platform::sideFileName(name, "TavrelonLog");
  EXPECT_LE(side.size() + 26, 255u);
  EXPECT_EQ(side.substr(side.size() - 12), ".TavrelonLog");
  EXPECT_NE(side, platform::sideFileName(name.substr(0, 248) + "x", "TavrelonLog"));
  // The cut never splits a character: the result is UTF-8 as the name was.
  std::string wide;
  for (int i = 0; i < 120; ++i)
    wide += "\xCE\xA9";
  EXPECT_TRUE(isValidUtf8(platform::sideFileName(wide, "TavrelonLog")));
}

TEST(PathWithANulByte, NamesNoFileNotEvenTheOneBeforeTheNul) {
  TempDir dir;
  const std::string real = dir.file("status.csv");
  writeFile(real, "old rows");
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
  EXPECT_EQ(readFile(real), "old rows");
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"status.csv"});
}

// A folder chain under `root` whose path is longer than 260 characters.
std::string deepFolder(const std::string& root) {
  std::string path = root;
  while (path.size() <= 300)
    path += S + std::string(40, 'd') + std::to_string(path.size());
  return path;
}

TEST(LongAndWideNames, PathsBeyond260CharactersWorkInEveryFileService) {
  TempDir dir;
  const std::string deep = deepFolder(dir.path());
  const std::string log = deep + S + "run.csv";
  // Made through the platform layer: a replacement needs the folder only.
  fs::create_directories(fs::u8path(deep));
  ASSERT_TRUE(platform::replaceFileContent(log, "a,b\r\nlast,line\r\n"));
  EXPECT_TRUE(platform::exists(log));
  EXPECT_TRUE(readsAs(log, "a,b\r\nlast,line\r\n", 5, 4));
  // The tracker walks the whole tree down to it and reads its last line.
  std::vector<std::string> files;
  listFilesRecursive(dir.path(), files);
  EXPECT_EQ(files, std::vector<std::string>{log});
  ShortSleeps sleeps;
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
  std::string bytes;
  EXPECT_EQ(platform::readRegularFile(log, 1024, bytes), platform::FileOutcome::Done);
  EXPECT_EQ(bytes, "a,b\r\nlast,line\r\n");
  platform::FileLock lock;
  EXPECT_EQ(platform::lockFileExclusive(log + ".lock", 1000, lock), platform::FileOutcome::Done);
  const std::string stale =
      deep + S + "run.csv.TavrelonLog-" + std::to_string(idOfAnEndedProcess()) + "-1.tmp";
  ASSERT_TRUE(platform::replaceFileContent(stale, "old"));
  platform::removeStaleTemporaries(log, "TavrelonLog");
  EXPECT_FALSE(platform::exists(stale));
  // Its final path is left to a real workstation: Wine gives none beyond 260.
  platform::FileIdentity identity;
  EXPECT_TRUE(platform::fileIdentity(log, identity));
}

TEST(LongAndWideNames, NamesOutsideTheAnsiCodePageNameTheRightFile) {
  TempDir dir;
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
  ShortSleeps sleeps;
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogSize(), 5);
  EXPECT_EQ(tracker.latestLogPath, log);
}

TEST(LongAndWideNames, TheWatchdogDeclaresItselfLongPathAware) {
  if (!platform::isWindows())
    GTEST_SKIP() << "an application manifest is a Windows resource";
  const std::string image = readFile(builtProgram("tavrelon"));
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

// Both paths name one existing file, by whatever spelling or link.
bool sameFile(const std::string& first, const std::string& second) {
  platform::FileIdentity a, b;
  return platform::fileIdentity(first, a) && platform::fileIdentity(second, b) && a == b;
}

TEST(FileIdentity, SeesThroughAnotherSpellingAndALinkButTellsCopiesApart) {
  TempDir dir;
  const std::string file = dir.file("a.exe");
  writeFile(file, "x");
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
    ShortSleeps sleeps;
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
