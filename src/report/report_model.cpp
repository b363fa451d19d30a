#include "report/report_model.h"

#include <algorithm>
#include <utility>

namespace tavrelon::report {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

bool isLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// The number of `count` digits at `text[at]`, or -1 when one is no digit.
int digits(const std::string& text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9')
      return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The program file name in an Application_ID: all before the last "_" that
// starts the run stamp; the whole ID when it has none.
std::string programOf(const std::string& applicationId) {
  const std::string::size_type cut = applicationId.rfind('_');
  return cut == std::string::npos || cut == 0 ? applicationId : applicationId.substr(0, cut);
}

}  // namespace

const char* outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Finished:
      return "finished";
    case Outcome::Crashed:
      return "crashed";
    case Outcome::Timeout:
      return "timeout";
    case Outcome::Stopped:
      return "stopped";
    case Outcome::Running:
      return "running";
    case Outcome::Other:
      break;
  }
  return "other";
}

Outcome outcomeOf(const std::string& runningStatus) {
  for (Outcome outcome : {Outcome::Finished, Outcome::Crashed, Outcome::Timeout, Outcome::Stopped,
                          Outcome::Running}) {
    if (runningStatus == outcomeName(outcome))
      return outcome;
  }
  return Outcome::Other;
}

bool isFailure(Outcome outcome) {
  return outcome == Outcome::Crashed || outcome == Outcome::Timeout || outcome == Outcome::Stopped;
}

bool parseStatusTime(const std::string& text, std::int64_t& seconds) {
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':')
    return false;
  const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  const int hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59)
    return false;
  if (day > daysInMonth(year, month))
    return false;
  seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string formatStatusTime(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // The inverse of daysFromCivil.
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
  const int day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  const int month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2);

  char text[32];
  const int values[] = {month, day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                        static_cast<int>(rest % 60)};
  std::string out = std::to_string(year);
  while (out.size() < 4)
    out.insert(out.begin(), '0');
  const char separators[] = {'-', '-', ' ', ':', ':'};
  for (int i = 0; i < 5; ++i) {
    text[0] = separators[i];
    text[1] = static_cast<char>('0' + values[i] / 10);
    text[2] = static_cast<char>('0' + values[i] % 10);
    out.append(text, 3);
  }
  return out;
}

LogReport buildLogReport(const std::string& path, std::vector<StatusRecord> rows,
                         std::int64_t now) {
  LogReport log;
  log.path = path;
  std::vector<std::string> programs;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    StatusRecord& row = rows[i];
    const std::string program = programOf(row.applicationId);
    if (std::find(programs.begin(), programs.end(), program) == programs.end())
      programs.push_back(program);

    Run run;
    run.outcome = outcomeOf(row.runningStatus);
    std::string reason;
    if (!parseStatusTime(row.startTime, run.start)) {
      reason = "Start_Time is no time";
    } else if (run.outcome == Outcome::Running && row.endTime.empty()) {
      run.end = std::max(now, run.start);
    } else if (!parseStatusTime(row.endTime, run.end)) {
      reason = "End_Time is no time";
    } else if (run.end < run.start) {
      reason = "End_Time before Start_Time";
    }
    if (!reason.empty()) {
      log.unplaced.push_back(UnplacedRow{std::move(row), i + 1, reason});
      continue;
    }
    run.row = std::move(row);
    log.runs.push_back(std::move(run));
  }
  for (std::size_t i = 0; i < programs.size() && i < 3; ++i)
    log.program += (i > 0 ? ", " : "") + programs[i];
  if (programs.size() > 3)
    log.program += " and " + std::to_string(programs.size() - 3) + " more";

  // A watchdog that was killed leaves its run "running" for good; the next
  // start in the same log shows that run had ended by then.
  std::vector<std::size_t> order(log.runs.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return log.runs[a].start < log.runs[b].start;
  });
  for (std::size_t k = 0; k + 1 < order.size(); ++k) {
    Run& run = log.runs[order[k]];
    const std::int64_t nextStart = log.runs[order[k + 1]].start;
    if (run.outcome == Outcome::Running && run.end > nextStart) {
      run.end = nextStart;
      run.superseded = true;
    }
  }

  std::int64_t coveredUntil = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const Run& run = log.runs[order[k]];
    switch (run.outcome) {
      case Outcome::Finished:
        ++log.finished;
        break;
      case Outcome::Crashed:
        ++log.crashed;
        break;
      case Outcome::Timeout:
        ++log.timedOut;
        break;
      case Outcome::Stopped:
        ++log.stopped;
        break;
      case Outcome::Running:
        ++log.running;
        break;
      case Outcome::Other:
        ++log.other;
        break;
    }
    if (k == 0) {
      log.firstStart = run.start;
      log.lastEnd = run.end;
      coveredUntil = run.start;
    }
    log.lastEnd = std::max(log.lastEnd, run.end);
    // Runs in start order: only the part after what is covered already counts.
    if (run.end > coveredUntil) {
      log.supervised += run.end - std::max(run.start, coveredUntil);
      coveredUntil = run.end;
    }
    if (isFailure(run.outcome) && (log.lastFailure < 0 || run.end >= log.runs[log.lastFailure].end))
      log.lastFailure = static_cast<int>(order[k]);
  }
  return log;
}

void finishReport(NightReport& report) {
  bool any = false;
  report.failures.clear();
  for (std::size_t l = 0; l < report.logs.size(); ++l) {
    const LogReport& log = report.logs[l];
    if (!log.runs.empty()) {
      report.axisStart = any ? std::min(report.axisStart, log.firstStart) : log.firstStart;
      report.axisEnd = any ? std::max(report.axisEnd, log.lastEnd) : log.lastEnd;
      any = true;
    }
    for (std::size_t r = 0; r < log.runs.size(); ++r) {
      if (isFailure(log.runs[r].outcome))
        report.failures.push_back(RunRef{l, r});
    }
  }
  if (!any)
    report.axisStart = report.axisEnd = report.now;
  // An axis of a single instant would divide by zero; a minute is the least.
  if (report.axisEnd - report.axisStart < 60)
    report.axisEnd = report.axisStart + 60;
  std::stable_sort(report.failures.begin(), report.failures.end(),
                   [&](const RunRef& a, const RunRef& b) {
                     const Run& x = report.run(a);
                     const Run& y = report.run(b);
                     return x.end != y.end ? x.end > y.end : x.start > y.start;
                   });
}

}  // namespace tavrelon::report
