// What the night report shows, taken from the rows of status logs: each run's
// outcome and times, the counts per log, the failures and the rows it cannot
// place on a time axis.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logging/status_log.h"

namespace tavrelon::report {

// A run's Running_Status as the report draws it; Other is any word the
// watchdog does not write.
enum class Outcome { Finished, Crashed, Timeout, Stopped, Running, Other };

// The status word of `outcome` ("finished", ...; "other" for Other).
const char* outcomeName(Outcome outcome);

// The outcome a Running_Status word names; Other for any other text.
Outcome outcomeOf(const std::string& runningStatus);

// True for the outcomes the failures list holds: crashed, timeout, stopped.
bool isFailure(Outcome outcome);

// Reads a status-log time "YYYY-MM-DD hh:mm:ss" (exactly that form, a real
// calendar date) into seconds since 1970-01-01 00:00:00 of the same clock, every
// day counted as 86 400 s. False for anything else.
bool parseStatusTime(const std::string& text, std::int64_t& seconds);

// `seconds` as parseStatusTime reads them back: "YYYY-MM-DD hh:mm:ss".
std::string formatStatusTime(std::int64_t seconds);

// One row placed on the time axis.
struct Run {
  StatusRecord row;
  Outcome outcome = Outcome::Other;
  std::int64_t start = 0;
  std::int64_t end = 0;
  // A running row ends at the report's time, unless a later run of its log
  // started: then its end was never recorded and it ends at that start.
  bool superseded = false;
};

// A row whose times cannot be placed, with why and where it stands in its log.
struct UnplacedRow {
  StatusRecord row;
  std::size_t rowNumber = 0;  // 1 for the log's first row
  std::string reason;
};

// One status log as the report shows it.
struct LogReport {
  std::string path;       // as the report names it: as given, or found in a folder
  std::string program;    // program file names of its IDs, ", " between several
  std::vector<Run> runs;  // in file order
  std::vector<UnplacedRow> unplaced;
  int finished = 0, crashed = 0, timedOut = 0, stopped = 0, running = 0, other = 0;
  std::int64_t firstStart = 0, lastEnd = 0;  // the span; both 0 without runs
  std::int64_t supervised = 0;               // seconds covered by at least one run
  int lastFailure = -1;  // index in `runs` of the newest failure by end time; -1: none
};

// Where a run stands in a NightReport: logs[log].runs[run].
struct RunRef {
  std::size_t log = 0;
  std::size_t run = 0;
};

// Every log of one report, and the report's own time.
struct NightReport {
  std::int64_t now = 0;
  std::vector<LogReport> logs;
  std::int64_t axisStart = 0, axisEnd = 0;  // common span of every run, at least a minute
  std::vector<RunRef> failures;             // newest first (end time, then start)

  const Run& run(RunRef ref) const { return logs[ref.log].runs[ref.run]; }
};

// Places the rows of one status log: parses the times, ends running rows at
// `now` (or, when a later run of the log started, at that start), and counts.
LogReport buildLogReport(const std::string& path, std::vector<StatusRecord> rows, std::int64_t now);

// Sets the common axis over report.logs and lists their failures newest first.
void finishReport(NightReport& report);

}  // namespace tavrelon::report
