// POSIX lock files: flock on a descriptor, the lock file removed while held.
#include <sys/file.h>
#include <sys/stat.h>

#include "platform/files.h"
#include "platform/files_backend.h"
#include "platform/paths.h"
#include "platform/posix/support.h"

namespace tavrelon::platform {

// Lock handles are descriptor + 1, so that 0 stays "no lock".
std::uintptr_t backend::openLockFile(const std::string& path, const std::string& like,
                                     FileOutcome& outcome, bool& notAFile) {
  outcome = FileOutcome::Refused;
  notAFile = false;
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = retryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0666); });
  struct stat info;
  if (fd >= 0) {
    // Whoever may write the log may take its lock, whatever our umask: the
    // log's own permission bits, and its group where we may give it.
    if (!like.empty() && ::stat(like.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      const int ignored = ::fchown(fd, static_cast<uid_t>(-1), info.st_gid);
      (void)ignored;
      ::fchmod(fd, info.st_mode & 0666);
    }
  } else if (errno == EEXIST) {
    fd = retryOnInterrupt([&] { return ::open(path.c_str(), O_RDWR | flags); });
    // A lock file another user created may be read-only to us; flock works on it still.
    if (fd < 0 && errno == EACCES)
      fd = retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | flags); });
    // Its holder removed it between the two opens.
    if (fd < 0 && errno == ENOENT)
      errno = EAGAIN;
  }
  if (fd < 0) {
    const int error = errno;
    // A directory, FIFO or link has the name (O_NOFOLLOW refuses a link).
    notAFile = ::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
    outcome = notAFile ? FileOutcome::Refused : writeOutcomeOfErrno(error);
    return 0;
  }
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    notAFile = true;
    ::close(fd);
    return 0;
  }
  outcome = FileOutcome::Done;
  return static_cast<std::uintptr_t>(fd) + 1;
}

FileOutcome backend::tryLockOnce(std::uintptr_t handle) {
  const int fd = static_cast<int>(handle - 1);
  if (retryOnInterrupt([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0)
    return FileOutcome::Done;
  return errno == EWOULDBLOCK ? FileOutcome::Busy : FileOutcome::Refused;
}

bool backend::lockIsAtPath(std::uintptr_t handle, const std::string& path) {
  struct stat open;
  struct stat named;
  return ::fstat(static_cast<int>(handle - 1), &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void backend::releaseFileLock(std::uintptr_t handle, const std::string& path) {
  if (handle == 0)
    return;
  // Removed while still held, so whoever opened it meanwhile finds, once it
  // has the lock, that the path no longer names it and opens the path anew.
  // A path that names another file (someone removed ours) is left alone.
  if (!path.empty() && lockIsAtPath(handle, path))
    ::unlink(path.c_str());
  // Closing the only descriptor of the open file releases its flock.
  ::close(static_cast<int>(handle - 1));
}

}  // namespace tavrelon::platform
