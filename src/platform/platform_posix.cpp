// POSIX backend of the platform layer (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "platform/backend.h"
#include "platform/command_line.h"
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

using backend::namesNoFile;

// A read-only descriptor on a regular file that closes itself. The open does
// not block (a FIFO without a writer would block a plain open for ever) and
// anything but a regular file is closed again at once.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path)
      : fd_(namesNoFile(path) ? -1 : retryOnInterrupt([&] {
          return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        })) {
    struct stat info;
    if (fd_ >= 0 && (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~ReadOnlyFile() {
    if (fd_ >= 0)
      ::close(fd_);
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

bool exists(const std::string& path) {
  return !namesNoFile(path) && ::access(path.c_str(), F_OK) == 0;
}

namespace {

// Fills in what `mode` says about an entry's kind.
void setKind(mode_t mode, DirectoryEntry& entry) {
  entry.isDirectory = S_ISDIR(mode);
  entry.isFile = S_ISREG(mode);
}

}  // namespace

bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries) {
  if (namesNoFile(directory))
    return false;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr)
    return false;
  std::size_t first = entries.size();
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
  }
  ::closedir(dir);
  // readdir order is arbitrary; sort by name so ties resolve the same way each time.
  std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return true;
}

std::string resolvedPath(const std::string& path) {
  if (namesNoFile(path))
    return std::string();
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr)
    return std::string();
  std::string result(resolved);
  std::free(resolved);
  return result;
}

bool fileIdentity(const std::string& path, FileIdentity& identity) {
  struct stat info;
  if (namesNoFile(path) || ::stat(path.c_str(), &info) != 0)
    return false;
  identity.volume = static_cast<std::uint64_t>(info.st_dev);
  identity.index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

bool fileStatus(const std::string& path, FileStatus& status) {
  if (namesNoFile(path))
    return false;
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

bool openedFileSize(const std::string& path, std::int64_t& size) {
  ReadOnlyFile file(path);
  if (!file.isOpen())
    return false;
  off_t end = ::lseek(file.fd(), 0, SEEK_END);
  if (end < 0)
    return false;
  size = static_cast<std::int64_t>(end);
  return true;
}

bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes) {
  bytes.clear();
  if (offset < 0)
    return false;
  ReadOnlyFile file(path);
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

bool replaceFileContent(const std::string& path, const std::string& content) {
  if (namesNoFile(path))
    return false;
  // The temporary's name carries "TavrelonLog" so that a log tracker never takes
  // it for a program's log, and a fixed name so that a crash leaves at most one.
  std::string temporary = path + ".TavrelonLog-new";
  int fd = retryOnInterrupt(
      [&] { return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); });
  if (fd < 0)
    return false;
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
};

// Process handles are even numbers from a counter that never repeats, so a
// closed handle stays invalid; the odd number above one is its thread handle,
// which owns nothing.
struct ProcessTable {
  std::mutex mutex;
  Handle nextProcessHandle = 2;
  std::map<Handle, Child> children;
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
  pid_t got = retryOnInterrupt([&] { return ::waitpid(child.pid, &status, WNOHANG); });
  if (got == child.pid) {
    child.reaped = true;
    child.exitCode = exitCodeOf(status);
  } else if (got < 0) {
    child.lost = true;
  }
  return child.reaped || child.lost;
}

// Reaps the let-go children that have ended since the last call, so that none
// lingers as a zombie.
void reapLetGo(ProcessTable& table) {
  auto ended = [](pid_t pid) {
    int status = 0;
    return retryOnInterrupt([&] { return ::waitpid(pid, &status, WNOHANG); }) != 0;
  };
  table.letGo.erase(std::remove_if(table.letGo.begin(), table.letGo.end(), ended),
                    table.letGo.end());
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
  if (launch.ownProcessGroup)
    flags |= POSIX_SPAWN_SETSID;
  int rc = ::posix_spawnattr_setflags(&attributes, flags);
  if (rc == 0)
    rc = ::posix_spawnattr_setsigmask(&attributes, &none);
  if (rc == 0)
    rc = ::posix_spawnattr_setsigdefault(&attributes, &all);
  return rc;
}

}  // namespace

bool startProcess(const ProcessLaunch& launch, ProcessRecord& record, std::uint32_t& errorCode) {
  if (namesNoFile(launch.path) || namesNoFile(launch.workingDirectory)) {
    errorCode = ENOENT;
    return false;
  }
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

  Handle handle = table.nextProcessHandle;
  table.nextProcessHandle += 2;
  Child& child = table.children[handle];
  child.pid = pid;
  child.leadsGroup = launch.ownProcessGroup;
  record.hProcess = handle;
  record.hThread = handle + 1;
  record.dwProcessId = static_cast<std::uint32_t>(pid);
  record.dwThreadId = static_cast<std::uint32_t>(pid);
  return true;
}

ProcessState processState(Handle hProcess, std::uint32_t& exitCode) {
  ProcessTable& table = processTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  reapLetGo(table);
  auto found = table.children.find(hProcess);
  if (found == table.children.end())
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
  auto found = table.children.find(record.hProcess);
  if (found == table.children.end())
    return;
  Child& child = found->second;
  // An ended program keeps its status, and whatever it left behind runs on.
  if (reapIfEnded(child))
    return;

  if (!child.leadsGroup || ::kill(-child.pid, SIGKILL) != 0)
    ::kill(child.pid, SIGKILL);
  int status = 0;
  pid_t got = retryOnInterrupt([&] { return ::waitpid(child.pid, &status, 0); });
  if (got != child.pid) {
    child.lost = true;
    return;
  }
  child.reaped = true;
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
  auto found = table.children.find(handle);
  if (found == table.children.end())
    return;
  if (!reapIfEnded(found->second))
    table.letGo.push_back(found->second.pid);
  table.children.erase(found);
}

}  // namespace tavrelon::platform
