// POSIX signals and the watchdog's own process set-up: stop requests, the
// wake pipes that interrupt waits, standard output.
#include <poll.h>
#include <sys/file.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>

#include <algorithm>
#include <mutex>

#include "platform/clock_backend.h"
#include "platform/posix/support.h"
#include "platform/watchdog_process.h"

namespace tavrelon::platform {

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

bool handedOrphans = false;  // we are a child subreaper (Linux)

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

}  // namespace tavrelon::platform
