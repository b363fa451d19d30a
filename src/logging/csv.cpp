#include "logging/csv.h"

namespace tavrelon {

// Placeholders until the CSV helpers land.
std::string quoteCsvField(const std::string& field) { return field; }
std::vector<std::string> splitCsvLine(const std::string&) { return {}; }

}  // namespace tavrelon
