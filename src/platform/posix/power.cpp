// The power service on Linux: the boot time from /proc/stat.
#include <fstream>
#include <sstream>
#include <string>

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

// Linux's sleep inhibitor is the login manager's, asked over the system bus;
// without a bus client in the build the machine's own settings hold.
void keepAwake() {}

void allowSleep() {}

}  // namespace tavrelon::platform
