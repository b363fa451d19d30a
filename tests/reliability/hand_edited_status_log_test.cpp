// An operator may edit a status log between two updates of the watchdog:
// every line that reads as a row survives the next rewrite byte for byte, and
// supervision goes on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/text_lines.h"
#include "logging/status_log.h"
#include "logging/status_updates.h"
#include "support/watchdog_run.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

using namespace test;

// Rows as an operator keeps them: plain, quoted by our writer, with empty
// fields, and one that ends in a comma.
const std::vector<std::string> kKeptRows = {
    "alpha.exe_20240601093005,crashed,2024-06-01 09:30:05,2024-06-01 10:02:41,[D:\\logs\\r1.csv] "
    "step 12 of 40",
    "\"a,b.exe_20240601100242\",timeout,2024-06-01 10:02:42,2024-06-01 10:04:42,\"[/l/x.csv] said "
    "\"\"hi\"\", twice\"",
    "gamma.exe_1,running,,,N/A",
};

// A row whose Latest_Log cell a spreadsheet saved with a line break in it.
const std::string kSpreadsheetCell =
    "eps.exe_3,crashed,2024-06-03 08:00:00,2024-06-03 09:00:00,\"[/l/e.csv] step 4\nnote by "
    "hand\"";

TEST(HandEditedStatusLog, RowsThatReadAsRowsSurviveTheNextUpdatesByteForByte) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  TempDir dir;
  const std::string statusLog = dir.file("TavrelonLog_fake.csv");
  ProgramWatcher watcher = fakeWatcher(
      dir, statusLog, "--lines 5 --interval-ms 40 --crash-once \"" + dir.file("crashed") + "\"");

  std::string ownRow;
  const std::string output = superviseCapturing(watcher, [&] {
    // The watchdog's own "running" row stays; around it the operator adds
    // rows, both headers, a cell with a line break and a mix of line ends.
    const std::vector<std::string> lines = splitLines(readFile(statusLog));
    ASSERT_EQ(lines.size(), 2u);
    ownRow = lines[1];
    const std::string edited = std::string(kStatusLogHeader) + "\n" + kKeptRows[0] + "\r" +
                               "Application_ID,is_Manual,Running_Status,Start_Time,End_Time,"
                               "Latest_Log\r\n" +
                               "delta.exe_2,1,finished,2024-06-02 08:00:00,2024-06-02 09:00:00,"
                               "N/A\n" +
                               kKeptRows[1] + "\n\n" + ownRow + "\r\n" + kSpreadsheetCell + "\r\n" +
                               kKeptRows[2];  // no line end
    writeFile(statusLog, edited);
  });

  // The run crashed once and finished on the restart; its rows are the last two.
  const std::string content = readFile(statusLog);
  const std::vector<std::string> lines = splitLines(content);
  ASSERT_EQ(lines.size(), 8u) << content;
  EXPECT_EQ(lines[0], kStatusLogHeader);
  EXPECT_EQ(lines[1], kKeptRows[0]);
  // A six-field row loses its is_Manual field; a lone CR ended the line before.
  EXPECT_EQ(lines[2], "delta.exe_2,finished,2024-06-02 08:00:00,2024-06-02 09:00:00,N/A");
  EXPECT_EQ(lines[3], kKeptRows[1]);
  // The cell's line break is a space now, as the watchdog writes one.
  EXPECT_EQ(lines[5],
            "eps.exe_3,crashed,2024-06-03 08:00:00,2024-06-03 09:00:00,"
            "[/l/e.csv] step 4 note by hand");
  EXPECT_EQ(lines[6], kKeptRows[2]);
  // CR LF throughout.
  EXPECT_EQ(occurrences(content, "\r\n"), 8);
  EXPECT_EQ(occurrences(content, "\n"), 8);

  const std::vector<StatusRecord> rows = readStatusLog(statusLog);
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[3].applicationId, ownRow.substr(0, ownRow.find(',')));
  EXPECT_EQ(rows[3].runningStatus, "crashed");
  EXPECT_EQ(rows[6].runningStatus, "finished");
  EXPECT_EQ(occurrences(output, "Start running ["), 2) << output;
}

TEST(HandEditedStatusLog, RunningRowDeletedByHandIsWrittenAgainWhenTheRunEnds) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  TempDir dir;
  const std::string statusLog = dir.file("TavrelonLog_fake.csv");
  ProgramWatcher watcher = fakeWatcher(dir, statusLog, "--lines 5 --interval-ms 40");
  const std::string output = superviseCapturing(watcher, [&] {
    writeFile(statusLog, std::string(kStatusLogHeader) + "\r\n" + kKeptRows[0] + "\r\n");
  });

  const std::vector<StatusRecord> rows = readStatusLog(statusLog);
  ASSERT_EQ(rows.size(), 2u) << readFile(statusLog);
  EXPECT_EQ(rows[0].applicationId, "alpha.exe_20240601093005");
  EXPECT_EQ(rows[1].applicationId, watcher.status.applicationId);
  EXPECT_EQ(rows[1].runningStatus, "finished");
  EXPECT_FALSE(rows[1].startTime.empty());
  EXPECT_FALSE(rows[1].endTime.empty());
}

}  // namespace
}  // namespace tavrelon

namespace tavrelon {
namespace {

using namespace test;

TEST(HandEditedStatusLog, SomeoneElsesFileAtThePathIsLeftByteForByteAndSaidSo) {
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  TempDir dir;
  const std::string statusLog = dir.file("TavrelonLog_results.csv");
  const std::string foreign = "case,verdict\r\nboot,pass\r\n";
  writeFile(statusLog, foreign);
  ProgramWatcher watcher = fakeWatcher(dir, statusLog, "--lines 3");
  const std::string output = superviseCapturing(watcher);
  EXPECT_EQ(readFile(statusLog), foreign);
  // The start and the finish each say it; the silent retries at every poll do
  // not. A refusal by the watchdog's own rule carries no system code.
  EXPECT_EQ(occurrences(output, "Error: Failed to write status log [" + statusLog + "]!\n"), 2)
      << output;
  EXPECT_EQ(occurrences(output, "has finished!"), 1) << output;
}

}  // namespace
}  // namespace tavrelon

namespace tavrelon {
namespace {

using namespace test;

// The lines of `path` that the program wrote ("line,<i>,<run>").
std::vector<std::string> programLines(const std::string& path) {
  std::vector<std::string> lines;
  for (const std::string& line : splitLines(readFile(path)))
    if (line.rfind("line,", 0) == 0)
      lines.push_back(line);
  return lines;
}

TEST(HandEditedStatusLog, AProgramsOwnLinesInTheFileNamedAsStatusLogOutliveEveryWatchdogStart) {
  Watchdog watchdog;
  const std::string results = watchdog.dir().file("results.csv");
  const std::string saved = unwrittenRowsPath(watchdog.dir().path(), results);
  // The program appends its results to the file that TavrelonLog names, once
  // the watchdog has made it (its first line a header, then).
  const std::string configuration =
      block(builtProgram("fake_program"),
            "--log-dir \"" + watchdog.dir().path() + "\" --log-name results.csv --lines 2 " +
                "--interval-ms 10 --wait-for \"" + results + "\"",
            watchdog.dir().file("logs"), "TavrelonLog: " + results);
  // Watchdog::run gives the output with "\n" line ends on every system.
  const std::string failed = "Error: Failed to write status log [" + results + "]!\n";
  const std::string savedLine =
      "Rows not written to status log [" + results + "] are saved in [" + saved + "]!\n";

  const std::string first = watchdog.run(configuration);
  const std::string afterFirst = readFile(results);
  ASSERT_EQ(programLines(results).size(), 2u) << afterFirst;
  EXPECT_EQ(afterFirst.rfind(std::string(kStatusLogHeader) + "\r\n", 0), 0u) << afterFirst;
  EXPECT_EQ(occurrences(first, failed), 1) << first;  // the finish
  EXPECT_EQ(occurrences(first, savedLine), 1) << first;

  // A new watchdog's first write finds the program's lines there: it leaves the
  // file byte for byte too, and the program adds two more.
  const std::string second = watchdog.run(configuration);
  const std::string afterSecond = readFile(results);
  EXPECT_EQ(afterSecond.compare(0, afterFirst.size(), afterFirst), 0) << afterSecond;
  EXPECT_EQ(programLines(results).size(), 4u) << afterSecond;
  EXPECT_EQ(occurrences(second, failed), 2) << second;  // the start and the finish
  EXPECT_EQ(occurrences(second, savedLine), 1) << second;

  // No run is lost: each start's closed row waits in the saved rows.
  std::vector<StatusRecord> rows;
  ASSERT_EQ(readStatusLog(saved, rows), StatusLogOutcome::Done) << readFile(saved);
  ASSERT_EQ(rows.size(), 2u) << readFile(saved);
  EXPECT_EQ(rows[0].runningStatus, "finished");
  EXPECT_EQ(rows[1].runningStatus, "finished");
  EXPECT_NE(rows[0].applicationId, rows[1].applicationId);
}

}  // namespace
}  // namespace tavrelon
