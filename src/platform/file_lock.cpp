// The portable part of the file lock; the backends supply the single system calls.
#include <cstdint>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/files_backend.h"

namespace tavrelon::platform {

namespace {

// Pause between two tries of a lock that someone else holds.
constexpr std::int64_t kLockRetryPauseMs = 50;

}  // namespace

FileLock::FileLock(FileLock&& other) noexcept
    : handle_(other.handle_), path_(std::move(other.path_)) {
  other.handle_ = 0;
  other.path_.clear();
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    backend::releaseFileLock(handle_, path_);
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    other.handle_ = 0;
    other.path_.clear();
  }
  return *this;
}

FileLock::~FileLock() {
  backend::releaseFileLock(handle_, path_);
}

FileOutcome lockFileExclusive(const std::string& path, std::int64_t timeoutMs, FileLock& lock,
                              LockFault* fault, const std::string& like) {
  lock = FileLock();
  LockFault why = LockFault::None;
  FileOutcome outcome = FileOutcome::Refused;
  std::uintptr_t handle = 0;
  // Non-blocking tries with short pauses rather than one blocking call: a
  // blocking flock cannot time out, and the pauses go through
  // sleepMilliseconds, so tests can shorten the wait. The file stays open
  // between tries: on Windows the close of a delete-on-close handle starts the
  // file's deletion.
  for (std::int64_t waited = 0, reopened = 0;
       !backend::namesNoFile(path) && !backend::namesNoFile(like);) {
    if (handle == 0) {
      bool notAFile = false;
      handle = backend::openLockFile(path, like, outcome, notAFile);
      // An open that stays Busy (a Windows lock file pending deletion; or
      // access denied, which looks the same) is said as such if it outlasts the wait.
      why = notAFile ? LockFault::NotAFile : LockFault::CannotOpen;
    }
    if (handle != 0) {
      outcome = backend::tryLockOnce(handle);
      why = outcome == FileOutcome::Refused ? LockFault::CannotOpen : LockFault::None;
      if (outcome == FileOutcome::Done) {
        if (backend::lockIsAtPath(handle, path)) {
          lock = FileLock(std::exchange(handle, 0), path);
          break;
        }
        // Its holder removed it meanwhile, or someone replaced it: let it go
        // (a lock not held never removes the file) and open the path again.
        backend::releaseFileLock(std::exchange(handle, 0), std::string());
        outcome = FileOutcome::Busy;
        if (++reopened % 4 != 0)
          continue;
      }
    }
    if (outcome != FileOutcome::Busy || waited >= timeoutMs)
      break;
    sleepMilliseconds(kLockRetryPauseMs);
    waited += kLockRetryPauseMs;
  }
  backend::releaseFileLock(handle, std::string());
  // A lock file that could not be made (no such folder, none to write in) is
  // no fault of its own: the log cannot be written there either.
  if (why == LockFault::CannotOpen && !backend::exists(path))
    why = LockFault::None;
  if (fault != nullptr)
    *fault = outcome == FileOutcome::Done ? LockFault::None : why;
  return outcome;
}

}  // namespace tavrelon::platform
