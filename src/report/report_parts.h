// What the parts of the report's page share: durations, times, a run's hover
// text and a lane's state. Internal to the report's page writer.
#pragma once

#include <cstdint>
#include <string>

#include "report/report_html.h"
#include "report/report_model.h"
#include "report/report_writer.h"

namespace tavrelon::report::parts {

// "3 d 4 h", "2 h 5 min", "32 min 36 s", "12 s".
std::string durationText(std::int64_t seconds);

// "hh:mm" of `time` when it falls on the day of `reference`, else
// "YYYY-MM-DD hh:mm".
std::string shortTime(std::int64_t time, std::int64_t reference);

// The hover text of one run: its ID, outcome, times and Latest_Log, a line each.
void appendRunTitle(HtmlWriter& html, const Run& run, std::int64_t now);

// "running for 2 h 5 min", "finished 06:12", "last failed 05:40 (crashed)",
// ...: what the lane's newest run says of it now.
std::string laneState(const Lane& lane, std::int64_t now);

// The SVG timeline with its legend, inside a box of its own that scrolls.
void appendTimeline(HtmlWriter& html, const NightReport& report);

}  // namespace tavrelon::report::parts
