// What the night report shows, taken from the rows of status logs: one lane
// per program and workstation, each run's outcome and times, the counts, the
// failures grouped, and the rows it cannot place on a time axis.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "logging/run_vocabulary.h"
#include "logging/status_log.h"

namespace tavrelon::report {

// A run's Running_Status as the report draws it; Other is any word the
// watchdog does not write.
using Outcome = RunStatus;
constexpr int kOutcomes = kRunStatuses;

// The status word of `outcome` ("finished", ...; "other" for Other).
const char* outcomeName(Outcome outcome);

// The outcome a Running_Status word names; Other for any other text.
Outcome outcomeOf(const std::string& runningStatus);

// True for the outcomes counted and listed as failures: crashed, timeout.
// Runs stopped by hand or interrupted by the system are no failures.
bool isFailure(Outcome outcome);

// True for the ends drawn as a mark at their moment: crashed, timeout, interrupted.
bool isMarked(Outcome outcome);

// Row times read and written as the status log holds them.
using tavrelon::formatStatusTime;
using tavrelon::parseStatusTime;

// The most of one field the report keeps; the rest is said as "… N bytes more".
constexpr std::size_t kFieldLimit = 600;

// `text` cut to at most `limit` bytes (never inside a UTF-8 character) with
// " … N bytes more" appended when anything was cut.
std::string cappedField(const std::string& text, std::size_t limit = kFieldLimit);

// Times before this one (2000-01-01 00:00:00) are no plausible run of a watchdog.
constexpr std::int64_t kFirstPlausibleTime = 946684800;
// How far past the report's own time a time may lie and still be drawn.
constexpr std::int64_t kFutureMargin = 86400;

// What a run keeps of its row's text, each capped at kFieldLimit.
struct RunText {
  std::string applicationId;
  std::string runningStatus;  // only when it is no word of the watchdog (Outcome::Other)
  std::string latestLog;
};

// One row placed on the time axis. Of its fields only what the times and the
// outcome do not say is kept: a report holds many runs, each as small as may be.
struct Run {
  RunText row;  // the times: see startText and endText
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::int64_t recordedEnd = 0;  // End_Time as written (`end` may differ)
  std::uint32_t log = 0;         // index of its status log in NightReport::logs
  Outcome outcome = Outcome::Other;
  bool hasEnd = false;  // End_Time was a time
  // A running row ends at the report's time, unless a later run of its program
  // started: then its end was never recorded and it ends at that start.
  bool superseded = false;
  // End_Time lies far beyond the report's time (a "never" such as 9999-12-31):
  // drawn up to the report's time.
  bool endOffTimeline = false;
};

// A row whose times cannot be placed, with why and where it stands.
struct UnplacedRow {
  StatusRecord row;
  std::size_t log = 0;        // index in NightReport::logs
  std::size_t rowNumber = 0;  // 1 for the log's first row
  std::string reason;
};

// One program on one workstation: the runs of every status log that names it.
struct Lane {
  std::string workstation;        // the group heading
  std::string program;            // the program's file name
  std::vector<std::size_t> logs;  // indexes in NightReport::logs, in the order read
  std::vector<Run> runs;          // in start order once finishReport ran
  std::vector<int> counts = std::vector<int>(kOutcomes, 0);  // by Outcome
  std::int64_t firstStart = 0, lastEnd = 0;                  // the span; both 0 without runs
  std::int64_t supervised = 0;                               // seconds covered by at least one run
  int lastFailure = -1;  // index in `runs` of the newest failure by end time; -1: none

  int count(Outcome outcome) const { return counts[static_cast<int>(outcome)]; }
  int failures() const { return count(Outcome::Crashed) + count(Outcome::Timeout); }
};

// The evidence folder the watchdog left for a failed run, as found beside the
// status logs: its summary.txt (absolute) and how the run ended by it.
struct Evidence {
  std::string summary;  // empty: none found
  std::string ended;    // "exit code 3 (0x00000003)", "no log growth for 5 minutes", ...
};

// Consecutive ends of one lane with the same outcome and the same last log
// line: runs[first..last] of lanes[lane], `count` of them (others between
// them, of other outcomes, are not counted).
struct EndGroup {
  std::size_t lane = 0;
  std::size_t first = 0, last = 0;
  int count = 0;
  Evidence evidence;  // of runs[last], where one was found
};

// How many unplaced rows a report keeps whole; the others are counted.
constexpr std::size_t kMaxUnplacedKept = 1000;

// Start_Time, End_Time ("" when none) and Running_Status of `run` as written.
std::string startText(const Run& run);
std::string endText(const Run& run);
std::string statusText(const Run& run);

// Every lane of one report, where it was made from, and the report's own time.
struct NightReport {
  std::int64_t now = 0;
  std::vector<std::string> sources;         // the PATHs given
  std::vector<std::string> logs;            // every status log read, as the report names it
  std::vector<Lane> lanes;                  // by workstation; in a group, lanes with failures first
  std::vector<UnplacedRow> unplaced;        // the first kMaxUnplacedKept of them
  std::size_t unplacedCount = 0;            // all of them
  std::int64_t axisStart = 0, axisEnd = 0;  // common span of every run, at least a minute
  std::vector<EndGroup> failures;           // crashed and timeout, newest first
  std::vector<EndGroup> setAside;           // stopped and interrupted, newest first
  int failureCount = 0;                     // runs in `failures`
  int endsOffTimeline = 0;                  // runs with Run::endOffTimeline
};

// Reduces the rows of one status log to runs of a report as they are read, so
// that no row is held: parses and checks the times against the report's time
// (report.now), caps each field, places each run in the lane of its program on
// the log's workstation.
class LogReduction {
 public:
  // Starts the status log `path` of `workstation` in `report`.
  LogReduction(NightReport& report, const std::string& path, const std::string& workstation);
  // The log's next row.
  void add(const StatusRecord& row);
  // Takes back all this log added, which must be the report's newest log: a
  // log that broke off while read is left out whole.
  void undo();

 private:
  NightReport& report_;
  std::string workstation_;
  std::size_t log_ = 0, rows_ = 0;
  std::map<std::string, std::size_t> lanes_;  // of each program met, by name
  // What the report held before the log: its lanes, their runs, unplaced rows.
  std::size_t lanesBefore_ = 0, unplacedBefore_ = 0, unplacedCountBefore_ = 0;
  std::vector<std::size_t> runsBefore_;
};

// A LogReduction of the rows of `path` at once.
void addStatusLog(NightReport& report, const std::string& path, const std::string& workstation,
                  const std::vector<StatusRecord>& rows);

// Orders each lane's runs by start, ends running rows (at report.now, or at the
// next start of the same lane), counts, orders the lanes, sets the common axis
// and groups the failures and the stopped and interrupted runs.
void finishReport(NightReport& report);

// A Latest_Log split into its log path and line.
using tavrelon::splitLatestLog;

}  // namespace tavrelon::report
