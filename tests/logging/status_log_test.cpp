#include "logging/status_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "logging/status_updates.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace tavrelon {

// A row as one readable text in failure messages.
void PrintTo(const StatusRecord& r, std::ostream* out) {
  *out << r.applicationId << "|" << r.runningStatus << "|" << r.startTime << "|" << r.endTime << "|"
       << r.latestLog;
}

namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::S;
using test::TempDir;
using test::writeFile;

const std::string kHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log";
const std::string kSixHeader =
    "Application_ID,is_Manual,Running_Status,Start_Time,End_Time,Latest_Log";

StatusRecord row(std::string id, std::string status, std::string start, std::string end,
                 std::string latest) {
  return StatusRecord{std::move(id), std::move(status), std::move(start), std::move(end),
                      std::move(latest)};
}

TEST(StatusLog, WritesExactBytesAndReadsThemBack) {
  TempDir dir;
  std::string path = dir.file("TavrelonLog_alpha.exe_20240601093000.csv");
  std::vector<StatusRecord> rows = {
      row("alpha.exe_20240601093005", "crashed", "2024-06-01 09:30:05", "2024-06-01 10:02:41",
          "[D:\\shared\\logs\\run1.csv] step 12 of 40"),
      row("alpha.exe_20240601100242", "running", "2024-06-01 10:02:42", "", "")};
  writeStatusLog(rows, path);
  EXPECT_EQ(readFile(path), kHeader + "\r\n" +
                                "alpha.exe_20240601093005,crashed,2024-06-01 09:30:05,2024-06-01 "
                                "10:02:41,[D:\\shared\\logs\\run1.csv] step 12 of 40\r\n" +
                                "alpha.exe_20240601100242,running,2024-06-01 10:02:42,,N/A\r\n");
  EXPECT_EQ(rows[1].latestLog, "");  // the caller's list is not touched

  std::vector<StatusRecord> back = readStatusLog(path);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0], rows[0]);
  EXPECT_EQ(back[1].endTime, "");
  EXPECT_EQ(back[1].latestLog, "N/A");
}

TEST(StatusLog, ANameOutsideTheAnsiCodePageIsStoredAsQuestionMarksAndItsRowStillFound) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  // Greek and Japanese: no Western code page holds them.
  const std::string id = "\xCE\xA9mega\xE6\x97\xA5.exe_20240601093005";
  writeStatusLog({row(id, "running", "s", "", "")}, path);
  std::vector<StatusRecord> rows = readStatusLog(path);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(updateStatusRow(rows, row(id, "crashed", "s", "e", "[p] x")));
  EXPECT_EQ(rows[0].runningStatus, "crashed");
  EXPECT_FALSE(updateStatusRow(rows, row("other_1", "crashed", "s", "e", "")));
  writeStatusLog(rows, path);
  const std::string bytes = readFile(path);
  if (!platform::isWindows()) {
    EXPECT_NE(bytes.find(id + ",crashed,s,e,[p] x\r\n"), std::string::npos) << bytes;
  } else if (platform::toAnsiCodePage("\xCE\xA9\xE6\x97\xA5") == "??") {
    EXPECT_NE(bytes.find("\r\n?mega?.exe_20240601093005,crashed,s,e,[p] x\r\n"), std::string::npos)
        << bytes;
  }
}

TEST(StatusLog, AByteOrderMarkSaysUtf8AndWithoutOneTheCodePageIsRead) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  // A spreadsheet's "CSV UTF-8": the mark, then UTF-8, whatever the code page.
  writeFile(path, "\xEF\xBB\xBF" + kHeader + "\r\n\xC3\xA9.exe_1,running,s,,N/A\r\n");
  std::vector<StatusRecord> rows = readStatusLog(path);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].applicationId, "\xC3\xA9.exe_1");
  if (platform::toAnsiCodePage("\xC3\xA9") == "\xE9") {  // a Western code page
    writeFile(path, kHeader + "\r\n\xE9.exe_2,running,s,,N/A\r\n");
    rows = readStatusLog(path);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].applicationId, "\xC3\xA9.exe_2");
  }
}

TEST(StatusLog, EmptyListWritesOnlyTheHeaderAndMissingFileReadsEmptyWithoutCreatingIt) {
  TempDir dir;
  std::string path = dir.file("status.csv");
  EXPECT_TRUE(readStatusLog(path).empty());
  EXPECT_FALSE(fs::exists(path));
  std::vector<StatusRecord> rows;
  updateStatusRow(rows, row("a", "finished", "", "", ""));
  EXPECT_TRUE(rows.empty());
  writeStatusLog(rows, path);
  EXPECT_EQ(readFile(path), kHeader + "\r\n");
}

TEST(StatusLog, ReaderSkipsHeadersAndEmptyLinesAndWrongFieldCountsWhichARewriteNeverDrops) {
  TempDir dir;
  std::string path = dir.file("status.csv");
  writeFile(path, kSixHeader + "\n" + "a,running,s,,N/A\n" + "\n" + kHeader + "\r\n" +
                      "four,fields,only,here\n" + "one,two,three,four,five,six,seven\n" +
                      "b,timeout,s,e,[p] x,\n" + "c,0,finished,s,e,[p] y\n" + "d,crashed,s,e,last");
  std::vector<StatusRecord> rows = readStatusLog(path);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], row("a", "running", "s", "", "N/A"));
  EXPECT_EQ(rows[1], row("b", "timeout", "s", "e", "[p] x"));   // trailing comma: five fields
  EXPECT_EQ(rows[2], row("c", "finished", "s", "e", "[p] y"));  // is_Manual goes
  EXPECT_EQ(rows[3], row("d", "crashed", "s", "e", "last"));    // no final line end

  // Lines that read as no row are someone else's: never dropped by a rewrite.
  const std::string before = readFile(path);
  EXPECT_EQ(writeStatusLog(rows, path), StatusLogOutcome::Refused);
  EXPECT_EQ(readFile(path), before);
  // Without them, a rewrite has one header and CR LF throughout.
  writeFile(path, kSixHeader + "\n" + "a,running,s,,N/A\n" + "\n" + kHeader + "\r\n");
  ASSERT_EQ(writeStatusLog(rows, path), StatusLogOutcome::Done);
  EXPECT_EQ(readFile(path), kHeader + "\r\n" + "a,running,s,,N/A\r\n" + "b,timeout,s,e,[p] x\r\n" +
                                "c,finished,s,e,[p] y\r\n" + "d,crashed,s,e,last\r\n");
}

TEST(StatusLog, ReadingKeepsEveryRowOfCrOnlyBomAndSpreadsheetFiles) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  // Saved with lone CRs, a byte-order mark and a spreadsheet's padded header;
  // one stray quote; a trailing comma as an empty Latest_Log.
  writeFile(path, "\xEF\xBB\xBF" + kHeader + ",\r" + "a.exe_1,crashed,t1,t2,\r" +
                      "\"b.exe_2,timeout,t1,t2,[p] x\r" + "c.exe_3,1,finished,t1,t2,[p] y\r\r" +
                      "d.exe_4,running,t1,,N/A");
  std::vector<StatusRecord> rows;
  ASSERT_EQ(readStatusLog(path, rows), StatusLogOutcome::Done);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], row("a.exe_1", "crashed", "t1", "t2", ""));
  EXPECT_EQ(rows[1], row("\"b.exe_2", "timeout", "t1", "t2", "[p] x"));
  EXPECT_EQ(rows[2], row("c.exe_3", "finished", "t1", "t2", "[p] y"));
  EXPECT_EQ(rows[3], row("d.exe_4", "running", "t1", "", "N/A"));
}

TEST(StatusLog, ACellSavedWithLineBreaksIsReadAcrossThemWhenItsQuoteClosesWithinFiveLines) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  // Breaks as LF, CR LF and CR; five lines are the most read as one record.
  // Six are too many, and a quote that never closes or closes on a record of
  // no row takes no line: those lines read as they always did.
  writeFile(path, kHeader + "\r\n" + "a,crashed,s,e,\"[p] \"\"1\"\"\r\n2,\"\n" +
                      "b,finished,s,e,\"1\r2\n3\n4\n5\"\n" +
                      "c,crashed,s,e,\"1\n2\n3\n4\n5\n6\"\n" + "d,\"half\ne,running,s,,N/A\n" +
                      "f,\"x\ny\",z\n");
  std::vector<StatusRecord> rows;
  std::int64_t foreign = -1;
  ASSERT_EQ(readStatusLog(path, rows, &foreign), StatusLogOutcome::Done);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], row("a", "crashed", "s", "e", "[p] \"1\" 2,"));
  EXPECT_EQ(rows[1], row("b", "finished", "s", "e", "1 2 3 4 5"));
  EXPECT_EQ(rows[2], row("c", "crashed", "s", "e", "\"1"));
  EXPECT_EQ(rows[3], row("e", "running", "s", "", "N/A"));
  EXPECT_EQ(foreign, 8);  // 2 to 6", d,"half, f,"x and y",z
  // Those eight make the file someone else's; the rows' own rewrite stores
  // each cell's line break as a space.
  EXPECT_EQ(writeStatusLog(rows, path), StatusLogOutcome::Refused);
  writeFile(path, "");
  ASSERT_EQ(writeStatusLog(rows, path), StatusLogOutcome::Done);
  EXPECT_EQ(readFile(path), kHeader + "\r\na,crashed,s,e,\"[p] \"\"1\"\" 2,\"\r\n" +
                                "b,finished,s,e,1 2 3 4 5\r\nc,crashed,s,e,\"\"\"1\"\r\n" +
                                "e,running,s,,N/A\r\n");
}

TEST(StatusLog, AFileOfEmptyLinesIsAnEmptyStatusLog) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  for (const std::string& blank : {std::string("\n"), "\xEF\xBB\xBF\r\n \r\n\t\r" + kHeader}) {
    writeFile(path, blank);
    EXPECT_EQ(readStatusLog(path).size(), 0u);
    ASSERT_EQ(writeStatusLog({row("a", "running", "s", "", "N/A")}, path), StatusLogOutcome::Done);
    EXPECT_EQ(readFile(path), kHeader + "\r\na,running,s,,N/A\r\n");
  }
  // Empty lines past the first bytes the writer looks at, then someone else's.
  const std::string foreign = std::string(5000, '\n') + "case,verdict\n";
  writeFile(path, foreign);
  EXPECT_EQ(writeStatusLog({}, path), StatusLogOutcome::Refused);
  EXPECT_EQ(readFile(path), foreign);
}

TEST(StatusLog, SomeoneElsesFileIsNeitherReadNorReplaced) {
  TempDir dir;
  const std::string path = dir.file("TavrelonLog_results.csv");
  const std::string foreign = "case,result,start,end,note\r\nc1,pass,a,b,ok\r\n";
  writeFile(path, foreign);
  std::vector<StatusRecord> rows{row("x", "running", "s", "", "N/A")};
  EXPECT_EQ(readStatusLog(path, rows), StatusLogOutcome::Refused);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(writeStatusLog({row("a", "running", "s", "", "N/A")}, path), StatusLogOutcome::Refused);
  EXPECT_EQ(readFile(path), foreign);
  // An empty file, or one with only a byte-order mark, is an empty status log.
  writeFile(path, "\xEF\xBB\xBF");
  EXPECT_EQ(readStatusLog(path, rows), StatusLogOutcome::Done);
  EXPECT_EQ(writeStatusLog({}, path), StatusLogOutcome::Done);
  EXPECT_EQ(readFile(path), kHeader + "\r\n");
}

TEST(StatusLog, OverTheSizeBoundIsNeitherReadNorRewritten) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  writeFile(path, kHeader + "\r\na,running,s,,N/A\r\n");
  std::error_code error;
  fs::resize_file(path, static_cast<std::uintmax_t>(kMaxStatusLogBytes) + 1, error);
  if (error)
    GTEST_SKIP() << "no room for a file of 256 MiB here: " << error.message();
  std::vector<StatusRecord> rows;
  EXPECT_EQ(readStatusLog(path, rows), StatusLogOutcome::Refused);
  EXPECT_EQ(writeStatusLog({row("a", "finished", "s", "e", "N/A")}, path),
            StatusLogOutcome::Refused);
  EXPECT_EQ(fs::file_size(path), static_cast<std::uintmax_t>(kMaxStatusLogBytes) + 1);
  fs::remove(path);

  // Millions of tiny rows would take many times the file's bytes in memory.
  std::string tiny = kHeader + "\n";
  for (std::int64_t i = 0; i <= kMaxStatusLogLines; ++i)
    tiny += "a,,,,\n";
  writeFile(path, tiny);
  EXPECT_EQ(readStatusLog(path, rows), StatusLogOutcome::Refused);
}

TEST(StatusLog, UpdateChangesOnlyTheLastMatchingRowAndKeepsItsId) {
  std::vector<StatusRecord> rows = {row("a", "timeout", "s1", "e1", "[p] 1"),
                                    row("b", "running", "s2", "", "N/A"),
                                    row("a", "running", "s3", "", "N/A")};
  updateStatusRow(rows, row("a", "finished", "s3", "e3", "[p] 3"));
  EXPECT_EQ(rows[0], row("a", "timeout", "s1", "e1", "[p] 1"));
  EXPECT_EQ(rows[1], row("b", "running", "s2", "", "N/A"));
  EXPECT_EQ(rows[2], row("a", "finished", "s3", "e3", "[p] 3"));
  updateStatusRow(rows, row("A", "crashed", "", "", ""));  // case-sensitive key
  updateStatusRow(rows, row("c", "crashed", "", "", ""));
  EXPECT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].runningStatus, "timeout");
}

TEST(StatusLog, ValuesWithCommasAndQuotesSurviveARoundTripLineBreaksAsSpaces) {
  TempDir dir;
  std::string path = dir.file("status.csv");
  std::vector<StatusRecord> rows = {
      row("my,tool.exe_20240601093005", "crashed", "s", "e", "[D:\\a,b\\run.csv] said \"done\""),
      row("x.exe_1", "timeout", "s", "e", "first\r\nsecond\nthird\r"),
      row("x.exe_2", "running", "s", "", "N/A")};
  writeStatusLog(rows, path);
  // A record never spans lines: line breaks inside a value are written as spaces.
  rows[1].latestLog = "first  second third ";
  EXPECT_NE(readFile(path).find("\r\n\"my,tool.exe_20240601093005\",crashed,s,e,"
                                "\"[D:\\a,b\\run.csv] said \"\"done\"\"\"\r\n"),
            std::string::npos);
  std::vector<StatusRecord> back = readStatusLog(path);
  ASSERT_EQ(back.size(), 3u);
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(back[i], rows[i]) << i;
}

TEST(StatusLog, UnwritableLocationLeavesEverythingAsItWas) {
  TempDir dir;
  std::vector<StatusRecord> rows = {row("a", "running", "s", "", "N/A")};

  std::string inMissingDir = dir.file("missing") + "/TavrelonLog_a.csv";
  writeStatusLog(rows, inMissingDir);
  EXPECT_FALSE(fs::exists(dir.file("missing")));

  std::string isDirectory = dir.file("taken.csv");
  fs::create_directory(isDirectory);
  writeStatusLog(rows, isDirectory);
  EXPECT_TRUE(fs::is_directory(isDirectory));
  EXPECT_TRUE(readStatusLog(isDirectory).empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(StatusLogFile, LinksAtTemporaryNamesAreNeverFollowedAndOnlyEndedWritersTemporariesGo) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  const std::string victim = dir.file("victim.txt");
  writeFile(victim, "precious");
  std::vector<std::string> left{"status.csv", "victim.txt"};
  // The temporary's old fixed name, and one of the current pattern (symbolic
  // links need a privilege on Windows).
  if (!platform::isWindows()) {
    fs::create_symlink(victim, path + ".TavrelonLog-new");
    fs::create_symlink(victim, path + ".TavrelonLog-1-1.tmp");
    left.insert(left.end(), {"status.csv.TavrelonLog-new", "status.csv.TavrelonLog-1-1.tmp"});
  }
  // What a writer killed in mid-rewrite leaves, and what one still writing has.
  const std::string ended =
      "status.csv.TavrelonLog-" + std::to_string(test::idOfAnEndedProcess()) + "-7.tmp";
  writeFile(dir.file(ended), "half a log");
  platform::ProcessLaunch launch;
  launch.path = test::builtProgram("fake_program");
  launch.arguments = "--end hang";
  launch.newConsole = false;
  launch.showWindow = false;
  platform::ProcessRecord writer;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::startProcess(launch, writer, error)) << error;
  const std::string live =
      "status.csv.TavrelonLog-" + std::to_string(writer.dwProcessId) + "-0.tmp";
  writeFile(dir.file(live), "being written");
  StatusLogUpdates updates;
  updates.addRow(row("a", "running", "s", "", "N/A"));
  const bool applied = updates.apply(path, false);
  platform::terminateProcess(writer);
  platform::closeHandle(writer.hProcess);
  ASSERT_TRUE(applied);
  EXPECT_FALSE(updates.pending());
  EXPECT_EQ(readFile(victim), "precious");
  EXPECT_EQ(readFile(path), kHeader + "\r\na,running,s,,N/A\r\n");
  // No lock file is left either.
  left.push_back(live);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(namesIn(dir.path()), left);
}

TEST(StatusLogFile, ALinkAndItsTargetTakeOneLockBesideTheTarget) {
  if (platform::isWindows())
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
  TempDir dir;
  fs::create_directory(dir.file("a"));
  fs::create_directory(dir.file("b"));
  const std::string target = dir.file("a") + "/real.csv";
  const std::string link = dir.file("b") + "/TavrelonLog_link.csv";
  writeFile(target, kHeader + "\r\n");
  fs::create_symlink("../a/real.csv", link);
  const std::string lockPath = statusLogLockPath(target);
  EXPECT_EQ(lockPath, target + ".TavrelonLog-lock");
  StatusLogUpdates updates;
  updates.addRow(row("a", "running", "s", "", "N/A"));
  {
    // A watchdog that names the target holds the lock: one that comes through
    // the link waits for that same lock.
    platform::FileLock held;
    ASSERT_EQ(platform::lockFileExclusive(lockPath, 0, held), platform::FileOutcome::Done);
    test::ShortSleeps sleeps;
    EXPECT_FALSE(updates.apply(link, false));
    EXPECT_EQ(readFile(target), kHeader + "\r\n");
  }
  EXPECT_TRUE(updates.apply(link, false));
  EXPECT_EQ(readFile(target), kHeader + "\r\na,running,s,,N/A\r\n");
  EXPECT_EQ(namesIn(dir.file("a")), std::vector<std::string>{"real.csv"});
  EXPECT_EQ(namesIn(dir.file("b")), std::vector<std::string>{"TavrelonLog_link.csv"});
}

TEST(StatusLogFile, ALinkAnotherUserOwnsInAStickyFolderIsNotFollowed) {
  if (platform::isWindows() || !test::runningAsRoot())
    GTEST_SKIP() << "needs a link owned by another user: root makes one";
  TempDir dir;
  const std::string shared = dir.file("shared");
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  const std::string secret = dir.file("secret.csv");
  writeFile(secret, kHeader + "\r\n");
  const std::string link = shared + "/TavrelonLog_status.csv";
  fs::create_symlink(secret, link);
  ASSERT_EQ(std::system(("chown -h 65534 '" + link + "'").c_str()), 0);
  StatusLogUpdates updates;
  updates.addRow(row("a", "running", "s", "", "N/A"));
  EXPECT_FALSE(updates.apply(link, false));
  EXPECT_EQ(readFile(secret), kHeader + "\r\n");
  EXPECT_TRUE(fs::is_symlink(link));
  // Our own link there is followed.
  ASSERT_EQ(std::system(("chown -h 0 '" + link + "'").c_str()), 0);
  EXPECT_TRUE(updates.apply(link, false));
  EXPECT_EQ(readFile(secret), kHeader + "\r\na,running,s,,N/A\r\n");
}

TEST(StatusLogFile, KeepsWhatAnInPlaceWriteKeeps) {
  if (platform::isWindows())
    GTEST_SKIP() << "symbolic links and permission bits are POSIX matters";
  TempDir dir;
  const std::string target = dir.file("real.csv");
  const std::string link = dir.file("TavrelonLog_link.csv");
  writeFile(target, kHeader + "\r\n");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("real.csv", link);
  ASSERT_EQ(writeStatusLog({row("a", "running", "s", "", "N/A")}, link), StatusLogOutcome::Done);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(readFile(target), kHeader + "\r\na,running,s,,N/A\r\n");
  EXPECT_EQ(fs::status(target).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // A file its owner made read-only is not replaced.
  fs::permissions(target, fs::perms::owner_read | fs::perms::group_read);
  if (std::ofstream(target, std::ios::app))
    GTEST_SKIP() << "root writes read-only files";
  EXPECT_EQ(writeStatusLog({}, link), StatusLogOutcome::Refused);
  EXPECT_EQ(readFile(target), kHeader + "\r\na,running,s,,N/A\r\n");
}

TEST(StatusLog, ALogNamedAtTheLengthLimitIsWrittenAndLeavesNothingBesideIt) {
  TempDir dir;
  // A name at the file system's length limit leaves no room for the suffixes
  // of its lock and temporary: theirs are cut short with a hash.
  const std::string path = dir.file(std::string(251, 's') + ".csv");
  const std::string old = kHeader + "\r\nold,running,s,,N/A\r\n";
  writeFile(path, old);
  if (readFile(path) != old)
    GTEST_SKIP() << "this file system takes no such name";
  StatusLogUpdates updates;
  updates.addRow(row("new", "running", "s", "", "N/A"));
  ASSERT_TRUE(updates.apply(path, false));
  EXPECT_EQ(readFile(path), old + "new,running,s,,N/A\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  const std::string lockName = platform::finalNameOf(statusLogLockPath(path));
  EXPECT_LE(lockName.size(), 255u);
  EXPECT_NE(lockName.find("TavrelonLog"), std::string::npos);
}

TEST(StatusLog, HostileContentIsReadAndItsRowsSurviveARewrite) {
  TempDir dir;
  std::string path = dir.file("status.csv");
  std::string binary;
  for (int i = 0; i < 4096; ++i)
    binary += static_cast<char>(i * 7 % 256);
  std::string content = kHeader + std::string("\na,r,s,,N/A\n", 12) + binary + "\n" +
                        std::string("nul\0id,r,s,,N/A\n", 16) + std::string(1 << 20, 'x') + "\n" +
                        "\"unclosed,r,s,,N/A\n" + "b,r,s,,N/A\n";
  for (int i = 0; i < 1000000; ++i)
    content += "r" + std::to_string(i) + ",r,s,e,N/A\n";
  writeFile(path, content);

  std::vector<StatusRecord> rows = readStatusLog(path);
  ASSERT_GE(rows.size(), 1000004u);
  EXPECT_EQ(rows[0].applicationId, "a");
  auto find = [&](const std::string& id) {
    for (const StatusRecord& r : rows) {
      if (r.applicationId == id)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(find(std::string("nul\0id", 6)));
  EXPECT_TRUE(find("\"unclosed"));  // an unpaired quote does not swallow the rows after it
  EXPECT_TRUE(find("b"));
  EXPECT_EQ(rows.back().applicationId, "r999999");

  writeStatusLog(rows, path);
  std::vector<StatusRecord> again = readStatusLog(path);
  ASSERT_EQ(again.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i)
    ASSERT_EQ(again[i], rows[i]) << i;
}

}  // namespace
}  // namespace tavrelon

namespace tavrelon {
namespace {

TEST(StatusLineReader, GivenOneLineAtATimeItHandsOnEachLineInOrderAndJoinsACellOnlyWhenItCloses) {
  std::vector<std::string> seen;
  StatusLineReader reader([&](StatusLine kind, StatusRecord& row) {
    const char* names[] = {"blank", "header", "row", "no row"};
    seen.push_back(std::string(names[static_cast<int>(kind)]) +
                   (kind == StatusLine::Row ? " " + row.applicationId + "|" + row.latestLog : ""));
  });
  std::size_t handed = 0;
  // Lines as a stream gives them: nothing is held but an open cell's lines.
  for (const std::string& line : {std::string(kSixHeader) + ",,", std::string(" \t"),
                                  std::string("a,0,running,s,,N/A"), std::string("a note")}) {
    reader.addLine(line);
    EXPECT_EQ(seen.size(), ++handed);
  }
  reader.addLine("b,crashed,s,e,\"[p] step");
  reader.addLine("4\"");
  // An open quote that the input's end cuts off: each held line on its own.
  reader.addLine("c,crashed,s,e,\"x");
  reader.addLine("d,finished,s,e,N/A");
  EXPECT_EQ(seen.size(), handed + 1);
  reader.finish();
  EXPECT_EQ(seen, (std::vector<std::string>{"header", "blank", "row a|N/A", "no row",
                                            "row b|[p] step 4", "row c|\"x", "row d|N/A"}));
  StatusRecord row;
  EXPECT_EQ(parseStatusLine(kStatusLogHeader, row), StatusLine::Header);
  EXPECT_EQ(parseStatusLine("e,timeout,s,e,[p] x,", row), StatusLine::Row);
  EXPECT_EQ(row, (StatusRecord{"e", "timeout", "s", "e", "[p] x"}));
}

TEST(StatusLineSplitter, BytesInPiecesOfAnySizeGiveTheLinesOfTheWholeAndAFalseSinkStopsIt) {
  // CR LF, a lone CR, an LF, an empty line, and a last line with no end.
  const std::string bytes = "\xEF\xBB\xBF" + kHeader + "\r\na,1\rb,2\n\r\n\rc,\"x\r\ny\"\r\nlast";
  std::vector<std::string> whole;
  for (std::size_t at = 0, next = 0; at < bytes.size(); at = next)
    whole.push_back(bytes.substr(at, statusLineEnd(bytes, at, next) - at));
  ASSERT_EQ(whole.size(), 8u);
  // Every piece size, so that a CR LF falls across two pieces at each place.
  for (std::size_t piece = 1; piece <= bytes.size(); ++piece) {
    StatusLineSplitter splitter;
    std::vector<std::string> lines;
    const auto take = [&](std::string& line) {
      lines.push_back(std::move(line));
      return true;
    };
    for (std::size_t at = 0; at < bytes.size(); at += piece)
      EXPECT_TRUE(splitter.feed(bytes.data() + at, std::min(piece, bytes.size() - at), take));
    EXPECT_TRUE(splitter.finish(take));
    EXPECT_EQ(lines, whole) << "pieces of " << piece;
  }
  StatusLineSplitter splitter;
  int handed = 0;
  EXPECT_FALSE(
      splitter.feed(bytes.data(), bytes.size(), [&](std::string&) { return ++handed < 2; }));
  EXPECT_EQ(handed, 2);
}

TEST(StatusLogOwner, TheFirstLineThatIsNotBlankDecidesWhoseFileItIs) {
  for (const std::string& line : {std::string(), std::string(" \t ")})
    EXPECT_EQ(statusLineOwner(line.data(), line.size()), StatusLogOwner::Undecided) << line;
  for (const std::string& line : {kHeader, kSixHeader, kHeader + ",,,"})
    EXPECT_EQ(statusLineOwner(line.data(), line.size()), StatusLogOwner::Ours) << line;
  for (const std::string& line :
       {kHeader + ", ", std::string("a,0,running,s,,N/A"), kHeader.substr(1)})
    EXPECT_EQ(statusLineOwner(line.data(), line.size()), StatusLogOwner::Foreign) << line;
  // The same rule over a file's bytes, whole or only its start.
  EXPECT_EQ(statusLogOwner("\xEF\xBB\xBF \r\n\n" + kHeader + "\r\nnote", true),
            StatusLogOwner::Ours);
  EXPECT_EQ(statusLogOwner("\r\nnote\r\n" + kHeader, true), StatusLogOwner::Foreign);
  EXPECT_EQ(statusLogOwner(" \r\n" + kHeader, false), StatusLogOwner::Undecided);
  EXPECT_EQ(statusLogOwner(" \r\n", true), StatusLogOwner::Ours);
}

}  // namespace
}  // namespace tavrelon

namespace tavrelon {
namespace {

TEST(StatusLogNames, EverySideFileIsHiddenFromTrackersAndTheReportButADefaultLogIsNot) {
  TempDir dir;
  const std::string log = dir.file("results.csv");
  const std::string lock = statusLogLockPath(log);
  const std::string saved = unwrittenRowsPath(dir.path(), log);
  EXPECT_EQ(lock, log + ".TavrelonLog-lock");
  EXPECT_EQ(saved, dir.file("TavrelonLog-unwritten_results.csv"));
  // A log named by hand carries no tag; its lock and saved rows do.
  EXPECT_FALSE(namesStatusLogFile(log));
  EXPECT_TRUE(namesStatusLogFile(lock));
  EXPECT_TRUE(namesStatusLogFile(saved));
  // Only below the folder given: a folder named after the tag hides nothing.
  const std::string below = dir.file("TavrelonLog_old") + S;
  EXPECT_FALSE(namesStatusLogFile(below + "app.csv", below.size()));
  // The report skips a lock or a temporary, never a log of its own.
  EXPECT_TRUE(isStatusLogSideFile("results.csv.TavrelonLog-lock"));
  EXPECT_TRUE(isStatusLogSideFile("results.csv.TavrelonLog-4242-0.tmp"));
  EXPECT_FALSE(isStatusLogSideFile("TavrelonLog_a.exe_20240601093000.csv"));
  EXPECT_FALSE(isStatusLogSideFile("TavrelonLog-unwritten_results.csv"));
}

}  // namespace
}  // namespace tavrelon
