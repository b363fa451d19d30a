// POSIX backend of the platform layer (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/platform.h"

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

// A read-only descriptor that closes itself.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path)
      : fd_(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); })) {}
  ~ReadOnlyFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Writes all of `bytes` to `fd`; false on any failure.
bool writeAll(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    ssize_t written = retryOnInterrupt([&] { return ::write(fd, bytes, length); });
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

std::mutex& sleepHookMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(std::int64_t)>& sleepHook() {
  static std::function<void(std::int64_t)> hook;
  return hook;
}

}  // namespace

char separator() { return '/'; }

std::string executablePath() {
  // readlink does not say how long the link is: grow the buffer until it fits.
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", &buffer[0], buffer.size());
    if (length < 0) return std::string();
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return false;
  std::size_t first = entries.size();
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      // Some file systems do not fill d_type; a link to a directory counts as one,
      // as it would on Windows through a junction.
      struct stat info;
      isDirectory = ::fstatat(::dirfd(dir), name, &info, 0) == 0 && S_ISDIR(info.st_mode);
    }
    entries.push_back(DirectoryEntry{name, isDirectory});
  }
  ::closedir(dir);
  // readdir order is arbitrary; sort by name so ties resolve the same way each time.
  std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return true;
}

bool fileStatus(const std::string& path, FileStatus& status) {
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

bool readFile(const std::string& path, std::string& content) {
  ReadOnlyFile file(path);
  if (!file.isOpen()) return false;
  content.clear();
  char buffer[65536];
  for (;;) {
    ssize_t got = retryOnInterrupt([&] { return ::read(file.fd(), buffer, sizeof buffer); });
    if (got < 0) return false;
    if (got == 0) return true;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

bool openedFileSize(const std::string& path, std::int64_t& size) {
  ReadOnlyFile file(path);
  if (!file.isOpen()) return false;
  off_t end = ::lseek(file.fd(), 0, SEEK_END);
  if (end < 0) return false;
  size = static_cast<std::int64_t>(end);
  return true;
}

bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes) {
  bytes.clear();
  if (offset < 0) return false;
  ReadOnlyFile file(path);
  if (!file.isOpen()) return false;
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
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return true;
}

bool replaceFileContent(const std::string& path, const std::string& content) {
  // The temporary's name carries "TavrelonLog" so that a log tracker never takes
  // it for a program's log, and a fixed name so that a crash leaves at most one.
  std::string temporary = path + ".TavrelonLog-new";
  int fd = retryOnInterrupt([&] {
    return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  });
  if (fd < 0) return false;
  bool written = writeAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  written = (::close(fd) == 0) && written;
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself durable.
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

std::string localTime(const char* pattern) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char buffer[256];
  std::size_t length = std::strftime(buffer, sizeof buffer, pattern, &local);
  return std::string(buffer, length);
}

void sleepMilliseconds(std::int64_t milliseconds) {
  std::function<void(std::int64_t)> hook;
  {
    std::lock_guard<std::mutex> lock(sleepHookMutex());
    hook = sleepHook();
  }
  if (hook) {
    hook(milliseconds);
    return;
  }
  if (milliseconds <= 0) return;
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>((milliseconds % 1000) * 1000000)};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void setSleepHookForTesting(std::function<void(std::int64_t)> hook) {
  std::lock_guard<std::mutex> lock(sleepHookMutex());
  sleepHook() = std::move(hook);
}

bool runningUnderWineForTesting() { return false; }

// ---------------------------------------------------------------- processes
// (placeholders until the process backend lands)

bool startProcess(const ProcessLaunch&, ProcessRecord&, std::uint32_t& errorCode) {
  errorCode = ENOSYS;
  return false;
}

ProcessState processState(Handle, std::uint32_t&) { return ProcessState::Unknown; }

void terminateProcess(const ProcessRecord&) {}

void closeHandle(Handle) {}

}  // namespace tavrelon::platform
