#include "supervision/interrupted_runs.h"

#include <cstdint>
#include <set>

#include "logging/status_log.h"
#include "platform/platform.h"
#include "platform/power.h"

namespace tavrelon {

const char* const kInterruptedStatus = "interrupted";

namespace {

constexpr const char* kRowTimePattern = "%Y-%m-%d %H:%M:%S";

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// True for a name `prefix`, fourteen digits (the moment), ".csv".
bool isDefaultName(const std::string& name, const std::string& prefix) {
  const std::size_t digits = 14;
  if (name.size() != prefix.size() + digits + 4 || !startsWith(name, prefix) ||
      !endsWith(name, ".csv"))
    return false;
  for (std::size_t i = prefix.size(); i < prefix.size() + digits; ++i) {
    if (name[i] < '0' || name[i] > '9')
      return false;
  }
  return true;
}

// True for a start time in the status log's own form: its text then sorts as
// its moment does.
bool isRowTime(const std::string& text) {
  static const std::string form = "0000-00-00 00:00:00";
  if (text.size() != form.size())
    return false;
  for (std::size_t i = 0; i < form.size(); ++i) {
    if ((form[i] == '0') != (text[i] >= '0' && text[i] <= '9'))
      return false;
    if (form[i] != '0' && text[i] != form[i])
      return false;
  }
  return true;
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
  const std::string bootTime = platform::localTimeOf(boot, kRowTimePattern);
  if (!isRowTime(bootTime))
    return;
  std::set<std::string> done;
  for (const ProgramConfig& program : programs) {
    const std::string path = earlierStatusLog(program, ownDirectory);
    if (path.empty() || !done.insert(path).second)
      continue;
    closeRunningRows(
        path, bootTime,
        [&](const StatusRecord& row) {
          return isRowTime(row.startTime) && row.startTime < bootTime;
        },
        statusLogs);
  }
}

void closeRunningRows(const std::string& path, const std::string& endTime,
                      const std::function<bool(const StatusRecord&)>& ended,
                      StatusLogQueues& statusLogs) {
  StatusLogUpdates& updates = statusLogs.forLog(path);
  bool closing = false;
  for (StatusRecord row : readStatusLog(path)) {
    if (row.runningStatus != "running" || !ended(row))
      continue;
    row.runningStatus = kInterruptedStatus;
    row.endTime = endTime;
    updates.closeRow(row, false);
    closing = true;
  }
  // Not written now (held, say): the program's own sequences write it later.
  if (closing)
    updates.apply(path, true);
}

}  // namespace tavrelon
