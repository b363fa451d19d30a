// Windows clock: local calendar time and real sleeps.
#include "platform/win32/support.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/clock_backend.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

bool backend::localCalendarTime(std::time_t when, std::tm& local) {
  return ::localtime_s(&local, &when) == 0;
}

void backend::sleepForReal(std::int64_t milliseconds) {
  // Sleep takes a DWORD and treats 0xFFFFFFFF as "forever": sleep in pieces.
  while (milliseconds > 0) {
    DWORD piece = static_cast<DWORD>(std::min<std::int64_t>(milliseconds, 0x7FFFFFFF));
    ::Sleep(piece);
    milliseconds -= piece;
  }
}

bool runningUnderWineForTesting() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace tavrelon::platform
