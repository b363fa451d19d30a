// The power service on Linux: the boot time from /proc/stat, and the login
// manager's sleep inhibitor over the system bus where the build has sd-bus.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#if TAVRELON_SLEEP_INHIBITOR
#include <systemd/sd-bus.h>
#endif

#include "platform/power.h"

namespace tavrelon::platform {

bool backend::systemBootTime(std::int64_t& secondsSince1970) {
  std::ifstream stat("/proc/stat");
  std::string line;
  while (std::getline(stat, line)) {
    if (line.compare(0, 6, "btime ") != 0)
      continue;
    std::istringstream value(line.substr(6));
    std::int64_t seconds = 0;
    if (!(value >> seconds) || seconds <= 0)
      return false;
    secondsSince1970 = seconds;
    return true;
  }
  return false;
}

#if TAVRELON_SLEEP_INHIBITOR

namespace {

// The inhibitor held for the watchdog: the descriptor whose last copy closed
// ends it, and which request of keepAwake() may still store one.
struct Inhibitor {
  std::mutex mutex;
  int fd = -1;
  // Raised by each keepAwake() and allowSleep(): an answer for an older
  // request arrives too late and is let go at once.
  unsigned long request = 0;
  bool wanted = false;
};

// Never destroyed: a request still waiting for its answer at exit holds it.
const std::shared_ptr<Inhibitor>& inhibitor() {
  static const auto* const held = new std::shared_ptr<Inhibitor>(std::make_shared<Inhibitor>());
  return *held;
}

// How long the login manager has to answer (starting it on demand included).
constexpr std::uint64_t kAnswerWithinMicroseconds = 5'000'000;

// Asks the login manager on the system bus to block sleep and the idle action
// ("block" mode) while the returned descriptor is open; -1 where there is no
// system bus, no login manager, or it refuses. The descriptor is closed on exec.
int takeInhibitor() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0)
    return -1;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  int fd = -1;
  if (sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                     "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     "Inhibit") >= 0 &&
      sd_bus_message_append(call, "ssss", "sleep:idle", "Tavrelon", "Supervising test programs",
                            "block") >= 0 &&
      sd_bus_call(bus, call, kAnswerWithinMicroseconds, &error, &reply) >= 0) {
    int received = -1;
    // The message owns `received`: keep a copy of our own, closed on exec so
    // that no started program holds the machine awake after the watchdog.
    if (sd_bus_message_read(reply, "h", &received) >= 0 && received >= 0)
      fd = ::fcntl(received, F_DUPFD_CLOEXEC, 3);
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  sd_bus_flush_close_unref(bus);
  return fd;
}

}  // namespace

void keepAwake() {
  const std::shared_ptr<Inhibitor>& state = inhibitor();
  unsigned long request = 0;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->wanted)
      return;
    state->wanted = true;
    request = ++state->request;
  }
  // Asked on a thread of its own: a system bus that is slow to answer never
  // delays supervision, and one that does not answer leaves the machine's
  // own settings in force, silently. The thread starts with every signal
  // blocked, so that the stop and child signals stay with the watchdog's own.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  try {
    std::thread([state, request] {
      const int fd = takeInhibitor();
      if (fd < 0)
        return;
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->wanted && state->request == request && state->fd < 0)
        state->fd = fd;
      else
        ::close(fd);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: no inhibitor, as without a bus.
    std::lock_guard<std::mutex> lock(state->mutex);
    state->wanted = false;
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void allowSleep() {
  const std::shared_ptr<Inhibitor>& state = inhibitor();
  std::lock_guard<std::mutex> lock(state->mutex);
  state->wanted = false;
  ++state->request;
  if (state->fd >= 0)
    ::close(state->fd);
  state->fd = -1;
}

#else

// Built without sd-bus: no inhibitor can be asked for, and the machine's own
// settings hold.
void keepAwake() {}

void allowSleep() {}

#endif

}  // namespace tavrelon::platform
