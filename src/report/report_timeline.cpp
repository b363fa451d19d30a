#include <cstdio>
#include <string_view>

#include "report/report_calendar.h"
#include "report/report_layout.h"
#include "report/report_parts.h"

namespace tavrelon::report::parts {

namespace {

constexpr double kLaneHeight = 24;
constexpr double kGroupHeight = 22;
constexpr double kAxisHeight = 36;

// The shapes of the marks, defined once and used by every mark: a cross for a
// crash, a triangle for a time-out, a diamond for an interruption; told apart
// by shape as well as colour, each with a dark outline that stands out on its
// own run's bar.
// Presentation attributes, not classes: a shape used elsewhere is styled where
// it is defined. The outline takes the colour of the mark that uses it.
std::string markShapes() {
  const std::string crashed = outcomeColour(Outcome::Crashed);
  const std::string cross = "d=\"M-4.5,-4.5L4.5,4.5M4.5,-4.5L-4.5,4.5\" fill=\"none\"";
  return "<defs><g id=\"k-crashed\"><path " + cross +
         " stroke=\"currentColor\" stroke-width=\"4.6\"/><path " + cross + " stroke=\"" + crashed +
         "\" stroke-width=\"2.6\"/></g><path id=\"k-timeout\" d=\"M0,-6L6,5H-6Z\" fill=\"" +
         outcomeColour(Outcome::Timeout) +
         "\" stroke=\"currentColor\" stroke-width=\"1.2\"/><path id=\"k-interrupted\" "
         "d=\"M0,-6L6,0L0,6L-6,0Z\" fill=\"" +
         outcomeColour(Outcome::Interrupted) +
         "\" stroke=\"currentColor\" stroke-width=\"1.2\"/></defs>\n";
}

void appendAxisLine(std::string& out, const char* cssClass, double x, double bottom) {
  out += "<line class=\"";
  out += cssClass;
  out += "\" x1=\"";
  appendNumber(out, x);
  out += "\" x2=\"";
  appendNumber(out, x);
  out += "\" y1=\"";
  appendNumber(out, kAxisHeight - 6);
  out += "\" y2=\"";
  appendNumber(out, bottom);
}

void appendCounts(std::string& out, const OutcomeCounts& counts) {
  bool first = true;
  for (Outcome outcome : {Outcome::Crashed, Outcome::Timeout, Outcome::Interrupted,
                          Outcome::Stopped, Outcome::Other, Outcome::Running, Outcome::Finished}) {
    const int n = counts.count[static_cast<int>(outcome)];
    if (n == 0)
      continue;
    out += first ? "" : ", ";
    out += std::to_string(n) + ' ' + outcomeName(outcome);
    first = false;
  }
}

void appendMergedTitle(std::string& out, const Bar& bar) {
  out += std::to_string(bar.counts.total());
  // The end's date only where it differs: a year of such bars is megabytes.
  out += " runs\n" + formatStatusTime(bar.start) + " \xE2\x80\x93 " +
         (dayNumberOf(bar.end) == dayNumberOf(bar.start) ? clockText(bar.end)
                                                         : formatStatusTime(bar.end)) +
         "\n";
  appendCounts(out, bar.counts);
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

// One mark: its shape, and its run in a line shown on hover and on keyboard
// focus (a title shows only on hover); a single run's full title besides.
void appendMark(std::string& out, const NightReport& report, const Lane& lane, const Mark& mark) {
  const char* name = outcomeName(mark.outcome);
  const Run& last = lane.runs[mark.last];
  out += std::string("<g class=\"mark ") + name + "\" tabindex=\"0\" data-ends=\"" +
         std::to_string(mark.counts.total()) + "\"><use href=\"#k-" + name + "\" x=\"";
  appendNumber(out, mark.x);
  out += "\" y=\"12\"/>";
  if (mark.counts.total() == 1) {
    out += "<title>";
    appendRunTitle(out, last, report.now);
    out += "</title>";
  }
  // The line stands above the mark, leftwards on the right half of the axis.
  out += "<text class=\"tip\" x=\"";
  appendNumber(out, mark.x);
  out += mark.x > kPlotWidth / 2 ? "\" y=\"-2\" text-anchor=\"end\">" : "\" y=\"-2\">";
  std::string path, line;
  splitLatestLog(last.row.latestLog, path, line);
  if (mark.counts.total() > 1) {
    out += std::to_string(mark.counts.total()) + " ends, ";
    appendCounts(out, mark.counts);
    out += ", " + shortTime(lane.runs[mark.first].end, report.now) + "\xE2\x80\x93" +
           shortTime(last.end, report.now) + "; the last: ";
  } else {
    out += std::string(name) + " " + shortTime(last.end, report.now) + ": ";
  }
  appendEscaped(out, middleShortened(last.row.applicationId + " \xC2\xB7 " + line, 90));
  out += "</text></g>\n";
}

void appendLane(std::string& out, const NightReport& report, const Lane& lane, double y) {
  out += "<g class=\"lane\" transform=\"translate(";
  appendNumber(out, kLabelWidth);
  out += ',';
  appendNumber(out, y);
  out += ")\"><text class=\"label\" x=\"-8\" y=\"16\" text-anchor=\"end\">";
  appendEscaped(out, middleShortened(lane.program, 30));
  out += "<title>";
  appendEscaped(out, lane.workstation + " \xC2\xB7 " + lane.program);
  for (std::size_t log : lane.logs) {
    out += '\n';
    appendEscaped(out, report.logs[log]);
  }
  out += "</title></text><rect class=\"track\" x=\"0\" y=\"2\" width=\"";
  appendNumber(out, kPlotWidth);
  out += "\" height=\"20\"/>\n";
  for (const Bar& bar : laneBars(lane.runs, report.axisStart, report.axisEnd, kPlotWidth)) {
    out += bar.merged ? "<rect class=\"merged " : "<rect class=\"run ";
    out += outcomeName(bar.outcome);
    out += '"';
    if (bar.merged)
      out += " data-runs=\"" + std::to_string(bar.counts.total()) + '"';
    out += " x=\"";
    appendNumber(out, bar.x);
    out += "\" y=\"7\" width=\"";
    appendNumber(out, bar.width);
    out += "\" height=\"10\"><title>";
    if (bar.merged) {
      appendMergedTitle(out, bar);
    } else {
      appendRunTitle(out, lane.runs[bar.run], report.now);
    }
    out += "</title></rect>\n";
  }
  for (const Mark& mark :
       laneMarks(lane.runs, report.axisStart, report.axisEnd, kPlotWidth, kMarkColumn)) {
    appendMark(out, report, lane, mark);
  }
  const std::string counts = failureCounts(lane);
  out += "<text class=\"count\" x=\"";
  appendNumber(out, kPlotWidth + 10);
  out += "\" y=\"16\">";
  if (!counts.empty())
    out += "<tspan class=\"failures\">" + counts + "</tspan> ";
  out += "<tspan class=\"state\">" + escaped(laneState(lane, report.now)) + "</tspan></text></g>\n";
}

void appendLegend(std::string& out) {
  out += "<p class=\"legend\">Runs:";
  for (Outcome outcome : {Outcome::Finished, Outcome::Running, Outcome::Stopped, Outcome::Crashed,
                          Outcome::Timeout, Outcome::Interrupted}) {
    out += std::string("<span class=\"swatch ") + outcomeName(outcome) + "\"></span>" +
           outcomeName(outcome);
  }
  out += " &nbsp; Ends:";
  for (Outcome outcome : {Outcome::Crashed, Outcome::Timeout, Outcome::Interrupted}) {
    const std::string name = outcomeName(outcome);
    out += "<svg class=\"key\" width=\"16\" height=\"14\" viewBox=\"-8 -7 16 14\"><use href=\"#k-" +
           name + "\"/></svg>" + name;
  }
  out +=
      "<br>Each crash, time-out and interruption is a mark at its moment; hover over a mark or "
      "a bar (or move to a mark with Tab) for its run.</p>\n";
}

}  // namespace

void appendTimeline(std::string& out, const NightReport& report) {
  out += "<h2>Timeline</h2>\n";
  appendLegend(out);
  std::size_t groups = 0;
  for (std::size_t l = 0; l < report.lanes.size(); ++l)
    groups += l == 0 || report.lanes[l].workstation != report.lanes[l - 1].workstation;
  const double height = kAxisHeight + kLaneHeight * static_cast<double>(report.lanes.size()) +
                        kGroupHeight * static_cast<double>(groups) + 4;
  const double totalWidth = kLabelWidth + kPlotWidth + kCountWidth;
  out +=
      "<div class=\"scroll\"><svg class=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" width=\"";
  appendNumber(out, totalWidth);
  out += "\" height=\"";
  appendNumber(out, height);
  out += "\" viewBox=\"0 0 ";
  appendNumber(out, totalWidth);
  out += ' ';
  appendNumber(out, height);
  out += "\">\n";
  out += markShapes();
  out += "<g class=\"axis\">";
  for (const Tick& tick : axisTicks(report.axisStart, report.axisEnd, kPlotWidth)) {
    const double x = kLabelWidth + tick.x;
    appendAxisLine(out, "grid", x, height);
    out += "\"/><text class=\"tick\" x=\"";
    appendNumber(out, x + 3);
    out += "\" y=\"";
    appendNumber(out, kAxisHeight - 9);
    out += "\">" + tick.label + "</text>";
    if (!tick.date.empty()) {
      out += "<text class=\"date\" x=\"";
      appendNumber(out, x + 3);
      out += "\" y=\"12\">" + tick.date + "</text>";
    }
  }
  out += "</g>\n";

  double y = kAxisHeight;
  for (std::size_t l = 0; l < report.lanes.size(); ++l) {
    const Lane& lane = report.lanes[l];
    if (l == 0 || lane.workstation != report.lanes[l - 1].workstation) {
      out += "<g class=\"workstation\"><line x1=\"0\" x2=\"";
      appendNumber(out, totalWidth);
      out += "\" y1=\"";
      appendNumber(out, y + 1);
      out += "\" y2=\"";
      appendNumber(out, y + 1);
      out += "\"/><text x=\"4\" y=\"";
      appendNumber(out, y + 16);
      out += "\">";
      appendEscaped(out, middleShortened(lane.workstation, 40));
      out += "<title>";
      appendEscaped(out, lane.workstation);
      out += "</title></text></g>\n";
      y += kGroupHeight;
    }
    appendLane(out, report, lane, y);
    y += kLaneHeight;
  }
  if (report.now >= report.axisStart && report.now <= report.axisEnd) {
    const double x = kLabelWidth + static_cast<double>(report.now - report.axisStart) * kPlotWidth /
                                       static_cast<double>(report.axisEnd - report.axisStart);
    appendAxisLine(out, "now", x, height);
    out += "\"><title>report time " + formatStatusTime(report.now) + "</title></line>\n";
  }
  out += "</svg></div>\n";
}

}  // namespace tavrelon::report::parts
