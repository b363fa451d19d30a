#include "logging/status_log.h"

#include <algorithm>
#include <exception>
#include <string>

#include "logging/csv.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"

namespace tavrelon {

const char* const kStatusLogHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log";

namespace {

// The header of status logs that carry an is_Manual column; skipped like ours.
const char* const kSixColumnHeader =
    "Application_ID,is_Manual,Running_Status,Start_Time,End_Time,Latest_Log";

// The UTF-8 byte-order mark an editor may put at the start of the file.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

bool startsWithByteOrderMark(const std::string& content) {
  return content.compare(0, 3, kByteOrderMark) == 0;
}

// Either header, also as a spreadsheet saves it with empty columns after it.
bool isHeaderLine(const std::string& content, std::size_t begin, std::size_t length) {
  for (const char* header : {kStatusLogHeader, kSixColumnHeader}) {
    const std::size_t size = std::char_traits<char>::length(header);
    if (length < size || content.compare(begin, size, header) != 0)
      continue;
    if (std::all_of(content.begin() + static_cast<std::ptrdiff_t>(begin + size),
                    content.begin() + static_cast<std::ptrdiff_t>(begin + length),
                    [](char c) { return c == ','; }))
      return true;
  }
  return false;
}

// End of the line that begins at `begin`, and where the next one begins: a
// line ends at LF, CR LF or a lone CR.
std::size_t lineEnd(const std::string& content, std::size_t begin, std::size_t& next) {
  std::size_t end = begin;
  while (end < content.size() && content[end] != '\n' && content[end] != '\r')
    ++end;
  next = end + 1;
  if (end + 1 < content.size() && content[end] == '\r' && content[end + 1] == '\n')
    ++next;
  return end;
}

// True when `content`, the whole file or its start, is a status log's: empty,
// or its first line (after a byte-order mark) is a header.
bool isStatusLogContent(const std::string& content) {
  const std::size_t begin = startsWithByteOrderMark(content) ? 3 : 0;
  if (begin == content.size())
    return true;
  std::size_t next = 0;
  const std::size_t end = lineEnd(content, begin, next);
  return isHeaderLine(content, begin, end - begin);
}

// Turns one line's fields into a row; false for a field count that is no row.
bool rowFromFields(std::vector<std::string>& fields, bool trailingComma, StatusRecord& row) {
  // A comma after the last column is no field of its own (files rely on it):
  // a six-field line whose sixth field comes from a final comma has five.
  if (trailingComma && (fields.size() == 6 || fields.size() == 7))
    fields.pop_back();
  // Six fields: Application_ID,is_Manual,Running_Status,Start_Time,End_Time,
  // Latest_Log. is_Manual has no column of ours and goes; the rest map as five.
  if (fields.size() == 6)
    fields.erase(fields.begin() + 1);
  if (fields.size() != 5)
    return false;
  row.applicationId = std::move(fields[0]);
  row.runningStatus = std::move(fields[1]);
  row.startTime = std::move(fields[2]);
  row.endTime = std::move(fields[3]);
  row.latestLog = std::move(fields[4]);
  return true;
}

StatusLogOutcome outcomeOf(platform::FileOutcome outcome) {
  switch (outcome) {
    case platform::FileOutcome::Done:
      return StatusLogOutcome::Done;
    case platform::FileOutcome::Missing:
      return StatusLogOutcome::Missing;
    case platform::FileOutcome::Busy:
      return StatusLogOutcome::Busy;
    case platform::FileOutcome::Refused:
      break;
  }
  return StatusLogOutcome::Refused;
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

StatusLogOutcome readStatusLog(const std::string& path, std::vector<StatusRecord>& rows) {
  rows.clear();
  if (!platform::exists(path))
    return StatusLogOutcome::Missing;
  std::string content;
  std::string stored;
  const StatusLogOutcome read =
      outcomeOf(platform::readRegularFile(path, kMaxStatusLogBytes, stored));
  if (read != StatusLogOutcome::Done)
    return read;
  if (!isStatusLogContent(stored))
    return StatusLogOutcome::Refused;
  // The bytes are the ANSI code page's, which a spreadsheet on the same machine
  // reads; a byte-order mark says UTF-8 instead. The mark goes before either.
  if (startsWithByteOrderMark(stored))
    content = textAsUtf8(stored.substr(3));
  else
    content = platform::fromAnsiCodePage(stored);
  stored = std::string();

  std::size_t position = 0;
  std::int64_t lines = 0;
  for (std::size_t at = position, next = 0; at < content.size(); at = next) {
    if (lineEnd(content, at, next) > at)
      ++lines;
  }
  if (lines > kMaxStatusLogLines)
    return StatusLogOutcome::Refused;
  // One row per non-empty line at most: reserving once saves moving the rows while the
  // list grows.
  rows.reserve(static_cast<std::size_t>(lines));
  std::string line;
  std::vector<std::string> fields;
  while (position < content.size()) {
    std::size_t next = 0;
    const std::size_t end = lineEnd(content, position, next);
    const std::size_t begin = position;
    position = next;
    if (end == begin || isHeaderLine(content, begin, end - begin))
      continue;
    line.assign(content, begin, end - begin);
    splitCsvLine(line, fields);
    StatusRecord row;
    if (rowFromFields(fields, line.back() == ',', row))
      rows.push_back(std::move(row));
  }
  return StatusLogOutcome::Done;
}

std::vector<StatusRecord> readStatusLog(const std::string& path) {
  std::vector<StatusRecord> rows;
  readStatusLog(path, rows);
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

StatusLogOutcome writeStatusLog(std::vector<StatusRecord> rows, const std::string& path) {
  std::string content;
  try {
    content.reserve(std::char_traits<char>::length(kStatusLogHeader) + 2 + unquotedSize(rows));
    content += kStatusLogHeader;
    content += "\r\n";
    for (const StatusRecord& row : rows)
      appendRow(content, row);
    // Stored in the ANSI code page; the bound below is on the bytes stored.
    content = platform::toAnsiCodePage(content);
  } catch (const std::exception&) {
    // Out of memory (or a length error) before anything was written: the old
    // file stays.
    return StatusLogOutcome::Refused;
  }
  if (static_cast<std::int64_t>(content.size()) > kMaxStatusLogBytes)
    return StatusLogOutcome::Refused;
  // Someone else's file at the path is left byte for byte. What a status log's
  // first line can be fits well within the bytes looked at.
  if (platform::pathKind(path) == platform::PathKind::Other)
    return StatusLogOutcome::Refused;
  // A log grown past the bound by hand is left as it is, not cut back.
  platform::FileStatus old;
  if (platform::fileStatus(path, old) && old.size > kMaxStatusLogBytes)
    return StatusLogOutcome::Refused;
  std::string start;
  const platform::FileOutcome peek = platform::readRegularFileStart(path, 4096, start);
  if (peek != platform::FileOutcome::Done && peek != platform::FileOutcome::Missing)
    return outcomeOf(peek);
  if (peek == platform::FileOutcome::Done && !isStatusLogContent(start))
    return StatusLogOutcome::Refused;
  // The new content replaces the old in one step, so a crash or a full disk
  // midway leaves the old rows in place.
  return outcomeOf(platform::replaceRegularFile(path, content, kStatusLogTemporaryTag));
}

}  // namespace tavrelon
