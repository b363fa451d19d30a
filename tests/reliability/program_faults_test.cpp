// Supervision goes on whatever the supervised program's file and log do: the
// file deleted under a running program, a log held open for the whole run, a
// log made read-only, a log past 4 GiB, a FIFO and the status log in the log
// folder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "config/text_lines.h"
#include "logging/log_tracker.h"
#include "logging/status_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace test;

// Puts a fresh copy of the built program `name` at `directory`/`name` in one
// step, as an installer's rename would: a copy made in place could be found
// and started while it is still half written.
void bringBack(const std::string& name, const std::string& directory) {
  const std::string staged = directory + S + name + ".staged";
  fs::copy_file(builtProgram(name), staged, fs::copy_options::overwrite_existing);
  fs::rename(staged, directory + S + name);
}

// Puts the deleted program back once the watchdog has paused `pauses` times
// before a restart.
class ProgramRestorer {
 public:
  ProgramRestorer(const ShortSleeps& sleeps, int pauses, std::string name, std::string directory)
      : thread_([this, &sleeps, pauses, name, directory] {
          while (!done_ && sleeps.count(1000) < pauses)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          if (!done_)
            bringBack(name, directory);
        }) {}
  ~ProgramRestorer() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Takes the running program's file away from its path. Windows refuses to
// delete the file of a running program but lets it be renamed, which leaves
// the configured path naming no file just the same; POSIX deletes it.
::testing::AssertionResult takeAway(const std::string& program) {
  std::error_code error;
  if (fs::remove(program, error))
    return ::testing::AssertionSuccess();
  if (!platform::isWindows())
    return ::testing::AssertionFailure() << "cannot delete " << program << ": " << error.message();
  fs::rename(program, program + ".moved-away", error);
  if (error || platform::exists(program))
    return ::testing::AssertionFailure() << "cannot move " << program << ": " << error.message();
  return ::testing::AssertionSuccess();
}

struct Place {
  TempDir dir;
  std::string logDir = dir.file("logs");
  std::string statusLog = dir.file("TavrelonLog_prog.csv");
  std::string log(const std::string& name) const { return logDir + S + name; }

  // A watcher as the driver prepares it on `program` (a held_log_writer)
  // writing log `logName` with `more`; its first run ends as `firstRun` says
  // ("crash" or "hang"), the next finishes.
  ProgramWatcher writer(const std::string& program, const std::string& logName,
                        const std::string& more, const std::string& firstRun = "crash") const {
    fs::create_directories(logDir);
    return driverWatcher(settingsFor(program,
                                     "--log \"" + log(logName) + "\" " + more + " --first-run " +
                                         firstRun + " --first-run-flag \"" + dir.file("flag") +
                                         "\"",
                                     logDir, statusLog));
  }
  ProgramWatcher writer(const std::string& logName, const std::string& more) const {
    return writer(builtProgram("held_log_writer"), logName, more);
  }

  // The status log's rows, which must hold every run that `output` announced.
  std::vector<StatusRecord> recordedRows(const std::string& output) const {
    const std::vector<StatusRecord> rows = readStatusLog(statusLog);
    EXPECT_TRUE(everyRunRecorded(output, rows));
    return rows;
  }
  // The first row of recordedRows(output), which must be two rows.
  StatusRecord firstOfTwoRuns(const std::string& output) const {
    const std::vector<StatusRecord> rows = recordedRows(output);
    EXPECT_EQ(rows.size(), 2u) << output;
    return rows.empty() ? StatusRecord{} : rows[0];
  }
};

// The progress values of the polls that showed `log`, in order.
std::vector<std::int64_t> polledSizes(const std::string& output, const std::string& log) {
  std::vector<std::int64_t> sizes;
  const std::string marker = "  " + log + "  ";
  for (const std::string& line : splitLines(output)) {
    const std::string::size_type at = line.find(marker);
    if (at != std::string::npos)
      sizes.push_back(std::stoll(line.substr(at + marker.size())));
  }
  return sizes;
}

TEST(ProgramFileFaults, DeletedWhileRunningTheRestartAfterTheCrashRetriesUntilItIsBack) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  Place place;
  const std::string program = copyOfProgram("held_log_writer", place.dir.path(), "held_log_writer");
  ProgramWatcher watcher = place.writer(program, "run.csv", "--lines 10");

  std::string output;
  // The status log as the outage's second pause finds it, held by a second
  // name so that no later file can take its identity.
  const std::string pinned = place.dir.file("pinned.csv");
  bool rewritten = true;
  std::thread observer([&] {
    if (!waitUntil([&] { return sleeps.count(1000) >= 2; }))
      return;
    fs::create_hard_link(place.statusLog, pinned);
    if (waitUntil([&] { return sleeps.count(1000) >= 5; }))
      rewritten = !fs::equivalent(pinned, place.statusLog);
  });
  {
    ProgramRestorer restorer(sleeps, 6, "held_log_writer", place.dir.path());
    output = superviseCapturing(watcher, [&] { EXPECT_TRUE(takeAway(program)); });
  }
  observer.join();
  // Failed restarts change no row: the log is not rewritten once a second.
  EXPECT_FALSE(rewritten);

  // The restart is tried once per pause until the file is back, the crash and
  // the missing file said once; then the run goes to its finish.
  EXPECT_EQ(occurrences(output, "Specified program [held_log_writer] not found!"), 1) << output;
  EXPECT_EQ(occurrences(output, "has crashed!  Restarting now..."), 1) << output;
  EXPECT_GE(sleeps.count(1000), 6);
  const std::vector<StatusRecord> rows = place.recordedRows(output);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].latestLog, "[" + place.log("run.csv") + "] step 10");
}

TEST(ProgramFileFaults, DeletedWhileHungTheRestartAfterTheTimeOutRetriesUntilItIsBack) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  Place place;
  const std::string program = copyOfProgram("held_log_writer", place.dir.path(), "held_log_writer");
  ProgramWatcher watcher = place.writer(program, "run.csv", "--lines 1", "hang");

  std::string output;
  {
    ProgramRestorer restorer(sleeps, 6, "held_log_writer", place.dir.path());
    output = superviseCapturing(watcher, [&] { EXPECT_TRUE(takeAway(program)); });
  }

  EXPECT_EQ(occurrences(output, "Specified program [held_log_writer] not found!"), 1) << output;
  EXPECT_GE(sleeps.count(1000), 6);
  const StatusRecord first = place.firstOfTwoRuns(output);
  EXPECT_EQ(first.runningStatus, "timeout");
  EXPECT_EQ(first.latestLog, "[" + place.log("run.csv") + "] step 1");
}

TEST(ProgramLogFaults, LogHeldOpenForTheWholeRunIsTrackedAndRead) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  Place place;
  // Lines every 15 ms: far more often than the six 10 ms polls of a time-out.
  ProgramWatcher watcher = place.writer("held.csv", "--lines 40 --interval-ms 15");
  const std::string output = superviseCapturing(watcher);

  const StatusRecord first = place.firstOfTwoRuns(output);
  EXPECT_EQ(first.runningStatus, "crashed");
  EXPECT_EQ(first.latestLog, "[" + place.log("held.csv") + "] step 40");
  EXPECT_EQ(occurrences(output, "has timed out!"), 0) << output;
}

TEST(ProgramLogFaults, ReadOnlyLogStillGivesItsLastLine) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  Place place;
  ProgramWatcher watcher = place.writer("sealed.csv", "--lines 5 --read-only");
  const std::string output = superviseCapturing(watcher);

  EXPECT_EQ(place.firstOfTwoRuns(output).latestLog, "[" + place.log("sealed.csv") + "] step 5");
}

TEST(ProgramLogFaults, LogPastFourGibibytesIsTrackedWithItsFullSize) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  Place place;
  const std::string big = place.log("big.csv");
  const std::int64_t base = (std::int64_t{4} << 30) + 3;
  writeFile(big, "old\n");
  fs::resize_file(big, base);  // sparse: the disk holds next to nothing

  ProgramWatcher watcher = place.writer("big.csv", "--lines 5");
  const std::string output = superviseCapturing(watcher);
  EXPECT_EQ(place.firstOfTwoRuns(output).latestLog, "[" + big + "] step 5");
  // Every poll saw the size past the 32-bit range, never a wrapped value.
  const std::vector<std::int64_t> sizes = polledSizes(output, big);
  ASSERT_FALSE(sizes.empty()) << output;
  for (std::int64_t size : sizes)
    EXPECT_GE(size, base);

  TestLog tracker(place.logDir);
  EXPECT_EQ(tracker.latestLogPath, big);
  EXPECT_EQ(tracker.latestLogSize(), base + 7 * 10);
  std::ofstream(big, std::ios::binary | std::ios::app) << "grown,1\n";
  EXPECT_EQ(tracker.latestLogSize(), base + 7 * 10 + 8);
  EXPECT_EQ(tracker.latestLogLine(), "[" + big + "] grown 1");
}

TEST(ProgramLogFaults, AFifoAndTheStatusLogInTheLogFolderAreNeverTakenForTheLog) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  Place place;
  // The program's log is older than the status log, which every rewrite makes
  // new; the polls must still show the program's log.
  writeFile(place.log("fake.csv"), "earlier,run\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const std::string statusLog = place.log("status.csv");
  ProgramConfig config =
      settingsFor(builtProgram("fake_program"),
                  "--log-dir \"" + place.logDir + "\" --lines 8 --interval-ms 20 --crash-once \"" +
                      place.dir.file("flag") + "\"",
                  place.logDir, statusLog);
  // The polls tell which file was taken; no time-out is needed, and a slow
  // start (Wine under load) must not cause one.
  config.timeOutMin = 10;
  ProgramWatcher watcher = driverWatcher(config);
  // A FIFO newer than both and listed first: opening it to read would block
  // the watchdog for ever, and the crash would go unseen.
  bool fifo = false;
  const std::string output =
      superviseCapturing(watcher, [&] { fifo = makeFifo(place.log("a-run.csv")); });

  const std::vector<StatusRecord> rows = readStatusLog(statusLog);
  EXPECT_TRUE(everyRunRecorded(output, rows));
  ASSERT_EQ(rows.size(), 2u) << output;
  EXPECT_EQ(rows[0].runningStatus, "crashed");
  EXPECT_EQ(rows[0].latestLog.rfind("[" + place.log("fake.csv") + "] line 8 ", 0), 0u)
      << rows[0].latestLog;
  EXPECT_FALSE(polledSizes(output, place.log("fake.csv")).empty()) << output;
  EXPECT_TRUE(polledSizes(output, statusLog).empty()) << output;
  if (!fifo)
    std::cout << "no FIFO made: only the status log was in the log folder\n";
}

}  // namespace
}  // namespace tavrelon
