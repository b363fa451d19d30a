// The portable part of the process services: the owning process record.
#include <utility>

#include "platform/platform.h"

namespace tavrelon::platform {

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
