// What the POSIX backend's service files share: retried system calls, owned
// descriptors, and the one place where an errno becomes a file outcome.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>

#include "platform/files.h"

namespace tavrelon::platform {

// Retries a system call that was interrupted by a signal.
template <typename Call>
auto retryOnInterrupt(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// A descriptor that closes itself; -1 is none.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// `path` opened read-only; -1 with errno on failure. The open does not block:
// a FIFO without a writer would block a plain open for ever.
int openForReading(const std::string& path);

// `path` opened read-only when it is a regular file; none for anything else.
Descriptor openRegularForReading(const std::string& path);

// Writes all of `bytes` to `fd`; false on any failure.
bool writeAll(int fd, const char* bytes, std::size_t length);

// The one place where the errno of a file operation becomes an outcome. Only a
// name that reaches no file is Missing. What passes by itself is Busy: another's
// lock, a file system or network share that answers late or reconnects. All
// else is Refused, permissions (EACCES, EPERM, EROFS) above all.
FileOutcome classifyErrno(int error);

// A read that failed on `error`: its outcome; a failure (not a missing file)
// leaves its code for takeFileErrorCode.
FileOutcome outcomeOfErrno(int error);

// A write finds no folder where a read finds no file: that is no transient state.
FileOutcome writeOutcomeOfErrno(int error);

// Reaps the orphans handed to us that have ended (process.cpp); called when a
// child of ours ended (signals.cpp).
void reapEndedOrphans();

// True once we are a child subreaper (Linux): orphaned descendants are handed to us.
extern bool handedOrphans;

}  // namespace tavrelon::platform
