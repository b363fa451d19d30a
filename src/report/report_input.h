// Finding and reading the status logs a night report draws.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "logging/status_log.h"
#include "platform/platform.h"

namespace tavrelon::report {

// One status log found, by the path the report names it with.
struct FoundLog {
  std::string path;
  // The first folder level under the PATH that led to it (the PATH folder's
  // own name for a log directly in it); the log's folder when PATH is a file.
  std::string workstation;
  platform::FileIdentity identity;
};

// Called with each status log as it is read; its rows are gone after the call.
using LogReader = std::function<void(const FoundLog&, const std::vector<StatusRecord>&)>;

// Reads the status logs that `paths` name, with the watchdog's own reader and
// without writing or locking anything, handing each to `read` at once. A file
// is read as a status log; a folder is searched with its sub-folders (sorted by
// name) for files whose first line is a status header, the watchdog's
// temporaries left out. A search follows no link out of the folders given and
// stays on the file system of the folder it started from. One line in
// `errors` for each path that gives nothing (missing, not a status log,
// unreadable, a folder without status logs), each link or file system not
// entered and each *.csv file found that cannot be opened. A file named twice
// is read once. Returns the logs read.
std::vector<FoundLog> collectStatusLogs(const std::vector<std::string>& paths,
                                        std::vector<std::string>& errors, const LogReader& read);

}  // namespace tavrelon::report
