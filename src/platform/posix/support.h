// What the POSIX backend's service files share: retried system calls, owned
// descriptors, and the one place where an errno becomes a file outcome.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/files_backend.h"

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

// The errno of a file operation as an outcome: backend::classifyFileError.
// Permissions (EACCES, EPERM, EROFS) are Refused.
inline FileOutcome classifyErrno(int error) {
  return backend::classifyFileError(static_cast<std::uint32_t>(error));
}

// A read that failed on `error`: backend::readFailure.
inline FileOutcome outcomeOfErrno(int error) {
  return backend::readFailure(static_cast<std::uint32_t>(error));
}

// A write that failed on `error`: backend::writeFailure.
inline FileOutcome writeOutcomeOfErrno(int error) {
  return backend::writeFailure(static_cast<std::uint32_t>(error));
}

// One process as /proc/PID/stat shows it.
struct ProcessEntry {
  pid_t pid = 0;
  pid_t parent = 0;
  pid_t group = 0;
  pid_t session = 0;
  char state = 0;             // 'R', 'S', 'Z' (zombie), 'X' (dead), ...
  long long startTicks = -1;  // since the machine started, in clock ticks; -1 unknown
  bool zombie() const { return state == 'Z'; }
};

// Every process the system shows now, in /proc's order.
std::vector<ProcessEntry> allProcesses();

// Reaps the orphans handed to us that have ended (process.cpp); called when a
// child of ours ended (signals.cpp).
void reapEndedOrphans();

// True once we are a child subreaper (Linux): orphaned descendants are handed to us.
extern bool handedOrphans;

}  // namespace tavrelon::platform
