// Writes the report's pages for fixed nights into a folder, one file each, so
// that two builds can be compared byte for byte (scripts/report-pages.sh): the
// realistic lab night, hostile text in every field, times at the ends of the
// calendar, and spans from a minute to decades.
//
//   report_page_dump OUTPUT_FOLDER
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "logging/status_log.h"
#include "night_fixture.h"
#include "report/report_html.h"
#include "report/report_model.h"

namespace {

using namespace tavrelon;

std::int64_t at(const std::string& text) {
  std::int64_t seconds = 0;
  report::parseStatusTime(text, seconds);
  return seconds;
}

StatusRecord row(const std::string& id, const std::string& status, const std::string& start,
                 const std::string& end, const std::string& latest = "N/A") {
  return StatusRecord{id, status, start, end, latest};
}

// The realistic night as the report reads it from files, named relative to its folder.
report::NightReport realisticNight(std::int64_t now) {
  test::TempDir dir;
  test::writeRealisticNight(dir.path(), now);
  report::NightReport night;
  night.now = now;
  night.sources = {"status"};
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    if (entry.is_regular_file())
      names.push_back(std::filesystem::relative(entry.path(), dir.path()).generic_string());
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string workstation = name.substr(0, name.find('/'));
    report::addStatusLog(night, name, workstation, readStatusLog(dir.file(name)));
  }
  report::finishReport(night);
  return night;
}

// The report of one status log `log` of `workstation`, made at `now` from `source`.
report::NightReport oneLog(const std::string& now, const std::string& source,
                           const std::string& log, const std::string& workstation,
                           const std::vector<StatusRecord>& rows) {
  report::NightReport night;
  night.now = at(now);
  night.sources = {source};
  report::addStatusLog(night, log, workstation, rows);
  report::finishReport(night);
  return night;
}

report::NightReport hostileNight() {
  const std::string hostile =
      "\"'><script>alert(1)</script><img src=x onerror=alert(2)>\t\r\n\x01\x7F\xC2\x85\xE2\x80\xAE"
      "\xFF&amp;";
  const std::string a = "a<u>" + hostile + ".exe_", b = "b" + hostile + ".exe_";
  return oneLog("2024-06-02 07:00:00", "<b>src\"'&amp;", "host<1>/a\"'.csv", "ws<i>" + hostile,
                {row(a + "1", "crashed", "2024-06-01 22:00:00", "2024-06-01 23:00:00",
                     "[C:\\logs\\run \"1\"" + hostile + ".csv] " + hostile),
                 row(a + "2", "<em>", "2024-06-01 22:00:00", "2024-06-01 22:00:00"),
                 row(a + "3", "stopped", "2024-06-01 23:00:00", "2024-06-01 23:30:00", hostile),
                 row(a + "4", "interrupted", "2024-06-01 23:30:00", "2024-06-02 01:00:00",
                     "[/lab/" + hostile + "] x"),
                 row(b + "1", "timeout", "2024-06-01 23:00:00", "<script>"),
                 row(b + "2", "running", "2024-06-02 02:00:00", "")});
}

// Times at the calendar's ends: a "never" end, starts before 1970 and 2000.
report::NightReport calendarEnds() {
  return oneLog(
      "2024-06-02 07:00:00", "ends", "ends.csv", "ws",
      {row("a.exe_1", "finished", "2024-06-01 22:00:00", "9999-12-31 23:59:59"),
       row("a.exe_2", "finished", "1969-12-31 23:59:59", "2024-06-02 02:00:00"),
       row("a.exe_3", "crashed", "1999-12-31 23:59:59", "2000-01-01 00:00:00"),
       row("a.exe_4", "crashed", "2024-06-02 05:00:00", "2024-06-02 05:00:00", "[x.log] late")});
}

// One lane over `from` to `to` with runs spread evenly and ends of every kind.
report::NightReport span(const std::string& from, const std::string& to, int runs) {
  const std::int64_t start = at(from), end = at(to);
  std::vector<StatusRecord> rows;
  const char* statuses[] = {"finished", "crashed", "timeout", "interrupted", "stopped", "odd"};
  const std::int64_t step = (end - start) / runs;
  for (int i = 0; i < runs; ++i) {
    const std::int64_t s = start + i * step;
    rows.push_back(row("suite.exe_" + std::to_string(i), statuses[i % 6],
                       report::formatStatusTime(s), report::formatStatusTime(s + step * 2 / 3),
                       "[C:\\l\\run" + std::to_string(i) + ".csv] line " + std::to_string(i)));
  }
  rows.push_back(row("other.exe_1", "running", to, ""));
  return oneLog(to, from + " to " + to, "span.csv", "ws", rows);
}

bool write(const std::string& path, const std::string& page) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr)
    return false;
  const bool written = std::fwrite(page.data(), 1, page.size(), file) == page.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("Usage: report_page_dump OUTPUT_FOLDER\n", stderr);
    return 2;
  }
  const std::string folder = argv[1];
  report::PageOptions links;
  links.pageFolder = "/lab/reports";
  links.logFiles = {"/lab/status/ws01/a b.csv", "C:\\status\\host\"><script>.csv",
                    "/lab/reports/ws03/c.csv"};
  struct Page {
    const char* name;
    report::NightReport night;
    report::PageOptions options;
  };
  std::vector<Page> pages;
  pages.push_back({"realistic", realisticNight(at("2026-12-09 06:30:00")), links});
  pages.push_back({"realistic-watch", realisticNight(at("2026-12-31 23:59:59")), {}});
  pages.back().options.refreshSeconds = 60;
  pages.push_back({"hostile", hostileNight(), links});
  pages.push_back({"calendar-ends", calendarEnds(), {}});
  pages.push_back({"seconds", span("2024-06-01 23:59:10", "2024-06-02 00:01:00", 30), {}});
  pages.push_back({"night", span("2024-02-28 21:40:00", "2024-02-29 06:10:00", 120), links});
  pages.push_back({"week", span("2024-12-27 12:00:00", "2025-01-03 12:00:00", 300), {}});
  pages.push_back({"months", span("2023-11-15 00:00:00", "2024-04-20 00:00:00", 400), {}});
  pages.push_back({"weeks", span("2024-06-01 00:00:00", "2024-07-31 00:00:00", 200), {}});
  pages.push_back({"years", span("2000-03-01 00:00:00", "2024-03-01 00:00:00", 2000), {}});
  // A year of crash loops: more failures and set-aside ends than are listed.
  pages.push_back({"crash-loops", span("2023-06-01 00:00:00", "2024-06-01 00:00:00", 4000), {}});
  pages.push_back({"quarters", span("2021-05-01 00:00:00", "2024-03-01 00:00:00", 500), {}});
  int failures = 0;
  for (const Page& page : pages) {
    const std::string path = folder + "/" + page.name + ".html";
    if (!write(path, report::renderReportPage(page.night, page.options))) {
      std::fprintf(stderr, "Error: cannot write [%s]\n", path.c_str());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
