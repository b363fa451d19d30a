#include "platform/command_line.h"

namespace tavrelon::platform {

// Placeholders until the command-line rules land.
std::vector<std::string> splitArguments(const std::string&) { return {}; }
std::string buildCommandLine(const std::string& path, const std::string& arguments) {
  return path + " " + arguments;
}

}  // namespace tavrelon::platform
