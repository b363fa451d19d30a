// The end of the session on Windows: a hidden top-level window on a thread of
// its own receives WM_QUERYENDSESSION and WM_ENDSESSION.
#include <windows.h>

#include <atomic>

#include "platform/session_end.h"
#include "platform/watchdog_process.h"

namespace tavrelon::platform {

namespace {

std::atomic<bool> queried{false};  // asked, not yet called off
std::atomic<bool> ended{false};

// How long the window holds the end back while the main thread closes the
// run; the process ends with the main thread, and the system ends it anyway
// once its own grace has passed.
constexpr DWORD kHoldEndMs = 30000;

LRESULT CALLBACK onMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      queried = true;
      return TRUE;  // the session may end: the run is closed when it does
    case WM_ENDSESSION:
      if (wParam == FALSE) {
        queried = false;  // called off by someone
        return 0;
      }
      ended = true;
      requestStop();
      // Returning lets the system end this process at once, row unwritten.
      ::Sleep(kHoldEndMs);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

DWORD WINAPI windowThread(LPVOID) {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = onMessage;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"TavrelonSessionEnd";
  if (::RegisterClassExW(&windowClass) == 0)
    return 1;
  // Top-level (no parent) and never shown: no WS_VISIBLE, never ShowWindow.
  const HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Tavrelon", WS_OVERLAPPED, 0,
                                        0, 0, 0, nullptr, nullptr, instance, nullptr);
  if (window == nullptr)
    return 1;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace

void watchSessionEnd() {
  const HANDLE thread = ::CreateThread(nullptr, 0, windowThread, nullptr, 0, nullptr);
  if (thread != nullptr)
    ::CloseHandle(thread);
}

bool sessionEnding() {
  return queried || ended;
}

}  // namespace tavrelon::platform
