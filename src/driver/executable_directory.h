#pragma once

#include <string>

namespace tavrelon {

// The directory of the running executable, without a trailing separator; the
// whole path when it holds no separator.
std::string executableDirectory();

// The text before the last separator of `path`; `path` itself without one.
std::string directoryOf(const std::string& path);

}  // namespace tavrelon
