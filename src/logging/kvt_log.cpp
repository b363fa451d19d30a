#include "logging/kvt_log.h"

#include <utility>

namespace tavrelon {

KVTLog::KVTLog(std::string dir, std::string statusLog, std::string evidenceDir)
    : TestLog(std::move(dir), std::move(statusLog), std::move(evidenceDir)) {}

std::int64_t KVTLog::latestLogTime() {
  return TestLog::latestLogTime();
}

// The same steps as TestLog's, through the helper both share.
std::string KVTLog::latestLogLine() {
  return readLatestLogLine();
}

std::int64_t KVTLog::latestLogSize() {
  return TestLog::latestLogSize();
}

}  // namespace tavrelon
