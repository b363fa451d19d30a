// Plays the login manager on a private bus for the sleep inhibitor's test: owns
// org.freedesktop.login1 and answers Manager.Inhibit with the write end of a
// pipe, as the real one does, then tells when every copy of it has closed.
//
//   login_manager_stand_in BUS_ADDRESS REPORT
//
// Lines appended to REPORT: its pid and "ready" once on the bus; per request
// "inhibit WHAT|WHO|WHY|MODE" and "pipe INODE" (the pipe's inode, as
// /proc/PID/fd shows it: pipe:[INODE]); "released" once the write end is
// closed everywhere. Runs until it is ended by a signal.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

std::string reportPath;
int readEnd = -1;

void report(const std::string& line) {
  std::ofstream out(reportPath, std::ios::app);
  out << line << '\n';
}

int inhibit(sd_bus_message* call, void*, sd_bus_error*) {
  const char* what = "";
  const char* who = "";
  const char* why = "";
  const char* mode = "";
  int r = sd_bus_message_read(call, "ssss", &what, &who, &why, &mode);
  if (r < 0)
    return r;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0)
    return -errno;
  struct stat pipeStat {};
  ::fstat(ends[0], &pipeStat);
  report(std::string("inhibit ") + what + "|" + who + "|" + why + "|" + mode);
  report("pipe " + std::to_string(pipeStat.st_ino));
  if (readEnd >= 0)
    ::close(readEnd);
  readEnd = ends[0];
  // The reply carries a copy of the write end; ours goes at once.
  r = sd_bus_reply_method_return(call, "h", ends[1]);
  ::close(ends[1]);
  return r;
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED), SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3)
    return 2;
  reportPath = argv[2];
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, argv[1]) < 0 ||
      sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_negotiate_fds(bus, 1) < 0 ||
      sd_bus_start(bus) < 0)
    return 1;
  if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", kManager, nullptr) < 0 ||
      sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0)
    return 1;
  report(std::to_string(::getpid()));
  report("ready");
  for (;;) {
    const int processed = sd_bus_process(bus, nullptr);
    if (processed < 0)
      return 1;
    if (processed > 0)
      continue;
    pollfd watched[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                         {readEnd, POLLIN, 0}};
    ::poll(watched, readEnd >= 0 ? 2 : 1, 100);
    // Nothing is ever written: readable means every write end is closed.
    if (readEnd >= 0 && (watched[1].revents & (POLLIN | POLLHUP)) != 0) {
      char byte;
      if (::read(readEnd, &byte, 1) == 0) {
        ::close(readEnd);
        readEnd = -1;
        report("released");
      }
    }
  }
}
