// The report's rules in process: times, runs and counts of a log, axis ticks,
// merging of short runs, outcome colours, and escaping of any Latest_Log.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "report/report_html.h"
#include "report/report_layout.h"
#include "report/report_model.h"

namespace tavrelon::report {
namespace {

std::int64_t at(const std::string& text) {
  std::int64_t seconds = 0;
  EXPECT_TRUE(parseStatusTime(text, seconds)) << text;
  return seconds;
}

StatusRecord row(const std::string& id, const std::string& status, const std::string& start,
                 const std::string& end, const std::string& latest = "N/A") {
  return StatusRecord{id, status, start, end, latest};
}

TEST(ReportLane, CountsRunsEndsRunningRowsAndListsUnplacedRowsApart) {
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  addStatusLog(
      night, "night.csv", "ws1",
      {row("a.exe_1", "crashed", "2024-06-01 22:00:00", "2024-06-01 23:00:00", "[l1.csv] early"),
       row("a.exe_2", "timeout", "2024-06-01 23:00:05", "2024-06-02 01:00:00", "[l2.csv] late"),
       // a killed watchdog's run: it had ended by the next start
       row("a.exe_3", "running", "2024-06-02 01:00:05", ""),
       row("a.exe_4", "running", "2024-06-02 02:00:00", ""),
       row("a.exe_5", "finished", "yesterday", "2024-06-02 02:00:00"),
       row("a.exe_6", "crashed", "2024-06-02 03:00:00", "2024-06-02 02:00:00"),
       row("a.exe_7", "stopped", "2024-06-02 03:00:00", ""),
       // "never" ends, and starts no watchdog made
       row("a.exe_8", "finished", "2024-06-02 04:00:00", "9999-12-31 23:59:59"),
       row("a.exe_9", "finished", "1969-12-31 23:59:59", "2024-06-02 02:00:00"),
       row("a.exe_10", "finished", "2024-06-04 00:00:00", "2024-06-04 01:00:00")});
  finishReport(night);
  ASSERT_EQ(night.lanes.size(), 1u);
  const Lane& lane = night.lanes[0];
  ASSERT_EQ(lane.runs.size(), 5u);
  EXPECT_EQ(lane.program, "a.exe");
  EXPECT_EQ(lane.count(Outcome::Crashed), 1);
  EXPECT_EQ(lane.count(Outcome::Timeout), 1);
  EXPECT_EQ(lane.count(Outcome::Running), 2);
  EXPECT_EQ(lane.runs[2].end, at("2024-06-02 02:00:00"));
  EXPECT_TRUE(lane.runs[2].superseded);
  // The running row ends where the next run of the program starts.
  EXPECT_EQ(lane.runs[3].end, at("2024-06-02 04:00:00"));
  EXPECT_TRUE(lane.runs[3].superseded);
  EXPECT_TRUE(lane.runs[4].endOffTimeline);
  EXPECT_EQ(lane.runs[4].end, night.now);
  EXPECT_EQ(night.endsOffTimeline, 1);
  EXPECT_EQ(night.axisEnd, night.now);
  EXPECT_EQ(lane.firstStart, at("2024-06-01 22:00:00"));
  // 9 h minus the gaps of 5 s between the first three runs.
  EXPECT_EQ(lane.supervised, 9 * 3600 - 10);
  ASSERT_EQ(lane.lastFailure, 1);

  ASSERT_EQ(night.unplaced.size(), 5u);
  EXPECT_EQ(night.unplaced[0].rowNumber, 5u);
  EXPECT_EQ(night.unplaced[0].reason, "Start_Time is no time");
  EXPECT_EQ(night.unplaced[1].reason, "End_Time before Start_Time");
  EXPECT_EQ(night.unplaced[2].reason, "End_Time is no time");
  EXPECT_EQ(night.unplaced[2].row.applicationId, "a.exe_7");
  EXPECT_EQ(night.unplaced[3].reason, "Start_Time before 2000, off the timeline");
  EXPECT_EQ(night.unplaced[4].reason, "Start_Time after the report's time, off the timeline");
}

TEST(ReportLane, RowsOffTheTimelineAreKeptUpToABoundAndCounted) {
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  const std::vector<StatusRecord> rows(1500, row("a.exe_1", "finished", "never", "never"));
  addStatusLog(night, "a.csv", "ws", rows);
  finishReport(night);
  EXPECT_EQ(night.unplaced.size(), kMaxUnplacedKept);
  EXPECT_EQ(night.unplacedCount, 1500u);
  EXPECT_NE(renderReportPage(night).find("500 older rows are not listed"), std::string::npos);
}

TEST(ReportLane, OneLanePerProgramAndWorkstationWhateverTheLogs) {
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  // Three default-named logs of one program; one log shared by two programs.
  for (int n = 1; n <= 3; ++n)
    addStatusLog(night, "ws1/TavrelonLog_a.exe_" + std::to_string(n) + ".csv", "ws1",
                 {row("a.exe_" + std::to_string(n), "finished",
                      "2024-06-01 0" + std::to_string(n) + ":00:00",
                      "2024-06-01 0" + std::to_string(n) + ":30:00")});
  addStatusLog(night, "ws2/shared.csv", "ws2",
               {row("b.exe_1", "finished", "2024-06-01 01:00:00", "2024-06-01 02:00:00"),
                row("c.exe_1", "crashed", "2024-06-01 01:00:00", "2024-06-01 01:10:00"),
                row("b.exe_2", "stopped", "2024-06-01 02:00:00", "2024-06-01 03:00:00")});
  // The same program on another workstation is a lane of its own.
  addStatusLog(night, "ws2/a.csv", "ws2",
               {row("a.exe_9", "finished", "2024-06-01 01:00:00", "2024-06-01 02:00:00")});
  finishReport(night);
  std::vector<std::string> lanes;
  for (const Lane& lane : night.lanes)
    lanes.push_back(lane.workstation + " " + lane.program + " " + std::to_string(lane.runs.size()));
  // In a workstation, the lanes with failures first.
  EXPECT_EQ(lanes,
            (std::vector<std::string>{"ws1 a.exe 3", "ws2 c.exe 1", "ws2 a.exe 1", "ws2 b.exe 2"}));
  EXPECT_EQ(night.lanes[0].logs, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(night.lanes[1].logs, night.lanes[3].logs);
  // Stops are no failures.
  EXPECT_EQ(night.failureCount, 1);
  ASSERT_EQ(night.setAside.size(), 1u);
  EXPECT_EQ(night.lanes[night.setAside[0].lane].program, "b.exe");
}

TEST(ReportLane, ConsecutiveFailuresWithOneLineAreOneGroupNewestFirst) {
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  std::vector<StatusRecord> rows;
  auto add = [&](const char* status, int minute, const char* line) {
    const std::string start =
        "2024-06-01 22:" + std::string(minute < 10 ? "0" : "") + std::to_string(minute) + ":00";
    rows.push_back(row("a.exe_" + std::to_string(minute), status, start, start.substr(0, 17) + "30",
                       std::string("[C:\\l") + std::to_string(minute) + ".csv] " + line));
  };
  for (int m = 0; m < 5; ++m)
    add("crashed", m, "assert");  // one group: the paths differ, the lines do not
  add("crashed", 5, "other line");
  add("timeout", 6, "other line");
  add("finished", 7, "ok");
  add("timeout", 8, "other line");  // a finish between: a group of its own
  add("interrupted", 9, "x");
  addStatusLog(night, "a.csv", "ws", rows);
  finishReport(night);
  std::vector<std::string> groups;
  for (const EndGroup& group : night.failures)
    groups.push_back(std::to_string(group.count) + " " +
                     night.lanes[0].runs[group.first].row.applicationId + "-" +
                     night.lanes[0].runs[group.last].row.applicationId);
  EXPECT_EQ(groups, (std::vector<std::string>{"1 a.exe_8-a.exe_8", "1 a.exe_6-a.exe_6",
                                              "1 a.exe_5-a.exe_5", "5 a.exe_0-a.exe_4"}));
  EXPECT_EQ(night.failureCount, 8);
  ASSERT_EQ(night.setAside.size(), 1u);
  EXPECT_EQ(night.setAside[0].count, 1);
  const std::string page = renderReportPage(night);
  EXPECT_NE(page.find("<b class=\"crashed\">5 \xC3\x97 crashed</b> 2024-06-01 22:00\xE2\x80\x93"
                      "2024-06-01 22:04 \xC2\xB7 <span class=\"line\">assert</span>"),
            std::string::npos);
}

std::vector<std::string> labels(const std::vector<Tick>& ticks) {
  std::vector<std::string> out;
  for (const Tick& tick : ticks)
    out.push_back(tick.date.empty() ? tick.label : tick.date + " " + tick.label);
  return out;
}

TEST(ReportAxis, TicksFollowTheSpanHoursForANightDaysForAWeekMonthsForAYear) {
  const std::vector<Tick> night =
      axisTicks(at("2024-06-01 21:40:00"), at("2024-06-02 06:10:00"), 1000);
  EXPECT_EQ(labels(night),
            (std::vector<std::string>{"2024-06-01 22:00", "23:00", "2024-06-02 00:00", "01:00",
                                      "02:00", "03:00", "04:00", "05:00", "06:00"}));
  const double hour = 1000.0 / (8.5 * 3600) * 3600;
  EXPECT_NEAR(night[0].x, 1000.0 / (8.5 * 3600) * 20 * 60, 1e-9);
  EXPECT_NEAR(night[1].x - night[0].x, hour, 1e-9);

  EXPECT_EQ(labels(axisTicks(at("2024-06-01 12:00:00"), at("2024-06-08 12:00:00"), 1000)),
            (std::vector<std::string>{"2024-06-02", "2024-06-03", "2024-06-04", "2024-06-05",
                                      "2024-06-06", "2024-06-07", "2024-06-08"}));
  // Two months: weeks, each on a Monday (2024-06-03 was one).
  const std::vector<Tick> weeks =
      axisTicks(at("2024-06-01 00:00:00"), at("2024-07-31 00:00:00"), 1000);
  ASSERT_FALSE(weeks.empty());
  EXPECT_EQ(weeks[0].label, "2024-06-03");
  for (std::size_t i = 1; i < weeks.size(); ++i)
    EXPECT_EQ(weeks[i].time - weeks[i - 1].time, 7 * 86400);
  EXPECT_EQ(labels(axisTicks(at("2023-11-15 00:00:00"), at("2024-04-20 00:00:00"), 1000)),
            (std::vector<std::string>{"2023-12", "2024-01", "2024-02", "2024-03", "2024-04"}));
  EXPECT_EQ(labels(axisTicks(at("2024-06-01 23:59:10"), at("2024-06-02 00:01:00"), 1000)),
            (std::vector<std::string>{"2024-06-01 23:59:30", "2024-06-02 00:00:00", "00:00:30",
                                      "00:01:00"}));
  const std::vector<Tick> decade =
      axisTicks(at("2015-03-01 00:00:00"), at("2024-03-01 00:00:00"), 1000);
  EXPECT_EQ(decade.front().label, "2016");
  EXPECT_EQ(decade.back().label, "2024");
  // Ticks never stand closer than the labels need, on a narrow axis or a wide one.
  for (double width : {150.0, 400.0, 1000.0, 5000.0}) {
    const std::vector<Tick> ticks =
        axisTicks(at("2024-06-01 00:00:00"), at("2024-06-08 00:00:00"), width);
    for (std::size_t i = 1; i < ticks.size(); ++i)
      EXPECT_GE(ticks[i].x - ticks[i - 1].x, ticks[i].label.size() > 5 ? 110 - 1e-9 : 100 - 1e-9)
          << width;
  }
}

report::Run run(std::int64_t start, std::int64_t length, Outcome outcome) {
  report::Run r;
  r.start = start;
  r.end = start + length;
  r.outcome = outcome;
  return r;
}

TEST(ReportLane, RunsTooShortToSeeMergeIntoOneBarPerPixelColumn) {
  // 1000 px for 10 000 s: 10 s per pixel.
  std::vector<report::Run> runs;
  runs.push_back(run(0, 5000, Outcome::Finished));  // 500 px: a bar of its own
  for (int i = 0; i < 1500; ++i)                    // 3 s each, 3 or 4 per pixel
    runs.push_back(run(5000 + i * 3, 3, i == 750 ? Outcome::Crashed : Outcome::Finished));
  runs.push_back(run(9995, 2, Outcome::Timeout));  // alone in its column
  const std::vector<Bar> bars = laneBars(runs, 0, 10000, 1000);

  ASSERT_FALSE(bars.empty());
  EXPECT_FALSE(bars[0].merged);
  EXPECT_DOUBLE_EQ(bars[0].width, 500);
  const Bar& last = bars.back();
  EXPECT_FALSE(last.merged);
  EXPECT_EQ(last.run, runs.size() - 1);
  EXPECT_DOUBLE_EQ(last.x, 999);  // its pixel column
  EXPECT_DOUBLE_EQ(last.width, 1);

  std::set<double> columns;
  int counted = 0;
  int crashedBars = 0;
  for (std::size_t i = 1; i + 1 < bars.size(); ++i) {
    EXPECT_TRUE(bars[i].merged);
    EXPECT_DOUBLE_EQ(bars[i].width, 1);
    EXPECT_TRUE(columns.insert(bars[i].x).second) << "two bars in column " << bars[i].x;
    counted += bars[i].counts.total();
    if (bars[i].outcome == Outcome::Crashed) {
      ++crashedBars;
      EXPECT_EQ(bars[i].counts.count[static_cast<int>(Outcome::Crashed)], 1);
    }
  }
  EXPECT_EQ(counted, 1500);
  EXPECT_EQ(crashedBars, 1);  // the one crash is not hidden among finishes
  EXPECT_EQ(columns.size(), 450u);
}

TEST(ReportLane, EveryCrashTimeoutAndInterruptionIsAMarkAtItsEndEvenOfAnInstantRun) {
  // 1000 px for 10 000 s: 10 s per pixel, marks gathered per 4 px (40 s).
  std::vector<report::Run> runs;
  runs.push_back(run(0, 5000, Outcome::Finished));      // no mark
  runs.push_back(run(5000, 0, Outcome::Crashed));       // an instant: still a mark
  runs.push_back(run(6000, 10, Outcome::Timeout));      // three ends in one column,
  runs.push_back(run(6005, 10, Outcome::Interrupted));  // the place of the newest,
  runs.push_back(run(6010, 5, Outcome::Crashed));       // the worst one's shape
  runs.push_back(run(7000, 100, Outcome::Stopped));     // a stop is no mark
  runs.push_back(run(9990, 10, Outcome::Interrupted));  // at the axis end
  const std::vector<Mark> marks = laneMarks(runs, 0, 10000, 1000, 4);
  ASSERT_EQ(marks.size(), 3u);
  EXPECT_DOUBLE_EQ(marks[0].x, 500);
  EXPECT_EQ(marks[0].outcome, Outcome::Crashed);
  EXPECT_EQ(marks[0].counts.total(), 1);
  EXPECT_DOUBLE_EQ(marks[1].x, 601.5);
  EXPECT_EQ(marks[1].outcome, Outcome::Crashed);
  EXPECT_EQ(marks[1].counts.total(), 3);
  EXPECT_EQ(marks[1].first, 2u);
  EXPECT_EQ(marks[1].last, 4u);
  EXPECT_EQ(marks[2].outcome, Outcome::Interrupted);
  EXPECT_DOUBLE_EQ(marks[2].x, 1000);
}

TEST(ReportColours, EachOutcomeHasItsOwnOkabeItoColour) {
  const std::set<std::string> okabeIto{"#000000", "#E69F00", "#56B4E9", "#009E73",
                                       "#F0E442", "#0072B2", "#D55E00", "#CC79A7"};
  std::set<std::string> used;
  for (int i = 0; i < kOutcomes; ++i) {
    const Outcome outcome = static_cast<Outcome>(i);
    EXPECT_EQ(okabeIto.count(outcomeColour(outcome)), 1u) << outcomeName(outcome);
    used.insert(outcomeColour(outcome));
    EXPECT_EQ(outcomeOf(outcomeName(outcome)), outcome);
  }
  EXPECT_EQ(used.size(), 7u);
}

TEST(ReportEscaping, AnyByteALogLineHoldsIsShownAsTextNeverAsMarkup) {
  EXPECT_EQ(
      escaped("[C:\\logs\\a.csv] <script>alert('x' & \"y\")</script>"),
      "[C:\\logs\\a.csv] &lt;script&gt;alert(&#39;x&#39; &amp; &quot;y&quot;)&lt;/script&gt;");
  // Valid UTF-8 stays; what is no UTF-8, and hidden controls, become U+FFFD.
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(escaped("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
            "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(escaped("a\xC0\xAF"
                    "b"),
            "a" + fffd + fffd + "b");                                  // overlong '/'
  EXPECT_EQ(escaped("\xED\xA0\x80"), fffd + fffd + fffd);              // a surrogate
  EXPECT_EQ(escaped("\xE2\x82"), fffd + fffd);                         // cut short
  EXPECT_EQ(escaped("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);   // past U+10FFFF
  EXPECT_EQ(escaped("x\xE2\x80\xAEtxt.exe"), "x" + fffd + "txt.exe");  // right-to-left override
  EXPECT_EQ(escaped(std::string("a\0b\x1b\tc\r\n\x7f\xC2\x85", 11)),
            "a" + fffd + "b" + fffd + " c  " + fffd + fffd);

  // Every byte value alone and after a lead byte: no raw markup character, no
  // control, and the result is well-formed UTF-8 that escaping leaves alone
  // once its references are read back.
  for (int lead : {-1, 0xC3, 0xE2, 0xF0}) {
    for (int c = 0; c < 256; ++c) {
      std::string text = lead < 0 ? "" : std::string(1, static_cast<char>(lead));
      text += static_cast<char>(c);
      const std::string out = escaped(text);
      EXPECT_EQ(out.find_first_of("<>\"'"), std::string::npos) << c;
      for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(out[i]);
        EXPECT_FALSE(b < 0x20 || b == 0x7F) << lead << " " << c;
        if (b == '&') {
          EXPECT_TRUE(out.compare(i, 5, "&amp;") == 0 || out.compare(i, 4, "&lt;") == 0 ||
                      out.compare(i, 4, "&gt;") == 0 || out.compare(i, 6, "&quot;") == 0 ||
                      out.compare(i, 5, "&#39;") == 0);
        }
      }
      // Well-formed: escaping the output again changes only its '&'.
      std::string again = escaped(out);
      std::string expected;
      for (char ch : out)
        expected += ch == '&' ? std::string("&amp;") : std::string(1, ch);
      EXPECT_EQ(again, expected) << lead << " " << c;
    }
  }
}

TEST(ReportPage, HostileTextStaysTextInEveryPlaceAndThePageFetchesNothing) {
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  night.sources = {"<b>src\"'"};
  const std::string hostile = "\"'><script>alert(1)</script><img src=x onerror=alert(2)>";
  addStatusLog(night, "host<1>/a\"'.csv", "ws<i>" + hostile,
               {row("a<u>" + hostile + ".exe_1", "crashed", "2024-06-01 22:00:00",
                    "2024-06-01 23:00:00", "[C:\\logs\\run \"1\"" + hostile + ".csv] " + hostile),
                row("a.exe_2", "<em>", "2024-06-01 22:00:00", "2024-06-01 22:00:00"),
                row("a.exe_3", "stopped", "2024-06-01 23:00:00", "2024-06-01 23:30:00", hostile),
                row("a.exe_4", "finished", "2024-06-01 23:00:00", "<script>")});
  finishReport(night);
  ASSERT_FALSE(night.failures.empty());
  night.failures[0].evidence = Evidence{"C:\\status\\ev\\a\"><script>\\summary.txt", hostile};
  PageOptions options;
  options.pageFolder = "C:\\reports";
  options.logFiles = {"C:\\status\\host\"><script>.csv"};
  const std::string page = renderReportPage(night, options);
  for (const char* markup : {"<script", "<img", "<em", "<u>", "<i>", "host<1>", "<b>src"})
    EXPECT_EQ(page.find(markup), std::string::npos) << markup;
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  // Links go to the logs only, percent-encoded; nothing is fetched: no source
  // or import, and a policy that forbids them.
  static const std::regex href(R"re(href="([^"]*)")re");
  int links = 0;
  for (std::sregex_iterator it(page.begin(), page.end(), href), end; it != end; ++it) {
    const std::string target = (*it)[1].str();
    EXPECT_TRUE(target.rfind("#k-", 0) == 0 || target.rfind("../", 0) == 0 ||
                target.rfind("file:", 0) == 0)
        << target;
    EXPECT_EQ(target.find_first_of("<>'& "), std::string::npos) << target;
    links += target[0] != '#';
  }
  EXPECT_GE(links, 3);
  EXPECT_NE(page.find("href=\"../status/host%22%3E%3Cscript%3E.csv\""), std::string::npos);
  EXPECT_NE(
      page.find("href=\"../status/ev/a%22%3E%3Cscript%3E/summary.txt\" title=\"C:\\status\\ev\\a"
                "&quot;&gt;&lt;script&gt;"),
      std::string::npos);
  for (const char* fetching : {"src=\"", "url(", "@import", "<link", "<img"})
    EXPECT_EQ(page.find(fetching), std::string::npos) << fetching;
  EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
}

TEST(ReportPage, EveryTagAfterTheStyleSheetHoldsOnlyKnownNamesAndEscapedValues) {
  const std::string hostile = "\"'><img src=x onerror=alert(1)>&amp;\n\t\xE2\x80\xAE";
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  night.sources = {"src" + hostile};
  addStatusLog(night, "log" + hostile + ".csv", "ws" + hostile,
               {row("a" + hostile + ".exe_1", "crashed", "2024-06-01 22:00:00",
                    "2024-06-01 23:00:00", "[/lab/" + hostile + "] " + hostile),
                row("a" + hostile + ".exe_2", "stopped", "2024-06-01 23:00:00",
                    "2024-06-01 23:00:01", "[/lab/x" + hostile + "] y"),
                row("a" + hostile + ".exe_3", "x" + hostile, "2024-06-02 01:00:00", "never"),
                row("b" + hostile + ".exe_4", "running", "2024-06-02 02:00:00", "")});
  finishReport(night);
  PageOptions options;
  options.pageFolder = "/lab/reports";
  options.logFiles = {"/lab/status/" + hostile + ".csv"};
  const std::string page = renderReportPage(night, options);
  // The prologue and the style sheet are the program's own text; what follows
  // is written element by element.
  const std::size_t body = page.find("</style>");
  ASSERT_NE(body, std::string::npos);
  static const std::regex tag(R"re(<(/?)([a-z][a-z0-9]*)((?: [a-zA-Z0-9-]+="[^"<>']*")*)(/?)>)re");
  static const std::regex attribute(R"re( ([a-zA-Z0-9-]+)=")re");
  const std::set<std::string> names = {
      "a",     "b",     "body", "br",   "col", "colgroup", "defs",  "div",  "g",     "h1",    "h2",
      "head",  "html",  "li",   "line", "ol",  "p",        "path",  "rect", "span",  "style", "svg",
      "table", "tbody", "td",   "text", "th",  "thead",    "title", "tr",   "tspan", "use"};
  const std::set<std::string> attributes = {
      "class", "title",     "href",         "style",    "id",        "d",
      "fill",  "stroke",    "stroke-width", "x",        "y",         "x1",
      "x2",    "y1",        "y2",           "width",    "height",    "viewBox",
      "xmlns", "transform", "text-anchor",  "tabindex", "data-ends", "data-runs"};
  int tags = 0;
  for (std::size_t at = page.find('<', body); at != std::string::npos;
       at = page.find('<', at + 1)) {
    std::smatch match;
    const std::string rest = page.substr(at, page.find('>', at) + 1 - at);
    ASSERT_TRUE(std::regex_match(rest, match, tag)) << rest;
    EXPECT_TRUE(names.count(match[2].str())) << rest;
    const std::string list = match[3].str();
    for (std::sregex_iterator it(list.begin(), list.end(), attribute), end; it != end; ++it)
      EXPECT_TRUE(attributes.count((*it)[1].str())) << rest;
    ++tags;
  }
  EXPECT_GT(tags, 100);
}

TEST(ReportPage, TheWriterEscapesValuesAndTextAndKeepsQuotesOnlyInProse) {
  std::string out;
  HtmlWriter html(out);
  html.start("a").attr("href", "x\" onclick='y'").attr("x", 12.25).attr("y", -2).open();
  html.text("<'\">&").prose(" it's \"<b>\"").newline().nonBreakingSpace().end("a");
  EXPECT_EQ(out,
            "<a href=\"x&quot; onclick=&#39;y&#39;\" x=\"12.2\" y=\"-2\">&lt;&#39;&quot;&gt;&amp;"
            " it's \"&lt;b&gt;\"\n&nbsp;</a>");
  out.clear();
  html.start("use").attr("href", "#k-\t\x01").openEmpty().element("p", "a\xC2\x85");
  EXPECT_EQ(out, "<use href=\"#k- \xEF\xBF\xBD\"/><p>a\xEF\xBF\xBD</p>");
}

TEST(ReportPage, ALongFieldIsCutAndSaysHowMuchIsLeftOut) {
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  const std::string huge(300000, 'x');
  addStatusLog(night, "a.csv", "ws",
               {row("a.exe_1", "crashed", "2024-06-01 22:00:00", "2024-06-01 23:00:00",
                    "[C:\\l.csv] " + huge),
                row("a.exe_2", huge, "2024-06-01 23:00:00", "2024-06-01 23:30:00")});
  finishReport(night);
  const std::string page = renderReportPage(night);
  EXPECT_LT(page.size(), 60000u);
  EXPECT_NE(page.find(" \xE2\x80\xA6 " + std::to_string(300000 + 11 - kFieldLimit) + " bytes more"),
            std::string::npos);
  EXPECT_EQ(cappedField("ab\xC3\xA9", 3), "ab \xE2\x80\xA6 2 bytes more");
  EXPECT_EQ(cappedField("abc", 3), "abc");
}

TEST(ReportPage, LinksAreRelativeOnOneRootAndFileUrlsAcrossRoots) {
  EXPECT_EQ(linkTo("/lab/reports", "/lab/status/ws1/a b.csv"), "../status/ws1/a%20b.csv");
  EXPECT_EQ(linkTo("/lab", "/lab/ws1/a.csv"), "ws1/a.csv");
  EXPECT_EQ(linkTo("C:\\Tavrelon", "C:\\Tavrelon\\TavrelonLog_x.csv"), "TavrelonLog_x.csv");
  EXPECT_EQ(linkTo("C:\\Tavrelon", "d:\\logs\\r\xC3\xA9.csv"), "file:///D:/logs/r%C3%A9.csv");
  EXPECT_EQ(linkTo("C:\\Tavrelon", "\\\\server\\share\\a.csv"), "file://server/share/a.csv");
  EXPECT_EQ(linkTo("/lab", "logs/a.csv"), "");
  EXPECT_EQ(middleShortened("render_suite_with_a_long_name.exe", 15),
            "render_\xE2\x80\xA6"
            "ame.exe");
  EXPECT_EQ(middleShortened("short.exe", 15), "short.exe");
}

TEST(ReportAxis, ADateFarOutOnTheAxisHasTicksOnItsOwnCalendarBoundaries) {
  EXPECT_EQ(labels(axisTicks(at("9999-07-15 00:00:00"), at("9999-12-31 23:59:59"), 770)),
            (std::vector<std::string>{"9999-08", "9999-09", "9999-10", "9999-11", "9999-12"}));
  EXPECT_EQ(labels(axisTicks(at("9999-12-31 23:58:50"), at("9999-12-31 23:59:59"), 770)),
            (std::vector<std::string>{"9999-12-31 23:58:50", "23:59:00", "23:59:10", "23:59:20",
                                      "23:59:30", "23:59:40", "23:59:50"}));
  // The week of 2100-02-28, which is no leap year, and of 2000-02-28, which is one.
  EXPECT_EQ(labels(axisTicks(at("2100-02-26 12:00:00"), at("2100-03-03 12:00:00"), 770)),
            (std::vector<std::string>{"2100-02-27", "2100-02-28", "2100-03-01", "2100-03-02",
                                      "2100-03-03"}));
  EXPECT_EQ(labels(axisTicks(at("2000-02-27 12:00:00"), at("2000-03-01 12:00:00"), 770)),
            (std::vector<std::string>{"2000-02-27 12:00", "2000-02-28 00:00", "12:00",
                                      "2000-02-29 00:00", "12:00", "2000-03-01 00:00", "12:00"}));
  const std::vector<Tick> early =
      axisTicks(at("0001-01-01 00:00:00"), at("0990-01-01 00:00:00"), 770);
  // Five-year steps, each on a year divisible by five.
  ASSERT_EQ(early.size(), 198u);
  EXPECT_EQ(early.front().label, "0005");
  EXPECT_EQ(early.back().label, "0990");
}

TEST(ReportAxis, YearsFrom1900To9999EndTheAxisWithinItsBound) {
  for (double width : {1.0, 770.0, 100000.0}) {
    const std::vector<Tick> ticks =
        axisTicks(at("1900-01-01 00:00:00"), at("9999-12-31 23:59:59"), width);
    EXPECT_LE(ticks.size(), kMaxTicks);
    const std::vector<Tick> seconds = axisTicks(0, at("9999-12-31 23:59:59"), width * 1e9);
    EXPECT_LE(seconds.size(), kMaxTicks);
  }
  EXPECT_FALSE(axisTicks(at("2024-01-01 00:00:00"), at("9999-12-31 23:59:59"), 770).empty());
}

}  // namespace
}  // namespace tavrelon::report
