#include "report/report_html.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "logging/csv.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "report/report_layout.h"
#include "report/report_parts.h"

namespace tavrelon::report {

const char* const kPageStart =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
    "<meta name=\"generator\" content=\"tavrelon_report\">\n";

namespace parts {

void appendNumber(std::string& out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string_view digits(text);
  if (digits.size() > 2 && digits.substr(digits.size() - 2) == ".0")
    digits.remove_suffix(2);
  out += digits;
}

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
  const std::string text = formatStatusTime(time), day = formatStatusTime(reference);
  const std::size_t date = text.size() - 9;
  if (text.compare(0, date, day, 0, day.size() - 9) == 0)
    return text.substr(date + 1, 5);
  return text.substr(0, text.size() - 3);
}

void appendRunTitle(std::string& out, const Run& run, std::int64_t now) {
  appendEscaped(out, run.row.applicationId);
  out += '\n';
  appendEscaped(out, statusText(run));
  out += '\n';
  appendEscaped(out, startText(run));
  out += " \xE2\x80\x93 ";
  if (run.outcome == Outcome::Running && !run.hasEnd) {
    out += run.superseded ? "no end recorded, next run " + formatStatusTime(run.end)
                          : "still running at " + formatStatusTime(now);
  } else {
    appendEscaped(out, endText(run));
    if (run.endOffTimeline)
      out += ", far after the report's time: drawn up to it";
  }
  out += " (" + durationText(run.end - run.start) + ")\n";
  appendEscaped(out, run.row.latestLog);
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

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

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

void appendStyle(std::string& out) {
  out +=
      "<style>\n"
      ":root{--fg:#1d1d1d;--muted:#555;--line:#ddd;--head:#f3f3f3;--track:#f1f1f1;"
      "--grid:#d0d0d0;--bg:#fff;--halo:#1d1d1d}\n"
      "@media (prefers-color-scheme:dark){:root{--fg:#e6e6e6;--muted:#aaa;--line:#3a3a3a;"
      "--head:#262626;--track:#232323;--grid:#444;--bg:#141414;--halo:#fff}a{color:#8cc4ff}}\n"
      "body{font:14px/1.45 system-ui,'Segoe UI',sans-serif;margin:24px;color:var(--fg);"
      "background:var(--bg)}\n"
      "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:24px 0 8px}\n"
      ".scroll{overflow-x:auto;max-width:100%}\n"
      "table{border-collapse:collapse;table-layout:fixed;width:100%;min-width:1180px}\n"
      "th,td{border-bottom:1px solid var(--line);padding:3px 6px;text-align:left;"
      "white-space:nowrap;overflow:hidden;text-overflow:ellipsis}th{background:var(--head);font-"
      "size:12px}\n"
      "td.n,th.n{text-align:right}td.ws{color:var(--muted)}\n"
      ".path,.line,.id{font-family:ui-monospace,Consolas,monospace;font-size:12px}"
      ".path,.where{color:var(--muted)}\n"
      "ol.ends{padding-left:28px;max-width:100%}ol.ends li{margin-bottom:3px;white-space:nowrap;"
      "overflow:hidden;text-overflow:ellipsis}\n"
      ".legend span.swatch{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px;"
      "vertical-align:-1px;opacity:.75}.legend svg.key{margin:0 3px 0 12px;vertical-align:-2px}\n"
      "svg text{font:11px system-ui,'Segoe UI',sans-serif;fill:var(--fg)}\n"
      "svg .track{fill:var(--track)}svg .grid{stroke:var(--grid)}svg .now{stroke:var(--fg);"
      "stroke-dasharray:3 3}\n"
      "svg .workstation text{font-weight:700;font-size:12px}svg .workstation line{"
      "stroke:var(--grid)}svg .count .failures{font-weight:700}svg .count .state{"
      "fill:var(--muted)}\n"
      "svg rect.run,svg rect.merged{opacity:.75}\n"
      "svg use{color:var(--halo)}svg .mark:focus{outline:none}"
      "svg .mark:focus use,svg .mark:hover use{color:#0072B2}\n"
      "svg .tip{display:none;fill:var(--fg);font-weight:600;paint-order:stroke;stroke:var(--bg);"
      "stroke-width:4px}svg .mark:focus .tip,svg .mark:hover .tip{display:inline}\n"
      "b{padding:0 5px;border-radius:3px;font-weight:600;color:#000}\n"
      "p.warn{border-left:4px solid #E69F00;padding-left:8px}\n"
      "@page{size:A4 landscape;margin:10mm}\n"
      "@media print{body{margin:0;font-size:11px}.scroll{overflow:visible}"
      "svg.timeline{width:100%;height:auto}table{min-width:0;table-layout:auto}"
      "col{width:auto!important}th,td{font-size:10px;padding:2px 4px}td,ol.ends li{"
      "white-space:normal;overflow:visible;overflow-wrap:anywhere}"
      "a{color:inherit;text-decoration:none}}\n";
  // Bars fill with their outcome's colour; legend swatches and outcome words
  // carry it as their background; the marks' shapes fill with it.
  for (int i = 0; i < kOutcomes; ++i) {
    const Outcome outcome = static_cast<Outcome>(i);
    const std::string name = outcomeName(outcome), colour = outcomeColour(outcome);
    out += "svg ." + name + "{fill:" + colour + "}.swatch." + name + ",b." + name +
           "{background:" + colour + "}";
  }
  out += "\n</style>\n";
}

// The status logs of a lane as links, the newest read last.
void appendLogLinks(std::string& out, const NightReport& report, const PageOptions& options,
                    const Lane& lane) {
  std::string all;
  for (std::size_t log : lane.logs)
    all += (all.empty() ? "" : "\n") + report.logs[log];
  out += "<td class=\"path\" title=\"";
  appendEscaped(out, all);
  out += "\">";
  const char* separator = "";
  for (std::size_t log : lane.logs) {
    out += separator;
    separator = " \xC2\xB7 ";
    const std::string name = platform::finalNameOf(report.logs[log], true);
    const std::string link =
        log < options.logFiles.size() ? linkTo(options.pageFolder, options.logFiles[log]) : "";
    if (!link.empty()) {
      out += "<a href=\"";
      appendEscaped(out, link);
      out += "\">";
    }
    appendEscaped(out, name);
    out += link.empty() ? "" : "</a>";
  }
  out += "</td>";
}

void appendSummary(std::string& out, const NightReport& report, const PageOptions& options) {
  out +=
      "<h2>Programs</h2>\n<div class=\"scroll\"><table class=\"summary\"><colgroup>"
      "<col style=\"width:96px\"><col style=\"width:140px\"><col style=\"width:205px\">"
      "<col style=\"width:52px\"><col style=\"width:70px\"><col style=\"width:68px\">"
      "<col style=\"width:84px\"><col style=\"width:96px\"><col style=\"width:72px\">"
      "<col><col style=\"width:150px\"></colgroup><thead><tr><th>Workstation</th>"
      "<th>Program</th><th>Now</th><th class=\"n\">Runs</th><th class=\"n\">Finished</th>"
      "<th class=\"n\">Crashed</th><th class=\"n\">Timed out</th><th class=\"n\">Interrupted</th>"
      "<th class=\"n\">Stopped</th><th>Last failure</th><th>Status logs</th></tr></thead><tbody>\n";
  for (const Lane& lane : report.lanes) {
    out += "<tr class=\"program\"><td class=\"ws\" title=\"";
    appendEscaped(out, lane.workstation);
    out += "\">";
    appendEscaped(out, lane.workstation);
    out += "</td><td title=\"";
    appendEscaped(out, lane.program);
    out += "\">";
    // The program's name opens its newest status log.
    const std::size_t newest = lane.logs.back();
    const std::string link = newest < options.logFiles.size()
                                 ? linkTo(options.pageFolder, options.logFiles[newest])
                                 : std::string();
    if (!link.empty()) {
      out += "<a href=\"";
      appendEscaped(out, link);
      out += "\">";
    }
    appendEscaped(out, lane.program);
    out += link.empty() ? "</td>" : "</a></td>";
    const std::string state = laneState(lane, report.now);
    out += "<td title=\"" + escaped(state) + "\">" + escaped(state) + "</td>";
    for (int n : {static_cast<int>(lane.runs.size()), lane.count(Outcome::Finished),
                  lane.count(Outcome::Crashed), lane.count(Outcome::Timeout),
                  lane.count(Outcome::Interrupted), lane.count(Outcome::Stopped)})
      out += "<td class=\"n\">" + std::to_string(n) + "</td>";
    if (lane.lastFailure >= 0) {
      const Run& run = lane.runs[static_cast<std::size_t>(lane.lastFailure)];
      std::string path, line;
      splitLatestLog(run.row.latestLog, path, line);
      out += "<td title=\"";
      appendEscaped(out, endText(run) + " " + outcomeName(run.outcome) + "\n" + run.row.latestLog);
      out += std::string("\"><b class=\"") + outcomeName(run.outcome) + "\">" +
             outcomeName(run.outcome) + "</b> " + shortTime(run.end, report.now) +
             " <span class=\"line\">";
      appendEscaped(out, line);
      out += "</span></td>";
    } else {
      out += "<td></td>";
    }
    appendLogLinks(out, report, options, lane);
    out += "</tr>\n";
  }
  out += "</tbody></table></div>\n";
}

// "N older ... are not listed" for what a capped list leaves out.
void appendLeftOut(std::string& out, std::size_t total, const char* what) {
  if (total > 0)
    out += "<p class=\"left-out\">" + std::to_string(total) + " older " + what +
           " are not listed here; their rows are in the status logs.</p>\n";
}

// One entry per group: "39 × crashed 22:01–23:40 · <last line>", with the
// workstation and program before it and a link to the program's own log.
void appendEndGroups(std::string& out, const NightReport& report, const PageOptions& options,
                     const std::vector<EndGroup>& groups, std::size_t limit, const char* what) {
  out += "<ol class=\"ends\">\n";
  for (std::size_t i = 0; i < groups.size() && i < limit; ++i) {
    const EndGroup& group = groups[i];
    const Lane& lane = report.lanes[group.lane];
    const Run& first = lane.runs[group.first];
    const Run& last = lane.runs[group.last];
    const char* name = outcomeName(last.outcome);
    std::string path, line;
    splitLatestLog(last.row.latestLog, path, line);
    // The workstation and program are in view: the title holds the rest whole.
    std::string title = last.row.applicationId + " " + endText(last) + "\n" + last.row.latestLog;
    if (!group.evidence.ended.empty())
      title += "\n" + group.evidence.ended;
    out += std::string("<li class=\"end ") + name + "\" title=\"" + escaped(title) +
           "\"><span class=\"where\">";
    appendEscaped(out, lane.workstation + " \xC2\xB7 " + lane.program);
    out += "</span> <b class=\"";
    out += name;
    out += "\">";
    if (group.count > 1)
      out += std::to_string(group.count) + " \xC3\x97 ";
    out += name;
    out += "</b> " + shortTime(first.end, report.now);
    if (group.count > 1)
      out += "\xE2\x80\x93" + shortTime(last.end, report.now);
    out += " \xC2\xB7 <span class=\"line\">";
    appendEscaped(out, line);
    out += "</span>";
    appendEndLink(out, options.pageFolder, group.evidence, path);
    out += "</li>\n";
  }
  out += "</ol>\n";
  appendLeftOut(out, groups.size() - std::min(groups.size(), limit), what);
}

void appendUnplaced(std::string& out, const NightReport& report) {
  if (report.unplaced.empty())
    return;
  out +=
      "<h2>Rows not on the timeline</h2>\n<p>Their times do not read as "
      "<span class=\"id\">YYYY-MM-DD hh:mm:ss</span>, end before they start, or lie before "
      "2000 or after the report's time.</p>\n<div class=\"scroll\"><table class=\"unplaced\">"
      "<colgroup><col style=\"width:220px\"><col style=\"width:60px\">"
      "<col style=\"width:300px\"><col></colgroup><thead><tr><th>Status log</th>"
      "<th class=\"n\">Row</th><th>Why</th><th>The row</th></tr></thead><tbody>\n";
  for (std::size_t i = 0; i < report.unplaced.size() && i < kMaxListed; ++i) {
    const UnplacedRow& unplaced = report.unplaced[i];
    const StatusRecord& row = unplaced.row;
    const std::string text = quoteCsvField(row.applicationId) + "," +
                             quoteCsvField(row.runningStatus) + "," + quoteCsvField(row.startTime) +
                             "," + quoteCsvField(row.endTime) + "," + quoteCsvField(row.latestLog);
    out += "<tr><td class=\"path\" title=\"" + escaped(report.logs[unplaced.log]) + "\">";
    appendEscaped(out, report.logs[unplaced.log]);
    out += "</td><td class=\"n\">" + std::to_string(unplaced.rowNumber) + "</td><td>";
    appendEscaped(out, unplaced.reason);
    out +=
        "</td><td class=\"line\" title=\"" + escaped(text) + "\">" + escaped(text) + "</td></tr>\n";
  }
  out += "</tbody></table></div>\n";
  appendLeftOut(out, report.unplacedCount - std::min(report.unplacedCount, kMaxListed), "rows");
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
  const std::string when = formatStatusTime(report.now);
  out += kPageStart;
  out +=
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'\">\n";
  if (options.refreshSeconds > 0)
    out += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(options.refreshSeconds) +
           "\">\n";
  out += "<title>Tavrelon night report " + when + "</title>\n";
  appendStyle(out);
  std::size_t workstations = 0, stopped = 0, interrupted = 0;
  for (std::size_t l = 0; l < report.lanes.size(); ++l) {
    const Lane& lane = report.lanes[l];
    workstations += l == 0 || lane.workstation != report.lanes[l - 1].workstation;
    stopped += static_cast<std::size_t>(lane.count(Outcome::Stopped));
    interrupted += static_cast<std::size_t>(lane.count(Outcome::Interrupted));
  }
  out += "</head><body>\n<h1>Night report</h1>\n<p class=\"meta\">Made " + when + " from ";
  for (std::size_t i = 0; i < report.sources.size(); ++i) {
    out += i == 0 ? "" : ", ";
    out += "<span class=\"path\">";
    appendEscaped(out, report.sources[i]);
    out += "</span>";
  }
  out += options.refreshSeconds > 0
             ? " (made again every " + std::to_string(options.refreshSeconds) + " s)"
             : std::string();
  out += ": " + std::to_string(workstations) +
         (workstations == 1 ? " workstation, " : " workstations, ") +
         std::to_string(report.lanes.size()) +
         (report.lanes.size() == 1 ? " program, " : " programs, ") +
         std::to_string(report.logs.size()) +
         (report.logs.size() == 1 ? " status log; " : " status logs; ") + std::to_string(runs) +
         " runs, <b class=\"crashed\">" + std::to_string(report.failureCount) +
         " failures</b> (crashed or timed out), " + std::to_string(stopped) + " stopped by hand, " +
         std::to_string(interrupted) + " interrupted.</p>\n";
  if (report.endsOffTimeline > 0)
    out += "<p class=\"warn\">" + std::to_string(report.endsOffTimeline) +
           " runs end far after the report's time (an End_Time such as 9999-12-31): they are "
           "drawn up to the report's time.</p>\n";
  // The picture first: what a reader takes in at a glance.
  appendTimeline(out, report);
  appendSummary(out, report, options);
  out += "<h2>Failures</h2>\n";
  if (report.failures.empty()) {
    out += "<p class=\"none\">No run crashed or timed out.</p>\n";
  } else {
    appendEndGroups(out, report, options, report.failures, kMaxListed, "failures");
  }
  if (!report.setAside.empty()) {
    out +=
        "<h2>Stopped by hand or interrupted</h2>\n<p>Not failures: someone stopped the "
        "watchdog, or the system ended it (log-off, shut-down).</p>\n";
    appendEndGroups(out, report, options, report.setAside, kMaxSetAside, "ends");
  }
  appendUnplaced(out, report);
  out += "</body></html>\n";
  return out;
}

}  // namespace tavrelon::report
