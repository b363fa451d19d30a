// Line-based text handling with the same bytes on every platform: the
// configuration file is read as lines.
#pragma once

#include <string>
#include <vector>

namespace tavrelon {

// Splits `content` into lines at each CR LF, lone LF or lone CR; a last line
// without a line end is still a line.
std::vector<std::string> splitLines(const std::string& content);

// Reads the file at `path` and splits it as splitLines does; false when the
// file cannot be opened or read (then `lines` is left empty).
bool readTextLines(const std::string& path, std::vector<std::string>& lines);

}  // namespace tavrelon
