// POSIX paths: which system this is, and the running executable.
#include "platform/paths.h"
#include "platform/posix/support.h"

namespace tavrelon::platform {

bool isWindows() {
  return false;
}

std::string executablePath() {
  // readlink does not say how long the link is: grow the buffer until it fits.
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (length < 0)
      return std::string();
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace tavrelon::platform
