// The file services meet the system's errors: what is missing, what may pass
// (retried) and what will not, the system's code carried up, a log held without
// read sharing still measured, and Windows' half-done replacements (through the
// test seam) losing no row. Real files and processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "logging/log_tracker.h"
#include "logging/status_log.h"
#include "logging/status_updates.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/test_seams.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::string kHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log";

StatusRecord runRow(const std::string& id) {
  return StatusRecord{id, "running", "2026-01-02 03:04:05", "", "N/A"};
}

std::vector<std::string> idsIn(const std::string& statusLog) {
  std::vector<std::string> ids;
  for (const StatusRecord& row : readStatusLog(statusLog))
    ids.push_back(row.applicationId);
  return ids;
}

// Writes dir/status.csv: the header, then `rows` (each ended by CR LF). Its path.
std::string statusLogWith(const TempDir& dir, const std::string& rows) {
  const std::string path = dir.file("status.csv");
  writeFile(path, kHeader + "\r\n" + rows);
  return path;
}

// The temporaries and kept copies in `directory`.
std::vector<std::string> leftoversIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp") != std::string::npos || name.find("-kept") != std::string::npos)
      names.push_back(name);
  }
  return names;
}

// held_log_writer writing `lines` lines to `log` and holding it `holdMs` more,
// on Windows letting no one else read it meanwhile. Waits for its first byte.
platform::ProcessRecord holdWithoutReadSharing(const std::string& log, int lines, int holdMs) {
  platform::ProcessLaunch launch;
  launch.path = builtProgram("held_log_writer");
  launch.arguments = "--log \"" + log + "\" --lines " + std::to_string(lines) +
                     " --interval-ms 20 --deny-read --hold-ms " + std::to_string(holdMs);
  launch.newConsole = false;
  platform::ProcessRecord record;
  std::uint32_t error = 0;
  EXPECT_TRUE(platform::startProcess(launch, record, error)) << error;
  EXPECT_TRUE(waitUntil([&] {
    std::error_code ignored;
    return fs::file_size(log, ignored) > 0 && !ignored;
  }));
  return record;
}

TEST(FileErrors, OnlyANameThatReachesNoFileIsMissing) {
  TempDir dir;
  writeFile(dir.file("file"), "x");
  EXPECT_FALSE(platform::exists(dir.file("missing")));
  EXPECT_FALSE(platform::exists(dir.file("missing") + S + "child"));
  EXPECT_FALSE(platform::exists(dir.file("file") + S + "child"));
  EXPECT_TRUE(platform::exists(dir.file("file")));

  // A status log in a folder we may not search is there, but cannot be read:
  // neither missing (it would be rebuilt from the pending rows alone) nor
  // retried as if that would pass.
  TAVRELON_SKIP_WHERE_PERMISSION_BITS_DO_NOT_BIND();
  const std::string locked = dir.file("locked");
  const std::string statusLog = locked + S + "status.csv";
  writeFile(statusLog, kHeader + "\r\nold,running,s,,N/A\r\n");
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(platform::exists(statusLog));
  std::vector<StatusRecord> rows;
  platform::takeFileErrorCode();
  EXPECT_EQ(readStatusLog(statusLog, rows), StatusLogOutcome::Refused);
  EXPECT_EQ(platform::takeFileErrorCode(), static_cast<std::uint32_t>(EACCES));
  EXPECT_EQ(platform::takeFileErrorCode(), 0u);
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_EQ(idsIn(statusLog), std::vector<std::string>{"old"});
}

TEST(FileErrors, AWriteThatWillNotPassIsTriedOnceAndCarriesTheSystemsCode) {
  TempDir dir;
  const std::string statusLog = dir.file("status.csv");
  const std::string old = kHeader + "\r\nold,running,s,,N/A\r\n";
  writeFile(statusLog, old);
  // Read-only: the permission bits on POSIX, the read-only attribute on Windows.
  fs::permissions(statusLog,
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  if (!platform::isWindows() && runningAsRoot())
    GTEST_SKIP() << "root writes read-only files";
  ShortSleeps sleeps;
  StatusLogUpdates updates;
  updates.addRow(runRow("new"));
  EXPECT_FALSE(updates.apply(statusLog, true));
  // EACCES; ERROR_ACCESS_DENIED.
  EXPECT_EQ(updates.errorCode(), platform::isWindows() ? 5u : std::uint32_t{EACCES});
  EXPECT_EQ(sleeps.count(200), 0) << "a denied access was retried";
  EXPECT_TRUE(updates.pending());
  EXPECT_EQ(readFile(statusLog), old);

  // Writable again, the same updates pass and the code is gone.
  fs::permissions(statusLog, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_TRUE(updates.apply(statusLog, true));
  EXPECT_EQ(updates.errorCode(), 0u);
  EXPECT_EQ(idsIn(statusLog), (std::vector<std::string>{"old", "new"}));
}

TEST(FileErrors, ALogHeldWithoutReadSharingIsRetriedAsBusyAndWrittenOnceFree) {
  if (!platform::isWindows())
    GTEST_SKIP() << "POSIX opens know no sharing modes";
  TempDir dir;
  const std::string statusLog = statusLogWith(dir, "old,running,s,,N/A\r\n");
  // Held, no line added, for longer than the retries take with shortened pauses.
  const platform::ProcessRecord holder = holdWithoutReadSharing(statusLog, 0, 3000);
  std::string content;
  ASSERT_TRUE(waitUntil([&] { return !platform::readFile(statusLog, content); }));
  StatusLogUpdates updates;
  updates.addRow(runRow("new"));
  {
    ShortSleeps sleeps;
    EXPECT_FALSE(updates.apply(statusLog, true));
    EXPECT_EQ(updates.errorCode(), 32u);  // ERROR_SHARING_VIOLATION
    EXPECT_EQ(sleeps.count(200), 9) << "a sharing violation may pass: tried ten times";
  }
  std::uint32_t exitCode = 1;
  ASSERT_EQ(waitForEnd(holder, exitCode), platform::ProcessState::Exited);
  // Nothing of the old rows was lost to the held file: they and the new one stay.
  EXPECT_TRUE(updates.apply(statusLog, true));
  EXPECT_EQ(idsIn(statusLog), (std::vector<std::string>{"old", "new"}));
}

TEST(FileErrors, TheSizeOfALogHeldWithoutReadSharingIsSeenWhileItGrows) {
  TempDir dir;
  const std::string logDir = dir.file("logs");
  fs::create_directory(logDir);
  const std::string log = logDir + S + "run.csv";
  // "step,1\n" to "step,40\n", 20 ms apart, then held a second more.
  const platform::ProcessRecord holder = holdWithoutReadSharing(log, 40, 1000);
  std::int64_t first = 0;
  ASSERT_TRUE(platform::openedFileSize(log, first));
  EXPECT_GT(first, 0);
  std::int64_t later = first;
  EXPECT_TRUE(waitUntil([&] { return platform::openedFileSize(log, later) && later > first; }));
  // The tracker sees it too, as the newest log, and its size grows to the end.
  ShortSleeps sleeps;
  TestLog tracker(logDir);
  EXPECT_TRUE(waitUntil([&] { return tracker.latestLogSize() == 7 * 9 + 8 * 31; }))
      << tracker.latestLogSize();
  EXPECT_EQ(tracker.latestLogPath, log);
  std::uint32_t exitCode = 1;
  EXPECT_EQ(waitForEnd(holder, exitCode), platform::ProcessState::Exited);
}

// Forces a replacement failure for its lifetime.
struct ForcedReplacementFailure {
  explicit ForcedReplacementFailure(std::uint32_t code) {
    platform::failFileReplacementForTesting(code);
  }
  ~ForcedReplacementFailure() { platform::failFileReplacementForTesting(0); }
};

TEST(FileErrors, AReplacementRefusedForAccessFallsBackToARenameThatReplaces) {
  if (!platform::isWindows())
    GTEST_SKIP() << "ReplaceFileW is Windows' own";
  TempDir dir;
  const std::string path = statusLogWith(dir, "");
  ForcedReplacementFailure refused(5);
  EXPECT_EQ(platform::replaceRegularFile(path, kHeader + "\r\nnew,running,s,,N/A\r\n",
                                         kStatusLogTemporaryTag),
            platform::FileOutcome::Done);
  EXPECT_EQ(idsIn(path), std::vector<std::string>{"new"});
  EXPECT_TRUE(leftoversIn(dir.path()).empty());
}

TEST(FileErrors, ACopyKeptWhenTheOldFileWentIsPutBackBeforeTheNextSequenceReads) {
  if (!platform::isWindows())
    GTEST_SKIP() << "a POSIX rename replaces in one step";
  TempDir dir;
  const std::string statusLog = dir.file("status.csv");
  const std::string kept = statusLog + ".TavrelonLog-kept";
  StatusLogUpdates updates;
  updates.addRow(runRow("first"));
  ASSERT_TRUE(updates.apply(statusLog, true));
  {
    // The old file is removed, and its name stays taken: the new content, the
    // only copy of both rows, waits under the kept name.
    ForcedReplacementFailure halfDone(1176);
    updates.addRow(runRow("second"));
    EXPECT_TRUE(updates.apply(statusLog, true));
    EXPECT_FALSE(fs::exists(statusLog));
    EXPECT_EQ(idsIn(kept), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(leftoversIn(dir.path()), std::vector<std::string>{"status.csv.TavrelonLog-kept"});
  }
  // The next sequence puts it back before its sweep and its read: no row lost,
  // none twice, nothing left beside the log.
  updates.addRow(runRow("third"));
  EXPECT_TRUE(updates.apply(statusLog, true));
  EXPECT_EQ(idsIn(statusLog), (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_TRUE(leftoversIn(dir.path()).empty());
}

}  // namespace
}  // namespace tavrelon
