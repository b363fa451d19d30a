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

// True for a line of nothing but spaces and tabs: an empty line, as `echo >
// status.csv` leaves one.
bool isBlankLine(const std::string& content, std::size_t begin, std::size_t end) {
  return std::all_of(content.begin() + static_cast<std::ptrdiff_t>(begin),
                     content.begin() + static_cast<std::ptrdiff_t>(end),
                     [](char c) { return c == ' ' || c == '\t'; });
}

// Whose `content` is, given whole or (`whole` false) as the file's first bytes.
enum class Owner { Ours, Foreign, Undecided };

// A status log's: every line empty, or the first one that is not (after a
// byte-order mark) a header. Undecided when only the start was given and that
// line does not end within it.
Owner ownerOf(const std::string& content, bool whole) {
  std::size_t next = startsWithByteOrderMark(content) ? 3 : 0;
  while (next < content.size()) {
    const std::size_t begin = next;
    const std::size_t end = lineEnd(content, begin, next);
    if (isBlankLine(content, begin, end))
      continue;
    if (!whole && end == content.size())
      return Owner::Undecided;
    return isHeaderLine(content, begin, end - begin) ? Owner::Ours : Owner::Foreign;
  }
  return whole ? Owner::Ours : Owner::Undecided;
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
    content += kNoLatestLog;
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

// How many lines a spreadsheet cell saved with line breaks may span.
constexpr int kMaxCellLines = 5;

// `line` ends inside a quoted field that a spreadsheet saved across line ends:
// joins the lines from `position` on (each line break a space, as the writer
// writes one) until the quote closes. True, `row` set and `position` past the
// lines taken, when it closes within kMaxCellLines lines and the record then
// reads as a row; otherwise false and nothing taken.
bool readCellAcrossLines(const std::string& content, const std::string& line, std::size_t& position,
                         std::vector<std::string>& fields, StatusRecord& row) {
  std::string record = line;
  std::size_t at = position;
  for (int lines = 1; lines < kMaxCellLines && at < content.size(); ++lines) {
    std::size_t next = 0;
    const std::size_t end = lineEnd(content, at, next);
    record += ' ';
    record.append(content, at, end - at);
    at = next;
    const CsvQuotes quotes = csvQuotes(record);
    if (quotes == CsvQuotes::Open)
      continue;
    if (quotes == CsvQuotes::Stray)
      return false;
    splitCsvLine(record, fields);
    if (!rowFromFields(fields, record.back() == ',', row))
      return false;
    position = at;
    return true;
  }
  return false;
}

}  // namespace

StatusLogOutcome readStatusLog(const std::string& path, std::vector<StatusRecord>& rows,
                               std::int64_t* foreignLines) {
  rows.clear();
  if (foreignLines != nullptr)
    *foreignLines = 0;
  if (!platform::exists(path))
    return StatusLogOutcome::Missing;
  std::string content;
  std::string stored;
  const StatusLogOutcome read =
      outcomeOf(platform::readRegularFile(path, kMaxStatusLogBytes, stored));
  if (read != StatusLogOutcome::Done)
    return read;
  if (ownerOf(stored, true) != Owner::Ours)
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
    if (isBlankLine(content, begin, end) || isHeaderLine(content, begin, end - begin))
      continue;
    line.assign(content, begin, end - begin);
    StatusRecord row;
    if (csvQuotes(line) == CsvQuotes::Open &&
        readCellAcrossLines(content, line, position, fields, row)) {
      rows.push_back(std::move(row));
      continue;
    }
    splitCsvLine(line, fields);
    if (rowFromFields(fields, line.back() == ',', row))
      rows.push_back(std::move(row));
    else if (foreignLines != nullptr)
      ++*foreignLines;
  }
  return StatusLogOutcome::Done;
}

std::vector<StatusRecord> readStatusLog(const std::string& path) {
  std::vector<StatusRecord> rows;
  readStatusLog(path, rows);
  return rows;
}

bool updateStatusRow(std::vector<StatusRecord>& rows, StatusRecord record, bool* changed) {
  // A name with characters that the ANSI code page lacks reads back with '?'
  // in their place: the row is found under that form too.
  const std::string storedId =
      platform::fromAnsiCodePage(platform::toAnsiCodePage(record.applicationId));
  // Several rows may share an applicationId; the newest one is the live run.
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    if (row->applicationId != record.applicationId && row->applicationId != storedId)
      continue;
    if (changed != nullptr)
      *changed = row->runningStatus != record.runningStatus || row->startTime != record.startTime ||
                 row->endTime != record.endTime || row->latestLog != record.latestLog;
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
  Owner owner =
      peek == platform::FileOutcome::Done ? ownerOf(start, start.size() < 4096) : Owner::Ours;
  // A start of empty lines, or a first line longer than the start, decides nothing:
  // the whole file does.
  if (owner == Owner::Undecided) {
    const platform::FileOutcome whole = platform::readRegularFile(path, kMaxStatusLogBytes, start);
    if (whole != platform::FileOutcome::Done && whole != platform::FileOutcome::Missing)
      return outcomeOf(whole);
    owner = whole == platform::FileOutcome::Done ? ownerOf(start, true) : Owner::Ours;
  }
  if (owner != Owner::Ours)
    return StatusLogOutcome::Refused;
  // The new content replaces the old in one step, so a crash or a full disk
  // midway leaves the old rows in place.
  return outcomeOf(platform::replaceRegularFile(path, content, kStatusLogTemporaryTag));
}

}  // namespace tavrelon
