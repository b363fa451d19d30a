// Process identity on Windows: the creation time of the process.
#include <windows.h>

#include <string>

#include "platform/files_backend.h"
#include "platform/process_identity.h"

namespace tavrelon::platform {

bool processStartMark(std::uint32_t pid, std::uint64_t& mark) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr)
    return false;
  FILETIME created{}, exited{}, kernel{}, user{};
  DWORD exitCode = 0;
  // A handle also opens an ended process that someone still holds: only one
  // that still runs counts.
  const bool running = ::GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
  const bool known = running && ::GetProcessTimes(process, &created, &exited, &kernel, &user);
  ::CloseHandle(process);
  if (!known)
    return false;
  mark = (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return true;
}

bool removeRegularFile(const std::string& path) {
  if (backend::namesNoFile(path))
    return false;
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  if (length <= 0)
    return false;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], length);
  if (::DeleteFileW(wide.c_str()))
    return true;
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace tavrelon::platform
