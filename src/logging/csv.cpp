#include "logging/csv.h"

#include <algorithm>

namespace tavrelon {

namespace {

struct RecordScan {
  std::size_t end = 0;     // index where the record stopped
  bool openQuote = false;  // the text ended inside a quoted field
  bool stray = false;      // a closing quote was followed by neither a comma nor the end
};

// Parses the record in text[begin, limit). A quote opens a quoted field only
// as the field's first character; elsewhere it is plain text. With
// `lineFeedEnds`, a line feed outside quotes ends the record. Appends the
// fields to `fields` when given one; stops early at a stray character
// otherwise, since the caller then only wants to know the quoting is broken.
RecordScan parseRecord(const std::string& text, std::size_t begin, std::size_t limit,
                       bool lineFeedEnds, std::vector<std::string>* fields) {
  RecordScan scan;
  std::string field;
  bool atFieldStart = true;
  bool quoted = false;
  bool inQuotes = false;
  std::size_t i = begin;
  for (; i < limit; ++i) {
    char c = text[i];
    if (inQuotes) {
      if (c != '"') {
        if (fields)
          field += c;
      } else if (i + 1 < limit && text[i + 1] == '"') {
        if (fields)
          field += '"';
        ++i;
      } else {
        inQuotes = false;
      }
      continue;
    }
    if (c == ',') {
      if (fields)
        fields->push_back(field);
      field.clear();
      atFieldStart = true;
      quoted = false;
      continue;
    }
    if (lineFeedEnds && c == '\n')
      break;
    if (atFieldStart && c == '"') {
      atFieldStart = false;
      quoted = true;
      inQuotes = true;
      continue;
    }
    if (quoted) {
      // Only the carriage return of the line end may follow a closing quote.
      bool lineEnd = c == '\r' && (i + 1 == limit || (lineFeedEnds && text[i + 1] == '\n'));
      if (!lineEnd) {
        scan.stray = true;
        if (!fields)
          break;
      }
    }
    atFieldStart = false;
    if (fields)
      field += c;
  }
  scan.end = i;
  scan.openQuote = inQuotes;
  // A trailing comma leaves no empty field after it; an explicit "" does.
  if (fields && (!atFieldStart || quoted))
    fields->push_back(field);
  return scan;
}

// Splits at every comma, quotes being plain text; no field after a final comma.
void splitAtEveryComma(const std::string& line, std::vector<std::string>& fields) {
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type comma = line.find(',', start);
    if (comma == std::string::npos)
      break;
    fields.emplace_back(line, start, comma - start);
    start = comma + 1;
  }
  if (start < line.size())
    fields.emplace_back(line, start);
}

bool needsQuotes(const std::string& field) {
  // One pass with plain compares: find_first_of searches the set for each byte.
  for (char c : field) {
    if (c == ',' || c == '"' || c == '\r' || c == '\n')
      return true;
  }
  return false;
}

}  // namespace

std::string quoteCsvField(const std::string& field) {
  std::string quoted;
  appendCsvField(quoted, field);
  return quoted;
}

void appendCsvField(std::string& out, const std::string& field) {
  if (!needsQuotes(field)) {
    out += field;
    return;
  }
  out += '"';
  for (char c : field) {
    if (c == '"')
      out += '"';
    out += c;
  }
  out += '"';
}

std::vector<std::string> splitCsvLine(const std::string& line) {
  std::vector<std::string> fields;
  splitCsvLine(line, fields);
  return fields;
}

void splitCsvLine(const std::string& line, std::vector<std::string>& fields) {
  fields.clear();
  if (line.find('"') == std::string::npos) {
    splitAtEveryComma(line, fields);
    return;
  }
  RecordScan scan = parseRecord(line, 0, line.size(), false, &fields);
  if (!scan.openQuote && !scan.stray)
    return;
  // Quotes that do not pair up come from text no writer of ours quoted: read
  // it as plain comma-separated text, so nothing in it is lost.
  fields.clear();
  splitAtEveryComma(line, fields);
}

std::size_t csvRecordEnd(const std::string& text, std::size_t start) {
  std::size_t lineEnd = text.find('\n', start);
  if (lineEnd == std::string::npos)
    lineEnd = text.size();
  // Most lines hold no quote at all; only look for one within the line.
  auto lineBegin = text.begin() + static_cast<std::ptrdiff_t>(start);
  auto lineStop = text.begin() + static_cast<std::ptrdiff_t>(lineEnd);
  if (std::find(lineBegin, lineStop, '"') == lineStop)
    return lineEnd;
  if (!parseRecord(text, start, lineEnd, true, nullptr).openQuote)
    return lineEnd;
  // The line ends inside a quoted field: the record goes on over line feeds,
  // but only when its quotes close and nothing stray follows them.
  RecordScan scan = parseRecord(text, start, text.size(), true, nullptr);
  if (scan.openQuote || scan.stray)
    return lineEnd;
  return scan.end;
}

}  // namespace tavrelon
