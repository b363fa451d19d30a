#include "supervision/interrupted_runs.h"

#include <cstdint>
#include <set>

#include "logging/run_vocabulary.h"
#include "logging/status_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/power.h"

namespace tavrelon {

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// True for a name `prefix`, a run stamp (the moment), ".csv".
bool isDefaultName(const std::string& name, const std::string& prefix) {
  return startsWith(name, prefix) && endsWith(name, ".csv") && name.size() >= prefix.size() + 4 &&
         isStamp(name.substr(prefix.size(), name.size() - prefix.size() - 4));
}

}  // namespace

std::string earlierStatusLog(const ProgramConfig& program, const std::string& ownDirectory) {
  const std::string& path = program.statusLogPath;
  const std::string prefix = "TavrelonLog_" + platform::finalNameOf(program.applicationPath) + "_";
  const std::string name = platform::finalNameOf(path);
  // A log of this start's own moment that is not there yet: the program has
  // no TavrelonLog of its own, and its earlier rows are in the newest such log.
  if (platform::directoryOf(path) != ownDirectory || !isDefaultName(name, prefix) ||
      platform::exists(path))
    return path;
  std::vector<platform::DirectoryEntry> entries;
  if (!platform::listDirectory(ownDirectory, entries))
    return std::string();
  std::string newest;
  for (const platform::DirectoryEntry& entry : entries) {
    // The fourteen digits are the moment, year first: the greatest name is the newest.
    if (entry.isFile && isDefaultName(entry.name, prefix) && entry.name > newest)
      newest = entry.name;
  }
  return newest.empty() ? std::string() : platform::joinPath(ownDirectory, newest);
}

void closeRunsBeforeBoot(const std::vector<ProgramConfig>& programs,
                         const std::string& ownDirectory, StatusLogQueues& statusLogs) {
  std::int64_t boot = 0;
  if (!platform::bootTime(boot))
    return;
  const std::string bootTime = rowTimeOf(boot);
  if (!isRowTime(bootTime))
    return;
  std::set<std::string> done;
  for (const ProgramConfig& program : programs) {
    const std::string path = earlierStatusLog(program, ownDirectory);
    if (path.empty() || !done.insert(path).second)
      continue;
    // Row times in their own form sort as their moments do.
    closeInterruptedRows(
        path, bootTime,
        [&](const StatusRecord& row) {
          return isRowTime(row.startTime) && row.startTime < bootTime;
        },
        statusLogs);
  }
}

void closeInterruptedRows(const std::string& path, const std::string& endTime,
                          const std::function<bool(const StatusRecord&)>& cutShort,
                          StatusLogQueues& statusLogs) {
  StatusLogUpdates& updates = statusLogs.forLog(path);
  bool closing = false;
  for (StatusRecord row : readStatusLog(path)) {
    if (runStatusOf(row.runningStatus) != RunStatus::Running || !cutShort(row))
      continue;
    row.runningStatus = statusWord(RunStatus::Interrupted);
    row.endTime = endTime;
    updates.closeRow(row, false);
    closing = true;
  }
  // Not written now (held, say): the program's own sequences write it later.
  if (closing)
    updates.apply(path, true);
}

}  // namespace tavrelon
