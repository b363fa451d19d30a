// tavrelon_report as a user runs it, on status logs the real watchdog wrote:
// the page it draws of them, its messages and exit status for bad input, and
// that it leaves the logs exactly as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "logging/status_log.h"
#include "night_fixture.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// Every file under `folder` with its bytes.
std::vector<std::pair<std::string, std::string>> snapshot(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    files.emplace_back(entry.path().string(), test::readFile(entry.path().string()));
  std::sort(files.begin(), files.end());
  return files;
}

TEST(ReportEndToEnd, DrawsANightOfTheWatchdogAndNamesWhatItSkipped) {
  test::TempDir dir;
  const std::string status = test::runWatchdogNight(dir);
  const std::string s(1, platform::separator());
  const std::string alphaLog = status + s + "hostA" + s + "alpha.csv";
  const std::vector<StatusRecord> alpha = readStatusLog(alphaLog);
  const std::vector<StatusRecord> beta = readStatusLog(status + s + "hostB" + s + "beta.csv");
  ASSERT_EQ(alpha.size(), 2u);
  ASSERT_EQ(beta.size(), 1u);
  const auto before = snapshot(status);

  // The folder, a missing path and a program's own CSV file.
  const std::string results = status + s + "hostA" + s + "results.csv";
  std::string output, errors;
  EXPECT_EQ(test::runReport(
                dir.path(),
                "-o night.html \"" + status + "\" \"" + dir.file("gone") + "\" \"" + results + "\"",
                output, errors),
            1);
  EXPECT_EQ(output, "night.html\n");
  EXPECT_EQ(errors, "Error: No such file or folder [" + dir.file("gone") + "]\n" +
                        "Error: Not a status log, skipped [" + results + "]\n");
  EXPECT_EQ(snapshot(status), before) << "the report changed or added a file beside the logs";

  const std::string page = test::readFile(dir.file("night.html"));
  EXPECT_EQ(count(page, "<g class=\"lane\""), 2u);
  EXPECT_EQ(count(page, "<rect class=\"run "), 3u);
  EXPECT_EQ(count(page, "<rect class=\"run crashed\""), 1u);
  EXPECT_EQ(count(page, "<rect class=\"run finished\""), 2u);
  for (const StatusRecord& row : {alpha[0], alpha[1], beta[0]})
    EXPECT_NE(page.find("<title>" + row.applicationId + "\n" + row.runningStatus + "\n" +
                        row.startTime + " \xE2\x80\x93 " + row.endTime),
              std::string::npos)
        << row.applicationId;
  // The crash is the one failure, with the fake program's last line apart from its path.
  EXPECT_EQ(alpha[0].runningStatus, "crashed");
  EXPECT_EQ(count(page, "<li class=\"end "), 1u);
  std::smatch line;
  ASSERT_TRUE(std::regex_search(alpha[0].latestLog, line, std::regex(R"(\] (line 3 \d+)$)")));
  const std::string program = platform::finalNameOf(test::builtProgram("fake_program"));
  // The failure with its workstation, program and last line, linked to the
  // program's own log beside the page.
  EXPECT_NE(page.find("<span class=\"where\">hostA \xC2\xB7 " + program +
                      "</span> <b class=\"crashed\">crashed</b> " + alpha[0].endTime.substr(11, 5) +
                      " \xC2\xB7 <span class=\"line\">" + line[1].str() +
                      "</span> <a class=\"log\" href=\"logsA/fake.csv\">"),
            std::string::npos);
  // Summary: the program linked to its status log; runs, finished, crashed,
  // timed out, interrupted, stopped.
  EXPECT_NE(
      page.find("<a href=\"status/hostA/alpha.csv\">" + program + "</a></td><td title=\"finished "),
      std::string::npos);
  EXPECT_NE(page.find("<td class=\"n\">2</td><td class=\"n\">1</td><td class=\"n\">1</td><td "
                      "class=\"n\">0</td><td class=\"n\">0</td><td class=\"n\">0</td>"),
            std::string::npos);

  // Without -o: a page named by the time in the current folder, its name printed.
  test::TempDir here;
  EXPECT_EQ(test::runReport(here.path(), "\"" + alphaLog + "\"", output, errors), 0);
  EXPECT_TRUE(std::regex_match(output, std::regex(R"(TavrelonReport_\d{14}\.html\n)"))) << output;
  EXPECT_EQ(errors, "");
  EXPECT_TRUE(fs::is_regular_file(here.file(output.substr(0, output.size() - 1))));

  // No page where it cannot be written, and never in place of a log it reads.
  const std::string nowhere = dir.file("no-such-folder") + s + "page.html";
  EXPECT_EQ(
      test::runReport(dir.path(), "-o \"" + nowhere + "\" \"" + status + "\"", output, errors), 2);
  EXPECT_EQ(errors, "Error: Cannot write the report [" + nowhere + "]\n");
  EXPECT_EQ(
      test::runReport(dir.path(), "-o \"" + alphaLog + "\" \"" + status + "\"", output, errors), 2);
  EXPECT_EQ(errors, "Error: The page would replace the status log [" + alphaLog + "]\n");
  EXPECT_EQ(output, "");
  EXPECT_EQ(snapshot(status), before);
}

}  // namespace
}  // namespace tavrelon
