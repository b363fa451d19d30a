#include "report/report_html.h"

#include <cstdio>
#include <map>
#include <string_view>

#include "logging/csv.h"
#include "platform/text_encoding.h"
#include "report/report_layout.h"

namespace tavrelon::report {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

constexpr double kLaneHeight = 24;
constexpr double kAxisHeight = 36;

// True for a valid sequence that must not reach the page as it is: C1
// controls, which HTML forbids, and the bidirectional embeddings, overrides
// and isolates, which could make a path read as another.
bool isHiddenControl(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (byte(at) == 0xC2)
    return byte(at + 1) <= 0x9F;
  if (byte(at) != 0xE2)
    return false;
  return (byte(at + 1) == 0x80 && byte(at + 2) >= 0xAA && byte(at + 2) <= 0xAE) ||
         (byte(at + 1) == 0x81 && byte(at + 2) >= 0xA6 && byte(at + 2) <= 0xA9);
}

// `value` with one decimal, or none when it is whole: most bars of a large
// lane stand on whole pixel columns.
void appendNumber(std::string& out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string_view digits(text);
  if (digits.size() > 2 && digits.substr(digits.size() - 2) == ".0")
    digits.remove_suffix(2);
  out += digits;
}

void appendCount(std::string& out, std::int64_t value) {
  out += std::to_string(value);
}

// A vertical line of the axis from just under the tick labels down to
// `bottom`, at `x`, open after its last value so the caller can close it or
// give it a title.
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

// "3 d 4 h", "2 h 5 min", "32 min 36 s", "12 s".
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

// The last two parts of a path (folder and file): what tells one
// workstation's log from another's in a shared folder.
std::string shortPath(const std::string& path) {
  const std::string::size_type last = path.find_last_of("/\\");
  if (last == std::string::npos || last == 0)
    return path;
  const std::string::size_type before = path.find_last_of("/\\", last - 1);
  return before == std::string::npos ? path : path.substr(before + 1);
}

// At most `limit` characters of `text`, its start cut off with "…"; counted
// in bytes but never cut inside a UTF-8 character.
std::string tail(const std::string& text, std::size_t limit) {
  if (text.size() <= limit)
    return text;
  std::size_t cut = text.size() - limit;
  while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    ++cut;
  return "\xE2\x80\xA6" + text.substr(cut);
}

void appendLatestLog(std::string& out, const std::string& latestLog) {
  std::string path, line;
  splitLatestLog(latestLog, path, line);
  if (!path.empty()) {
    out += "<span class=\"path\">";
    appendEscaped(out, path);
    out += "</span> ";
  }
  out += "<span class=\"line\">";
  appendEscaped(out, line);
  out += "</span>";
}

// The hover text of one run: its ID, times, outcome and Latest_Log.
void appendRunTitle(std::string& out, const Run& run, std::int64_t now) {
  appendEscaped(out, run.row.applicationId);
  out += '\n';
  appendEscaped(out, run.row.runningStatus);
  out += '\n';
  appendEscaped(out, run.row.startTime);
  out += " \xE2\x80\x93 ";
  if (run.outcome == Outcome::Running && run.row.endTime.empty()) {
    out += run.superseded ? "no end recorded, next run " + formatStatusTime(run.end)
                          : "still running at " + formatStatusTime(now);
  } else {
    appendEscaped(out, run.row.endTime);
  }
  out += " (" + durationText(run.end - run.start) + ")\n";
  appendEscaped(out, run.row.latestLog);
}

void appendMergedTitle(std::string& out, const Bar& bar) {
  appendCount(out, bar.counts.total());
  const std::string start = formatStatusTime(bar.start), end = formatStatusTime(bar.end);
  // The end's date only where it differs: a year of such bars is megabytes.
  out +=
      " runs\n" + start + " \xE2\x80\x93 " +
      (end.compare(0, end.size() - 8, start, 0, start.size() - 8) == 0 ? end.substr(end.size() - 8)
                                                                       : end) +
      "\n";
  bool first = true;
  for (Outcome outcome : {Outcome::Crashed, Outcome::Timeout, Outcome::Stopped, Outcome::Other,
                          Outcome::Running, Outcome::Finished}) {
    const int n = bar.counts.count[static_cast<int>(outcome)];
    if (n == 0)
      continue;
    out += first ? "" : ", ";
    appendCount(out, n);
    out += ' ';
    out += outcomeName(outcome);
    first = false;
  }
}

void appendStyle(std::string& out) {
  out +=
      "<style>\n"
      "body{font:14px/1.45 system-ui,'Segoe UI',sans-serif;margin:24px;color:#1d1d1d}\n"
      "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px}\n"
      "table{border-collapse:collapse}th,td{border-bottom:1px solid #ddd;padding:4px 8px;"
      "text-align:left;vertical-align:top}th{background:#f3f3f3}td.n{text-align:right}\n"
      "td.span,td.log{white-space:nowrap}\n"
      ".path,.line,.id{font-family:ui-monospace,Consolas,monospace;font-size:12px;"
      "overflow-wrap:anywhere}.path{color:#555}\n"
      "ol.failures{padding-left:28px}ol.failures li{margin-bottom:6px}\n"
      ".legend span.swatch{display:inline-block;width:12px;height:12px;margin:0 4px 0 14px;"
      "vertical-align:-1px}\n"
      "svg text{font:11px system-ui,'Segoe UI',sans-serif;fill:#333}\n"
      "svg .track{fill:#f4f4f4}svg .grid{stroke:#d0d0d0}svg .now{stroke:#000;"
      "stroke-dasharray:3 3}\n";
  // Bars fill with their outcome's colour; legend swatches and outcome words
  // carry it as their background.
  for (Outcome outcome : {Outcome::Finished, Outcome::Crashed, Outcome::Timeout, Outcome::Stopped,
                          Outcome::Running, Outcome::Other}) {
    const std::string name = outcomeName(outcome);
    out += "svg ." + name + "{fill:" + outcomeColour(outcome) + "}.swatch." + name + ",b." + name +
           "{background:" + outcomeColour(outcome) + "}";
  }
  out += "\nb{padding:0 5px;border-radius:3px;font-weight:600}\n</style>\n";
}

void appendSummary(std::string& out, const NightReport& report) {
  out +=
      "<h2>Summary</h2>\n<table class=\"summary\"><thead><tr><th>#</th><th>Program</th>"
      "<th>Status log</th><th>Runs</th><th>Finished</th><th>Crashed</th><th>Timed out</th>"
      "<th>Stopped</th><th>Running</th><th>Span</th><th>Supervised</th><th>Last failure</th>"
      "</tr></thead><tbody>\n";
  for (std::size_t l = 0; l < report.logs.size(); ++l) {
    const LogReport& log = report.logs[l];
    out += "<tr><td class=\"n\">" + std::to_string(l + 1) + "</td><td>";
    appendEscaped(out, log.program);
    out += "</td><td class=\"path log\" title=\"";
    appendEscaped(out, log.path);
    out += "\">";
    appendEscaped(out, shortPath(log.path));
    out += "</td>";
    for (std::int64_t n :
         {static_cast<std::int64_t>(log.runs.size()), static_cast<std::int64_t>(log.finished),
          static_cast<std::int64_t>(log.crashed), static_cast<std::int64_t>(log.timedOut),
          static_cast<std::int64_t>(log.stopped), static_cast<std::int64_t>(log.running)}) {
      out += "<td class=\"n\">";
      appendCount(out, n);
      out += "</td>";
    }
    out += "<td class=\"span\">";
    if (!log.runs.empty()) {
      out += formatStatusTime(log.firstStart) + " \xE2\x80\x93 " + formatStatusTime(log.lastEnd);
    }
    out += "</td><td>" + durationText(log.supervised) + "</td><td>";
    if (log.lastFailure >= 0) {
      const Run& run = log.runs[static_cast<std::size_t>(log.lastFailure)];
      out += std::string("<b class=\"") + outcomeName(run.outcome) + "\">" +
             outcomeName(run.outcome) + "</b> ";
      appendEscaped(out, run.row.endTime);
      out += "<br>";
      appendLatestLog(out, run.row.latestLog);
    }
    out += "</td></tr>\n";
  }
  out += "</tbody></table>\n";
}

void appendTimeline(std::string& out, const NightReport& report) {
  out += "<h2>Timeline</h2>\n<p class=\"legend\">";
  for (Outcome outcome : {Outcome::Finished, Outcome::Crashed, Outcome::Timeout, Outcome::Stopped,
                          Outcome::Running}) {
    out += std::string("<span class=\"swatch ") + outcomeName(outcome) + "\"></span>" +
           outcomeName(outcome);
  }
  out +=
      " &nbsp; Failures are drawn full height. A 1 px bar may stand for several short runs: "
      "hover over a bar for its runs.</p>\n";

  const double height = kAxisHeight + kLaneHeight * static_cast<double>(report.logs.size()) + 4;
  const double totalWidth = kLabelWidth + kPlotWidth + 20;
  out += "<svg class=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" width=\"";
  appendNumber(out, totalWidth);
  out += "\" height=\"";
  appendNumber(out, height);
  out += "\" viewBox=\"0 0 ";
  appendNumber(out, totalWidth);
  out += ' ';
  appendNumber(out, height);
  out += "\">\n<g class=\"axis\">";
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

  for (std::size_t l = 0; l < report.logs.size(); ++l) {
    const LogReport& log = report.logs[l];
    out += "<g class=\"lane\" transform=\"translate(";
    appendNumber(out, kLabelWidth);
    out += ',';
    appendNumber(out, kAxisHeight + kLaneHeight * static_cast<double>(l));
    out += ")\"><title>";
    appendEscaped(out, log.program);
    out += '\n';
    appendEscaped(out, log.path);
    out += "</title><text x=\"-8\" y=\"16\" text-anchor=\"end\">" + std::to_string(l + 1) + " ";
    appendEscaped(out, tail(shortPath(log.path), 34));
    out += "</text><rect class=\"track\" x=\"0\" y=\"2\" width=\"";
    appendNumber(out, kPlotWidth);
    out += "\" height=\"20\"/>\n";
    for (const Bar& bar : laneBars(log.runs, report.axisStart, report.axisEnd, kPlotWidth)) {
      const bool tall = isFailure(bar.outcome) || bar.outcome == Outcome::Other;
      out += bar.merged ? "<rect class=\"merged " : "<rect class=\"run ";
      out += outcomeName(bar.outcome);
      out += '"';
      if (bar.merged) {
        out += " data-runs=\"";
        appendCount(out, bar.counts.total());
        out += '"';
      }
      out += " x=\"";
      appendNumber(out, bar.x);
      out += tall ? "\" y=\"3\" width=\"" : "\" y=\"7\" width=\"";
      appendNumber(out, bar.width);
      out += tall ? "\" height=\"18\"><title>" : "\" height=\"10\"><title>";
      if (bar.merged) {
        appendMergedTitle(out, bar);
      } else {
        appendRunTitle(out, log.runs[bar.run], report.now);
      }
      out += "</title></rect>\n";
    }
    out += "</g>\n";
  }
  if (report.now >= report.axisStart && report.now <= report.axisEnd) {
    const double x = kLabelWidth + static_cast<double>(report.now - report.axisStart) * kPlotWidth /
                                       static_cast<double>(report.axisEnd - report.axisStart);
    appendAxisLine(out, "now", x, height);
    out += "\"><title>report time " + formatStatusTime(report.now) + "</title></line>\n";
  }
  out += "</svg>\n";
}

// "N older ... are not listed: log a, log b" for what a capped list leaves out.
void appendLeftOut(std::string& out, const std::map<std::string, std::size_t>& perLog,
                   std::size_t total, const char* what) {
  if (total == 0)
    return;
  out += "<p class=\"left-out\">" + std::to_string(total) + " older " + what +
         " are not listed here; their rows are in the status logs:";
  const char* separator = " ";
  for (const auto& [path, count] : perLog) {
    out += separator;
    out += std::to_string(count) + " in <span class=\"path\">";
    appendEscaped(out, path);
    out += "</span>";
    separator = ", ";
  }
  out += ".</p>\n";
}

void appendFailures(std::string& out, const NightReport& report) {
  out += "<h2>Failures</h2>\n";
  if (report.failures.empty()) {
    out += "<p class=\"none\">No run crashed, timed out or was stopped.</p>\n";
    return;
  }
  out += "<ol class=\"failures\">\n";
  std::map<std::string, std::size_t> leftOut;
  for (std::size_t i = 0; i < report.failures.size(); ++i) {
    const RunRef ref = report.failures[i];
    const Run& run = report.run(ref);
    if (i >= kMaxListed) {
      ++leftOut[report.logs[ref.log].path];
      continue;
    }
    out += std::string("<li class=\"failure ") + outcomeName(run.outcome) + "\"><b>" +
           outcomeName(run.outcome) + "</b> ";
    appendEscaped(out, run.row.endTime);
    out += " <span class=\"id\">";
    appendEscaped(out, run.row.applicationId);
    out += "</span> (" + std::to_string(ref.log + 1) + " ";
    appendEscaped(out, shortPath(report.logs[ref.log].path));
    out += ", ran " + durationText(run.end - run.start) + ")<br>";
    appendLatestLog(out, run.row.latestLog);
    out += "</li>\n";
  }
  out += "</ol>\n";
  appendLeftOut(out, leftOut, report.failures.size() - std::min(report.failures.size(), kMaxListed),
                "failures");
}

void appendUnplaced(std::string& out, const NightReport& report) {
  std::size_t total = 0;
  for (const LogReport& log : report.logs)
    total += log.unplaced.size();
  if (total == 0)
    return;
  out +=
      "<h2>Rows not on the timeline</h2>\n<p>Their times do not read as "
      "<span class=\"id\">YYYY-MM-DD hh:mm:ss</span> or end before they start.</p>\n"
      "<table class=\"unplaced\"><thead><tr><th>Status log</th><th>Row</th><th>Why</th>"
      "<th>The row</th></tr></thead><tbody>\n";
  std::size_t listed = 0;
  std::map<std::string, std::size_t> leftOut;
  for (std::size_t l = 0; l < report.logs.size(); ++l) {
    for (const UnplacedRow& unplaced : report.logs[l].unplaced) {
      if (listed++ >= kMaxListed) {
        ++leftOut[report.logs[l].path];
        continue;
      }
      const StatusRecord& row = unplaced.row;
      out += "<tr><td class=\"path\">" + std::to_string(l + 1) + " ";
      appendEscaped(out, shortPath(report.logs[l].path));
      out += "</td><td class=\"n\">" + std::to_string(unplaced.rowNumber) + "</td><td>";
      appendEscaped(out, unplaced.reason);
      out += "</td><td class=\"line\">";
      appendEscaped(out, quoteCsvField(row.applicationId) + "," + quoteCsvField(row.runningStatus) +
                             "," + quoteCsvField(row.startTime) + "," + quoteCsvField(row.endTime) +
                             "," + quoteCsvField(row.latestLog));
      out += "</td></tr>\n";
    }
  }
  out += "</tbody></table>\n";
  appendLeftOut(out, leftOut, total - std::min(total, kMaxListed), "rows");
}

}  // namespace

void appendEscaped(std::string& out, const std::string& text) {
  std::size_t plain = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char* replacement = nullptr;
    std::size_t length = 1;
    if (c >= 0x80) {
      length = utf8SequenceLength(text, i);
      if (length == 0) {
        length = 1;
        replacement = kReplacement;
      } else if (isHiddenControl(text, i)) {
        replacement = kReplacement;
      }
    } else if (c == '&') {
      replacement = "&amp;";
    } else if (c == '<') {
      replacement = "&lt;";
    } else if (c == '>') {
      replacement = "&gt;";
    } else if (c == '"') {
      replacement = "&quot;";
    } else if (c == '\'') {
      replacement = "&#39;";
    } else if (c == '\t' || c == '\n' || c == '\r') {
      replacement = " ";
    } else if (c < 0x20 || c == 0x7F) {
      replacement = kReplacement;
    }
    if (replacement != nullptr) {
      out.append(text, plain, i - plain);
      out += replacement;
      plain = i + length;
    }
    i += length;
  }
  out.append(text, plain, std::string::npos);
}

std::string escaped(const std::string& text) {
  std::string out;
  appendEscaped(out, text);
  return out;
}

bool splitLatestLog(const std::string& latestLog, std::string& path, std::string& line) {
  const std::string::size_type close = latestLog.find("] ");
  if (latestLog.empty() || latestLog[0] != '[' || close == std::string::npos) {
    path.clear();
    line = latestLog;
    return false;
  }
  path = latestLog.substr(1, close - 1);
  line = latestLog.substr(close + 2);
  return true;
}

std::string renderReportPage(const NightReport& report) {
  std::size_t runs = 0;
  for (const LogReport& log : report.logs)
    runs += log.runs.size();
  std::string out;
  // About the bytes of one bar per run, so the page grows in few steps.
  out.reserve(4096 + runs * 64);
  const std::string when = formatStatusTime(report.now);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'\">\n<title>Tavrelon night report " +
      when + "</title>\n";
  appendStyle(out);
  out += "</head><body>\n<h1>Night report</h1>\n<p class=\"meta\">Written " + when + " from " +
         std::to_string(report.logs.size()) +
         (report.logs.size() == 1 ? " status log: " : " status logs: ") + std::to_string(runs) +
         " runs, " + std::to_string(report.failures.size()) + " failures.</p>\n";
  // The picture first: what a reader takes in at a glance.
  appendTimeline(out, report);
  appendSummary(out, report);
  appendFailures(out, report);
  appendUnplaced(out, report);
  out += "</body></html>\n";
  return out;
}

}  // namespace tavrelon::report
