// The Windows console and the watchdog's own process set-up: stop requests
// from console control events, the console mode and code page, standard output.
#include "platform/win32/support.h"

#include <algorithm>
#include <limits>

#include "platform/clock_backend.h"
#include "platform/watchdog_process.h"

namespace tavrelon::platform {

namespace {

// The console output code page before prepareWatchdogProcess(); 0: none saved.
UINT& savedConsoleOutputCodePage() {
  static UINT codePage = 0;
  return codePage;
}

// Manual-reset: once set, every wait ends at once until it is reset.
HANDLE stopEvent() {
  static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// The main thread, which finishes a stop and ends the process.
HANDLE mainThread = nullptr;

// Our console's input mode before QuickEdit was turned off.
bool consoleModeSaved = false;
DWORD savedConsoleMode = 0;

BOOL WINAPI onConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  requestStop();
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && mainThread != nullptr) {
    // Returning would let the system end the process at once: wait until the
    // main thread has closed the row and ended the process itself (the system
    // grants about 5 s on a close).
    ::WaitForSingleObject(mainThread, INFINITE);
  }
  return TRUE;
}

}  // namespace

void backend::wakeStopWaiters() {
  ::SetEvent(stopEvent());
}

void backend::resetStopWake() {
  ::ResetEvent(stopEvent());
}

void backend::waitForStopWake(std::int64_t milliseconds) {
  HANDLE event = stopEvent();
  if (event == nullptr) {
    sleepForReal(milliseconds);
    return;
  }
  // WaitForSingleObject takes a DWORD and treats 0xFFFFFFFF as "forever".
  while (milliseconds > 0 && !stopRequested()) {
    DWORD piece = static_cast<DWORD>(std::min<std::int64_t>(milliseconds, 0x7FFFFFFF));
    if (::WaitForSingleObject(event, piece) != WAIT_TIMEOUT)
      return;
    milliseconds -= piece;
  }
}

void prepareWatchdogProcess() {
  // Inherited by every program we start: a crash ends the program with its
  // exception code instead of a dialog that waits for a click (and a missing
  // DLL or an empty drive fails instead of asking).
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  // Our lines are UTF-8. Without a console (output redirected) this fails: no matter.
  UINT codePage = ::GetConsoleOutputCP();
  if (codePage != 0 && ::SetConsoleOutputCP(CP_UTF8))
    savedConsoleOutputCodePage() = codePage;
  stopEvent();
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &mainThread,
                    SYNCHRONIZE, FALSE, 0);
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  // With QuickEdit on, a selection in our window suspends every write to it,
  // and so the whole supervision. Only when our standard input is a console.
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input != nullptr && input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode)) {
    if (::SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~DWORD{ENABLE_QUICK_EDIT_MODE})) {
      savedConsoleMode = mode;
      consoleModeSaved = true;
    }
  }
}

void restoreWatchdogProcess() {
  // The console outlives us (a cmd window): its code page goes back as it was.
  UINT& codePage = savedConsoleOutputCodePage();
  if (codePage != 0)
    ::SetConsoleOutputCP(codePage);
  codePage = 0;
  if (!consoleModeSaved)
    return;
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input != nullptr && input != INVALID_HANDLE_VALUE)
    ::SetConsoleMode(input, savedConsoleMode);
  consoleModeSaved = false;
}

bool writeStandardOutputLine(const std::string& line) {
  // The C runtime keeps this handle in step with its descriptor 1, also when
  // a console program redirects that descriptor itself.
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE)
    return false;
  const std::string bytes = line + "\r\n";
  DWORD mode = 0;
  const bool console = ::GetConsoleMode(output, &mode) != 0;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(
        bytes.size() - done, console ? std::numeric_limits<DWORD>::max() : std::size_t{1} << 20));
    DWORD written = 0;
    if (!::WriteFile(output, bytes.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    // Some consoles count UTF-8 output in characters rather than bytes: a
    // console has taken the whole line when the call succeeds.
    if (console)
      break;
    done += written;
  }
  return true;
}

}  // namespace tavrelon::platform
