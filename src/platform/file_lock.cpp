// The portable part of the file lock; the backends supply the single system calls.
#include <cstdint>
#include <string>

#include "platform/backend.h"
#include "platform/platform.h"

namespace tavrelon::platform {

namespace {

// Pause between two tries of a lock that someone else holds.
constexpr std::int64_t kLockRetryPauseMs = 50;

}  // namespace

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    backend::releaseFileLock(handle_);
    handle_ = other.handle_;
    other.handle_ = 0;
  }
  return *this;
}

FileLock::~FileLock() {
  backend::releaseFileLock(handle_);
}

FileOutcome lockFileExclusive(const std::string& path, std::int64_t timeoutMs, FileLock& lock) {
  lock = FileLock();
  FileOutcome outcome = FileOutcome::Refused;
  if (backend::namesNoFile(path))
    return outcome;
  const std::uintptr_t handle = backend::openLockFile(path, outcome);
  if (handle == 0)
    return outcome;
  FileLock opened(handle);
  // Non-blocking tries with short pauses rather than one blocking call: a
  // blocking flock cannot time out, and the pauses go through
  // sleepMilliseconds, so tests can shorten the wait.
  for (std::int64_t waited = 0;; waited += kLockRetryPauseMs) {
    outcome = backend::tryLockOnce(handle);
    if (outcome != FileOutcome::Busy)
      break;
    if (waited >= timeoutMs)
      return FileOutcome::Busy;
    sleepMilliseconds(kLockRetryPauseMs);
  }
  if (outcome == FileOutcome::Done)
    lock = std::move(opened);
  return outcome;
}

}  // namespace tavrelon::platform
