// Reader of TavrelonConfig.ini: "key: value" lines, "#" comments, program
// blocks begun by ApplicationPath.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "config/program_config.h"

namespace tavrelon {

// What names a record's default status log besides the file itself.
struct StatusLogDefaults {
  std::string directory;               // the watchdog's own directory, where they lie
  std::function<std::string()> stamp;  // the local time "%Y%m%d%H%M%S", asked anew for
                                       // each ApplicationPath entry as it is applied
};

// One entry line of the configuration file, split and trimmed as the reader
// applies it.
struct ConfigEntry {
  std::string key;
  std::string value;
  std::size_t line = 0;   // its line number in the file, from 1
  bool hasColon = false;  // false: key and value are both the whole line
};

// The entry lines of the file at `path` in file order (comments and empty lines
// left out); false, with no entries, when the file cannot be opened.
bool readConfigEntries(const std::string& path, std::vector<ConfigEntry>& entries);

// The records that `entries` give, as readConfigFile describes.
std::vector<ProgramConfig> recordsOf(const std::vector<ConfigEntry>& entries,
                                     const StatusLogDefaults& defaults);

// Reads the configuration file at `path` into one record per program block, in
// file order, default status logs named after `defaults`. A file that cannot be
// opened gives an empty list; an opened file gives at least one record. Prints nothing.
std::vector<ProgramConfig> readConfigFile(const std::string& path,
                                          const StatusLogDefaults& defaults);

// Reads a TimeOutMin value: leading white space, an optional sign, the digits
// up to the first non-digit; 0 without digits; saturates at the 32-bit limits.
std::int32_t parseTimeOutMin(const std::string& value);

}  // namespace tavrelon
