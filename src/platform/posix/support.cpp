// The POSIX backend's shared helpers (support.h).
#include <sys/file.h>
#include <sys/stat.h>

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

}  // namespace tavrelon::platform
