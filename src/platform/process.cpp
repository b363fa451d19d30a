// The portable part of the process services: the owning process record and
// the nesting mark.
#include <string>
#include <utility>

#include "platform/backend.h"
#include "platform/platform.h"

namespace tavrelon::platform {

std::int32_t markSupervisionDepth() {
  const char* const name = "TAVRELON_DEPTH";
  std::string text;
  std::int32_t depth = 0;
  if (backend::environmentVariable(name, text) && !text.empty() && text.size() <= 6 &&
      text.find_first_not_of("0123456789") == std::string::npos) {
    depth = static_cast<std::int32_t>(std::stol(text));
  }
  backend::setEnvironmentVariable(name, std::to_string(depth + 1));
  return depth;
}

ProcessRecord::ProcessRecord(ProcessRecord&& other) noexcept
    : hProcess(std::exchange(other.hProcess, 0)),
      dwProcessId(std::exchange(other.dwProcessId, 0)),
      jobErrorCode(std::exchange(other.jobErrorCode, 0)) {}

ProcessRecord& ProcessRecord::operator=(ProcessRecord&& other) noexcept {
  if (this != &other) {
    closeHandle(hProcess);
    hProcess = std::exchange(other.hProcess, 0);
    dwProcessId = std::exchange(other.dwProcessId, 0);
    jobErrorCode = std::exchange(other.jobErrorCode, 0);
  }
  return *this;
}

ProcessRecord::~ProcessRecord() {
  closeHandle(hProcess);
}

}  // namespace tavrelon::platform
