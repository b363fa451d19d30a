// The words and forms a run is recorded in, made and read in this one place:
// its status words, the Latest_Log text, the run stamp and the row times.
// The watcher writes them, the status log keeps them, the report reads them.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon {

// A run's Running_Status. Other stands for any word the watchdog does not
// write (a hand-edited row); it is never written. The order is the report's.
enum class RunStatus : std::uint8_t {
  Finished,
  Crashed,
  Timeout,
  Interrupted,
  Stopped,
  Running,
  Other
};
constexpr int kRunStatuses = 7;

// The word of `status` as the status log holds it ("finished", "crashed",
// "timeout", "interrupted", "stopped", "running"; "other" for Other).
const char* statusWord(RunStatus status);

// The status a Running_Status word names, matched exactly; Other for any
// other text ("other" included, as the watchdog never writes it).
RunStatus runStatusOf(const std::string& word);

// The Application_ID of a run of the program file `programFile` stamped
// `stamp`: "file_stamp".
std::string applicationIdOf(const std::string& programFile, const std::string& stamp);

// The program file name in an Application_ID: all before the last "_" that
// starts the run stamp; the whole ID when it has none.
std::string programOfApplicationId(const std::string& applicationId);

// Latest_Log of a row with no log line: a run that is still running, or whose
// program wrote no log.
constexpr const char* kNoLatestLog = "N/A";

// The Latest_Log text of the last `line` of the log at `path`: "[path] line".
std::string latestLogText(const std::string& path, const std::string& line);

// Splits a Latest_Log text "[path] line" at its first "] ". False, the whole
// text in `line` and `path` empty, when it has no such form ("N/A").
bool splitLatestLog(const std::string& latestLog, std::string& path, std::string& line);

// The run stamp, in Application_IDs and in the default status-log, report
// and evidence names: local time, 14 digits, year first.
constexpr const char* kStampPattern = "%Y%m%d%H%M%S";
// A row's Start_Time and End_Time: local time "YYYY-MM-DD hh:mm:ss".
constexpr const char* kRowTimePattern = "%Y-%m-%d %H:%M:%S";

// The current local time as a run stamp.
std::string stampNow();
// The current local time as a row time.
std::string rowTimeNow();
// `secondsSince1970` as a local row time; empty when the system cannot say.
std::string rowTimeOf(std::int64_t secondsSince1970);

// True for 14 digits: the form of a run stamp.
bool isStamp(const std::string& text);
// True for text in the row-time form (digits where the form has them, its
// separators elsewhere; no calendar check): such texts sort as their moments do.
bool isRowTime(const std::string& text);

// Reads a row time (exactly that form, a real calendar date) into seconds
// since 1970-01-01 00:00:00 of the same clock, every day counted as 86 400 s.
// False for anything else.
bool parseStatusTime(const std::string& text, std::int64_t& seconds);

// `seconds` as parseStatusTime reads them back: "YYYY-MM-DD hh:mm:ss".
std::string formatStatusTime(std::int64_t seconds);

}  // namespace tavrelon
