#include "report/report_model.h"

#include <algorithm>
#include <map>
#include <utility>

namespace tavrelon::report {

const char* outcomeName(Outcome outcome) {
  return statusWord(outcome);
}

Outcome outcomeOf(const std::string& runningStatus) {
  return runStatusOf(runningStatus);
}

bool isFailure(Outcome outcome) {
  return outcome == Outcome::Crashed || outcome == Outcome::Timeout;
}

bool isMarked(Outcome outcome) {
  return isFailure(outcome) || outcome == Outcome::Interrupted;
}

std::string cappedField(const std::string& text, std::size_t limit) {
  if (text.size() <= limit)
    return text;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  return text.substr(0, cut) + " \xE2\x80\xA6 " + std::to_string(text.size() - cut) + " bytes more";
}

std::string startText(const Run& run) {
  return formatStatusTime(run.start);
}

std::string endText(const Run& run) {
  return run.hasEnd ? formatStatusTime(run.recordedEnd) : std::string();
}

std::string statusText(const Run& run) {
  return run.outcome == Outcome::Other ? run.row.runningStatus : outcomeName(run.outcome);
}

LogReduction::LogReduction(NightReport& report, const std::string& path,
                           const std::string& workstation)
    : report_(report), workstation_(workstation), log_(report.logs.size()) {
  report_.logs.push_back(path);
  lanesBefore_ = report_.lanes.size();
  unplacedBefore_ = report_.unplaced.size();
  unplacedCountBefore_ = report_.unplacedCount;
  runsBefore_.reserve(lanesBefore_);
  for (const Lane& lane : report_.lanes)
    runsBefore_.push_back(lane.runs.size());
}

void LogReduction::add(const StatusRecord& source) {
  const std::size_t rowNumber = ++rows_;
  const std::int64_t latest = report_.now + kFutureMargin;
  Run run;
  run.outcome = outcomeOf(source.runningStatus);
  run.log = static_cast<std::uint32_t>(log_);
  std::string reason;
  if (!parseStatusTime(source.startTime, run.start)) {
    reason = "Start_Time is no time";
  } else if (run.start < kFirstPlausibleTime) {
    reason = "Start_Time before 2000, off the timeline";
  } else if (run.start > latest) {
    reason = "Start_Time after the report's time, off the timeline";
  } else if (run.outcome == Outcome::Running && source.endTime.empty()) {
    run.end = std::max(report_.now, run.start);
  } else if (!parseStatusTime(source.endTime, run.end)) {
    reason = "End_Time is no time";
  } else if (run.end < run.start) {
    reason = "End_Time before Start_Time";
  } else {
    run.hasEnd = true;
    run.recordedEnd = run.end;
    // A "never" such as 9999-12-31 23:59:59: the run is drawn up to now.
    if (run.end > latest) {
      run.end = std::max(report_.now, run.start);
      run.endOffTimeline = true;
    }
  }
  if (!reason.empty()) {
    // Kept whole up to a bound: a log of nothing but bad times stays small.
    if (report_.unplaced.size() < kMaxUnplacedKept)
      report_.unplaced.push_back(
          UnplacedRow{StatusRecord{cappedField(source.applicationId),
                                   cappedField(source.runningStatus), cappedField(source.startTime),
                                   cappedField(source.endTime), cappedField(source.latestLog)},
                      log_, rowNumber, reason});
    ++report_.unplacedCount;
    return;
  }
  // The times and a known outcome are kept as numbers only.
  run.row.applicationId = cappedField(source.applicationId);
  if (run.outcome == Outcome::Other)
    run.row.runningStatus = cappedField(source.runningStatus);
  run.row.latestLog = cappedField(source.latestLog);
  const std::string program = programOfApplicationId(run.row.applicationId);
  auto [found, added] = lanes_.try_emplace(program, report_.lanes.size());
  if (added) {
    // The same program on the same workstation in an earlier log: one lane.
    for (std::size_t l = 0; l < report_.lanes.size(); ++l) {
      if (report_.lanes[l].workstation == workstation_ && report_.lanes[l].program == program) {
        found->second = l;
        break;
      }
    }
    if (found->second == report_.lanes.size()) {
      Lane lane;
      lane.workstation = workstation_;
      lane.program = program;
      report_.lanes.push_back(std::move(lane));
    }
    report_.lanes[found->second].logs.push_back(log_);
  }
  report_.lanes[found->second].runs.push_back(std::move(run));
}

void LogReduction::undo() {
  report_.lanes.resize(lanesBefore_);
  for (std::size_t l = 0; l < lanesBefore_; ++l) {
    Lane& lane = report_.lanes[l];
    lane.runs.resize(runsBefore_[l]);
    if (!lane.logs.empty() && lane.logs.back() == log_)
      lane.logs.pop_back();
  }
  report_.unplaced.resize(unplacedBefore_);
  report_.unplacedCount = unplacedCountBefore_;
  report_.logs.resize(log_);
  lanes_.clear();
  rows_ = 0;
}

void addStatusLog(NightReport& report, const std::string& path, const std::string& workstation,
                  const std::vector<StatusRecord>& rows) {
  LogReduction reduction(report, path, workstation);
  for (const StatusRecord& row : rows)
    reduction.add(row);
}

namespace {

// Counts, span and covered time of a lane whose runs are in start order; a
// killed watchdog leaves its run "running" for good, and the next start of
// the same program shows that run had ended by then.
void finishLane(Lane& lane) {
  for (std::size_t k = 0; k + 1 < lane.runs.size(); ++k) {
    Run& run = lane.runs[k];
    const std::int64_t nextStart = lane.runs[k + 1].start;
    if (run.outcome == Outcome::Running && !run.hasEnd && run.end > nextStart) {
      run.end = nextStart;
      run.superseded = true;
    }
  }
  std::int64_t coveredUntil = 0;
  for (std::size_t k = 0; k < lane.runs.size(); ++k) {
    const Run& run = lane.runs[k];
    ++lane.counts[static_cast<int>(run.outcome)];
    if (k == 0) {
      lane.firstStart = run.start;
      lane.lastEnd = run.end;
      coveredUntil = run.start;
    }
    lane.lastEnd = std::max(lane.lastEnd, run.end);
    // Runs in start order: only the part after what is covered already counts.
    if (run.end > coveredUntil) {
      lane.supervised += run.end - std::max(run.start, coveredUntil);
      coveredUntil = run.end;
    }
    if (isFailure(run.outcome) &&
        (lane.lastFailure < 0 || run.end >= lane.runs[lane.lastFailure].end))
      lane.lastFailure = static_cast<int>(k);
  }
}

// The ends of `lane` for which `wanted` holds, consecutive ones with the same
// outcome and last line as one group each.
template <typename Wanted>
void groupEnds(const Lane& lane, std::size_t laneIndex, Wanted wanted,
               std::vector<EndGroup>& groups) {
  bool open = false;
  std::string openLine;
  for (std::size_t k = 0; k < lane.runs.size(); ++k) {
    const Run& run = lane.runs[k];
    if (!wanted(run.outcome)) {
      open = false;  // another end between them: no longer consecutive
      continue;
    }
    std::string path, line;
    splitLatestLog(run.row.latestLog, path, line);
    if (open && groups.back().lane == laneIndex &&
        lane.runs[groups.back().last].outcome == run.outcome && openLine == line) {
      groups.back().last = k;
      ++groups.back().count;
      continue;
    }
    groups.push_back(EndGroup{laneIndex, k, k, 1, Evidence()});
    openLine = line;
    open = true;
  }
}

void newestFirst(const NightReport& report, std::vector<EndGroup>& groups) {
  std::stable_sort(groups.begin(), groups.end(), [&](const EndGroup& a, const EndGroup& b) {
    const Run& x = report.lanes[a.lane].runs[a.last];
    const Run& y = report.lanes[b.lane].runs[b.last];
    return x.end != y.end ? x.end > y.end : x.start > y.start;
  });
}

}  // namespace

void finishReport(NightReport& report) {
  for (Lane& lane : report.lanes) {
    std::stable_sort(lane.runs.begin(), lane.runs.end(),
                     [](const Run& a, const Run& b) { return a.start < b.start; });
    finishLane(lane);
  }
  // Workstations by name; in each, the lanes with failures first, then by name.
  std::stable_sort(report.lanes.begin(), report.lanes.end(), [](const Lane& a, const Lane& b) {
    if (a.workstation != b.workstation)
      return a.workstation < b.workstation;
    if ((a.failures() > 0) != (b.failures() > 0))
      return a.failures() > 0;
    return a.program < b.program;
  });

  bool any = false;
  report.failures.clear();
  report.setAside.clear();
  report.failureCount = report.endsOffTimeline = 0;
  for (std::size_t l = 0; l < report.lanes.size(); ++l) {
    const Lane& lane = report.lanes[l];
    if (!lane.runs.empty()) {
      report.axisStart = any ? std::min(report.axisStart, lane.firstStart) : lane.firstStart;
      report.axisEnd = any ? std::max(report.axisEnd, lane.lastEnd) : lane.lastEnd;
      any = true;
    }
    report.failureCount += lane.failures();
    for (const Run& run : lane.runs)
      report.endsOffTimeline += run.endOffTimeline ? 1 : 0;
    groupEnds(lane, l, isFailure, report.failures);
    groupEnds(
        lane, l,
        [](Outcome outcome) {
          return outcome == Outcome::Stopped || outcome == Outcome::Interrupted;
        },
        report.setAside);
  }
  if (!any)
    report.axisStart = report.axisEnd = report.now;
  // An axis of a single instant would divide by zero; a minute is the least.
  if (report.axisEnd - report.axisStart < 60)
    report.axisEnd = report.axisStart + 60;
  newestFirst(report, report.failures);
  newestFirst(report, report.setAside);
}

}  // namespace tavrelon::report
