// The POSIX backend's shared helpers (support.h).
#include <sys/file.h>
#include <sys/stat.h>

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

FileOutcome classifyErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return FileOutcome::Missing;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EBUSY:
    case ETXTBSY:
    case EINTR:
    case EIO:
    case ESTALE:
    case ETIMEDOUT:
    case ENOLCK:
    case ENETDOWN:
    case ENETUNREACH:
    case ENETRESET:
    case ECONNABORTED:
    case ECONNRESET:
    case EHOSTDOWN:
    case EHOSTUNREACH:
      return FileOutcome::Busy;
    default:
      return FileOutcome::Refused;
  }
}

FileOutcome outcomeOfErrno(int error) {
  return backend::readFailure(classifyErrno(error), static_cast<std::uint32_t>(error));
}

FileOutcome writeOutcomeOfErrno(int error) {
  return backend::writeFailure(classifyErrno(error), static_cast<std::uint32_t>(error));
}

}  // namespace tavrelon::platform
