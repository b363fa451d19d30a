// Finding and reading the status logs a night report draws.
#pragma once

#include <string>
#include <vector>

#include "logging/status_log.h"
#include "platform/platform.h"

namespace tavrelon::report {

// One status log as read, by the path the report names it with.
struct FoundLog {
  std::string path;
  std::vector<StatusRecord> rows;
  platform::FileIdentity identity;
};

// Reads the status logs that `paths` name, with the watchdog's own reader and
// without writing or locking anything. A file is read as a status log; a folder
// is searched with its sub-folders (sorted by name) for files whose first line
// is a status header, the watchdog's temporaries left out. One line in `errors`
// for each path that gives nothing: missing, not a status log, unreadable, a
// folder without status logs. A file named twice is read once.
std::vector<FoundLog> collectStatusLogs(const std::vector<std::string>& paths,
                                        std::vector<std::string>& errors);

}  // namespace tavrelon::report
