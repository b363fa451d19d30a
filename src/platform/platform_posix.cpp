// POSIX backend of the platform layer (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <utility>

#include "platform/backend.h"
#include "platform/command_line.h"
#include "platform/evidence_backend.h"
#include "platform/platform.h"
#include "platform/program_guard.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

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
int openForReading(const std::string& path) {
  return retryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); });
}

// `path` opened read-only when it is a regular file; none for anything else.
Descriptor openRegularForReading(const std::string& path) {
  Descriptor file(openForReading(path));
  struct stat info;
  if (file.isOpen() && (::fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)))
    return Descriptor();
  return file;
}

// Writes all of `bytes` to `fd`; false on any failure.
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

}  // namespace

char separator() {
  return '/';
}

bool isWindows() {
  return false;
}

std::string executablePath() {
  // readlink does not say how long the link is: grow the buffer until it fits.
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (length < 0)
      return std::string();
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// POSIX file names and files are bytes: nothing to convert.
std::string toAnsiCodePage(const std::string& utf8) {
  return utf8;
}

std::string fromAnsiCodePage(const std::string& ansi) {
  return ansi;
}

std::vector<std::string> programArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + std::max(argc, 0));
}

namespace {

// Fills in what `mode` says about an entry's kind.
void setKind(mode_t mode, DirectoryEntry& entry) {
  entry.isDirectory = S_ISDIR(mode);
  entry.isFile = S_ISREG(mode);
}

}  // namespace

bool backend::listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                            bool* brokenOff) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr)
    return false;
  std::size_t first = entries.size();
  // readdir tells its end from an error only by errno.
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
      continue;
    DirectoryEntry item;
    item.name = name;
    unsigned char type = entry->d_type;
    struct stat info;
    if (type == DT_UNKNOWN) {
      // Some file systems do not fill d_type: ask, without following a link.
      if (::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(info.st_mode))
          type = DT_LNK;
        else
          setKind(info.st_mode, item);
      }
    } else {
      item.isDirectory = type == DT_DIR;
      item.isFile = type == DT_REG;
    }
    if (type == DT_LNK) {
      // A link counts as what it points to; a dangling one is neither kind.
      item.isLink = true;
      if (::fstatat(::dirfd(dir), name, &info, 0) == 0)
        setKind(info.st_mode, item);
    }
    entries.push_back(std::move(item));
    // The status queries above may set errno; only readdir's own counts.
    errno = 0;
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) {
    // Half a folder must not pass for all of it.
    entries.resize(first);
    if (brokenOff != nullptr)
      *brokenOff = true;
    return false;
  }
  // readdir order is arbitrary; sort by name so ties resolve the same way each time.
  std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return true;
}

std::string backend::resolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr)
    return std::string();
  std::string result(resolved);
  std::free(resolved);
  return result;
}

bool backend::fileIdentity(const std::string& path, FileIdentity& identity) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0)
    return false;
  identity.volume = static_cast<std::uint64_t>(info.st_dev);
  identity.index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

bool backend::fileStatus(const std::string& path, FileStatus& status) {
  struct statx info;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    return false;
  }
  status.modificationTime = info.stx_mtime.tv_sec;
  // st_ctime is the inode change time on Linux, not a creation time: use the
  // birth time where the file system records it, else the modification time.
  status.creationTime =
      (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime.tv_sec : info.stx_mtime.tv_sec;
  status.size = static_cast<std::int64_t>(info.stx_size);
  return true;
}

bool backend::readFile(const std::string& path, std::string& content) {
  const Descriptor file = openRegularForReading(path);
  if (!file.isOpen())
    return false;
  content.clear();
  // Room for the whole file up front, so that a large file is not copied over
  // and over while the string grows; the loop still reads to the real end.
  struct stat info;
  if (::fstat(file.fd(), &info) == 0 && info.st_size > 0) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t got = retryOnInterrupt([&] { return ::read(file.fd(), buffer, sizeof buffer); });
    if (got < 0)
      return false;
    if (got == 0)
      return true;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

bool backend::openedFileSize(const std::string& path, std::int64_t& size) {
  const Descriptor file = openRegularForReading(path);
  if (!file.isOpen())
    return false;
  off_t end = ::lseek(file.fd(), 0, SEEK_END);
  if (end < 0)
    return false;
  size = static_cast<std::int64_t>(end);
  return true;
}

bool backend::readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                            std::string& bytes) {
  const Descriptor file = openRegularForReading(path);
  if (!file.isOpen())
    return false;
  bytes.resize(length);
  std::size_t done = 0;
  while (done < length) {
    ssize_t got = retryOnInterrupt([&] {
      return ::pread(file.fd(), &bytes[done], length - done, static_cast<off_t>(offset + done));
    });
    if (got < 0) {
      bytes.clear();
      return false;
    }
    if (got == 0)
      break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return true;
}

namespace {

// The one place where the errno of a file operation becomes an outcome. Only a
// name that reaches no file is Missing. What passes by itself is Busy: another's
// lock, a file system or network share that answers late or reconnects. All
// else is Refused, permissions (EACCES, EPERM, EROFS) above all.
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

// A read that failed on `error`: its outcome; a failure (not a missing file)
// leaves its code for takeFileErrorCode.
FileOutcome outcomeOfErrno(int error) {
  const FileOutcome outcome = classifyErrno(error);
  if (outcome != FileOutcome::Missing)
    backend::noteFileError(static_cast<std::uint32_t>(error));
  return outcome;
}

// A write finds no folder where a read finds no file: that is no transient state.
FileOutcome writeOutcomeOfErrno(int error) {
  backend::noteFileError(static_cast<std::uint32_t>(error));
  const FileOutcome outcome = classifyErrno(error);
  return outcome == FileOutcome::Missing ? FileOutcome::Refused : outcome;
}

// True when a kernel that protects links refuses to follow the link `link` in
// the folder `folder`: the folder is sticky and all may write it, and the link
// is neither ours nor the folder owner's (another user may have made it, or may
// turn it to another file at any time).
bool isProtectedLink(const struct stat& link, const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0 &&
         link.st_uid != ::geteuid() && link.st_uid != folder.st_uid;
}

// The file that a write to `path` reaches: `path` itself, or the final target
// when it is a symbolic link, each link checked as isProtectedLink checks it.
// `exists` tells whether something is there.
FileOutcome writeTarget(const std::string& path, std::string& target, bool& exists) {
  target = path;
  exists = false;
  std::string current = path;
  for (int hop = 0;; ++hop) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0) {
      // A dangling link names no file we could keep as a link.
      return hop == 0 && errno == ENOENT ? FileOutcome::Done : writeOutcomeOfErrno(errno);
    }
    if (!S_ISLNK(info.st_mode))
      break;
    const std::string folder = current.substr(0, finalNameOffset(current));
    struct stat folderInfo;
    if (hop == 40 || ::stat(folder.empty() ? "." : folder.c_str(), &folderInfo) != 0 ||
        isProtectedLink(info, folderInfo))
      return FileOutcome::Refused;
    // Some file systems give a link no size: room for any path then.
    std::string text(std::max<std::size_t>(static_cast<std::size_t>(info.st_size) + 1, 4096), '\0');
    const ssize_t length = ::readlink(current.c_str(), &text[0], text.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= text.size())
      return FileOutcome::Busy;  // changed since the lstat
    text.resize(static_cast<std::size_t>(length));
    current = text[0] == '/' ? text : folder + text;
  }
  if (current != path) {
    // One absolute name for the final file, its folders' links followed.
    char* resolved = ::realpath(current.c_str(), nullptr);
    if (resolved == nullptr)
      return writeOutcomeOfErrno(errno);
    target = resolved;
    std::free(resolved);
  }
  exists = true;
  return FileOutcome::Done;
}

// A new, unique temporary beside `target`, created exclusively and never
// through a link; -1 with errno on failure.
int createTemporary(const std::string& target, const std::string& tag, mode_t mode,
                    std::string& temporary) {
  const std::size_t name = finalNameOffset(target);
  const backend::TemporaryNames names(target.substr(name), tag);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = target.substr(0, name) + names.next();
    int fd = retryOnInterrupt([&] {
      return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    });
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

bool backend::exists(const std::string& path) {
  // Only a name that reaches no file is missing: a file that cannot be queried
  // now (a share that reconnects, a folder we may not search) is there.
  return ::access(path.c_str(), F_OK) == 0 || classifyErrno(errno) != FileOutcome::Missing;
}

PathKind backend::pathKind(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0)
    return PathKind::Missing;
  return S_ISREG(info.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

FileOutcome backend::readRegular(const std::string& path, std::int64_t maxBytes, bool startOnly,
                                 std::string& content) {
  const Descriptor file(openForReading(path));
  if (!file.isOpen())
    return outcomeOfErrno(errno);
  struct stat info;
  if (::fstat(file.fd(), &info) != 0)
    return outcomeOfErrno(errno);
  if (!S_ISREG(info.st_mode))
    return FileOutcome::Refused;
  return backend::readBounded(
      info.st_size, maxBytes, startOnly, content,
      [&](char* buffer, std::size_t size, FileOutcome& failure) {
        const ssize_t got = retryOnInterrupt([&] { return ::read(file.fd(), buffer, size); });
        if (got < 0)
          failure = outcomeOfErrno(errno);
        return static_cast<std::int64_t>(got);
      });
}

FileOutcome backend::replaceRegularFile(const std::string& path, const std::string& content,
                                        const std::string& temporaryTag) {
  std::string target;
  bool hasOld = false;
  FileOutcome outcome = writeTarget(path, target, hasOld);
  if (outcome != FileOutcome::Done)
    return outcome;
  struct stat old;
  if (hasOld) {
    if (::lstat(target.c_str(), &old) != 0)
      return writeOutcomeOfErrno(errno);
    if (!S_ISREG(old.st_mode))
      return FileOutcome::Refused;
    // A file its owner made read-only stays as it is.
    if (::access(target.c_str(), W_OK) != 0)
      return writeOutcomeOfErrno(errno);
  }

  std::string temporary;
  const int fd = createTemporary(target, temporaryTag, hasOld ? 0600 : 0666, temporary);
  if (fd < 0)
    return writeOutcomeOfErrno(errno);
  bool written = true;
  if (hasOld) {
    // The new file takes the old one's permission bits and, where we may, owner.
    written = ::fchmod(fd, old.st_mode & 07777) == 0;
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
      (void)ignored;
    }
  }
  written = written && writeAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  int error = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written)
    backend::beforeReplaceForTesting(target);
  // The rename replaces the very file that was checked: one swapped in meanwhile
  // (a link flipped, a file put in its place) is someone else's for now.
  struct stat now;
  if (written && hasOld &&
      (::lstat(target.c_str(), &now) != 0 || now.st_dev != old.st_dev ||
       now.st_ino != old.st_ino)) {
    written = false;
    error = EAGAIN;
  }
  if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return writeOutcomeOfErrno(error);
  }
  // Make the rename itself durable.
  const std::string directory = target.substr(0, finalNameOffset(target));
  int dirFd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return FileOutcome::Done;
}

void backend::removeStaleTemporaries(const std::string& path, const std::string& temporaryTag) {
  std::string target;
  bool exists = false;
  if (writeTarget(path, target, exists) != FileOutcome::Done)
    return;
  const std::size_t name = finalNameOffset(target);
  const std::string directory = target.substr(0, name);
  const backend::TemporaryNames names(target.substr(name), temporaryTag);
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr)
    return;
  while (dirent* entry = ::readdir(dir)) {
    if (!names.writerGone(entry->d_name))
      continue;
    struct stat info;
    if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode))
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

FileOutcome backend::recoverKeptReplacement(const std::string&, const std::string&) {
  // rename() replaces in one step: no replacement ever loses the old file first.
  return FileOutcome::Done;
}

FileOutcome backend::resolveWriteTarget(const std::string& path, std::string& target) {
  bool exists = false;
  return writeTarget(path, target, exists);
}

bool backend::processRuns(std::uint32_t processId) {
  if (processId == 0 || processId > 0x7FFFFFFF)
    return false;
  // EPERM: it runs, as another user.
  return ::kill(static_cast<pid_t>(processId), 0) == 0 || errno != ESRCH;
}

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

bool backend::localCalendarTime(std::time_t when, std::tm& local) {
  return ::localtime_r(&when, &local) != nullptr;
}

void backend::sleepForReal(std::int64_t milliseconds) {
  if (milliseconds <= 0)
    return;
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>((milliseconds % 1000) * 1000000)};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

bool runningUnderWineForTesting() {
  return false;
}

// ---------------------------------------------------------------- stop requests

namespace {

// Two self-pipes, each read end readable once its event came: a stop request,
// and a child of ours that ended (SIGCHLD). Plain ints, so the signal handlers
// may use them. Both lie above 2, so that a standard descriptor opened later
// never lands on one of them.
int wakeReadFd = -1;
int wakeWriteFd = -1;
int childReadFd = -1;
int childWriteFd = -1;

// A non-blocking, close-on-exec pipe with both ends above 2; false when none.
bool makePipeAboveStandard(int& readFd, int& writeFd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  for (int& fd : fds) {
    if (fd > 2)
      continue;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    fd = moved;
  }
  if (fds[0] < 0 || fds[1] < 0) {
    for (int fd : fds) {
      if (fd >= 0)
        ::close(fd);
    }
    return false;
  }
  readFd = fds[0];
  writeFd = fds[1];
  return true;
}

void makeWakePipes() {
  static std::once_flag once;
  std::call_once(once, [] {
    makePipeAboveStandard(wakeReadFd, wakeWriteFd);
    makePipeAboveStandard(childReadFd, childWriteFd);
  });
}

// Reads whatever the pipe holds, without blocking.
void drain(int fd) {
  char buffer[256];
  while (fd >= 0 && ::read(fd, buffer, sizeof buffer) > 0) {
  }
}

extern "C" void onStopSignal(int) {
  const int saved = errno;
  requestStop();
  errno = saved;
}

extern "C" void onChildSignal(int) {
  const int saved = errno;
  // Non-blocking: a full pipe already wakes the waiter.
  if (childWriteFd >= 0) {
    const char byte = 1;
    ssize_t ignored = ::write(childWriteFd, &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

// Opens the null device on each of 0, 1 and 2 that is closed (a daemon's
// `<&- >&-`), so that no file or pipe of ours takes a standard number and
// receives the watchdog's output or the program's.
void openClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
      continue;
    // The lowest free number is `fd` itself, as every lower one is open.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void reapEndedOrphans();

}  // namespace

void backend::wakeStopWaiters() {
  // Non-blocking: a full pipe already wakes every waiter.
  if (wakeWriteFd >= 0) {
    const char byte = 1;
    ssize_t ignored = ::write(wakeWriteFd, &byte, 1);
    (void)ignored;
  }
}

void backend::resetStopWake() {
  makeWakePipes();
  drain(wakeReadFd);
}

void backend::waitForStopWake(std::int64_t milliseconds) {
  makeWakePipes();
  if (wakeReadFd < 0) {
    sleepForReal(milliseconds);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (stopRequested())
      return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0)
      return;
    pollfd wakes[2] = {{wakeReadFd, POLLIN, 0}, {childReadFd, POLLIN, 0}};
    const nfds_t count = childReadFd >= 0 ? 2 : 1;
    if (::poll(wakes, count, static_cast<int>(std::min<std::int64_t>(left, 1000000))) <= 0)
      continue;
    // A child that ended is reaped now, not at the next poll: a program's
    // short-lived helpers handed to us must not pile up as zombies.
    if (count == 2 && wakes[1].revents != 0) {
      drain(childReadFd);
      reapEndedOrphans();
    }
    // Once a stop is requested the pipe stays full, so every later wait ends
    // at once; a byte without a stop (a reset raced it) is drained.
    if (wakes[0].revents != 0 && !stopRequested())
      drain(wakeReadFd);
  }
}

namespace {
bool handedOrphans = false;  // we are a child subreaper (Linux)
}  // namespace

void prepareWatchdogProcess() {
  openClosedStandardDescriptors();
  makeWakePipes();
  struct sigaction stop {};
  stop.sa_handler = onStopSignal;
  sigfillset(&stop.sa_mask);
  // Restarted calls: a signal never tears a status-log rewrite.
  stop.sa_flags = SA_RESTART;
  sigset_t unblock;
  sigemptyset(&unblock);
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    // A stop signal ignored when we started (SIGHUP under nohup, SIGINT in a
    // background job) is the user's explicit wish: it stays ignored.
    struct sigaction before {};
    if (::sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
      continue;
    ::sigaction(number, &stop, nullptr);
    sigaddset(&unblock, number);
  }
  // A closed output makes writes fail instead of ending us; so does a file-size
  // limit (EFBIG), and a CPU limit's warning passes. Nothing should end a
  // supervisor by the timer or user signals.
  for (int number : {SIGPIPE, SIGXFSZ, SIGXCPU, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF})
    ::signal(number, SIG_IGN);
  // A handler, not the inherited disposition: an ignored SIGCHLD (some service
  // managers leave it so) reaps our children behind our back and loses their
  // exit codes; the handler wakes the waits to reap orphans as they end.
  struct sigaction child {};
  child.sa_handler = onChildSignal;
  sigfillset(&child.sa_mask);
  child.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  ::sigaction(SIGCHLD, &child, nullptr);
  sigaddset(&unblock, SIGCHLD);
  ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
#ifdef __linux__
  handedOrphans = ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
#endif
}

void restoreWatchdogProcess() {}

bool writeStandardOutputLine(const std::string& line) {
  const std::string bytes = line + '\n';
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR)
      continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // An output that another process made non-blocking: wait until it takes more.
      pollfd ready{STDOUT_FILENO, POLLOUT, 0};
      if (::poll(&ready, 1, -1) >= 0 || errno == EINTR)
        continue;
    }
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- processes

namespace {

// What the backend knows about one started process. The pid is signalled only
// while the child is unreaped, so it can never name a stranger that reused it.
struct Child {
  pid_t pid = 0;
  bool leadsGroup = false;
  bool reaped = false;
  bool lost = false;  // reaped by someone else (SIGCHLD ignored, say): status unknown
  std::uint32_t exitCode = 0;
  int waitStatus = 0;  // as wait4 gave it once reaped, for the evidence
  struct rusage usage {};
};

struct ProcessTable : backend::HandleTable<Child> {
  // Children whose handle was closed while they ran; reaped once they end.
  std::vector<pid_t> letGo;
};

ProcessTable& processTable() {
  static ProcessTable table;
  return table;
}

std::uint32_t exitCodeOf(int status) {
  if (WIFSIGNALED(status))
    return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

// Collects the child's status if it has ended; true once it is known to be gone.
bool reapIfEnded(Child& child) {
  if (child.reaped || child.lost)
    return true;
  int status = 0;
  pid_t got = retryOnInterrupt([&] { return ::wait4(child.pid, &status, WNOHANG, &child.usage); });
  if (got == child.pid) {
    child.reaped = true;
    child.waitStatus = status;
    child.exitCode = exitCodeOf(status);
  } else if (got < 0) {
    child.lost = true;
  }
  return child.reaped || child.lost;
}

// One process as /proc/PID/stat shows it.
struct ProcessEntry {
  pid_t pid = 0;
  pid_t parent = 0;
  pid_t session = 0;
  bool zombie = false;
};

// Reads /proc/PID/stat ("pid (comm) state ppid pgrp session ..."; comm may
// hold blanks and parentheses); false when the process is gone.
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
  char state = 0;
  int parent = 0, group = 0, session = 0;
  if (end == nullptr ||
      std::sscanf(end + 1, " %c %d %d %d", &state, &parent, &group, &session) != 4) {
    return false;
  }
  entry.pid = static_cast<pid_t>(std::atoi(pid));
  entry.parent = static_cast<pid_t>(parent);
  entry.session = static_cast<pid_t>(session);
  entry.zombie = state == 'Z';
  return true;
}

// Every process the system shows now.
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

bool owns(const ProcessTable& table, pid_t pid) {
  if (std::find(table.letGo.begin(), table.letGo.end(), pid) != table.letGo.end())
    return true;
  for (const auto& [handle, child] : table.entries) {
    if (child.pid == pid && !child.reaped && !child.lost)
      return true;
  }
  return false;
}

// Reaps `pid` if it is a child of ours that the table does not own and has
// ended: an orphan handed to us, or a child we inherited from whoever exec'd us.
void reapIfStranger(const ProcessTable& table, const ProcessEntry& process, pid_t self) {
  if (process.parent != self || !process.zombie || owns(table, process.pid))
    return;
  int status = 0;
  retryOnInterrupt([&] { return ::waitpid(process.pid, &status, WNOHANG); });
}

// Reaps the let-go children and, as the subreaper, the other children of ours
// that have ended, so that none lingers as a zombie.
void reapLetGo(ProcessTable& table) {
  auto ended = [](pid_t pid) {
    int status = 0;
    return retryOnInterrupt([&] { return ::waitpid(pid, &status, WNOHANG); }) != 0;
  };
  table.letGo.erase(std::remove_if(table.letGo.begin(), table.letGo.end(), ended),
                    table.letGo.end());
  // Only the watchdog reaps children it did not start: another process using
  // this layer (a test) may have children of its own that it waits for.
  if (!handedOrphans)
    return;
  const pid_t self = ::getpid();
  for (const ProcessEntry& process : allProcesses())
    reapIfStranger(table, process, self);
}

void reapEndedOrphans() {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
}

// The program's family in `processes`: every process in one of `sessions`
// (the program's own to begin with) and every descendant of a member, whose
// session joins `sessions` in turn. Handed to us or not, a process outside
// it was not started by this program, and is never signalled for it.
std::vector<ProcessEntry> familyOf(const std::vector<ProcessEntry>& processes,
                                   std::set<pid_t>& sessions) {
  std::set<pid_t> members;
  for (bool grew = true; grew;) {
    grew = false;
    for (const ProcessEntry& process : processes) {
      if (members.count(process.pid) != 0)
        continue;
      if (sessions.count(process.session) != 0 || members.count(process.parent) != 0) {
        members.insert(process.pid);
        sessions.insert(process.session);
        grew = true;
      }
    }
  }
  std::vector<ProcessEntry> family;
  for (const ProcessEntry& process : processes) {
    if (members.count(process.pid) != 0)
      family.push_back(process);
  }
  return family;
}

// Kills every living member of the family of `sessions` and reaps the ended
// ones handed to us; false when none was left alive.
bool killFamily(const ProcessTable& table, std::set<pid_t>& sessions) {
  const pid_t self = ::getpid();
  bool any = false;
  for (const ProcessEntry& process : familyOf(allProcesses(), sessions)) {
    if (process.zombie) {
      reapIfStranger(table, process, self);
      continue;
    }
    any = true;
    ::kill(process.pid, SIGKILL);
  }
  return any;
}

// Ends the family of `sessions` until none of it is left: killing a member
// hands its own children to us in turn. Bounded to about 2 s.
void endFamily(const ProcessTable& table, std::set<pid_t>& sessions) {
  for (int round = 0; round < 200 && killFamily(table, sessions); ++round)
    backend::sleepForReal(10);
}

// The file to execute. A relative path names a file relative to our own
// current directory, not to the child's working directory.
std::string programToExecute(const ProcessLaunch& launch) {
  if (launch.workingDirectory.empty() || launch.path.empty() || launch.path[0] == '/') {
    return launch.path;
  }
  std::string buffer(4096, '\0');
  while (::getcwd(&buffer[0], buffer.size()) == nullptr) {
    if (errno != ERANGE)
      return launch.path;
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer + "/" + launch.path;
}

// The child's descriptors: stdin from /dev/null, stdout onto our stderr (our
// stdout carries only the watchdog's own lines), nothing else of ours.
int prepareFileActions(const ProcessLaunch& launch, posix_spawn_file_actions_t& actions) {
  int rc = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) {
    if (::fcntl(2, F_GETFD) >= 0) {
      rc = ::posix_spawn_file_actions_adddup2(&actions, 2, 1);
    } else {
      // Our stderr is closed: give the child a sink rather than fail the start.
      rc = ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      if (rc == 0)
        rc = ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
  }
  if (rc == 0 && !launch.workingDirectory.empty()) {
    rc = ::posix_spawn_file_actions_addchdir_np(&actions, launch.workingDirectory.c_str());
  }
  if (rc == 0)
    rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  return rc;
}

// A new session when the child is to lead a group of its own; signal mask and
// dispositions back to their defaults, whatever we block or ignore.
int prepareAttributes(const ProcessLaunch& launch, posix_spawnattr_t& attributes) {
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (launch.ownProcessGroup && backend::forcedJobAssignmentFailure() == 0)
    flags |= POSIX_SPAWN_SETSID;
  int rc = ::posix_spawnattr_setflags(&attributes, flags);
  if (rc == 0)
    rc = ::posix_spawnattr_setsigmask(&attributes, &none);
  if (rc == 0)
    rc = ::posix_spawnattr_setsigdefault(&attributes, &all);
  return rc;
}

}  // namespace

std::uint32_t backend::fileNotFoundError() {
  return ENOENT;
}

StartFailure startFailureKind(std::uint32_t errorCode) {
  switch (errorCode) {
    case EAGAIN:   // the process limit, for now
    case ENOMEM:   // memory, for now
    case ETXTBSY:  // the program file is still open for writing (being copied in)
    case EMFILE:
    case ENFILE:
      return StartFailure::Passing;
    default:
      return StartFailure::Lasting;
  }
}

bool backend::environmentVariable(const std::string& name, std::string& value) {
  const char* found = ::getenv(name.c_str());
  if (found == nullptr)
    return false;
  value = found;
  return true;
}

void backend::setEnvironmentVariable(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

std::uint32_t backend::currentProcessId() {
  return static_cast<std::uint32_t>(::getpid());
}

bool backend::startProcess(const ProcessLaunch& launch, ProcessRecord& record,
                           std::uint32_t& errorCode) {
  std::vector<std::string> arguments{launch.path};
  if (launch.withArguments) {
    for (std::string& argument : splitArguments(launch.arguments)) {
      arguments.push_back(std::move(argument));
    }
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  std::string program = programToExecute(launch);

  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  pid_t pid = 0;
  int rc = prepareFileActions(launch, actions);
  if (rc == 0)
    rc = prepareAttributes(launch, attributes);
  // glibc's posix_spawn returns the errno of a chdir or exec that failed in the
  // child, so a failed start is known here and now.
  if (rc == 0) {
    rc = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errorCode = static_cast<std::uint32_t>(rc);
    return false;
  }

  const Handle handle = table.add();
  Child& child = table.entries[handle];
  child.pid = pid;
  // The test seam's forced failure: the child stays in our group, as a Windows
  // program that could not join its job stays outside one.
  const std::uint32_t forcedFailure =
      launch.ownProcessGroup ? backend::forcedJobAssignmentFailure() : 0;
  child.leadsGroup = launch.ownProcessGroup && forcedFailure == 0;
  if (child.leadsGroup)
    backend::guardProcessGroup(static_cast<std::uint32_t>(pid));  // ended when we die
  record.hProcess = handle;
  record.dwProcessId = static_cast<std::uint32_t>(pid);
  record.jobErrorCode = forcedFailure;
  return true;
}

ProcessState processState(Handle hProcess, std::uint32_t& exitCode) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
  auto found = table.entries.find(hProcess);
  if (found == table.entries.end())
    return ProcessState::Unknown;
  Child& child = found->second;
  if (!reapIfEnded(child))
    return ProcessState::Running;
  if (child.lost)
    return ProcessState::Unknown;
  exitCode = child.exitCode;
  return ProcessState::Exited;
}

void terminateProcess(const ProcessRecord& record) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
  auto found = table.entries.find(record.hProcess);
  if (found == table.entries.end())
    return;
  Child& child = found->second;
  // An ended program keeps its status, and whatever it left behind runs on.
  if (reapIfEnded(child))
    return;

  // The program leads a session of its own: its whole family goes at once,
  // workers that left the session included while their parent still names
  // them. Without a session of its own it shares ours, and goes alone.
  std::set<pid_t> sessions{child.pid};
  // The family is taken before anything is killed: a worker's parent names it
  // only until the parent dies.
  if (child.leadsGroup) {
    killFamily(table, sessions);
    ::kill(-child.pid, SIGKILL);
  }
  ::kill(child.pid, SIGKILL);
  // At most 5 s, in real time whatever the test hook says: a child stuck in
  // the kernel stays recorded unreaped, and a later query reaps it.
  int status = 0;
  pid_t got = 0;
  for (int waited = 0; waited <= 5000; waited += 5) {
    got = retryOnInterrupt([&] { return ::wait4(child.pid, &status, WNOHANG, &child.usage); });
    if (got != 0)
      break;
    backend::sleepForReal(5);
  }
  // What the family left behind, handed to us or not, goes with it.
  if (child.leadsGroup)
    endFamily(table, sessions);
  if (got == 0)
    return;
  if (got != child.pid) {
    child.lost = true;
    return;
  }
  child.reaped = true;
  child.waitStatus = status;
  // A program that ended by itself just before the kill keeps its own code.
  bool endedByUs = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  child.exitCode = endedByUs ? 0 : exitCodeOf(status);
}

void closeHandle(Handle handle) {
  if (handle == 0)
    return;
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
  auto found = table.entries.find(handle);
  if (found == table.entries.end())
    return;
  if (!reapIfEnded(found->second))
    table.letGo.push_back(found->second.pid);
  table.entries.erase(found);
}

bool backend::endDetail(Handle hProcess, EndDetail& detail) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  const Child* child = table.find(hProcess);
  if (child == nullptr || !child->reaped)
    return false;
  detail.known = true;
  detail.signalled = WIFSIGNALED(child->waitStatus);
  detail.signal = detail.signalled ? WTERMSIG(child->waitStatus) : 0;
  detail.coreDumped = detail.signalled && WCOREDUMP(child->waitStatus);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  detail.userSeconds = seconds(child->usage.ru_utime);
  detail.kernelSeconds = seconds(child->usage.ru_stime);
  detail.peakBytes = static_cast<std::int64_t>(child->usage.ru_maxrss) * 1024;
  return true;
}

}  // namespace tavrelon::platform
