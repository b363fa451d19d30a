// Reader of TavrelonConfig.ini: "key: value" lines, "#" comments, program
// blocks begun by ApplicationPath.
#pragma once

#include <string>
#include <vector>

#include "config/program_config.h"

namespace tavrelon {

// Reads the configuration file at `path` into one record per program block, in
// file order. A file that cannot be opened gives an empty list; an opened file
// gives at least one record. Prints nothing.
std::vector<ProgramConfig> readConfigFile(const std::string& path);

// Reads a TimeOutMin value: leading white space, an optional sign, the digits
// up to the first non-digit; 0 without digits; saturates at the 32-bit limits.
std::int32_t parseTimeOutMin(const std::string& value);

}  // namespace tavrelon
