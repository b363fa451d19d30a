// CSV field handling of the status log.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavrelon {

// The field as written: unchanged, unless it holds a comma, a double quote, a
// carriage return or a line feed; then it is put in double quotes with inner
// quotes doubled.
std::string quoteCsvField(const std::string& field);

// Appends quoteCsvField(field) to `out` without building the quoted copy.
void appendCsvField(std::string& out, const std::string& field);

// Splits one line into fields at each comma outside double quotes. A quoted
// field is read whole, with doubled quotes made single. A line that ends in a
// comma has no empty field after it; empty fields between commas stay. A line
// whose quotes do not pair up is split at every comma, its quotes kept as text.
std::vector<std::string> splitCsvLine(const std::string& line);

// splitCsvLine into `fields`, which is cleared first; a caller splitting many
// lines keeps one vector and so its capacity.
void splitCsvLine(const std::string& line, std::vector<std::string>& fields);

// Index of the line feed that ends the record beginning at `start` of `text`,
// or text.size() when no line feed follows. Line feeds inside a quoted field
// that closes properly belong to the record; otherwise the record is the line.
std::size_t csvRecordEnd(const std::string& text, std::size_t start);

}  // namespace tavrelon
