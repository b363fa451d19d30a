#include "logging/status_log.h"

#include <algorithm>
#include <exception>
#include <string>

#include "logging/csv.h"
#include "platform/platform.h"

namespace tavrelon {

const char* const kStatusLogHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log";

namespace {

// The header of status logs that carry an is_Manual column; skipped like ours.
const char* const kSixColumnHeader =
    "Application_ID,is_Manual,Running_Status,Start_Time,End_Time,Latest_Log";

// Turns one record's fields into a row; false for a field count that is no row.
bool rowFromFields(std::vector<std::string>& fields, StatusRecord& row) {
  // A six-field line hands its first five fields, by position, to the same
  // row as a five-field line; the sixth has no column of ours.
  if (fields.size() != 5 && fields.size() != 6)
    return false;
  row.applicationId = std::move(fields[0]);
  row.runningStatus = std::move(fields[1]);
  row.startTime = std::move(fields[2]);
  row.endTime = std::move(fields[3]);
  row.latestLog = std::move(fields[4]);
  return true;
}

void appendRow(std::string& content, const StatusRecord& row) {
  const std::string::size_type begin = content.size();
  appendCsvField(content, row.applicationId);
  content += ',';
  appendCsvField(content, row.runningStatus);
  content += ',';
  appendCsvField(content, row.startTime);
  content += ',';
  appendCsvField(content, row.endTime);
  content += ',';
  if (row.latestLog.empty()) {
    content += "N/A";
  } else {
    appendCsvField(content, row.latestLog);
  }
  // A row whose fields are the column names would read back as a header and
  // vanish; its first field in quotes keeps it a row.
  if (content.compare(begin, std::string::npos, kStatusLogHeader) == 0) {
    content.insert(begin + row.applicationId.size(), "\"");
    content.insert(begin, "\"");
  }
  content += "\r\n";
}

// The bytes the rows take unquoted: enough room for the content in one piece,
// unless fields need quotes.
std::size_t unquotedSize(const std::vector<StatusRecord>& rows) {
  std::size_t size = 0;
  for (const StatusRecord& row : rows) {
    size += row.applicationId.size() + row.runningStatus.size() + row.startTime.size() +
            row.endTime.size() + std::max<std::size_t>(row.latestLog.size(), 3) + 6;
  }
  return size;
}

}  // namespace

std::vector<StatusRecord> readStatusLog(const std::string& path) {
  std::vector<StatusRecord> rows;
  if (!platform::exists(path))
    return rows;
  std::string content;
  if (!platform::readFile(path, content))
    return rows;
  // Stored in the ANSI code page, which a spreadsheet on the same machine reads.
  content = platform::fromAnsiCodePage(content);

  // One row per line at most: reserving once saves moving the rows while the
  // list grows.
  rows.reserve(static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1);
  std::size_t position = 0;
  std::string record;
  std::vector<std::string> fields;
  while (position < content.size()) {
    std::size_t end = csvRecordEnd(content, position);
    std::size_t length = end - position;
    // A carriage return before the line feed belongs to the line end.
    if (length > 0 && content[end - 1] == '\r')
      --length;
    record.assign(content, position, length);
    position = end + 1;

    if (record.empty() || record == kStatusLogHeader || record == kSixColumnHeader)
      continue;
    splitCsvLine(record, fields);
    StatusRecord row;
    if (rowFromFields(fields, row))
      rows.push_back(std::move(row));
  }
  return rows;
}

bool updateStatusRow(std::vector<StatusRecord>& rows, StatusRecord record) {
  // A name with characters that the ANSI code page lacks reads back with '?'
  // in their place: the row is found under that form too.
  const std::string storedId =
      platform::fromAnsiCodePage(platform::toAnsiCodePage(record.applicationId));
  // Several rows may share an applicationId; the newest one is the live run.
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    if (row->applicationId != record.applicationId && row->applicationId != storedId)
      continue;
    row->runningStatus = std::move(record.runningStatus);
    row->startTime = std::move(record.startTime);
    row->endTime = std::move(record.endTime);
    row->latestLog = std::move(record.latestLog);
    return true;
  }
  return false;
}

void writeStatusLog(std::vector<StatusRecord> rows, const std::string& path) {
  std::string content;
  try {
    content.reserve(std::char_traits<char>::length(kStatusLogHeader) + 2 + unquotedSize(rows));
    content += kStatusLogHeader;
    content += "\r\n";
    for (const StatusRecord& row : rows)
      appendRow(content, row);
  } catch (const std::exception&) {
    // Out of memory (or a length error) before anything was written: the old
    // file stays.
    return;
  }
  // The new content replaces the old in one step, so a crash or a full disk
  // midway leaves the old rows in place; a failure is not reported.
  platform::replaceFileContent(path, platform::toAnsiCodePage(content));
}

}  // namespace tavrelon
