// POSIX clock: local calendar time and real sleeps.
#include "platform/clock.h"
#include "platform/clock_backend.h"
#include "platform/posix/support.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

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

}  // namespace tavrelon::platform
