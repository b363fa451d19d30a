// CSV field handling of the status log.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavrelon {

// The field as written: a carriage return or line feed becomes a space (a
// record never spans lines); then, when it holds a comma or a double quote,
// it is put in double quotes with inner quotes doubled.
std::string quoteCsvField(const std::string& field);

// Appends quoteCsvField(field) to `out` without building the quoted copy.
void appendCsvField(std::string& out, const std::string& field);

// Splits one line into fields at each comma outside double quotes. A quoted
// field is read whole, with doubled quotes made single. Empty fields stay,
// a trailing comma's empty last field included; "" has no field. A line whose
// quotes do not pair up is split at every comma, its quotes kept as text.
std::vector<std::string> splitCsvLine(const std::string& line);

// How a line's quotes pair up: Paired (or none), Open (the line ends inside a
// quoted field, whose record may go on past the line end) or Stray (a closing
// quote followed by neither a comma nor the line's end).
enum class CsvQuotes { Paired, Open, Stray };
CsvQuotes csvQuotes(const std::string& line);

// splitCsvLine into `fields`, which is cleared first; a caller splitting many
// lines keeps one vector and so its capacity.
void splitCsvLine(const std::string& line, std::vector<std::string>& fields);

}  // namespace tavrelon
