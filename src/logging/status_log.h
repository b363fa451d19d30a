// The CSV status log: one row per run of a supervised program.
#pragma once

#include <string>
#include <vector>

namespace tavrelon {

// One row of the status log, columns in member order.
struct StatusRecord {
  std::string applicationId;      // identifies the run: file name "_" run stamp
  std::string runningStatus;      // "running", "timeout", "crashed" or "finished"
  std::string startTime;          // "%Y-%m-%d %H:%M:%S", local time
  std::string endTime;            // same form; empty while running
  std::string latestLog = "N/A";  // "[" log path "] " last line, or "N/A"
};

// The header line every write produces.
extern const char* const kStatusLogHeader;

// The file is stored in the ANSI code page (a character that it lacks is
// stored as '?'); rows hold UTF-8.

// Reads every row of the status log at `path`, in file order. Empty when the
// file is missing or cannot be read; both header forms and lines that do not
// split into five or six fields are skipped. Never creates the file.
std::vector<StatusRecord> readStatusLog(const std::string& path);

// Copies runningStatus, startTime, endTime and latestLog of `record` into the
// last row with the same applicationId (as given or as stored, '?' for what
// the code page lacks) and returns true; false, leaving `rows` alone, when
// none matches.
bool updateStatusRow(std::vector<StatusRecord>& rows, StatusRecord record);

// Replaces the file's content with the header and `rows` (CR LF line ends, an
// empty latestLog written as "N/A"). The old content survives any failure;
// nothing is reported.
void writeStatusLog(std::vector<StatusRecord> rows, const std::string& path);

}  // namespace tavrelon
