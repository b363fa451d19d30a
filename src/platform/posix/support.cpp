// The POSIX backend's shared helpers (support.h).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/files.h"
#include "platform/files_backend.h"
#include "platform/posix/support.h"

namespace tavrelon::platform {

int openForReading(const std::string& path) {
  return retryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); });
}

Descriptor openRegularForReading(const std::string& path) {
  Descriptor file(openForReading(path));
  struct stat info;
  if (file.isOpen() && (::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)))
    return Descriptor();
  return file;
}

bool writeAll(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    ssize_t written = retryOnInterrupt([&] { return ::write(fd, bytes, length); });
    if (written <= 0)
      return false;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

backend::FileErrorTable backend::fileErrorTable() {
  static const std::uint32_t missing[] = {ENOENT, ENOTDIR, ENAMETOOLONG, ELOOP};
  // EWOULDBLOCK may be EAGAIN itself: listed twice then, which does no harm.
  static const std::uint32_t passing[] = {EAGAIN,       EWOULDBLOCK, EBUSY,       ETXTBSY,
                                          EINTR,        EIO,         ESTALE,      ETIMEDOUT,
                                          ENOLCK,       ENETDOWN,    ENETUNREACH, ENETRESET,
                                          ECONNABORTED, ECONNRESET,  EHOSTDOWN,   EHOSTUNREACH};
  return {missing, std::size(missing), passing, std::size(passing)};
}

namespace {

// Reads /proc/PID/stat ("pid (comm) state ppid pgrp session ... starttime";
// comm may hold blanks and parentheses); false when the process is gone.
bool readProcessEntry(const char* pid, ProcessEntry& entry) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char text[1024];
  ssize_t got = retryOnInterrupt([&] { return ::read(fd, text, sizeof text - 1); });
  ::close(fd);
  if (got <= 0)
    return false;
  text[got] = '\0';
  const char* end = std::strrchr(text, ')');
  int parent = 0, group = 0, session = 0;
  long long start = -1;
  // Fields 3 to 6, then the start time (22); the fields between are skipped.
  if (end == nullptr ||
      std::sscanf(end + 1,
                  " %c %d %d %d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %lld",
                  &entry.state, &parent, &group, &session, &start) < 4) {
    return false;
  }
  entry.pid = static_cast<pid_t>(std::atoi(pid));
  entry.parent = static_cast<pid_t>(parent);
  entry.group = static_cast<pid_t>(group);
  entry.session = static_cast<pid_t>(session);
  entry.startTicks = start;
  return true;
}

}  // namespace

std::vector<ProcessEntry> allProcesses() {
  std::vector<ProcessEntry> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr)
    return found;
  while (dirent* entry = ::readdir(proc)) {
    ProcessEntry process;
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' &&
        readProcessEntry(entry->d_name, process)) {
      found.push_back(process);
    }
  }
  ::closedir(proc);
  return found;
}

}  // namespace tavrelon::platform
