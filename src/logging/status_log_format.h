// The bytes of a status log, and nothing else: its two headers, the byte-order
// mark, how lines end, one row formatted and one line parsed. No file is
// touched here; the reader, the writer, the night report and the fuzz target
// all go through these.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "logging/run_vocabulary.h"

namespace tavrelon {

// One row of the status log, columns in member order.
struct StatusRecord {
  std::string applicationId;             // identifies the run: file name "_" run stamp
  std::string runningStatus;             // a statusWord(); hand-edited rows may hold any text
  std::string startTime;                 // kRowTimePattern, local time
  std::string endTime;                   // same form; empty while running
  std::string latestLog = kNoLatestLog;  // latestLogText() of the run, or kNoLatestLog

  // Field by field: the same row of the status log.
  bool operator==(const StatusRecord& other) const {
    return applicationId == other.applicationId && runningStatus == other.runningStatus &&
           startTime == other.startTime && endTime == other.endTime && latestLog == other.latestLog;
  }
  bool operator!=(const StatusRecord& other) const { return !(*this == other); }
};

// The header line every write produces.
extern const char* const kStatusLogHeader;
// The header of status logs that carry an is_Manual column; read like ours.
extern const char* const kSixColumnHeader;
// The UTF-8 byte-order mark an editor may put at the start of the file.
extern const char* const kByteOrderMark;

// True when `bytes` begins with kByteOrderMark.
bool startsWithByteOrderMark(const std::string& bytes);

// The end of the line of `content` that begins at `begin`, and in `next` where
// the following one begins: a line ends at LF, CR LF or a lone CR.
std::size_t statusLineEnd(const std::string& content, std::size_t begin, std::size_t& next);

// True for either header, also as a spreadsheet saves it with empty columns
// after it; `line` has no line end.
bool isStatusLogHeader(const char* line, std::size_t length);

// True for a line of nothing but spaces and tabs (as `echo > status.csv` leaves).
bool isBlankStatusLine(const char* line, std::size_t length);

// Whose bytes these are, given whole or (`whole` false) as a file's first bytes.
enum class StatusLogOwner { Ours, Foreign, Undecided };

// What one line (no line end, after any byte-order mark) says of whose file
// it is: Undecided when blank (the next line decides), Ours for a header,
// Foreign for anything else.
StatusLogOwner statusLineOwner(const char* line, std::size_t length);

// Ours when every line is blank or the first that is not (after a byte-order
// mark) is a header; Undecided when only the start was given and that line
// does not end within it (or all of it is blank).
StatusLogOwner statusLogOwner(const std::string& bytes, bool whole);

// Cuts a status log's bytes, given in pieces, into lines as statusLineEnd
// does over the whole: a line ends at LF, CR LF or a lone CR, and a CR that
// ends one piece pairs with an LF that begins the next. Holds one line.
class StatusLineSplitter {
 public:
  // Hands each line that `bytes` completes to `line` (which may take its
  // bytes); false as soon as `line` says false.
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

  // The file has ended: its last line, when no line break ends it, goes to
  // `line`; false when `line` says false.
  template <typename Line>
  bool finish(Line&& line) {
    return pending_.empty() || line(pending_);
  }

 private:
  std::string pending_;  // the line not yet ended
  bool afterCr_ = false;
};

// Appends `row` as one line ending in CR LF: each field as quoteCsvField
// writes it, an empty latestLog as "N/A", and a row that would read back as
// the header with its first field in quotes.
void appendStatusRow(std::string& out, const StatusRecord& row);

// The header and `rows`, each line ending in CR LF (text as given: the writer
// converts it to the bytes stored).
std::string formatStatusLog(const std::vector<StatusRecord>& rows);

// What one line of a status log is.
enum class StatusLine { Blank, Header, Row, NotARow };

// One line (no line end) alone: blank, a header, a row (five fields, or six
// with is_Manual, which goes; a comma after the last is no field) into `row`,
// or no row. A line whose quoted field goes on past its end reads here as it
// stands; StatusLineReader joins such a cell's lines first.
StatusLine parseStatusLine(const std::string& line, StatusRecord& row);

// How many lines a spreadsheet cell saved with line breaks may span.
constexpr int kMaxCellLines = 5;

// Reads a status log as a stream of lines. Each line given (its end removed)
// is handed on, in file order, as parseStatusLine classifies it, to `sink`,
// except that a line whose quoted field is still open when it ends is held:
// when the quote closes within kMaxCellLines lines and the record then reads
// as a row, those lines are one row, each line break a space; otherwise the
// held lines read one by one as before.
class StatusLineReader {
 public:
  // Gets every line's kind and, for a Row, the row (which it may take).
  using Sink = std::function<void(StatusLine kind, StatusRecord& row)>;
  explicit StatusLineReader(Sink sink) : sink_(std::move(sink)) {}

  // The next line of the file.
  void addLine(const std::string& line);
  // The file has ended: held lines are handed on.
  void finish();

 private:
  void emitAlone(const std::string& line);
  // Hands on the held lines that can be decided (all of them once `ended`).
  void drain(bool ended);

  Sink sink_;
  std::vector<std::string> held_;  // lines of a cell whose quote is still open
  std::vector<std::string> fields_;
  StatusRecord row_;
};

}  // namespace tavrelon
