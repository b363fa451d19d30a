#include "logging/status_log_format.h"

#include <algorithm>
#include <cstring>

#include "logging/csv.h"

namespace tavrelon {

const char* const kStatusLogHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log";
const char* const kSixColumnHeader =
    "Application_ID,is_Manual,Running_Status,Start_Time,End_Time,Latest_Log";
const char* const kByteOrderMark = "\xEF\xBB\xBF";

namespace {

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

// A non-empty line that is neither blank nor a header, split as a record.
bool recordAsRow(const std::string& record, std::vector<std::string>& fields, StatusRecord& row) {
  splitCsvLine(record, fields);
  return rowFromFields(fields, record.back() == ',', row);
}

StatusLine classify(const std::string& line, std::vector<std::string>& fields, StatusRecord& row) {
  if (isBlankStatusLine(line.data(), line.size()))
    return StatusLine::Blank;
  if (isStatusLogHeader(line.data(), line.size()))
    return StatusLine::Header;
  return recordAsRow(line, fields, row) ? StatusLine::Row : StatusLine::NotARow;
}

// Whether `line` starts a cell that a spreadsheet saved across line ends.
bool opensCell(const std::string& line) {
  return !isBlankStatusLine(line.data(), line.size()) &&
         !isStatusLogHeader(line.data(), line.size()) && csvQuotes(line) == CsvQuotes::Open;
}

}  // namespace

bool startsWithByteOrderMark(const std::string& bytes) {
  return bytes.compare(0, 3, kByteOrderMark) == 0;
}

std::size_t statusLineEnd(const std::string& content, std::size_t begin, std::size_t& next) {
  std::size_t end = begin;
  while (end < content.size() && content[end] != '\n' && content[end] != '\r')
    ++end;
  next = end + 1;
  if (end + 1 < content.size() && content[end] == '\r' && content[end + 1] == '\n')
    ++next;
  return end;
}

bool isStatusLogHeader(const char* line, std::size_t length) {
  for (const char* header : {kStatusLogHeader, kSixColumnHeader}) {
    const std::size_t size = std::strlen(header);
    if (length < size || std::memcmp(line, header, size) != 0)
      continue;
    if (std::all_of(line + size, line + length, [](char c) { return c == ','; }))
      return true;
  }
  return false;
}

bool isBlankStatusLine(const char* line, std::size_t length) {
  return std::all_of(line, line + length, [](char c) { return c == ' ' || c == '\t'; });
}

StatusLogOwner statusLineOwner(const char* line, std::size_t length) {
  if (isBlankStatusLine(line, length))
    return StatusLogOwner::Undecided;
  return isStatusLogHeader(line, length) ? StatusLogOwner::Ours : StatusLogOwner::Foreign;
}

StatusLogOwner statusLogOwner(const std::string& bytes, bool whole) {
  std::size_t next = startsWithByteOrderMark(bytes) ? 3 : 0;
  while (next < bytes.size()) {
    const std::size_t begin = next;
    const std::size_t end = statusLineEnd(bytes, begin, next);
    const StatusLogOwner owner = statusLineOwner(bytes.data() + begin, end - begin);
    if (owner == StatusLogOwner::Undecided)
      continue;
    // A line cut off by the end of a file's first bytes may still grow.
    return !whole && end == bytes.size() ? StatusLogOwner::Undecided : owner;
  }
  return whole ? StatusLogOwner::Ours : StatusLogOwner::Undecided;
}

void appendStatusRow(std::string& out, const StatusRecord& row) {
  const std::string::size_type begin = out.size();
  for (const std::string* field :
       {&row.applicationId, &row.runningStatus, &row.startTime, &row.endTime}) {
    appendCsvField(out, *field);
    out += ',';
  }
  if (row.latestLog.empty())
    out += kNoLatestLog;
  else
    appendCsvField(out, row.latestLog);
  // A row whose fields are the column names would read back as a header and
  // vanish; its first field in quotes keeps it a row.
  if (out.compare(begin, std::string::npos, kStatusLogHeader) == 0) {
    out.insert(begin + row.applicationId.size(), "\"");
    out.insert(begin, "\"");
  }
  out += "\r\n";
}

std::string formatStatusLog(const std::vector<StatusRecord>& rows) {
  // The bytes the rows take unquoted: room for the content in one piece,
  // unless fields need quotes.
  std::size_t size = std::strlen(kStatusLogHeader) + 2;
  for (const StatusRecord& row : rows) {
    size += row.applicationId.size() + row.runningStatus.size() + row.startTime.size() +
            row.endTime.size() + std::max<std::size_t>(row.latestLog.size(), 3) + 6;
  }
  std::string content;
  content.reserve(size);
  content += kStatusLogHeader;
  content += "\r\n";
  for (const StatusRecord& row : rows)
    appendStatusRow(content, row);
  return content;
}

StatusLine parseStatusLine(const std::string& line, StatusRecord& row) {
  std::vector<std::string> fields;
  return classify(line, fields, row);
}

void StatusLineReader::addLine(const std::string& line) {
  if (held_.empty() && !opensCell(line)) {
    emitAlone(line);
    return;
  }
  held_.push_back(line);
  drain(false);
}

void StatusLineReader::finish() {
  drain(true);
}

void StatusLineReader::emitAlone(const std::string& line) {
  const StatusLine kind = classify(line, fields_, row_);
  sink_(kind, row_);
}

void StatusLineReader::drain(bool ended) {
  while (!held_.empty()) {
    std::size_t taken = 0;  // lines that make one row; 0 when they make none
    if (opensCell(held_.front())) {
      std::string record = held_.front();
      std::size_t lines = 1;
      bool decided = false;
      for (; lines < held_.size() && lines < static_cast<std::size_t>(kMaxCellLines); ++lines) {
        record += ' ';
        record += held_[lines];
        const CsvQuotes quotes = csvQuotes(record);
        if (quotes == CsvQuotes::Open)
          continue;
        decided = true;
        if (quotes == CsvQuotes::Paired && recordAsRow(record, fields_, row_))
          taken = lines + 1;
        break;
      }
      // Still open, with room for more lines: the next line decides.
      if (!decided && !ended && lines < static_cast<std::size_t>(kMaxCellLines))
        return;
    }
    if (taken > 0) {
      sink_(StatusLine::Row, row_);
      held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(taken));
      continue;
    }
    // No cell across lines: the first line reads alone, the rest afresh.
    emitAlone(held_.front());
    held_.erase(held_.begin());
  }
}

}  // namespace tavrelon
