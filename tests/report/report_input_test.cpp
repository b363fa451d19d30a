// The report's reading side on real files: a status log read a line at a time
// gives exactly the rows of the watchdog's own reader, a log that breaks off is
// left out whole, and evidence folders beside the logs are found and read.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "logging/status_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "report/report_html.h"
#include "report/report_input.h"
#include "report/report_input_rows.h"
#include "support/test_support.h"

namespace tavrelon::report {
namespace {

const std::string kHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log";
const std::string kRow = "a.exe_1,crashed,2024-06-01 22:00:00,2024-06-01 23:00:00,[C:\\l.csv] x";

// The streamed rows and outcome of `path`, as the watchdog's reader gives them.
void expectSameAsTheWatchdog(const std::string& path, const std::string& what) {
  std::vector<StatusRecord> whole, streamed;
  const StatusLogOutcome wholeOutcome = readStatusLog(path, whole);
  const StatusLogOutcome streamedOutcome =
      streamStatusLog(path, [&](StatusRecord& row) { streamed.push_back(row); });
  EXPECT_EQ(streamedOutcome, wholeOutcome) << what;
  if (streamedOutcome == StatusLogOutcome::Done) {
    EXPECT_EQ(streamed, whole) << what;
  }
}

TEST(ReportInput, AStatusLogReadALineAtATimeGivesTheWatchdogsRowsWhateverItsForm) {
  test::TempDir dir;
  // A cell across lines whose CR ends one 64 KiB piece and whose LF begins the
  // next (one line break, not two), and a line longer than a piece.
  std::string straddling = kHeader + "\r\n";
  const std::string cell =
      "f.exe_1,finished,2024-06-01 22:00:00,2024-06-01 22:10:00,\"[C:\\f.csv] ";
  straddling += cell + std::string(65535 - straddling.size() - cell.size(), 'y') + "\r\n";
  straddling += "end of the cell\"\r\n" + kRow + "\r\n" + std::string(70000, 'z') + "\n" + kRow;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"crlf", kHeader + "\r\n" + kRow + "\r\n" + kRow + "\r\n"},
      {"lf and lone cr, no final break", kHeader + "\n" + kRow + "\r" + kRow},
      {"blank lines and a header saved with empty columns",
       " \t\r\n\r\n" + kHeader + ",,,\r\n\r\n" + kRow + "\r\n \r\n" + kHeader + "\r\n" + kRow},
      {"six columns and a trailing comma",
       "Application_ID,is_Manual,Running_Status,Start_Time,End_Time,Latest_Log\r\n"
       "b.exe_1,0,finished,2024-06-01 22:00:00,2024-06-01 23:00:00,N/A,\r\n" +
           kRow + ",\r\n"},
      {"a cell across three lines, and one whose quote never closes",
       kHeader + "\r\n" + kRow + " \"one\r\ntwo\r\nthree\"\r\n" +
           "c.exe_1,crashed,2024-06-01 22:00:00,2024-06-01 23:00:00,\"[C:\\l.csv] first\r\n"
           "second\r\nthird\"\r\n" +
           kRow + ",\"open\r\n1\r\n2\r\n3\r\n4\r\n5\r\n" + kRow + "\r\n"},
      {"foreign lines among rows", kHeader + "\r\nnot,a,row\r\n" + kRow + "\r\n"},
      {"utf-8 after a byte-order mark",
       "\xEF\xBB\xBF" + kHeader + "\r\n" + kRow + " r\xC3\xA9sum\xC3\xA9\r\n"},
      {"a byte-order mark before bytes that are no utf-8",
       "\xEF\xBB\xBF" + kHeader + "\r\n" + kRow + " r\xE9sum\xE9\r\n"},
      {"the code page's bytes", kHeader + "\r\n" + kRow + " \xE9\xE8\r\n"},
      {"a piece boundary inside a line break", straddling},
      {"empty", ""},
      {"blank lines only", "\r\n  \r\n"},
      {"someone else's file", "step,result\r\n1,ok\r\n"},
      {"rows before any header", kRow + "\r\n" + kHeader + "\r\n"},
  };
  int n = 0;
  for (const auto& [what, bytes] : files) {
    const std::string path = dir.file("log" + std::to_string(n++) + ".csv");
    test::writeFile(path, bytes);
    expectSameAsTheWatchdog(path, what);
  }
  // More lines than a status log may have: refused by both, whatever came first.
  std::string many = kHeader + "\n" + kRow + "\n";
  many.reserve(many.size() + 2 * static_cast<std::size_t>(kMaxStatusLogLines) + 4);
  for (std::int64_t i = 0; i < kMaxStatusLogLines; ++i)
    many += "x\n";
  test::writeFile(dir.file("many.csv"), many);
  std::vector<StatusRecord> none;
  EXPECT_EQ(readStatusLog(dir.file("many.csv"), none), StatusLogOutcome::Refused);
  expectSameAsTheWatchdog(dir.file("many.csv"), "too many lines");
  expectSameAsTheWatchdog(dir.file("gone.csv"), "missing");
  expectSameAsTheWatchdog(dir.path(), "a folder");
}

TEST(ReportInput, ALogThatBreaksOffIsLeftOutWholeAndTheLogsBeforeItStay) {
  test::TempDir dir;
  const std::string ws = dir.file("ws1");
  std::filesystem::create_directories(ws);
  // a.csv is read first (by name); b.csv adds rows to a's lane, then more
  // lines than a status log may have: none of b's rows may stay.
  test::writeFile(ws + "/a.csv", kHeader + "\r\n" + kRow + "\r\n");
  std::string b = kHeader + "\n" + kRow + "\nd.exe_1,crashed,2024-06-01 22:00:00,,N/A\n";
  b.reserve(b.size() + 2 * static_cast<std::size_t>(kMaxStatusLogLines) + 2);
  for (std::int64_t i = 0; i < kMaxStatusLogLines; ++i)
    b += "x\n";
  test::writeFile(ws + "/b.csv", b);
  NightReport night;
  night.now = 1717300000;  // 2024-06-02
  std::vector<std::string> errors;
  const std::vector<FoundLog> found = collectIntoReport({dir.path()}, errors, night);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(errors, std::vector<std::string>{"Error: Status log cannot be read, skipped [" + ws +
                                             std::string(1, platform::separator()) + "b.csv]"});
  ASSERT_EQ(night.logs.size(), 1u);
  ASSERT_EQ(night.lanes.size(), 1u);
  EXPECT_EQ(night.lanes[0].runs.size(), 1u);
  EXPECT_EQ(night.lanes[0].logs, std::vector<std::size_t>{0});
  EXPECT_EQ(night.unplacedCount, 0u);
  EXPECT_TRUE(night.unplaced.empty());
}

// A summary.txt as the watchdog writes it.
void writeSummary(const std::string& folder, const std::string& id, const std::string& rest) {
  std::filesystem::create_directories(folder);
  test::writeFile(folder + "/summary.txt", "Application_ID: " + id +
                                               "\nStatus: crashed\nStart_Time: 2024-06-01 "
                                               "22:00:00\nCommand_Line: a.exe\n" +
                                               rest);
}

TEST(ReportInput, EvidenceFoldersBesideTheLogsAreFoundAndGiveTheExitCode) {
  test::TempDir dir;
  test::TempDir elsewhere;
  const std::string ws = dir.file("ws1");
  std::filesystem::create_directories(ws);
  test::writeFile(ws + "/a.csv", kHeader + "\r\n" + kRow + "\r\n" +
                                     "a.exe_2,timeout,2024-06-01 23:00:00,2024-06-01 23:30:00,"
                                     "[C:\\l.csv] y\r\n"
                                     "a.exe_3,crashed,2024-06-01 23:40:00,2024-06-01 23:50:00,"
                                     "[C:\\l.csv] z\r\n");
  writeSummary(ws + "/evidence/a.exe_1", "a.exe_1",
               "Ended_By: exit code 3\nExit_Code: 3\nExit_Code_Hex: 0x00000003\n");
  writeSummary(ws + "/evidence/a.exe_2", "a.exe_2",
               "Ended_By: no log growth for 5 minutes\nFile: stacks.txt 10\n");
  // Another workstation's folder of the same name comes first by name but is
  // not this lane's; a folder whose summary names another run is no evidence.
  writeSummary(dir.file("a_first/a.exe_1"), "a.exe_1", "Exit_Code: 99\n");
  writeSummary(ws + "/evidence/a.exe_3", "b.exe_7", "Exit_Code: 5\n");
  // A folder of evidence alone is no error.
  writeSummary(elsewhere.file("a.exe_9"), "a.exe_9", "Exit_Code: 1\n");

  NightReport night;
  night.now = 1717300000;
  std::vector<std::string> errors;
  std::vector<EvidenceFolder> evidence;
  collectIntoReport({dir.path(), elsewhere.path()}, errors, night, &evidence);
  EXPECT_EQ(errors, std::vector<std::string>());
  EXPECT_EQ(evidence.size(), 5u);
  finishReport(night);
  attachEvidence(night, evidence, 10);
  ASSERT_EQ(night.failures.size(), 3u);
  // Newest first: a.exe_3, a.exe_2, a.exe_1.
  EXPECT_EQ(night.failures[0].evidence.summary, "");
  EXPECT_EQ(night.failures[1].evidence.ended, "no log growth for 5 minutes");
  EXPECT_EQ(night.failures[1].evidence.summary,
            platform::resolvedPath(ws + "/evidence/a.exe_2/summary.txt"));
  EXPECT_EQ(night.failures[2].evidence.ended, "exit code 3 (0x00000003)");
  EXPECT_EQ(night.failures[2].evidence.summary,
            platform::resolvedPath(ws + "/evidence/a.exe_1/summary.txt"));
  // Only the groups the page lists are looked up.
  for (EndGroup& group : night.failures)
    group.evidence = Evidence();
  attachEvidence(night, evidence, 2);
  EXPECT_EQ(night.failures[2].evidence.summary, "");
  EXPECT_NE(night.failures[1].evidence.summary, "");

  // The page links to the summary, relative to its folder, the exit code beside it.
  std::string out;
  HtmlWriter html(out);
  appendEndLinks(html, dir.path(), night.failures[1].evidence, "C:\\l.csv");
  EXPECT_EQ(out, " <a class=\"evidence\" href=\"ws1/evidence/a.exe_2/summary.txt\" title=\"" +
                     night.failures[1].evidence.summary +
                     " \xC2\xB7 no log growth for 5 minutes\">evidence</a> <span class=\"exit\">no "
                     "log growth for 5 minutes</span>");
  out.clear();
  appendEndLinks(html, "/lab", Evidence(), "/lab/logs/run 1.csv");
  EXPECT_EQ(out, " <a class=\"log\" href=\"logs/run%201.csv\">program log</a>");
}

}  // namespace
}  // namespace tavrelon::report
