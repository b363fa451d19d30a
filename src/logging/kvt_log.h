// Test-mode log tracker: the same answers as TestLog, through its own overrides.
#pragma once

#include <string>

#include "logging/log_tracker.h"

namespace tavrelon {

class KVTLog : public TestLog {
 public:
  // Runs the TestLog construction (5000 ms wait, first search) on `logDir`,
  // leaving out the status log at `statusLogPath` (may be empty).
  explicit KVTLog(std::string logDir, std::string statusLogPath = std::string(),
                  std::string evidenceDir = std::string());

  std::int64_t latestLogTime() override;
  std::string latestLogLine() override;
  std::int64_t latestLogSize() override;
};

}  // namespace tavrelon
