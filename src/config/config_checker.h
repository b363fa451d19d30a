// The mistakes of a configuration that the reader passes over in silence,
// each said as one console line at start.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/config_reader.h"

namespace tavrelon {

// At most this many warnings are listed one by one; one more line counts the rest.
constexpr std::size_t kMaxListedConfigWarnings = 20;

// One line "Warning: TavrelonConfig.ini line N: ..." for each mistake in
// `entries`, in line order: an unknown key (with the nearest known key where
// one is close), a TimeOutMin that is no whole number, a key given twice in one
// program block, a TavrelonLog that its block's ApplicationPath replaces, and
// an ApplicationLogDir that is no readable folder now. Empty for a clean file.
std::vector<std::string> configWarnings(const std::vector<ConfigEntry>& entries);

// Reads the file at `path` as readConfigFile does and puts its warnings, as
// configWarnings gives them, into `warnings` (none when it cannot be opened).
std::vector<ProgramConfig> readConfigFile(const std::string& path,
                                          const StatusLogDefaults& defaults,
                                          std::vector<std::string>& warnings);

}  // namespace tavrelon
