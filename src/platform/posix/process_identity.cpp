// Process identity on Linux: the start time in /proc/PID/stat.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files_backend.h"
#include "platform/process_identity.h"

namespace tavrelon::platform {

bool processStartMark(std::uint32_t pid, std::uint64_t& mark) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // "pid (comm) state ...": comm may hold blanks and parentheses; the start
  // time is the 20th field after it.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos)
    return false;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int i = 0; i < 20 && fields >> field; ++i) {
  }
  std::uint64_t ticks = 0;
  if (!(fields >> ticks))
    return false;
  mark = ticks;
  return true;
}

bool removeRegularFile(const std::string& path) {
  if (backend::namesNoFile(path))
    return false;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace tavrelon::platform
