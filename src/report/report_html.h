// The night report as one self-contained HTML page: inline CSS and SVG, no
// script, nothing fetched.
#pragma once

#include <cstddef>
#include <string>

#include "report/report_model.h"

namespace tavrelon::report {

// Appends `text` to `out` so that it reads as the same text in HTML content and
// in quoted attributes: & < > " ' as character references; tab, CR and LF as
// a space; bytes that are no valid UTF-8, other control characters and the
// bidirectional overrides as U+FFFD. Nothing of `text` is ever markup.
void appendEscaped(std::string& out, const std::string& text);

// appendEscaped into a new string.
std::string escaped(const std::string& text);

// Splits a Latest_Log value "[<path>] <line>" at its first "] ". False, the
// whole value in `line` and `path` empty, when it has no such form ("N/A").
bool splitLatestLog(const std::string& latestLog, std::string& path, std::string& line);

// The page's geometry, in CSS pixels.
constexpr double kPlotWidth = 1000;  // the time axis
constexpr double kLabelWidth = 230;  // lane names left of it

// The failures and unplaced rows listed one by one, newest first; older ones
// are counted per log. Keeps a year of crash loops a page of a few megabytes.
constexpr std::size_t kMaxListed = 1000;

// The whole page for `report` (finishReport done), titled with its time.
std::string renderReportPage(const NightReport& report);

}  // namespace tavrelon::report
