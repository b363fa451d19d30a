#include "logging/calendar.h"
#include "report/report_layout.h"
#include "report/report_parts.h"

namespace tavrelon::report::parts {

namespace {

constexpr double kLaneHeight = 24;
constexpr double kGroupHeight = 22;
constexpr double kAxisHeight = 36;

// The outcomes in the order a reader must not miss them.
constexpr Outcome kWorstFirst[] = {Outcome::Crashed, Outcome::Timeout, Outcome::Interrupted,
                                   Outcome::Stopped, Outcome::Other,   Outcome::Running,
                                   Outcome::Finished};

// A path of a mark's shape: its outline in the colour of the mark that uses it.
void appendShapePath(HtmlWriter& html, const char* id, const char* data, const std::string& fill,
                     const std::string& stroke, double strokeWidth) {
  html.start("path");
  if (id != nullptr)
    html.attr("id", id);
  html.attr("d", data).attr("fill", fill).attr("stroke", stroke);
  html.attr("stroke-width", strokeWidth).openEmpty();
}

// The shapes of the marks, defined once and used by every mark: a cross for a
// crash, a triangle for a time-out, a diamond for an interruption; told apart
// by shape as well as colour, each with a dark outline that stands out on its
// own run's bar.
// Presentation attributes, not classes: a shape used elsewhere is styled where
// it is defined. The outline takes the colour of the mark that uses it.
void appendMarkShapes(HtmlWriter& html) {
  const char* cross = "M-4.5,-4.5L4.5,4.5M4.5,-4.5L-4.5,4.5";
  html.start("defs").open().start("g").attr("id", "k-crashed").open();
  appendShapePath(html, nullptr, cross, "none", "currentColor", 4.6);
  appendShapePath(html, nullptr, cross, "none", outcomeColour(Outcome::Crashed), 2.6);
  html.end("g");
  appendShapePath(html, "k-timeout", "M0,-6L6,5H-6Z", outcomeColour(Outcome::Timeout),
                  "currentColor", 1.2);
  appendShapePath(html, "k-interrupted", "M0,-6L6,0L0,6L-6,0Z", outcomeColour(Outcome::Interrupted),
                  "currentColor", 1.2);
  html.end("defs").newline();
}

// A vertical line of the axis at `x`, from under the tick labels to `bottom`;
// its tag left open for a title or an end.
void startAxisLine(HtmlWriter& html, const char* cssClass, double x, double bottom) {
  html.start("line").attr("class", cssClass).attr("x1", x).attr("x2", x);
  html.attr("y1", kAxisHeight - 6).attr("y2", bottom);
}

// "39 crashed, 2 timeout": the counts, the worst first.
std::string countsText(const OutcomeCounts& counts) {
  std::string text;
  for (Outcome outcome : kWorstFirst) {
    const int n = counts.count[static_cast<int>(outcome)];
    if (n == 0)
      continue;
    text += text.empty() ? "" : ", ";
    text += std::to_string(n) + ' ' + outcomeName(outcome);
  }
  return text;
}

void appendMergedTitle(HtmlWriter& html, const Bar& bar) {
  // The end's date only where it differs: a year of such bars is megabytes.
  html.text(std::to_string(bar.counts.total()) + " runs").newline();
  html.text(formatStatusTime(bar.start) + " \xE2\x80\x93 " +
            (dayNumberOf(bar.end) == dayNumberOf(bar.start) ? clockText(bar.end)
                                                            : formatStatusTime(bar.end)));
  html.newline().text(countsText(bar.counts));
}

// "39 crashes · 2 timeouts · 1 interrupted" of a lane; empty without any.
std::string failureCounts(const Lane& lane) {
  std::string text;
  auto add = [&](int n, const char* one, const char* many) {
    if (n == 0)
      return;
    text += text.empty() ? "" : " \xC2\xB7 ";
    text += std::to_string(n) + ' ' + (n == 1 ? one : many);
  };
  add(lane.count(Outcome::Crashed), "crash", "crashes");
  add(lane.count(Outcome::Timeout), "timeout", "timeouts");
  add(lane.count(Outcome::Interrupted), "interrupted", "interrupted");
  return text;
}

// The line a mark shows: its end (or its ends) and the newest run's last line.
std::string markLine(const NightReport& report, const Lane& lane, const Mark& mark) {
  const Run& last = lane.runs[mark.last];
  std::string path, line, text;
  splitLatestLog(last.row.latestLog, path, line);
  if (mark.counts.total() > 1) {
    text = std::to_string(mark.counts.total()) + " ends, " + countsText(mark.counts) + ", " +
           shortTime(lane.runs[mark.first].end, report.now) + "\xE2\x80\x93" +
           shortTime(last.end, report.now) + "; the last: ";
  } else {
    text = std::string(outcomeName(mark.outcome)) + " " + shortTime(last.end, report.now) + ": ";
  }
  return text + middleShortened(last.row.applicationId + " \xC2\xB7 " + line, 90);
}

// One mark: its shape, and its run in a line shown on hover and on keyboard
// focus (a title shows only on hover); a single run's full title besides.
void appendMark(HtmlWriter& html, const NightReport& report, const Lane& lane, const Mark& mark) {
  const std::string name = outcomeName(mark.outcome);
  html.start("g").attr("class", "mark " + name).attr("tabindex", "0");
  html.attr("data-ends", std::to_string(mark.counts.total())).open();
  html.start("use").attr("href", "#k-" + name).attr("x", mark.x).attr("y", 12).openEmpty();
  if (mark.counts.total() == 1) {
    html.start("title").open();
    appendRunTitle(html, lane.runs[mark.last], report.now);
    html.end("title");
  }
  // The line stands above the mark, leftwards on the right half of the axis.
  html.start("text").attr("class", "tip").attr("x", mark.x).attr("y", -2);
  if (mark.x > kPlotWidth / 2)
    html.attr("text-anchor", "end");
  html.open().text(markLine(report, lane, mark)).end("text").end("g").newline();
}

// One bar: a run of its own, or the short runs of one pixel column.
void appendBar(HtmlWriter& html, const NightReport& report, const Lane& lane, const Bar& bar) {
  html.start("rect").attr(
      "class", (bar.merged ? "merged " : "run ") + std::string(outcomeName(bar.outcome)));
  if (bar.merged)
    html.attr("data-runs", std::to_string(bar.counts.total()));
  html.attr("x", bar.x).attr("y", 7).attr("width", bar.width).attr("height", 10).open();
  html.start("title").open();
  if (bar.merged) {
    appendMergedTitle(html, bar);
  } else {
    appendRunTitle(html, lane.runs[bar.run], report.now);
  }
  html.end("title").end("rect").newline();
}

void appendLane(HtmlWriter& html, const NightReport& report, const Lane& lane, double y) {
  html.start("g").attr("class", "lane");
  html.attr("transform", "translate(" + numberText(kLabelWidth) + "," + numberText(y) + ")").open();
  html.start("text").attr("class", "label").attr("x", -8).attr("y", 16);
  html.attr("text-anchor", "end").open().text(middleShortened(lane.program, 30));
  html.start("title").open().text(lane.workstation + " \xC2\xB7 " + lane.program);
  for (std::size_t log : lane.logs)
    html.newline().text(report.logs[log]);
  html.end("title").end("text");
  html.start("rect").attr("class", "track").attr("x", 0).attr("y", 2);
  html.attr("width", kPlotWidth).attr("height", 20).openEmpty().newline();
  for (const Bar& bar : laneBars(lane.runs, report.axisStart, report.axisEnd, kPlotWidth))
    appendBar(html, report, lane, bar);
  for (const Mark& mark :
       laneMarks(lane.runs, report.axisStart, report.axisEnd, kPlotWidth, kMarkColumn))
    appendMark(html, report, lane, mark);
  const std::string counts = failureCounts(lane);
  html.start("text").attr("class", "count").attr("x", kPlotWidth + 10).attr("y", 16).open();
  if (!counts.empty())
    html.start("tspan").attr("class", "failures").open().text(counts).end("tspan").text(" ");
  html.start("tspan").attr("class", "state").open().text(laneState(lane, report.now));
  html.end("tspan").end("text").end("g").newline();
}

void appendLegend(HtmlWriter& html) {
  html.start("p").attr("class", "legend").open().text("Runs:");
  for (Outcome outcome : {Outcome::Finished, Outcome::Running, Outcome::Stopped, Outcome::Crashed,
                          Outcome::Timeout, Outcome::Interrupted}) {
    const std::string name = outcomeName(outcome);
    html.start("span").attr("class", "swatch " + name).open().end("span").text(name);
  }
  html.text(" ").nonBreakingSpace().text(" Ends:");
  for (Outcome outcome : {Outcome::Crashed, Outcome::Timeout, Outcome::Interrupted}) {
    const std::string name = outcomeName(outcome);
    html.start("svg").attr("class", "key").attr("width", 16).attr("height", 14);
    html.attr("viewBox", "-8 -7 16 14").open();
    html.start("use").attr("href", "#k-" + name).openEmpty().end("svg").text(name);
  }
  html.start("br").open().text(
      "Each crash, time-out and interruption is a mark at its moment; hover over a mark or a bar "
      "(or move to a mark with Tab) for its run.");
  html.end("p").newline();
}

// The time axis: a grid line and a label at each tick, the date above where
// it changes.
void appendAxis(HtmlWriter& html, const NightReport& report, double height) {
  html.start("g").attr("class", "axis").open();
  for (const Tick& tick : axisTicks(report.axisStart, report.axisEnd, kPlotWidth)) {
    const double x = kLabelWidth + tick.x;
    startAxisLine(html, "grid", x, height);
    html.openEmpty();
    html.start("text").attr("class", "tick").attr("x", x + 3).attr("y", kAxisHeight - 9);
    html.open().text(tick.label).end("text");
    if (!tick.date.empty()) {
      html.start("text").attr("class", "date").attr("x", x + 3).attr("y", 12);
      html.open().text(tick.date).end("text");
    }
  }
  html.end("g").newline();
}

// The heading of a workstation's lanes at `y`: a rule and its name.
void appendWorkstation(HtmlWriter& html, const std::string& workstation, double y, double width) {
  html.start("g").attr("class", "workstation").open();
  html.start("line").attr("x1", 0).attr("x2", width).attr("y1", y + 1).attr("y2", y + 1);
  html.openEmpty().start("text").attr("x", 4).attr("y", y + 16).open();
  html.text(middleShortened(workstation, 40)).start("title").open().text(workstation);
  html.end("title").end("text").end("g").newline();
}

}  // namespace

void appendTimeline(HtmlWriter& html, const NightReport& report) {
  html.element("h2", "Timeline").newline();
  appendLegend(html);
  std::size_t groups = 0;
  for (std::size_t l = 0; l < report.lanes.size(); ++l)
    groups += l == 0 || report.lanes[l].workstation != report.lanes[l - 1].workstation;
  const double height = kAxisHeight + kLaneHeight * static_cast<double>(report.lanes.size()) +
                        kGroupHeight * static_cast<double>(groups) + 4;
  const double width = kLabelWidth + kPlotWidth + kCountWidth;
  html.start("div").attr("class", "scroll").open();
  html.start("svg").attr("class", "timeline").attr("xmlns", "http://www.w3.org/2000/svg");
  html.attr("width", width).attr("height", height);
  html.attr("viewBox", "0 0 " + numberText(width) + " " + numberText(height)).open().newline();
  appendMarkShapes(html);
  appendAxis(html, report, height);
  double y = kAxisHeight;
  for (std::size_t l = 0; l < report.lanes.size(); ++l) {
    const Lane& lane = report.lanes[l];
    if (l == 0 || lane.workstation != report.lanes[l - 1].workstation) {
      appendWorkstation(html, lane.workstation, y, width);
      y += kGroupHeight;
    }
    appendLane(html, report, lane, y);
    y += kLaneHeight;
  }
  if (report.now >= report.axisStart && report.now <= report.axisEnd) {
    const double x = kLabelWidth + static_cast<double>(report.now - report.axisStart) * kPlotWidth /
                                       static_cast<double>(report.axisEnd - report.axisStart);
    startAxisLine(html, "now", x, height);
    html.open().element("title", "report time " + formatStatusTime(report.now));
    html.end("line").newline();
  }
  html.end("svg").end("div").newline();
}

}  // namespace tavrelon::report::parts
