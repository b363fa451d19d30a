// The pending status-log changes: what a sequence writes, how long it waits
// for a lock that another process holds, and where rows go that cannot be
// written before the watchdog exits.
#include "logging/status_updates.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/test_seams.h"
#include "platform/watchdog_process.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

using namespace test;

const std::string kHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log";

StatusRecord row(std::string id, std::string status, std::string end = "e") {
  return StatusRecord{std::move(id), std::move(status), "s", std::move(end), "N/A"};
}

TEST(StatusLogUpdates, ASequenceWithNothingToChangeWritesNothing) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  // LF line ends: any rewrite would make them CR LF.
  const std::string before = kHeader + "\na,finished,s,e,N/A\n";
  writeFile(path, before);
  StatusLogUpdates updates;
  EXPECT_TRUE(updates.apply(dir.file("none") + S + "s.csv", true));
  updates.closeRow(row("a", "finished"), false);
  updates.closeRow(row("gone", "crashed"), false);  // a run the log does not hold
  EXPECT_TRUE(updates.apply(path, true));
  EXPECT_EQ(readFile(path), before);
  updates.closeRow(row("a", "crashed"), false);
  ASSERT_TRUE(updates.apply(path, true));
  EXPECT_EQ(readFile(path), kHeader + "\r\na,crashed,s,e,N/A\r\n");
}

TEST(StatusLogUpdates, LinesOfSomeoneElseLeaveTheFileAloneBeforeAndAfterTheOwnWritesAndLoseNoRow) {
  TempDir dir;
  const std::string path = dir.file("TavrelonLog_results.csv");
  // Found before any write of ours (a note typed by hand, a program's result
  // from an earlier start): the file is left as it is, the row waits.
  const std::string noted = kHeader + "\r\nold note\r\n";
  writeFile(path, noted);
  StatusLogUpdates updates;
  updates.addRow(row("a", "running", ""));
  EXPECT_FALSE(updates.apply(path, true));
  EXPECT_TRUE(updates.pending());
  EXPECT_EQ(readFile(path), noted);
  // The note gone, the waiting row is written.
  writeFile(path, kHeader + "\r\n\r\n");
  ASSERT_TRUE(updates.apply(path, false));
  // Lines of someone else's after our own write: the same.
  const std::string theirs = readFile(path) + "case,verdict\r\nboot,pass\r\n";
  EXPECT_EQ(theirs, kHeader + "\r\na,running,s,,N/A\r\ncase,verdict\r\nboot,pass\r\n");
  writeFile(path, theirs);
  updates.closeRow(row("a", "finished"), true);
  EXPECT_FALSE(updates.apply(path, true));
  EXPECT_EQ(updates.errorCode(), 0u);  // a rule of our own: no system code
  EXPECT_EQ(updates.pendingRows(), std::vector<StatusRecord>{row("a", "finished")});
  EXPECT_EQ(readFile(path), theirs);
}

TEST(StatusLogUpdates, ALineAppendedBetweenTheReadAndTheReplacementIsNeverLost) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  writeFile(path, kHeader + "\r\na,running,s,,N/A\r\n");
  // A writer that ignores the lock appends a row after our read, before our
  // replacement: that replacement gives way, and the next read keeps the row.
  int replacements = 0;
  platform::setSleepHookForTesting([](std::int64_t) {});
  platform::setBeforeReplaceHookForTesting([&](const std::string& target) {
    if (replacements++ == 0)
      std::ofstream(target, std::ios::binary | std::ios::app) << "b,running,s,,N/A\r\n";
  });
  StatusLogUpdates updates;
  updates.closeRow(row("a", "finished"), false);
  const bool applied = updates.apply(path, true);
  platform::setBeforeReplaceHookForTesting(nullptr);
  platform::setSleepHookForTesting(nullptr);
  EXPECT_TRUE(applied);
  EXPECT_EQ(replacements, 2);
  EXPECT_EQ(readFile(path), kHeader + "\r\na,finished,s,e,N/A\r\nb,running,s,,N/A\r\n");
}

TEST(StatusLogUpdates, ALongQueueIsSaidOnceAndKeepsEveryRun) {
  StatusLogUpdates updates;
  int said = 0;
  for (std::size_t n = 0; n <= StatusLogUpdates::kMaxPending; ++n)
    said += updates.addRow(row("r_" + std::to_string(n), "running", "")) ? 1 : 0;
  said += updates.closeRow(row("r_0", "crashed"), true) ? 1 : 0;  // merged into r_0's row
  EXPECT_EQ(said, 1);
  const std::vector<StatusRecord> rows = updates.pendingRows();
  ASSERT_EQ(rows.size(), StatusLogUpdates::kMaxPending + 1);
  EXPECT_EQ(rows.front().runningStatus, "crashed");
}

TEST(StatusLogUpdates, ALockHeldElsewhereHoldsUpNeitherPollsNorAStop) {
  TempDir dir;
  const std::string path = dir.file("status.csv");
  // Held as another process would hold it: through a handle of its own.
  platform::FileLock held;
  ASSERT_EQ(platform::lockFileExclusive(statusLogLockPath(path), 0, held),
            platform::FileOutcome::Done);
  ShortSleeps sleeps(1000);
  const auto paused = [&] {
    std::int64_t total = 0;
    for (std::int64_t ms : sleeps.requested())
      total += ms;
    return total;
  };
  StatusLogUpdates updates;
  updates.addRow(row("a", "running", ""));
  // A poll tries once; the first change waits the full time; the next change,
  // the lock still held, tries once.
  EXPECT_FALSE(updates.apply(path, false, LockWait::Once));
  EXPECT_EQ(paused(), 0);
  EXPECT_FALSE(updates.apply(path, true));
  const std::int64_t waited = paused();
  EXPECT_GE(waited, StatusLogUpdates::kLockWaitMs);
  EXPECT_FALSE(updates.apply(path, true));
  EXPECT_EQ(paused(), waited);

  // A stop ends a change's wait at once; the last try at exit still waits.
  StatusLogUpdates onStop;
  onStop.addRow(row("b", "stopped"));
  platform::requestStop();
  EXPECT_FALSE(onStop.apply(path, true));
  EXPECT_EQ(paused(), waited);
  EXPECT_FALSE(onStop.apply(path, true, LockWait::Full));
  platform::clearStopRequestForTesting();
  EXPECT_GE(paused(), waited + StatusLogUpdates::kLockWaitMs);
  EXPECT_TRUE(onStop.pending());
}

TEST(StatusLogQueues, RowsUnwrittenAtExitAreAddedToTheSavedOnesOrElseShownOnTheConsole) {
  TempDir dir;
  const std::string log = dir.file("gone") + S + "nightly.csv";
  const std::string saved = unwrittenRowsPath(dir.path(), log);
  EXPECT_EQ(saved, dir.file("TavrelonLog-unwritten_nightly.csv"));
  writeFile(saved, kHeader + "\r\nfirst_1,finished,s,e,N/A\r\n");
  StatusLogQueues queues;
  queues.forLog(log).addRow(row("second_1", "running", ""));
  queues.forLog(log).closeRow(row("second_1", "finished"), true);
  queues.retryPending();
  EXPECT_EQ(queues.finish(dir.path()),
            std::vector<std::string>{"Rows not written to status log [" + log + "] are saved in [" +
                                     saved + "]!"});
  EXPECT_EQ(readFile(saved),
            kHeader + "\r\nfirst_1,finished,s,e,N/A\r\nsecond_1,finished,s,e,N/A\r\n");

  // No place for the file either: the rows go to the console.
  queues.forLog(log).addRow(row("third_1", "crashed"));
  const std::string nowhere = dir.file("also-gone");
  EXPECT_EQ(queues.finish(nowhere),
            (std::vector<std::string>{"Error: Rows not written to status log [" + log +
                                          "] could not be saved in [" +
                                          unwrittenRowsPath(nowhere, log) + "]! They follow:",
                                      kHeader, "third_1,crashed,s,e,N/A"}));
  EXPECT_TRUE(queues.finish(nowhere).empty());
}

}  // namespace
}  // namespace tavrelon
