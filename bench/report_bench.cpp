// The night report at scale: 100 000 status rows over 20 logs, as a year of
// crash loops and as one dense night. For each: the time to read the logs and
// write the page, the page's size, and the time headless chromium takes to
// load and paint it (its time for the page less its time for an empty page,
// wall and CPU). Exit status 1 when a page is 5 MB or more, or takes 2 s of
// CPU or more to render.
//
//   tavrelon_report_bench [REPEATS]   (default 5; medians are printed)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures.h"
#include "logging/status_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "report/report_html.h"
#include "report/report_input.h"
#include "report/report_model.h"

namespace {

using namespace tavrelon;
using Clock = std::chrono::steady_clock;

constexpr int kLogs = 20;
constexpr int kRowsPerLog = 5000;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Writes kLogs status logs of kRowsPerLog runs each under `folder`, spread
// evenly over `span` seconds before `end`: mostly crashes and time-outs, with
// a Latest_Log of realistic length.
void makeFleet(const std::string& folder, std::int64_t end, std::int64_t span) {
  const char* outcomes[] = {"crashed", "crashed", "timeout", "finished", "crashed", "stopped"};
  const std::int64_t every = span / kRowsPerLog;
  for (int log = 0; log < kLogs; ++log) {
    std::vector<StatusRecord> rows;
    rows.reserve(kRowsPerLog);
    for (int i = 0; i < kRowsPerLog; ++i) {
      const std::int64_t start = end - span + i * every + (log * 37 % every);
      const std::int64_t length = std::max<std::int64_t>(1, every * (1 + (i * 7 + log) % 5) / 8);
      const std::string stamp = std::to_string(start);
      rows.push_back(StatusRecord{
          "suite_" + std::to_string(log) + ".exe_" + stamp, outcomes[(i + log) % 6],
          report::formatStatusTime(start), report::formatStatusTime(start + length),
          "[D:\\lab\\logs\\suite_" + std::to_string(log) + "\\run_" + stamp +
              ".csv] 2024-06-01 03:12:44 step 1288 of 4000 assertion failed in frame 77"});
    }
    const std::string dir = folder + "/ws" + std::to_string(log);
    std::filesystem::create_directories(dir);
    writeStatusLog(rows, dir + "/suite.csv");
  }
}

// What headless chromium takes to load `page` and write its screenshot: wall
// seconds, and CPU seconds of all its processes (on a machine that others load,
// the steadier figure).
struct Load {
  double wall = -1;
  double cpu = -1;
};

Load chromiumLoad(const std::string& page, const std::string& scratch) {
  const std::string command =
      "bash -c 'TIMEFORMAT=\"%R %U %S\"; time timeout 120 chromium --headless --no-sandbox "
      "--disable-gpu --no-first-run --user-data-dir=\"" +
      scratch + "/profile\" --window-size=1300,1000 --screenshot=\"" + scratch +
      "/shot.png\" \"file://" + page + "\" >/dev/null 2>&1' 2>\"" + scratch + "/time.txt\"";
  Load load;
  if (std::system(command.c_str()) != 0)
    return load;
  std::string text;
  platform::readFile(scratch + "/time.txt", text);
  double user = 0, system = 0;
  if (std::sscanf(text.c_str(), "%lf %lf %lf", &load.wall, &user, &system) == 3)
    load.cpu = user + system;
  return load;
}

// Medians over `times` loads.
Load medianLoad(const std::string& page, const std::string& scratch, int times) {
  std::vector<double> walls, cpus;
  for (int i = 0; i < times; ++i) {
    const Load load = chromiumLoad(page, scratch);
    walls.push_back(load.wall);
    cpus.push_back(load.cpu);
  }
  return Load{median(walls), median(cpus)};
}

bool runScenario(const char* name, std::int64_t span, int repeats, const std::string& scratch,
                 Load emptyPage) {
  const std::string folder = scratch + "/" + name;
  std::int64_t now = 0;
  report::parseStatusTime(platform::localTime("%Y-%m-%d %H:%M:%S"), now);
  makeFleet(folder, now, span);

  std::vector<double> reads, writes;
  std::string page;
  const std::string path = scratch + "/" + name + ".html";
  for (int i = 0; i < repeats; ++i) {
    // Reading reduces each log to its runs as it goes: "read" holds both.
    Clock::time_point start = Clock::now();
    std::vector<std::string> errors;
    report::NightReport night;
    night.now = now;
    report::collectIntoReport({folder}, errors, night);
    reads.push_back(secondsSince(start));
    start = Clock::now();
    report::finishReport(night);
    page = report::renderReportPage(night);
    platform::replaceFileContent(path, page);
    writes.push_back(secondsSince(start));
  }
  const Load load = medianLoad(path, scratch, std::max(3, repeats));
  const double wall = load.wall - emptyPage.wall, cpu = load.cpu - emptyPage.cpu;
  const double megabytes = static_cast<double>(page.size()) / 1e6;
  std::printf(
      "%s: %d rows in %d logs\n"
      "  read the logs %.3f s, build and write the page %.3f s (medians of %d)\n"
      "  page %.2f MB (limit 5 MB)\n"
      "  chromium load and paint beyond an empty page: %.2f s wall, %.2f s CPU (limit 2 s)\n",
      name, kLogs * kRowsPerLog, kLogs, median(reads), median(writes), repeats, megabytes, wall,
      cpu);
  return megabytes < 5 && load.cpu >= 0 && cpu < 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string scratch = bench::scratchDirectory();
  const std::string empty = scratch + "/empty.html";
  platform::replaceFileContent(empty, "<!DOCTYPE html><title>empty</title>\n");
  const Load emptyPage = medianLoad(empty, scratch, 3);
  if (emptyPage.cpu < 0) {
    std::printf("chromium did not run: scripts/setup-debian.sh installs it\n");
    return 1;
  }
  std::printf("chromium on an empty page: %.2f s wall, %.2f s CPU\n", emptyPage.wall,
              emptyPage.cpu);
  bool within = runScenario("year", 365 * 86400, repeats, scratch, emptyPage);
  within = runScenario("night", 10 * 3600, repeats, scratch, emptyPage) && within;
  return within ? 0 : 1;
}
