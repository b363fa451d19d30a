// Finding and reading the status logs a night report draws.
#pragma once

#include <string>
#include <vector>

#include "logging/status_log.h"
#include "platform/files.h"
#include "report/report_model.h"

namespace tavrelon::report {

// One status log found, by the path the report names it with.
struct FoundLog {
  std::string path;
  // The first folder level under the PATH that led to it (the PATH folder's
  // own name for a log directly in it); the log's folder when PATH is a file.
  std::string workstation;
  platform::FileIdentity identity;
};

// Takes the rows of each status log as they are read.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // The log `log` is about to be read.
  virtual void begin(const FoundLog& log) = 0;
  // Its next row, in file order; the row's strings may be taken.
  virtual void row(StatusRecord& row) = 0;
  // It broke off before its end (unreadable, refused, changed): every row
  // given since begin() must go.
  virtual void abandon() = 0;
};

// A folder of the watchdog's evidence met in the search: a folder holding a
// summary.txt (a plain file), named by the run's Application_ID.
struct EvidenceFolder {
  std::string name;         // the folder's name
  std::string summary;      // the path of its summary.txt
  std::string workstation;  // as FoundLog::workstation
};

// The most evidence folders a search keeps; the rest are not looked at.
constexpr std::size_t kMaxEvidenceFolders = 100000;

// Reads the status logs that `paths` name, with the watchdog's own rules and
// without writing or locking anything, a line at a time, handing each row to
// `sink` as it is read. A file is read as a status log; a folder is searched
// with its sub-folders (sorted by name) for files whose first line is a status
// header, the watchdog's temporaries left out, and for evidence folders, which
// go to `evidence` when given. A search follows no link out of the folders
// given and stays on the file system of the folder it started from. One line
// in `errors` for each path that gives nothing (missing, not a status log,
// unreadable, a folder without status logs or evidence), each link or file
// system not entered and each *.csv file found that cannot be opened. A file
// named twice is read once. Returns the logs read whole.
std::vector<FoundLog> collectStatusLogs(const std::vector<std::string>& paths,
                                        std::vector<std::string>& errors, LogSink& sink,
                                        std::vector<EvidenceFolder>* evidence = nullptr);

// collectStatusLogs into `report` (report.now set): each log reduced to its
// runs as it is read, so that no more than its runs is held.
std::vector<FoundLog> collectIntoReport(const std::vector<std::string>& paths,
                                        std::vector<std::string>& errors, NightReport& report,
                                        std::vector<EvidenceFolder>* evidence = nullptr);

// Sets the evidence of each failure group of `report` (finishReport done) that
// the page lists: the folder of `evidence` named by the group's newest run's
// Application_ID (one of the lane's workstation first) whose summary.txt names
// that run, and the exit code or end that summary gives.
void attachEvidence(NightReport& report, const std::vector<EvidenceFolder>& evidence,
                    std::size_t listed);

}  // namespace tavrelon::report
