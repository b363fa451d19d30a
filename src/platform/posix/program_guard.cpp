// The guardian of the program groups on POSIX: a child forked from the watchdog
// that holds one end of a socket pair. The watchdog writes each group it starts
// into the socket; its end, however it comes, closes the other end, and the
// guardian then ends every group whose leader still runs.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/program_guard.h"

namespace tavrelon::platform::backend {

namespace {

// Between fork and _exit the guardian may call only async-signal-safe
// functions: it keeps its groups in a fixed array, filled before the fork.
constexpr int kMaxGroups = 4096;

// True while `group`'s leader runs (or is an unreaped zombie) and still leads it.
bool leaderRuns(pid_t group) {
  return ::kill(group, 0) == 0 && ::getpgid(group) == group;
}

[[noreturn]] void guard(int readEnd, int openLimit) {
  // Stop signals meant for the watchdog's terminal group are not for us: we
  // end when the watchdog does.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2})
    ::sigaction(number, &ignore, nullptr);
  // Hold nothing of the watchdog's: no log, no lock, no terminal output.
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) {
    if (null >= 0 && fd != readEnd)
      ::dup2(null, fd);
  }
  for (int fd = 3; fd < openLimit; ++fd) {
    if (fd != readEnd)
      ::close(fd);
  }
  static pid_t groups[kMaxGroups];
  int count = 0;
  std::uint32_t leader = 0;
  for (;;) {
    const ssize_t got = ::recv(readEnd, &leader, sizeof leader, MSG_WAITALL);
    if (got < 0 && errno == EINTR)
      continue;
    if (got != static_cast<ssize_t>(sizeof leader))
      break;  // end of file: the watchdog has ended
    if (count == kMaxGroups) {
      // Full: forget the groups whose leader has ended.
      int kept = 0;
      for (int i = 0; i < count; ++i) {
        if (leaderRuns(groups[i]))
          groups[kept++] = groups[i];
      }
      count = kept;
    }
    if (count < kMaxGroups)
      groups[count++] = static_cast<pid_t>(leader);
  }
  for (int i = 0; i < count; ++i) {
    if (leaderRuns(groups[i]))
      ::kill(-groups[i], SIGKILL);
  }
  ::_exit(0);
}

std::atomic<pid_t> guardian{0};

// The watchdog's end of the guardian's socket; -1 until the first group, or when no
// guardian could be started (the programs then run as before, unguarded).
int startGuardian() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    return -1;
  const long limit = ::sysconf(_SC_OPEN_MAX);
  const int openLimit = limit > 0 && limit < 65536 ? static_cast<int>(limit) : 65536;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ends[1]);
    guard(ends[0], openLimit);
  }
  ::close(ends[0]);
  guardian = pid > 0 ? pid : 0;
  if (pid < 0) {
    ::close(ends[1]);
    return -1;
  }
  return ends[1];
}

}  // namespace

std::uint32_t guardianProcessId() {
  return static_cast<std::uint32_t>(guardian.load());
}

void guardProcessGroup(std::uint32_t leader) {
  static std::mutex mutex;
  static int writeEnd = -1;
  static bool tried = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (!tried) {
    tried = true;
    writeEnd = startGuardian();
  }
  if (writeEnd < 0)
    return;
  // A guardian gone early (EPIPE, without the signal) only leaves the
  // programs unguarded.
  ssize_t written;
  do {
    written = ::send(writeEnd, &leader, sizeof leader, MSG_NOSIGNAL);
  } while (written < 0 && errno == EINTR);
}

}  // namespace tavrelon::platform::backend
