// The portable part of the process services: the owning process record and
// the start of a process, whose path must name a file.
#include <string>
#include <utility>

#include "platform/files_backend.h"
#include "platform/process.h"
#include "platform/process_backend.h"

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

bool startProcess(const ProcessLaunch& launch, ProcessRecord& record, std::uint32_t& errorCode) {
  record = ProcessRecord();
  if (backend::namesNoFile(launch.path) || backend::namesNoFile(launch.workingDirectory)) {
    errorCode = backend::fileNotFoundError();
    return false;
  }
  return backend::startProcess(launch, record, errorCode);
}

}  // namespace tavrelon::platform
