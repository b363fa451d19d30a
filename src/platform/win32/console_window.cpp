#include "platform/console_window.h"

#include <windows.h>

namespace tavrelon::platform {

bool consoleOfItsOwn() {
  // GetConsoleProcessList counts every process attached to our console: a
  // shell that started us is one more. 0 (no console, or a failure) is not ours.
  DWORD processes[2] = {0, 0};
  return GetConsoleProcessList(processes, 2) == 1;
}

}  // namespace tavrelon::platform
