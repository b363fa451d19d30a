// The report's page in a real browser: Debian's chromium, headless, loads a
// page drawn from a night of the real watchdog beside a long crash loop; the
// DOM it builds is checked, and a screenshot is taken.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "logging/status_log.h"
#include "night_fixture.h"
#include "report/report_model.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

// Runs headless chromium on `page` with `mode` ("--dump-dom" or
// "--screenshot=FILE"); standard output into `output`. True when it exited 0.
bool chromium(const test::TempDir& dir, const std::string& page, const std::string& mode,
              std::string& output) {
  const std::string command =
      "timeout 120 chromium --headless --no-sandbox --disable-gpu "
      "--no-first-run --user-data-dir=\"" +
      dir.file("profile") + "\" --window-size=1300,1000 " + mode + " \"file://" + page + "\" > \"" +
      dir.file("dom") + "\" 2>/dev/null";
  const bool done = std::system(command.c_str()) == 0;
  output = test::readFile(dir.file("dom"));
  return done;
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// The runs a lane's DOM stands for: one per run bar, data-runs per merged bar.
int runsDrawn(const std::string& lane, int& mergedBars) {
  int runs = static_cast<int>(count(lane, "<rect class=\"run "));
  static const std::regex merged(R"re(<rect class="merged \w+" data-runs="(\d+)")re");
  mergedBars = 0;
  for (std::sregex_iterator it(lane.begin(), lane.end(), merged), end; it != end; ++it) {
    runs += std::stoi((*it)[1].str());
    ++mergedBars;
  }
  return runs;
}

TEST(ReportInBrowser, ShowsOneLanePerLogEveryRunOnceAndTheFailures) {
  ASSERT_EQ(std::system("command -v chromium >/dev/null"), 0)
      << "chromium is missing: scripts/setup-debian.sh installs it";
  test::TempDir dir;
  const std::string status = test::runWatchdogNight(dir);
  const std::vector<StatusRecord> alpha = readStatusLog(status + "/hostA/alpha.csv");
  ASSERT_EQ(alpha.size(), 2u);

  // A crash loop of 3000 runs of 1 s, each 2 s apart, ending where the real
  // night began: on the common axis about two of them share a pixel column.
  std::int64_t nightStart = 0;
  ASSERT_TRUE(report::parseStatusTime(alpha[0].startTime, nightStart));
  std::vector<StatusRecord> loop;
  const char* outcomes[] = {"crashed", "crashed", "timeout", "finished"};
  for (int i = 0; i < 3000; ++i) {
    const std::int64_t start = nightStart - 6000 + 2 * i;
    loop.push_back(
        StatusRecord{"loop.exe_" + std::to_string(i), outcomes[i % 4],
                     report::formatStatusTime(start), report::formatStatusTime(start + 1),
                     "[/logs/loop.csv] <script>alert(" + std::to_string(i) + ")</script>"});
  }
  // The watchdog's own writer, into a folder made for it.
  test::writeFile(status + "/hostC/loop.csv", "");
  ASSERT_EQ(writeStatusLog(loop, status + "/hostC/loop.csv"), StatusLogOutcome::Done);

  std::string output, errors;
  ASSERT_EQ(test::runReport(dir.path(), "-o page.html \"" + status + "\"", output, errors), 0)
      << errors;
  const std::string page = dir.file("page.html");
  std::string dom;
  ASSERT_TRUE(chromium(dir, page, "--dump-dom", dom));

  // The lanes in order: hostA (2 runs), hostB (1), hostC (the loop).
  std::vector<std::string> lanes;
  for (std::size_t at = dom.find("<g class=\"lane\""); at != std::string::npos;) {
    const std::size_t next = dom.find("<g class=\"lane\"", at + 1);
    lanes.push_back(dom.substr(at, dom.find("</g>", at) - at));
    at = next;
  }
  ASSERT_EQ(lanes.size(), 3u);
  int merged = 0;
  EXPECT_EQ(runsDrawn(lanes[0], merged), 2);
  EXPECT_EQ(merged, 0);
  EXPECT_EQ(runsDrawn(lanes[1], merged), 1);
  EXPECT_EQ(runsDrawn(lanes[2], merged), 3000);
  EXPECT_GT(merged, 500);
  EXPECT_LE(merged, 1000);

  // Failures: the night's crash and the loop's 2250, the newest 1000 listed.
  EXPECT_EQ(count(dom, "<li class=\"failure "), 1000u);
  EXPECT_NE(dom.find("<li class=\"failure crashed\"><b>crashed</b> " + alpha[0].endTime),
            std::string::npos);
  EXPECT_NE(dom.find("1251 older failures are not listed here"), std::string::npos);
  // The loop's log lines are text to the browser, never elements.
  EXPECT_EQ(dom.find("<script"), std::string::npos);
  EXPECT_NE(dom.find("&lt;script&gt;alert(2998)&lt;/script&gt;"), std::string::npos);

  std::string ignored;
  ASSERT_TRUE(chromium(dir, page, "--screenshot=\"" + dir.file("page.png") + "\"", ignored));
  const std::string png = test::readFile(dir.file("page.png"));
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1A\n");
  EXPECT_GT(png.size(), 20000u) << "a blank screenshot";
}

}  // namespace
}  // namespace tavrelon
