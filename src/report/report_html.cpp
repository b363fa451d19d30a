#include "report/report_html.h"

#include <algorithm>
#include <initializer_list>

#include "logging/calendar.h"
#include "logging/csv.h"
#include "platform/paths.h"
#include "report/report_layout.h"
#include "report/report_parts.h"

namespace tavrelon::report {

const char* const kPageStart =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
    "<meta name=\"generator\" content=\"tavrelon_report\">\n";

namespace parts {

std::string durationText(std::int64_t seconds) {
  const std::int64_t days = seconds / 86400, hours = seconds / 3600 % 24;
  const std::int64_t minutes = seconds / 60 % 60, rest = seconds % 60;
  if (days > 0)
    return std::to_string(days) + " d " + std::to_string(hours) + " h";
  if (hours > 0)
    return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
  if (minutes > 0)
    return std::to_string(minutes) + " min " + std::to_string(rest) + " s";
  return std::to_string(rest) + " s";
}

std::string shortTime(std::int64_t time, std::int64_t reference) {
  if (dayNumberOf(time) == dayNumberOf(reference))
    return clockText(time, false);
  return dateText(dateOf(time)) + ' ' + clockText(time, false);
}

void appendRunTitle(HtmlWriter& html, const Run& run, std::int64_t now) {
  html.text(run.row.applicationId).newline().text(statusText(run)).newline();
  html.text(startText(run)).text(" \xE2\x80\x93 ");
  if (run.outcome == Outcome::Running && !run.hasEnd) {
    html.text(run.superseded ? "no end recorded, next run " + formatStatusTime(run.end)
                             : "still running at " + formatStatusTime(now));
  } else {
    html.text(endText(run));
    if (run.endOffTimeline)
      html.prose(", far after the report's time: drawn up to it");
  }
  html.text(" (" + durationText(run.end - run.start) + ")").newline().text(run.row.latestLog);
}

std::string laneState(const Lane& lane, std::int64_t now) {
  if (lane.runs.empty())
    return "no run";
  const Run& run = lane.runs.back();
  switch (run.outcome) {
    case Outcome::Running:
      if (!run.superseded)
        return "running for " + durationText(now - run.start);
      return "no end recorded " + shortTime(run.end, now);
    case Outcome::Finished:
      return "finished " + shortTime(run.end, now);
    case Outcome::Crashed:
    case Outcome::Timeout:
      return std::string("last failed ") + shortTime(run.end, now) + " (" +
             outcomeName(run.outcome) + ")";
    case Outcome::Stopped:
      return "stopped by hand " + shortTime(run.end, now);
    case Outcome::Interrupted:
      return "interrupted " + shortTime(run.end, now);
    case Outcome::Other:
      break;
  }
  return "ended " + shortTime(run.end, now) + " (" + cappedField(statusText(run), 40) + ")";
}

}  // namespace parts

namespace {

using namespace parts;

// What the page starts with after kPageStart: a policy that lets it fetch
// nothing and run nothing.
const char kContentPolicy[] =
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
    "style-src 'unsafe-inline'\">\n";

// The page's style sheet, fixed: the outcomes' colours follow it.
const char kStyleSheet[] =
    R"css(:root{--fg:#1d1d1d;--muted:#555;--line:#ddd;--head:#f3f3f3;--track:#f1f1f1;--grid:#d0d0d0;--bg:#fff;--halo:#1d1d1d}
@media (prefers-color-scheme:dark){:root{--fg:#e6e6e6;--muted:#aaa;--line:#3a3a3a;--head:#262626;--track:#232323;--grid:#444;--bg:#141414;--halo:#fff}a{color:#8cc4ff}}
body{font:14px/1.45 system-ui,'Segoe UI',sans-serif;margin:24px;color:var(--fg);background:var(--bg)}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:24px 0 8px}
.scroll{overflow-x:auto;max-width:100%}
table{border-collapse:collapse;table-layout:fixed;width:100%;min-width:1180px}
th,td{border-bottom:1px solid var(--line);padding:3px 6px;text-align:left;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}th{background:var(--head);font-size:12px}
td.n,th.n{text-align:right}td.ws{color:var(--muted)}
.path,.line,.id{font-family:ui-monospace,Consolas,monospace;font-size:12px}.path,.where{color:var(--muted)}
ol.ends{padding-left:28px;max-width:100%}ol.ends li{margin-bottom:3px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
.legend span.swatch{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px;vertical-align:-1px;opacity:.75}.legend svg.key{margin:0 3px 0 12px;vertical-align:-2px}
svg text{font:11px system-ui,'Segoe UI',sans-serif;fill:var(--fg)}
svg .track{fill:var(--track)}svg .grid{stroke:var(--grid)}svg .now{stroke:var(--fg);stroke-dasharray:3 3}
svg .workstation text{font-weight:700;font-size:12px}svg .workstation line{stroke:var(--grid)}svg .count .failures{font-weight:700}svg .count .state{fill:var(--muted)}
svg rect.run,svg rect.merged{opacity:.75}
svg use{color:var(--halo)}svg .mark:focus{outline:none}svg .mark:focus use,svg .mark:hover use{color:#0072B2}
svg .tip{display:none;fill:var(--fg);font-weight:600;paint-order:stroke;stroke:var(--bg);stroke-width:4px}svg .mark:focus .tip,svg .mark:hover .tip{display:inline}
b{padding:0 5px;border-radius:3px;font-weight:600;color:#000}
p.warn{border-left:4px solid #E69F00;padding-left:8px}
@page{size:A4 landscape;margin:10mm}
@media print{body{margin:0;font-size:11px}.scroll{overflow:visible}svg.timeline{width:100%;height:auto}table{min-width:0;table-layout:auto}col{width:auto!important}th,td{font-size:10px;padding:2px 4px}td,ol.ends li{white-space:normal;overflow:visible;overflow-wrap:anywhere}a{color:inherit;text-decoration:none}}
)css";

// The style sheet, then a rule per outcome: bars fill with its colour,
// legend swatches and outcome words carry it as their background.
void appendStyle(HtmlWriter& html) {
  std::string sheet = kStyleSheet;
  for (int i = 0; i < kOutcomes; ++i) {
    const Outcome outcome = static_cast<Outcome>(i);
    const std::string name = outcomeName(outcome), colour = outcomeColour(outcome);
    sheet += "svg ." + name + "{fill:" + colour + "}.swatch." + name + ",b." + name +
             "{background:" + colour + "}";
  }
  html.start("style").open().newline().trustedMarkup(sheet).newline().end("style").newline();
}

// `text` as a link to `href`, or as plain text when there is no link.
void appendLinked(HtmlWriter& html, const std::string& href, const std::string& text,
                  const char* cssClass = nullptr) {
  if (href.empty()) {
    html.text(text);
    return;
  }
  html.start("a");
  if (cssClass != nullptr)
    html.attr("class", cssClass);
  html.attr("href", href).open().text(text).end("a");
}

// The link to status log `log` of the report, "" when there is none.
std::string logLink(const PageOptions& options, std::size_t log) {
  return log < options.logFiles.size() ? linkTo(options.pageFolder, options.logFiles[log])
                                       : std::string();
}

// One column of a table: its heading, its width in pixels (0: what is left)
// and whether it holds numbers, set to the right.
struct Column {
  const char* heading;
  int width;
  bool numeric;
};

// A heading, then a table in a box that scrolls, up to its first row.
void appendTableStart(HtmlWriter& html, const char* tableClass,
                      std::initializer_list<Column> columns) {
  html.start("div").attr("class", "scroll").open();
  html.start("table").attr("class", tableClass).open().start("colgroup").open();
  for (const Column& column : columns) {
    html.start("col");
    if (column.width > 0)
      html.attr("style", "width:" + std::to_string(column.width) + "px");
    html.open();
  }
  html.end("colgroup").start("thead").open().start("tr").open();
  for (const Column& column : columns) {
    html.start("th");
    if (column.numeric)
      html.attr("class", "n");
    html.open().text(column.heading).end("th");
  }
  html.end("tr").end("thead").start("tbody").open().newline();
}

void appendTableEnd(HtmlWriter& html) {
  html.end("tbody").end("table").end("div").newline();
}

// A cell that shows `text` cut to its width, and whole on hover.
void appendTitledCell(HtmlWriter& html, const char* cssClass, const std::string& text) {
  html.start("td");
  if (cssClass != nullptr)
    html.attr("class", cssClass);
  html.attr("title", text).open().text(text).end("td");
}

// The status logs of a lane as links, the newest read last.
void appendLogLinks(HtmlWriter& html, const NightReport& report, const PageOptions& options,
                    const Lane& lane) {
  std::string all;
  for (std::size_t log : lane.logs)
    all += (all.empty() ? "" : "\n") + report.logs[log];
  html.start("td").attr("class", "path").attr("title", all).open();
  const char* separator = "";
  for (std::size_t log : lane.logs) {
    html.text(separator);
    separator = " \xC2\xB7 ";
    appendLinked(html, logLink(options, log), platform::finalNameOf(report.logs[log], true));
  }
  html.end("td");
}

// The outcome word in its colour: "<b class="crashed">crashed</b>".
void appendOutcomeWord(HtmlWriter& html, Outcome outcome, const std::string& word) {
  html.start("b").attr("class", outcomeName(outcome)).open().text(word).end("b");
}

// The newest failure of a lane: its outcome, when and the last log line.
void appendLastFailure(HtmlWriter& html, const NightReport& report, const Lane& lane) {
  if (lane.lastFailure < 0) {
    html.start("td").open().end("td");
    return;
  }
  const Run& run = lane.runs[static_cast<std::size_t>(lane.lastFailure)];
  std::string path, line;
  splitLatestLog(run.row.latestLog, path, line);
  html.start("td")
      .attr("title", endText(run) + " " + outcomeName(run.outcome) + "\n" + run.row.latestLog)
      .open();
  appendOutcomeWord(html, run.outcome, outcomeName(run.outcome));
  html.text(" " + shortTime(run.end, report.now) + " ");
  html.start("span").attr("class", "line").open().text(line).end("span").end("td");
}

// One row of the summary: the program, its state now, its counts, its newest
// failure and its status logs.
void appendSummaryRow(HtmlWriter& html, const NightReport& report, const PageOptions& options,
                      const Lane& lane) {
  html.start("tr").attr("class", "program").open();
  appendTitledCell(html, "ws", lane.workstation);
  // The program's name opens its newest status log.
  html.start("td").attr("title", lane.program).open();
  appendLinked(html, logLink(options, lane.logs.back()), lane.program);
  html.end("td");
  appendTitledCell(html, nullptr, laneState(lane, report.now));
  for (int n : {static_cast<int>(lane.runs.size()), lane.count(Outcome::Finished),
                lane.count(Outcome::Crashed), lane.count(Outcome::Timeout),
                lane.count(Outcome::Interrupted), lane.count(Outcome::Stopped)})
    html.start("td").attr("class", "n").open().text(std::to_string(n)).end("td");
  appendLastFailure(html, report, lane);
  appendLogLinks(html, report, options, lane);
  html.end("tr").newline();
}

void appendSummary(HtmlWriter& html, const NightReport& report, const PageOptions& options) {
  html.element("h2", "Programs").newline();
  appendTableStart(html, "summary",
                   {{"Workstation", 96, false},
                    {"Program", 140, false},
                    {"Now", 205, false},
                    {"Runs", 52, true},
                    {"Finished", 70, true},
                    {"Crashed", 68, true},
                    {"Timed out", 84, true},
                    {"Interrupted", 96, true},
                    {"Stopped", 72, true},
                    {"Last failure", 0, false},
                    {"Status logs", 150, false}});
  for (const Lane& lane : report.lanes)
    appendSummaryRow(html, report, options, lane);
  appendTableEnd(html);
}

// "N older ... are not listed" for what a capped list leaves out.
void appendLeftOut(HtmlWriter& html, std::size_t total, const char* what) {
  if (total > 0)
    html.start("p")
        .attr("class", "left-out")
        .open()
        .text(std::to_string(total) + " older " + what +
              " are not listed here; their rows are in the status logs.")
        .end("p")
        .newline();
}

// "39 × crashed 22:01–23:40 · <last line>", with the workstation and program
// before it and its links after it.
void appendEndGroup(HtmlWriter& html, const NightReport& report, const PageOptions& options,
                    const EndGroup& group) {
  const Lane& lane = report.lanes[group.lane];
  const Run& first = lane.runs[group.first];
  const Run& last = lane.runs[group.last];
  const std::string name = outcomeName(last.outcome);
  std::string path, line;
  splitLatestLog(last.row.latestLog, path, line);
  // The workstation and program are in view: the title holds the rest whole.
  std::string title = last.row.applicationId + " " + endText(last) + "\n" + last.row.latestLog;
  if (!group.evidence.ended.empty())
    title += "\n" + group.evidence.ended;
  html.start("li").attr("class", "end " + name).attr("title", title).open();
  html.start("span").attr("class", "where").open();
  html.text(lane.workstation + " \xC2\xB7 " + lane.program).end("span").text(" ");
  appendOutcomeWord(html, last.outcome,
                    group.count > 1 ? std::to_string(group.count) + " \xC3\x97 " + name : name);
  html.text(" " + shortTime(first.end, report.now));
  if (group.count > 1)
    html.text("\xE2\x80\x93" + shortTime(last.end, report.now));
  html.text(" \xC2\xB7 ").start("span").attr("class", "line").open().text(line).end("span");
  appendEndLinks(html, options.pageFolder, group.evidence, path);
  html.end("li").newline();
}

// The first `limit` groups, one entry each, and a count of the others.
void appendEndGroups(HtmlWriter& html, const NightReport& report, const PageOptions& options,
                     const std::vector<EndGroup>& groups, std::size_t limit, const char* what) {
  html.start("ol").attr("class", "ends").open().newline();
  for (std::size_t i = 0; i < groups.size() && i < limit; ++i)
    appendEndGroup(html, report, options, groups[i]);
  html.end("ol").newline();
  appendLeftOut(html, groups.size() - std::min(groups.size(), limit), what);
}

void appendUnplaced(HtmlWriter& html, const NightReport& report) {
  if (report.unplaced.empty())
    return;
  html.element("h2", "Rows not on the timeline").newline();
  html.start("p").open().text("Their times do not read as ");
  html.start("span").attr("class", "id").open().text("YYYY-MM-DD hh:mm:ss").end("span");
  html.prose(", end before they start, or lie before 2000 or after the report's time.")
      .end("p")
      .newline();
  appendTableStart(
      html, "unplaced",
      {{"Status log", 220, false}, {"Row", 60, true}, {"Why", 300, false}, {"The row", 0, false}});
  for (std::size_t i = 0; i < report.unplaced.size() && i < kMaxListed; ++i) {
    const UnplacedRow& unplaced = report.unplaced[i];
    const StatusRecord& row = unplaced.row;
    html.start("tr").open();
    appendTitledCell(html, "path", report.logs[unplaced.log]);
    html.start("td").attr("class", "n").open().text(std::to_string(unplaced.rowNumber)).end("td");
    html.element("td", unplaced.reason);
    appendTitledCell(html, "line",
                     quoteCsvField(row.applicationId) + "," + quoteCsvField(row.runningStatus) +
                         "," + quoteCsvField(row.startTime) + "," + quoteCsvField(row.endTime) +
                         "," + quoteCsvField(row.latestLog));
    html.end("tr").newline();
  }
  appendTableEnd(html);
  appendLeftOut(html, report.unplacedCount - std::min(report.unplacedCount, kMaxListed), "rows");
}

// The head: what the page is, its policy, its title and its style.
void appendHead(HtmlWriter& html, const PageOptions& options, const std::string& when) {
  html.trustedMarkup(kPageStart).trustedMarkup(kContentPolicy);
  if (options.refreshSeconds > 0)
    html.start("meta")
        .attr("http-equiv", "refresh")
        .attr("content", std::to_string(options.refreshSeconds))
        .open()
        .newline();
  html.element("title", "Tavrelon night report " + when).newline();
  appendStyle(html);
}

// "1 workstation" or "3 workstations".
std::string counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Where and when the page was made, and the night's numbers in one line.
void appendMadeFrom(HtmlWriter& html, const NightReport& report, const PageOptions& options,
                    const std::string& when) {
  std::size_t workstations = 0, stopped = 0, interrupted = 0, runs = 0;
  for (std::size_t l = 0; l < report.lanes.size(); ++l) {
    const Lane& lane = report.lanes[l];
    workstations += l == 0 || lane.workstation != report.lanes[l - 1].workstation;
    stopped += static_cast<std::size_t>(lane.count(Outcome::Stopped));
    interrupted += static_cast<std::size_t>(lane.count(Outcome::Interrupted));
    runs += lane.runs.size();
  }
  html.start("p").attr("class", "meta").open().text("Made " + when + " from ");
  for (std::size_t i = 0; i < report.sources.size(); ++i) {
    html.text(i == 0 ? "" : ", ");
    html.start("span").attr("class", "path").open().text(report.sources[i]).end("span");
  }
  if (options.refreshSeconds > 0)
    html.text(" (made again every " + std::to_string(options.refreshSeconds) + " s)");
  html.text(": " + counted(workstations, "workstation", "workstations") + ", " +
            counted(report.lanes.size(), "program", "programs") + ", " +
            counted(report.logs.size(), "status log", "status logs") + "; " + std::to_string(runs) +
            " runs, ");
  appendOutcomeWord(html, Outcome::Crashed, std::to_string(report.failureCount) + " failures");
  html.text(" (crashed or timed out), " + std::to_string(stopped) + " stopped by hand, " +
            std::to_string(interrupted) + " interrupted.")
      .end("p")
      .newline();
  if (report.endsOffTimeline > 0)
    html.start("p")
        .attr("class", "warn")
        .open()
        .prose(std::to_string(report.endsOffTimeline) +
               " runs end far after the report's time (an End_Time such as 9999-12-31): they are "
               "drawn up to the report's time.")
        .end("p")
        .newline();
}

// The failures, then the runs stopped by hand or interrupted.
void appendEnds(HtmlWriter& html, const NightReport& report, const PageOptions& options) {
  html.element("h2", "Failures").newline();
  if (report.failures.empty()) {
    html.start("p").attr("class", "none").open().text("No run crashed or timed out.").end("p");
    html.newline();
  } else {
    appendEndGroups(html, report, options, report.failures, kMaxListed, "failures");
  }
  if (report.setAside.empty())
    return;
  html.element("h2", "Stopped by hand or interrupted").newline();
  html.element("p",
               "Not failures: someone stopped the watchdog, or the system ended it (log-off, "
               "shut-down).")
      .newline();
  appendEndGroups(html, report, options, report.setAside, kMaxSetAside, "ends");
}

}  // namespace

std::string middleShortened(const std::string& text, std::size_t limit) {
  std::vector<std::size_t> starts;  // where each character begins
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
      starts.push_back(i);
  }
  if (starts.size() <= limit || limit < 3)
    return text;
  const std::size_t head = (limit - 1) / 2, tail = limit - 1 - head;
  return text.substr(0, starts[head]) + "\xE2\x80\xA6" + text.substr(starts[starts.size() - tail]);
}

std::string renderReportPage(const NightReport& report, const PageOptions& options) {
  std::size_t runs = 0;
  for (const Lane& lane : report.lanes)
    runs += lane.runs.size();
  std::string out;
  // About the bytes of one bar per run, so the page grows in few steps.
  out.reserve(4096 + runs * 64);
  HtmlWriter html(out);
  const std::string when = formatStatusTime(report.now);
  appendHead(html, options, when);
  html.end("head").start("body").open().newline().element("h1", "Night report").newline();
  appendMadeFrom(html, report, options, when);
  // The picture first: what a reader takes in at a glance.
  appendTimeline(html, report);
  appendSummary(html, report, options);
  appendEnds(html, report, options);
  appendUnplaced(html, report);
  html.end("body").end("html").newline();
  return out;
}

}  // namespace tavrelon::report
