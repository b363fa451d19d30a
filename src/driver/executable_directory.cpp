#include "driver/executable_directory.h"

#include "platform/platform.h"

namespace tavrelon {

std::string directoryOf(const std::string& path) {
  std::string::size_type last = path.rfind(platform::separator());
  return last == std::string::npos ? path : path.substr(0, last);
}

std::string executableDirectory() { return directoryOf(platform::executablePath()); }

}  // namespace tavrelon
