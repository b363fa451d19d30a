#include "report/report_input_rows.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "logging/csv.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/text_encoding.h"

namespace tavrelon::report {

namespace {

const char kByteOrderMark[] = "\xEF\xBB\xBF";
// The header of status logs that carry an is_Manual column; skipped like ours.
const char* const kSixColumnHeader =
    "Application_ID,is_Manual,Running_Status,Start_Time,End_Time,Latest_Log";
// How many lines a spreadsheet cell saved with line breaks may span.
constexpr std::size_t kMaxCellLines = 5;

bool isBlank(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// Either header, also as a spreadsheet saves it with empty columns after it.
bool isHeader(const std::string& line) {
  for (const char* header : {kStatusLogHeader, kSixColumnHeader}) {
    const std::size_t size = std::strlen(header);
    if (line.size() >= size && line.compare(0, size, header) == 0 &&
        std::all_of(line.begin() + static_cast<std::ptrdiff_t>(size), line.end(),
                    [](char c) { return c == ','; }))
      return true;
  }
  return false;
}

// One line's fields as a row; false for a field count that is no row. A comma
// after the last column is no field; of six fields, is_Manual goes.
bool rowFromFields(std::vector<std::string>& fields, bool trailingComma, StatusRecord& row) {
  if (trailingComma && (fields.size() == 6 || fields.size() == 7))
    fields.pop_back();
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

// Cuts bytes handed in pieces into lines ending at LF, CR LF or a lone CR; a
// CR at a piece's end is matched with an LF that begins the next one.
class LineSplitter {
 public:
  // Hands each line completed by `bytes` to `line` (which may take its bytes);
  // false as soon as `line` says false.
  template <typename Line>
  bool feed(const char* bytes, std::size_t size, Line&& line) {
    for (std::size_t at = 0; at < size; ++at) {
      const char c = bytes[at];
      if (afterCr_ && c == '\n') {
        afterCr_ = false;
        continue;
      }
      afterCr_ = c == '\r';
      if (c != '\n' && c != '\r') {
        // Runs of plain bytes are appended at once, not byte by byte.
        std::size_t end = at;
        while (end < size && bytes[end] != '\n' && bytes[end] != '\r')
          ++end;
        pending_.append(bytes + at, end - at);
        at = end - 1;
        continue;
      }
      if (!line(pending_))
        return false;
      pending_.clear();
    }
    return true;
  }
  // The last line when the file does not end with a line break.
  template <typename Line>
  bool finish(Line&& line) {
    return pending_.empty() || line(pending_);
  }

 private:
  std::string pending_;
  bool afterCr_ = false;
};

// Turns the lines of one status log into rows as readStatusLog does.
class RowParser {
 public:
  RowParser(bool byteOrderMark, bool utf8, const RowReader& read)
      : expectMark_(byteOrderMark), utf8_(utf8), read_(read) {}

  // False to stop: someone else's file, too many lines, or a file that changed.
  // Takes the line's bytes: a long line is not copied.
  bool line(std::string& raw) {
    std::string text = std::move(raw);
    if (first_) {
      first_ = false;
      const bool mark = text.compare(0, 3, kByteOrderMark) == 0;
      if (mark != expectMark_) {
        changed_ = true;  // replaced since it was looked at
        return false;
      }
      if (mark)
        text.erase(0, 3);
    }
    if (!decided_ && !isBlank(text)) {
      decided_ = true;
      if (!isHeader(text)) {
        foreign_ = true;
        return false;
      }
    }
    if (!text.empty() && ++lines_ > kMaxStatusLogLines) {
      foreign_ = true;
      return false;
    }
    queue_.push_back(utf8_ ? std::move(text) : platform::fromAnsiCodePage(text));
    while (queue_.size() >= kMaxCellLines)
      takeFront();
    return true;
  }

  void finish() {
    while (!queue_.empty())
      takeFront();
  }

  bool refused() const { return foreign_; }
  bool changed() const { return changed_; }

 private:
  void takeFront() {
    std::string line = std::move(queue_.front());
    queue_.pop_front();
    if (isBlank(line) || isHeader(line))
      return;
    StatusRecord row;
    if (csvQuotes(line) == CsvQuotes::Open && acrossLines(line, row)) {
      read_(row);
      return;
    }
    splitCsvLine(line, fields_);
    if (rowFromFields(fields_, line.back() == ',', row))
      read_(row);
  }

  // A cell a spreadsheet saved across line ends: the following lines joined,
  // each break a space, until its quote closes within kMaxCellLines lines and
  // the record reads as a row; those lines are then taken.
  bool acrossLines(const std::string& line, StatusRecord& row) {
    std::string record = line;
    for (std::size_t taken = 0; taken + 1 < kMaxCellLines && taken < queue_.size(); ++taken) {
      record += ' ';
      record += queue_[taken];
      const CsvQuotes quotes = csvQuotes(record);
      if (quotes == CsvQuotes::Open)
        continue;
      if (quotes == CsvQuotes::Stray)
        return false;
      splitCsvLine(record, fields_);
      if (!rowFromFields(fields_, record.back() == ',', row))
        return false;
      queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(taken + 1));
      return true;
    }
    return false;
  }

  bool expectMark_, utf8_;
  const RowReader& read_;
  bool first_ = true, decided_ = false, foreign_ = false, changed_ = false;
  std::int64_t lines_ = 0;
  std::deque<std::string> queue_;  // the lines read and not yet taken
  std::vector<std::string> fields_;
};

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

// Whether everything after the byte-order mark is UTF-8: a first pass over the
// file, line by line (no UTF-8 sequence holds a line break's bytes).
platform::FileOutcome isAllUtf8(const std::string& path, bool& utf8) {
  utf8 = true;
  LineSplitter lines;
  bool first = true;
  const auto check = [&](const std::string& line) {
    const bool valid =
        isValidUtf8(first ? line.substr(std::min<std::size_t>(3, line.size())) : line);
    first = false;
    utf8 = utf8 && valid;
    return utf8;
  };
  const platform::FileOutcome outcome = platform::readRegularFileInPieces(
      path, kMaxStatusLogBytes,
      [&](const char* bytes, std::size_t size) { return lines.feed(bytes, size, check); });
  if (outcome == platform::FileOutcome::Done)
    lines.finish(check);
  // Stopped early at the first line that is not: that decides it.
  return utf8 ? outcome : platform::FileOutcome::Done;
}

}  // namespace

StatusLogOutcome streamStatusLog(const std::string& path, const RowReader& read) {
  if (!platform::exists(path))
    return StatusLogOutcome::Missing;
  std::string start;
  const platform::FileOutcome peek = platform::readRegularFileStart(path, 3, start);
  if (peek != platform::FileOutcome::Done)
    return outcomeOf(peek);
  const bool mark = start == kByteOrderMark;
  // Without the mark the bytes are the ANSI code page's, which a spreadsheet
  // on the same machine reads; with it UTF-8, when all of it is.
  bool utf8 = false;
  if (mark) {
    const platform::FileOutcome checked = isAllUtf8(path, utf8);
    if (checked != platform::FileOutcome::Done)
      return outcomeOf(checked);
  }
  RowParser parser(mark, utf8, read);
  LineSplitter lines;
  const auto line = [&](std::string& text) { return parser.line(text); };
  const platform::FileOutcome outcome = platform::readRegularFileInPieces(
      path, kMaxStatusLogBytes,
      [&](const char* bytes, std::size_t size) { return lines.feed(bytes, size, line); });
  const bool whole = outcome == platform::FileOutcome::Done && lines.finish(line);
  if (parser.changed())
    return StatusLogOutcome::Busy;
  if (parser.refused())
    return StatusLogOutcome::Refused;
  if (!whole)
    return outcomeOf(outcome);
  parser.finish();
  return StatusLogOutcome::Done;
}

}  // namespace tavrelon::report
