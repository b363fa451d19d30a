#include "logging/csv.h"

#include <algorithm>

namespace tavrelon {

namespace {

struct RecordScan {
  bool openQuote = false;  // the line ended inside a quoted field
  bool stray = false;      // a closing quote was followed by neither a comma nor the end
};

// Parses one line into `fields`. A quote opens a quoted field only as the
// field's first character; elsewhere it is plain text.
RecordScan parseLine(const std::string& line, std::vector<std::string>& fields) {
  RecordScan scan;
  std::string field;
  bool quoted = false;
  bool inQuotes = false;
  bool atFieldStart = true;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (inQuotes) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < line.size() && line[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        inQuotes = false;
      }
      continue;
    }
    if (c == ',') {
      fields.push_back(field);
      field.clear();
      atFieldStart = true;
      quoted = false;
      continue;
    }
    if (atFieldStart && c == '"') {
      atFieldStart = false;
      quoted = true;
      inQuotes = true;
      continue;
    }
    if (quoted) {
      scan.stray = true;
      return scan;
    }
    atFieldStart = false;
    field += c;
  }
  scan.openQuote = inQuotes;
  fields.push_back(field);
  return scan;
}

// Splits at every comma, quotes being plain text; a final comma ends in an
// empty field. An empty line has no field.
void splitAtEveryComma(const std::string& line, std::vector<std::string>& fields) {
  if (line.empty())
    return;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type comma = line.find(',', start);
    if (comma == std::string::npos)
      break;
    fields.emplace_back(line, start, comma - start);
    start = comma + 1;
  }
  fields.emplace_back(line, start);
}

bool isLineBreak(char c) {
  return c == '\r' || c == '\n';
}

// Whether the field needs quotes, and whether it holds a line break. One pass
// with plain compares: find_first_of searches the set for each byte.
void inspectField(const std::string& field, bool& needsQuotes, bool& hasLineBreak) {
  needsQuotes = false;
  hasLineBreak = false;
  for (char c : field) {
    needsQuotes = needsQuotes || c == ',' || c == '"';
    hasLineBreak = hasLineBreak || isLineBreak(c);
  }
}

}  // namespace

std::string quoteCsvField(const std::string& field) {
  std::string quoted;
  appendCsvField(quoted, field);
  return quoted;
}

void appendCsvField(std::string& out, const std::string& field) {
  bool quoted = false;
  bool hasLineBreak = false;
  inspectField(field, quoted, hasLineBreak);
  if (!quoted && !hasLineBreak) {
    out += field;
    return;
  }
  const std::string::size_type begin = out.size();
  if (quoted)
    out += '"';
  for (char c : field) {
    if (c == '"')
      out += '"';
    out += c;
  }
  if (quoted)
    out += '"';
  // A line break inside a field would end the record there on reading.
  std::replace_if(out.begin() + static_cast<std::ptrdiff_t>(begin), out.end(), isLineBreak, ' ');
}

CsvQuotes csvQuotes(const std::string& line) {
  if (line.find('"') == std::string::npos)
    return CsvQuotes::Paired;
  std::vector<std::string> fields;
  const RecordScan scan = parseLine(line, fields);
  return scan.stray ? CsvQuotes::Stray : scan.openQuote ? CsvQuotes::Open : CsvQuotes::Paired;
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
  RecordScan scan = parseLine(line, fields);
  if (!scan.openQuote && !scan.stray)
    return;
  // Quotes that do not pair up come from text no writer of ours quoted: read
  // it as plain comma-separated text, so nothing in it is lost.
  fields.clear();
  splitAtEveryComma(line, fields);
}

}  // namespace tavrelon
