// CSV field handling of the status log.
#pragma once

#include <string>
#include <vector>

namespace tavrelon {

// The field as written: unchanged, unless it holds a comma, a double quote, a
// carriage return or a line feed; then it is put in double quotes with inner
// quotes doubled.
std::string quoteCsvField(const std::string& field);

// Splits one line into fields at each comma outside double quotes. A quoted
// field is read whole, with doubled quotes made single. A line that ends in a
// comma has no empty field after it; empty fields between commas stay.
std::vector<std::string> splitCsvLine(const std::string& line);

}  // namespace tavrelon
