#include "logging/kvt_log.h"

namespace tavrelon {

// Placeholders until the test-mode tracker lands.
KVTLog::KVTLog(std::string dir) : TestLog(std::move(dir)) {}
std::int64_t KVTLog::latestLogTime() { return TestLog::latestLogTime(); }
std::string KVTLog::latestLogLine() { return readLatestLogLine(); }
std::int64_t KVTLog::latestLogSize() { return TestLog::latestLogSize(); }

}  // namespace tavrelon
