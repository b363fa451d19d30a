#include "config/config_reader.h"

#include <limits>
#include <utility>

#include "config/text_lines.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text_encoding.h"

namespace tavrelon {

namespace {

// `text` without leading and trailing copies of `c`; searching from both ends
// keeps this linear however long the run of `c` is.
std::string trimmed(const std::string& text, char c) {
  std::string::size_type first = text.find_first_not_of(c);
  if (first == std::string::npos)
    return std::string();
  std::string::size_type last = text.find_last_not_of(c);
  return text.substr(first, last - first + 1);
}

// One key and value from an entry line: split at the first ":" (a line without
// one gives the whole line as both), spaces trimmed, and double quotes stripped
// from every value but the argument string, which the program must get as written.
ConfigEntry entryOf(const std::string& line, std::size_t number) {
  ConfigEntry entry;
  std::string::size_type colon = line.find(':');
  entry.hasColon = colon != std::string::npos;
  entry.key = trimmed(entry.hasColon ? line.substr(0, colon) : line, ' ');
  entry.value = trimmed(entry.hasColon ? line.substr(colon + 1) : line, ' ');
  if (entry.key != "ApplicationArgument")
    entry.value = trimmed(entry.value, '"');
  entry.line = number;
  return entry;
}

// A record as it stands when a block begins.
ProgramConfig startingRecord(const std::string& ownDirectory) {
  ProgramConfig record;
  record.statusLogPath = platform::joinPath(ownDirectory, "TavrelonLog.csv");
  record.debugOrNot = false;
  record.timeOutMin = 2;
  return record;
}

// The status log named after the program's file name and the moment its
// ApplicationPath entry is applied.
std::string derivedStatusLogPath(const StatusLogDefaults& defaults,
                                 const std::string& applicationPath) {
  return platform::joinPath(
      defaults.directory,
      "TavrelonLog_" + platform::finalNameOf(applicationPath) + "_" + defaults.stamp() + ".csv");
}

// The keys whose value is kept as written.
const std::pair<const char*, std::string ProgramConfig::*> kTextKeys[] = {
    {"ApplicationArgument", &ProgramConfig::applicationArgument},
    {"ApplicationLogDir", &ProgramConfig::applicationLogDir},
    {"TavrelonLog", &ProgramConfig::statusLogPath},
    {"dllDir", &ProgramConfig::dllDir},
    {"DebugCrashScript", &ProgramConfig::debugCrashScript},
    {"DebugTimeoutScript", &ProgramConfig::debugTimeoutScript},
    {"EvidenceDir", &ProgramConfig::evidenceDir}};

// The keys that are on exactly when the value is "true".
const std::pair<const char*, bool ProgramConfig::*> kSwitchKeys[] = {
    {"ResumeQueue", &ProgramConfig::resumeQueue},
    {"AllowSleep", &ProgramConfig::allowSleep},
    {"DebugOrNot", &ProgramConfig::debugOrNot},
    {"EvidenceFullDump", &ProgramConfig::evidenceFullDump}};

// Applies one non-ApplicationPath entry to `record`; unknown keys do nothing.
void apply(const ConfigEntry& entry, ProgramConfig& record) {
  const std::string& key = entry.key;
  const std::string& value = entry.value;
  for (const auto& [name, member] : kTextKeys) {
    if (key == name) {
      record.*member = value;
      return;
    }
  }
  for (const auto& [name, member] : kSwitchKeys) {
    if (key == name) {
      record.*member = value == "true";
      return;
    }
  }
  if (key == "TimeOutMin") {
    record.timeOutMin = parseTimeOutMin(value);
  } else if (key == "EvidenceMaxMB") {
    // A negative or empty value keeps the default rather than removing everything.
    const std::int32_t megabytes = parseTimeOutMin(value);
    record.evidenceMaxMB = megabytes > 0 || value == "0" ? megabytes : 2048;
  }
}

}  // namespace

bool readConfigEntries(const std::string& path, std::vector<ConfigEntry>& entries) {
  entries.clear();
  // Saved as UTF-8 (Notepad's default) or in the ANSI code page: both read
  // alike, into the UTF-8 that paths are inside the watchdog.
  std::string content;
  if (!platform::readFile(path, content))
    return false;
  std::vector<std::string> lines = splitLines(textAsUtf8(content));
  content = std::string();
  // Notepad saves UTF-8 with a byte-order mark; it is not part of the first key.
  static const std::string kUtf8Bom = "\xEF\xBB\xBF";
  if (!lines.empty() && lines[0].compare(0, kUtf8Bom.size(), kUtf8Bom) == 0)
    lines[0].erase(0, kUtf8Bom.size());
  // Comment lines ("#" first) and empty lines give no entry.
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i][0] != '#')
      entries.push_back(entryOf(lines[i], i + 1));
  }
  return true;
}

std::vector<ProgramConfig> recordsOf(const std::vector<ConfigEntry>& entries,
                                     const StatusLogDefaults& defaults) {
  std::vector<ProgramConfig> records;
  ProgramConfig current = startingRecord(defaults.directory);
  for (const ConfigEntry& entry : entries) {
    if (entry.key != "ApplicationPath") {
      apply(entry, current);
      continue;
    }
    // A begun record (non-empty path) is closed; entries given before the first
    // ApplicationPath, or after an empty one, stay with the record it fills.
    if (!current.applicationPath.empty()) {
      records.push_back(std::move(current));
      current = startingRecord(defaults.directory);
    }
    current.applicationPath = entry.value;
    current.statusLogPath = derivedStatusLogPath(defaults, entry.value);
  }
  // An opened file always yields a record, even without any ApplicationPath.
  records.push_back(std::move(current));
  return records;
}

std::vector<ProgramConfig> readConfigFile(const std::string& path,
                                          const StatusLogDefaults& defaults) {
  std::vector<ConfigEntry> entries;
  if (!readConfigEntries(path, entries))
    return std::vector<ProgramConfig>();
  return recordsOf(entries, defaults);
}

std::int32_t parseTimeOutMin(const std::string& value) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();

  std::string::size_type i = 0;
  // The white space the C library skips before a number.
  while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r')))
    ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  // The magnitude stops growing once past the limit, so any number of digits
  // saturates instead of overflowing.
  std::int64_t magnitude = 0;
  const std::int64_t limit = negative ? -kMin : kMax;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    if (magnitude < limit)
      magnitude = magnitude * 10 + (value[i] - '0');
  }
  if (magnitude > limit)
    magnitude = limit;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace tavrelon
