#include "report/report_input_rows.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/files.h"
#include "platform/text_encoding.h"

namespace tavrelon::report {

namespace {

// Turns the lines of one status log into rows as readStatusLog does, through
// the status log's own rules; holds only the lines of a cell saved across
// line ends.
class RowParser {
 public:
  RowParser(bool byteOrderMark, bool utf8, const RowReader& read)
      : expectMark_(byteOrderMark), utf8_(utf8), rows_([&read](StatusLine kind, StatusRecord& row) {
          if (kind == StatusLine::Row)
            read(row);
        }) {}

  // False to stop: someone else's file, too many lines, or a file that changed.
  // Takes the line's bytes: a long line is not copied.
  bool line(std::string& raw) {
    std::string text = std::move(raw);
    if (first_) {
      first_ = false;
      const bool mark = startsWithByteOrderMark(text);
      if (mark != expectMark_) {
        changed_ = true;  // replaced since it was looked at
        return false;
      }
      if (mark)
        text.erase(0, 3);
    }
    if (owner_ == StatusLogOwner::Undecided) {
      owner_ = statusLineOwner(text.data(), text.size());
      if (owner_ == StatusLogOwner::Foreign)
        return false;
    }
    if (!text.empty() && ++lines_ > kMaxStatusLogLines) {
      tooLong_ = true;
      return false;
    }
    rows_.addLine(statusLogText(std::move(text), utf8_));
    return true;
  }

  void finish() { rows_.finish(); }

  bool refused() const { return owner_ == StatusLogOwner::Foreign || tooLong_; }
  bool changed() const { return changed_; }

 private:
  bool expectMark_, utf8_;
  StatusLineReader rows_;
  bool first_ = true, tooLong_ = false, changed_ = false;
  StatusLogOwner owner_ = StatusLogOwner::Undecided;
  std::int64_t lines_ = 0;
};

// Whether everything after the byte-order mark is UTF-8: a first pass over the
// file, line by line (no UTF-8 sequence holds a line break's bytes).
platform::FileOutcome isAllUtf8(const std::string& path, bool& utf8) {
  utf8 = true;
  StatusLineSplitter lines;
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
    return statusLogOutcome(peek);
  const bool mark = startsWithByteOrderMark(start);
  // Without the mark the bytes are the ANSI code page's, which a spreadsheet
  // on the same machine reads; with it UTF-8, when all of it is.
  bool utf8 = false;
  if (mark) {
    const platform::FileOutcome checked = isAllUtf8(path, utf8);
    if (checked != platform::FileOutcome::Done)
      return statusLogOutcome(checked);
  }
  RowParser parser(mark, utf8, read);
  StatusLineSplitter lines;
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
    return statusLogOutcome(outcome);
  parser.finish();
  return StatusLogOutcome::Done;
}

}  // namespace tavrelon::report
