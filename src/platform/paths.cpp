// The portable path helpers: every split and join of a path at its separator.
#include "platform/paths.h"

namespace tavrelon::platform {

char separator() {
  return isWindows() ? '\\' : '/';
}

std::size_t finalNameOffset(const std::string& path, bool alsoSlash) {
  const std::string separators =
      alsoSlash ? std::string{separator(), '/'} : std::string{separator()};
  const std::string::size_type last = path.find_last_of(separators);
  return last == std::string::npos ? 0 : last + 1;
}

std::string finalNameOf(const std::string& path, bool alsoSlash) {
  return path.substr(finalNameOffset(path, alsoSlash));
}

std::string directoryOf(const std::string& path) {
  const std::size_t name = finalNameOffset(path);
  return name == 0 ? path : path.substr(0, name - 1);
}

std::string joinPath(const std::string& directory, const std::string& name) {
  return directory + separator() + name;
}

std::string executableDirectory() {
  return directoryOf(executablePath());
}

}  // namespace tavrelon::platform
