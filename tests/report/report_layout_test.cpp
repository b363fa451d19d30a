// The report's rules in process: times, runs and counts of a log, axis ticks,
// merging of short runs, outcome colours, and escaping of any Latest_Log.
#include <gtest/gtest.h>

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

TEST(ReportTimes, ReadOnlyRealCalendarTimesAndFormatBack) {
  for (const char* text : {"2024-02-29 23:59:59", "1970-01-01 00:00:00", "2038-01-19 03:14:08",
                           "2100-12-31 12:00:00"}) {
    EXPECT_EQ(formatStatusTime(at(text)), text);
  }
  EXPECT_EQ(at("2024-06-02 00:00:00") - at("2024-06-01 23:59:59"), 1);
  std::int64_t ignored = 0;
  for (const char* text : {"2023-02-29 10:00:00", "2024-06-01 24:00:00", "2024-13-01 10:00:00",
                           "2024-06-01T10:00:00", "2024-06-01 10:00", " 2024-06-01 10:00:00", "",
                           "2024-06-31 10:00:00", "2024-06-01 10:0a:00"}) {
    EXPECT_FALSE(parseStatusTime(text, ignored)) << text;
  }
}

TEST(ReportLog, CountsRunsEndsRunningRowsAndListsUnplacedRowsApart) {
  const std::int64_t now = at("2024-06-02 07:00:00");
  const LogReport log = buildLogReport(
      "night.csv",
      {row("a.exe_1", "crashed", "2024-06-01 22:00:00", "2024-06-01 23:00:00", "[l1.csv] early"),
       row("a.exe_2", "timeout", "2024-06-01 23:00:05", "2024-06-02 01:00:00", "[l2.csv] late"),
       // a killed watchdog's run: it had ended by the next start
       row("a.exe_3", "running", "2024-06-02 01:00:05", ""),
       row("a.exe_4", "running", "2024-06-02 02:00:00", ""),
       row("a.exe_5", "finished", "yesterday", "2024-06-02 02:00:00"),
       row("a.exe_6", "crashed", "2024-06-02 03:00:00", "2024-06-02 02:00:00"),
       row("a.exe_7", "stopped", "2024-06-02 03:00:00", "")},
      now);
  ASSERT_EQ(log.runs.size(), 4u);
  EXPECT_EQ(log.program, "a.exe");
  EXPECT_EQ(log.crashed, 1);
  EXPECT_EQ(log.timedOut, 1);
  EXPECT_EQ(log.running, 2);
  EXPECT_EQ(log.runs[2].end, at("2024-06-02 02:00:00"));
  EXPECT_TRUE(log.runs[2].superseded);
  EXPECT_EQ(log.runs[3].end, now);
  EXPECT_FALSE(log.runs[3].superseded);
  EXPECT_EQ(log.firstStart, at("2024-06-01 22:00:00"));
  EXPECT_EQ(log.lastEnd, now);
  // 9 h minus the gaps of 5 s between the first three runs.
  EXPECT_EQ(log.supervised, 9 * 3600 - 10);
  ASSERT_EQ(log.lastFailure, 1);

  ASSERT_EQ(log.unplaced.size(), 3u);
  EXPECT_EQ(log.unplaced[0].rowNumber, 5u);
  EXPECT_EQ(log.unplaced[0].reason, "Start_Time is no time");
  EXPECT_EQ(log.unplaced[1].reason, "End_Time before Start_Time");
  EXPECT_EQ(log.unplaced[2].reason, "End_Time is no time");
  EXPECT_EQ(log.unplaced[2].row.applicationId, "a.exe_7");
}

TEST(ReportLog, FailuresOfEveryLogComeNewestFirst) {
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  night.logs.push_back(
      buildLogReport("a.csv",
                     {row("a_1", "crashed", "2024-06-01 22:00:00", "2024-06-01 22:10:00"),
                      row("a_2", "finished", "2024-06-01 22:10:00", "2024-06-02 05:00:00"),
                      row("a_3", "stopped", "2024-06-02 05:00:00", "2024-06-02 06:00:00")},
                     night.now));
  night.logs.push_back(buildLogReport(
      "b.csv", {row("b_1", "timeout", "2024-06-01 23:00:00", "2024-06-02 01:00:00")}, night.now));
  finishReport(night);
  std::vector<std::string> ids;
  for (const RunRef& ref : night.failures)
    ids.push_back(night.run(ref).row.applicationId);
  EXPECT_EQ(ids, (std::vector<std::string>{"a_3", "b_1", "a_1"}));
  EXPECT_EQ(night.axisStart, at("2024-06-01 22:00:00"));
  EXPECT_EQ(night.axisEnd, at("2024-06-02 06:00:00"));
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

TEST(ReportColours, EachOutcomeHasItsOwnOkabeItoColour) {
  const std::set<std::string> okabeIto{"#000000", "#E69F00", "#56B4E9", "#009E73",
                                       "#F0E442", "#0072B2", "#D55E00", "#CC79A7"};
  std::set<std::string> used;
  for (Outcome outcome : {Outcome::Finished, Outcome::Crashed, Outcome::Timeout, Outcome::Stopped,
                          Outcome::Running, Outcome::Other}) {
    EXPECT_EQ(okabeIto.count(outcomeColour(outcome)), 1u) << outcomeName(outcome);
    used.insert(outcomeColour(outcome));
  }
  EXPECT_EQ(used.size(), 6u);
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

TEST(ReportPage, ALogLineWithMarkupStaysTextAndThePageFetchesNothing) {
  NightReport night;
  night.now = at("2024-06-02 07:00:00");
  night.logs.push_back(buildLogReport(
      "host<1>/a.csv",
      {row("a.exe_1", "crashed", "2024-06-01 22:00:00", "2024-06-01 23:00:00",
           "[C:\\logs\\run \"1\".csv] <script>alert(1)</script><img src=x onerror=alert(2)>"),
       row("a.exe_2", "<em>", "2024-06-01 22:00:00", "2024-06-01 22:00:00"),
       row("a.exe_3", "finished", "2024-06-01 23:00:00", "<script>")},
      night.now));
  finishReport(night);
  const std::string page = renderReportPage(night);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("<em"), std::string::npos);
  EXPECT_EQ(page.find("host<1>"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page.find("<span class=\"path\">C:\\logs\\run &quot;1&quot;.csv</span>"),
            std::string::npos);
  // Nothing to fetch: no source, link or import, and a policy that forbids them.
  for (const char* fetching : {"src=\"", "href", "url(", "@import"})
    EXPECT_EQ(page.find(fetching), std::string::npos) << fetching;
  EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
}

}  // namespace
}  // namespace tavrelon::report
