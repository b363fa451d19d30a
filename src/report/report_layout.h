// The timeline's geometry: the ticks of its time axis, the bars of a lane and
// the colour of each outcome. Pure functions of the runs and the pixel width.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "report/report_model.h"

namespace tavrelon::report {

// One mark on the time axis, `x` pixels from the axis start.
struct Tick {
  std::int64_t time = 0;
  double x = 0;
  std::string label;  // "hh:mm" ("hh:mm:ss" below a minute); "YYYY-MM-DD", "YYYY-MM", "YYYY"
  std::string date;   // below a day: "YYYY-MM-DD" at the first tick and where the day changes
};

// The ticks inside [start, end] drawn `width` pixels wide: the finest step of
// 10, 30 seconds, 1, 5, 10, 15, 30 minutes, 1, 2, 3, 6, 12 hours, 1, 2 days, a
// week (Mondays), 2 weeks, 1, 3, 6 months, 1, 2, 5 years whose ticks stand at
// least 100 px apart (110 px from a day on, a month counted as 30 days); each
// on a boundary of its step. Never more than kMaxTicks, whatever the span.
constexpr std::size_t kMaxTicks = 400;
std::vector<Tick> axisTicks(std::int64_t start, std::int64_t end, double width);

// How many runs of each outcome a bar stands for (indexed by Outcome).
struct OutcomeCounts {
  std::array<int, kOutcomes> count{};
  int total() const;
  // The outcome a reader must not miss: crashed, timeout, interrupted,
  // stopped, other, running, finished, the first of these that it holds.
  Outcome worst() const;
};

// One bar of a lane: a run of its own, or the short runs of one pixel column.
struct Bar {
  double x = 0;                      // pixels from the axis start
  double width = 0;                  // at least 1 px
  Outcome outcome = Outcome::Other;  // the run's, or counts.worst() when merged
  bool merged = false;
  std::size_t run = 0;  // index of the run in the lane's runs (not merged)
  OutcomeCounts counts;
  std::int64_t start = 0, end = 0;  // earliest start and latest end it covers
};

// The bars of a lane for `runs` on the axis [axisStart, axisEnd], `width` px
// wide. A run at least 1 px long is a bar of its own; the shorter ones are
// gathered by the pixel column where they start: a column with one of them
// draws that run 1 px wide, a column with several one merged bar, so a lane
// never holds more short bars than pixel columns. Bars come in x order.
std::vector<Bar> laneBars(const std::vector<Run>& runs, std::int64_t axisStart,
                          std::int64_t axisEnd, double width);

// The marks of a lane: the crashed, timeout and interrupted ends gathered by
// the `column`-pixel-wide column their end falls in, one mark per column, in
// x order, drawn in the shape of the worst outcome it holds.
struct Mark {
  double x = 0;  // the end's pixel, of the newest end it holds
  Outcome outcome = Outcome::Other;
  OutcomeCounts counts;
  std::size_t first = 0, last = 0;  // the oldest and newest run it holds (by end)
};
std::vector<Mark> laneMarks(const std::vector<Run>& runs, std::int64_t axisStart,
                            std::int64_t axisEnd, double width, double column);

// The fill colour of `outcome`, from the Okabe-Ito palette that readers with
// any common colour-vision deficiency tell apart: "#RRGGBB".
const char* outcomeColour(Outcome outcome);

}  // namespace tavrelon::report
