#include "driver/queue_journal.h"

#include <cstdio>
#include <sstream>

#include "config/text_lines.h"
#include "logging/status_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process_identity.h"
#include "supervision/interrupted_runs.h"

namespace tavrelon {

namespace {

const char* const kJournalHeader =
    "Configuration,Program,Watchdog_Process,Watchdog_Mark,Watchdog_Start";
constexpr std::int64_t kMaxJournalBytes = 4096;

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream stream(line);
  while (std::getline(stream, field, ','))
    fields.push_back(field);
  return fields;
}

bool isNumber(const std::string& text) {
  return !text.empty() && text.size() <= 20 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string queueJournalPath(const std::string& directory) {
  return platform::joinPath(directory, "TavrelonQueue.csv");
}

std::string configurationDigest(const std::vector<ProgramConfig>& programs) {
  // FNV-1a over each path and argument string, each ended by a NUL: no two
  // queues that differ in a program or its order share the text it digests.
  std::uint64_t hash = 14695981039346656037ull;
  auto add = [&](const std::string& text) {
    for (char c : text + '\0') {
      hash ^= static_cast<unsigned char>(c);
      hash *= 1099511628211ull;
    }
  };
  for (const ProgramConfig& program : programs) {
    add(program.applicationPath);
    add(program.applicationArgument);
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

bool readQueueJournal(const std::string& path, QueueJournal& journal) {
  std::string content;
  if (platform::readRegularFile(path, kMaxJournalBytes, content) != platform::FileOutcome::Done)
    return false;
  const std::vector<std::string> lines = splitLines(content);
  if (lines.size() < 2 || lines[0] != kJournalHeader)
    return false;
  const std::vector<std::string> fields = fieldsOf(lines[1]);
  if (fields.size() != 5 || fields[0].size() != 16 || !isNumber(fields[1]) ||
      fields[1].size() > 9 || !isNumber(fields[2]) || !isNumber(fields[3]))
    return false;
  journal.configuration = fields[0];
  journal.program = static_cast<std::int32_t>(std::stol(fields[1]));
  journal.watchdogId = static_cast<std::uint32_t>(std::stoull(fields[2]));
  journal.watchdogMark = std::stoull(fields[3]);
  journal.watchdogStart = fields[4];
  return journal.program >= 1;
}

bool writeQueueJournal(const std::string& path, const QueueJournal& journal) {
  const std::string content =
      std::string(kJournalHeader) + "\r\n" + journal.configuration + "," +
      std::to_string(journal.program) + "," + std::to_string(journal.watchdogId) + "," +
      std::to_string(journal.watchdogMark) + "," + journal.watchdogStart + "\r\n";
  // The temporary's name holds the status log's tag: no log tracker takes it
  // for a program's log.
  return platform::replaceRegularFile(path, content, kStatusLogTemporaryTag) ==
         platform::FileOutcome::Done;
}

std::size_t resumePoint(const std::string& path, const std::vector<ProgramConfig>& programs,
                        const std::string& ownDirectory, const std::string& now,
                        StatusLogQueues& statusLogs, std::vector<std::string>& lines) {
  QueueJournal journal;
  if (!readQueueJournal(path, journal))
    return 0;
  if (journal.configuration != configurationDigest(programs) ||
      static_cast<std::size_t>(journal.program) > programs.size()) {
    lines.push_back("The queue journal [" + path +
                    "] is of another configuration: starting at program [1].");
    return 0;
  }
  const std::size_t index = static_cast<std::size_t>(journal.program) - 1;
  lines.push_back("Resuming at program [" + std::to_string(journal.program) + "] ...");
  std::uint64_t mark = 0;
  const bool watchdogRuns =
      platform::processStartMark(journal.watchdogId, mark) && mark == journal.watchdogMark;
  if (watchdogRuns)
    return index;
  // Its runs are those of its program that started after it did.
  const std::string log = earlierStatusLog(programs[index], ownDirectory);
  if (log.empty())
    return index;
  closeInterruptedRows(
      log, now, [&](const StatusRecord& row) { return row.startTime >= journal.watchdogStart; },
      statusLogs);
  return index;
}

}  // namespace tavrelon
