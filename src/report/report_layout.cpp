#include "report/report_layout.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "logging/calendar.h"

namespace tavrelon::report {

namespace {

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

// A step of the axis: a fixed number of seconds, or of calendar months.
struct Step {
  std::int64_t seconds;
  int months;
};

const Step kSteps[] = {{10, 0},
                       {30, 0},
                       {kMinute, 0},
                       {5 * kMinute, 0},
                       {10 * kMinute, 0},
                       {15 * kMinute, 0},
                       {30 * kMinute, 0},
                       {kHour, 0},
                       {2 * kHour, 0},
                       {3 * kHour, 0},
                       {6 * kHour, 0},
                       {12 * kHour, 0},
                       {kDay, 0},
                       {2 * kDay, 0},
                       {7 * kDay, 0},
                       {14 * kDay, 0},
                       {0, 1},
                       {0, 3},
                       {0, 6},
                       {0, 12},
                       {0, 24},
                       {0, 60}};

// The first multiple of `step` at or after `time`, counted from `origin`.
std::int64_t ceilTo(std::int64_t time, std::int64_t step, std::int64_t origin) {
  std::int64_t offset = (time - origin) % step;
  if (offset < 0)
    offset += step;
  return offset == 0 ? time : time + (step - offset);
}

// The finest step whose ticks stand far enough apart at `perSecond` pixels a
// second; the coarsest when none does.
Step stepFor(double perSecond) {
  for (const Step& candidate : kSteps) {
    // Months count as 30 days here; February's ticks stand a little closer.
    const double spacing = candidate.months > 0
                               ? 30.0 * kDay * candidate.months * perSecond
                               : static_cast<double>(candidate.seconds) * perSecond;
    // Dates take more room than times of day.
    if (spacing >= (candidate.months > 0 || candidate.seconds >= kDay ? 110.0 : 100.0))
      return candidate;
  }
  return kSteps[sizeof(kSteps) / sizeof(kSteps[0]) - 1];
}

// The times of the ticks in [start, end] a step of seconds apart, weeks on
// Mondays; at most kMaxTicks.
std::vector<std::int64_t> secondTicks(std::int64_t start, std::int64_t end, std::int64_t step) {
  // 1970-01-05 was a Monday: weeks are counted from there.
  const std::int64_t origin = step % (7 * kDay) == 0 ? 4 * kDay : 0;
  std::vector<std::int64_t> times;
  for (std::int64_t t = ceilTo(start, step, origin); t <= end && times.size() < kMaxTicks;
       t += step)
    times.push_back(t);
  return times;
}

// The times of the ticks in [start, end] on the first of every `months`-th
// month; at most kMaxTicks, none past the year 9999.
std::vector<std::int64_t> monthTicks(std::int64_t start, std::int64_t end, int months) {
  const CivilDate first = dateOf(start);
  // Months counted from January of year 0, so that 3, 6 and 12 months fall
  // on quarters, halves and new years.
  std::int64_t index = first.year * 12 + (first.month - 1);
  index += (months - index % months) % months;
  std::vector<std::int64_t> times;
  for (; times.size() < kMaxTicks; index += months) {
    // Status-log times have four-digit years: the axis ends with them.
    if (index < 0 || index / 12 > 9999)
      break;
    const std::int64_t t =
        daysFromCivil(index / 12, static_cast<int>(index % 12) + 1, 1) * kSecondsPerDay;
    if (t > end)
      break;
    if (t >= start)
      times.push_back(t);
  }
  return times;
}

}  // namespace

std::vector<Tick> axisTicks(std::int64_t start, std::int64_t end, double width) {
  std::vector<Tick> ticks;
  if (end <= start || width <= 0)
    return ticks;
  const double perSecond = width / static_cast<double>(end - start);
  const Step step = stepFor(perSecond);
  const std::vector<std::int64_t> times = step.months == 0 ? secondTicks(start, end, step.seconds)
                                                           : monthTicks(start, end, step.months);
  std::int64_t previousDay = 0;
  for (std::size_t i = 0; i < times.size(); ++i) {
    const std::int64_t t = times[i], day = dayNumberOf(t);
    const CivilDate date = civilFromDays(day);
    Tick tick;
    tick.time = t;
    tick.x = static_cast<double>(t - start) * perSecond;
    if (step.months >= 12) {
      tick.label = yearText(date.year);
    } else if (step.months > 0) {
      tick.label = monthText(date);
    } else if (step.seconds >= kDay) {
      tick.label = dateText(date);
    } else {
      tick.label = clockText(t, step.seconds < kMinute);
      // Below a day, the date stands over the first tick and where it changes.
      if (i == 0 || day != previousDay)
        tick.date = dateText(date);
    }
    previousDay = day;
    ticks.push_back(std::move(tick));
  }
  return ticks;
}

int OutcomeCounts::total() const {
  int sum = 0;
  for (int n : count)
    sum += n;
  return sum;
}

Outcome OutcomeCounts::worst() const {
  for (Outcome outcome : {Outcome::Crashed, Outcome::Timeout, Outcome::Interrupted,
                          Outcome::Stopped, Outcome::Other, Outcome::Running, Outcome::Finished}) {
    if (count[static_cast<int>(outcome)] > 0)
      return outcome;
  }
  return Outcome::Other;
}

std::vector<Bar> laneBars(const std::vector<Run>& runs, std::int64_t axisStart,
                          std::int64_t axisEnd, double width) {
  std::vector<Bar> bars;
  if (axisEnd <= axisStart)
    return bars;
  const double perSecond = width / static_cast<double>(axisEnd - axisStart);
  // Short runs by pixel column; a map keeps the columns in x order.
  std::map<std::int64_t, Bar> columns;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Run& run = runs[i];
    const double x = static_cast<double>(run.start - axisStart) * perSecond;
    const double length = static_cast<double>(run.end - run.start) * perSecond;
    if (length >= 1.0) {
      Bar bar;
      bar.x = x;
      bar.width = length;
      bar.outcome = run.outcome;
      bar.run = i;
      bar.counts.count[static_cast<int>(run.outcome)] = 1;
      bar.start = run.start;
      bar.end = run.end;
      bars.push_back(bar);
      continue;
    }
    // The last column holds runs that start at the axis end.
    const std::int64_t column =
        std::min(static_cast<std::int64_t>(std::floor(x)), static_cast<std::int64_t>(width) - 1);
    auto [found, added] = columns.try_emplace(column);
    Bar& bar = found->second;
    if (added) {
      bar.x = static_cast<double>(column);
      bar.width = 1.0;
      bar.run = i;
      bar.start = run.start;
      bar.end = run.end;
    } else {
      bar.merged = true;
      bar.start = std::min(bar.start, run.start);
      bar.end = std::max(bar.end, run.end);
    }
    bar.counts.count[static_cast<int>(run.outcome)] += 1;
    bar.outcome = bar.counts.worst();
  }
  for (auto& [column, bar] : columns)
    bars.push_back(bar);
  std::stable_sort(bars.begin(), bars.end(), [](const Bar& a, const Bar& b) { return a.x < b.x; });
  return bars;
}

std::vector<Mark> laneMarks(const std::vector<Run>& runs, std::int64_t axisStart,
                            std::int64_t axisEnd, double width, double column) {
  std::map<std::int64_t, Mark> columns;
  if (axisEnd <= axisStart || column <= 0)
    return {};
  const double perSecond = width / static_cast<double>(axisEnd - axisStart);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const Run& run = runs[i];
    if (!isMarked(run.outcome))
      continue;
    const double x = std::min(static_cast<double>(run.end - axisStart) * perSecond, width);
    auto [found, added] = columns.try_emplace(static_cast<std::int64_t>(std::floor(x / column)));
    Mark& mark = found->second;
    if (added || run.end < runs[mark.first].end)
      mark.first = i;
    if (added || run.end >= runs[mark.last].end) {
      mark.last = i;
      mark.x = x;
    }
    mark.counts.count[static_cast<int>(run.outcome)] += 1;
    mark.outcome = mark.counts.worst();
  }
  std::vector<Mark> marks;
  marks.reserve(columns.size());
  for (auto& [index, mark] : columns)
    marks.push_back(mark);
  return marks;
}

const char* outcomeColour(Outcome outcome) {
  switch (outcome) {
    case Outcome::Finished:
      return "#009E73";  // bluish green
    case Outcome::Crashed:
      return "#D55E00";  // vermillion
    case Outcome::Timeout:
      return "#E69F00";  // orange
    case Outcome::Interrupted:
      return "#0072B2";  // blue
    case Outcome::Stopped:
      return "#CC79A7";  // reddish purple
    case Outcome::Running:
      return "#56B4E9";  // sky blue
    case Outcome::Other:
      break;
  }
  return "#000000";  // black
}

}  // namespace tavrelon::report
