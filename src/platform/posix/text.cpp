// POSIX text: bytes stay as they are; arguments are argv's own.
#include <algorithm>

#include "platform/command_line.h"
#include "platform/posix/support.h"
#include "platform/text.h"

namespace tavrelon::platform {

// POSIX file names and files are bytes: nothing to convert.
std::string toAnsiCodePage(const std::string& utf8) {
  return utf8;
}

std::string fromAnsiCodePage(const std::string& ansi) {
  return ansi;
}

std::vector<std::string> programArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + std::max(argc, 0));
}

}  // namespace tavrelon::platform
