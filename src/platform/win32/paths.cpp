// Windows paths: which system this is, and the running executable.
#include "platform/win32/support.h"

#include "platform/paths.h"

namespace tavrelon::platform {

bool isWindows() {
  return true;
}

std::string executablePath() {
  // A too-small buffer gets a truncated path and the full size as result:
  // grow it until the result is shorter. Windows paths stop at 32767 wide
  // characters, so the limit only guards against a misbehaving call.
  std::wstring buffer(MAX_PATH, L'\0');
  while (buffer.size() <= (1u << 20)) {
    DWORD length = ::GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0)
      return std::string();
    if (length < buffer.size()) {
      buffer.resize(length);
      // Started by a prefixed path, the name carries the prefix: shown without it.
      if (startsWith(buffer, L"\\\\?\\UNC\\"))
        buffer.replace(0, 8, L"\\\\");
      else if (startsWith(buffer, L"\\\\?\\"))
        buffer.erase(0, 4);
      return utf8FromWide(buffer.data(), buffer.size());
    }
    buffer.resize(buffer.size() * 2);
  }
  return std::string();
}

}  // namespace tavrelon::platform
