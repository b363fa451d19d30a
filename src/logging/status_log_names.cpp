#include "logging/status_log_names.h"

#include "platform/files.h"
#include "platform/paths.h"

namespace tavrelon {

std::string statusLogLockPath(const std::string& target) {
  const std::size_t name = platform::finalNameOffset(target, platform::isWindows());
  return target.substr(0, name) + platform::sideFileName(target.substr(name), kStatusLogTag) +
         "-lock";
}

bool isStatusLogSideFile(const std::string& name) {
  return name.find(std::string(".") + kStatusLogTag + "-") != std::string::npos;
}

std::string unwrittenRowsPath(const std::string& directory, const std::string& logPath) {
  // A '/' ends a folder name on Windows too.
  return platform::joinPath(
      directory, std::string(kStatusLogTag) + "-unwritten_" + platform::finalNameOf(logPath, true));
}

bool namesStatusLogFile(const std::string& path, std::size_t below) {
  return path.find(kStatusLogTag, below) != std::string::npos;
}

}  // namespace tavrelon
