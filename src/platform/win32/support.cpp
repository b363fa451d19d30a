// The Windows backend's shared helpers (support.h).
#include "platform/win32/support.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "platform/files.h"
#include "platform/files_backend.h"

namespace tavrelon::platform {

std::uint32_t lastErrorCode() {
  return static_cast<std::uint32_t>(::GetLastError());
}

std::wstring wideFromUtf8(const std::string& text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return std::wstring();
  const int size = static_cast<int>(text.size());
  int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], length);
  return wide;
}

std::string utf8FromWide(const wchar_t* text, std::size_t length) {
  if (length == 0 || length > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return std::string();
  const int size = static_cast<int>(length);
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(std::max(bytes, 0)), '\0');
  if (bytes > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text, size, &utf8[0], bytes, nullptr, nullptr);
  return utf8;
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

std::wstring systemPath(const std::string& path, Prefix prefix) {
  std::wstring wide = wideFromUtf8(path);
  if (wide.empty() || startsWith(wide, L"\\\\?\\") || startsWith(wide, L"\\\\.\\"))
    return wide;
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    DWORD length =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0)
      return wide;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);  // the size needed, the final NUL included
  }
  if (prefix == Prefix::Never || (prefix == Prefix::WhenLong && full.size() < MAX_PATH))
    return full;
  const bool drivePath = full.size() >= 3 && full[1] == L':' && full[2] == L'\\';
  if (drivePath)
    return L"\\\\?\\" + full;
  if (startsWith(full, L"\\\\") && !startsWith(full, L"\\\\?\\") && !startsWith(full, L"\\\\.\\"))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return full;
}

HANDLE openForReading(const std::string& path) {
  HANDLE file = ::CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE && ::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

std::int64_t secondsSince1970(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  const std::int64_t secondsFrom1601To1970 = 11644473600LL;
  return static_cast<std::int64_t>(ticks.QuadPart / 10000000ULL) - secondsFrom1601To1970;
}

std::int64_t creationOrWrite(const FILETIME& creation, const FILETIME& write) {
  return creation.dwLowDateTime == 0 && creation.dwHighDateTime == 0 ? secondsSince1970(write)
                                                                     : secondsSince1970(creation);
}

bool linkTarget(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  OwnedFile target(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return target.isOpen() && ::GetFileInformationByHandle(target.get(), &info);
}

std::string finalPath(HANDLE file, DWORD flags) {
  // Success gives the length without the NUL; a buffer too small gets the
  // size needed with the NUL. The path may change between two calls.
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length =
        ::GetFinalPathNameByHandleW(file, &buffer[0], static_cast<DWORD>(buffer.size()), flags);
    if (length == 0)
      return std::string();
    if (length < buffer.size())
      return utf8FromWide(buffer.data(), length);
    buffer.resize(length);
  }
  return std::string();
}

bool isLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
}

bool writeAll(HANDLE file, const char* bytes, std::size_t length) {
  while (length > 0) {
    DWORD chunk = static_cast<DWORD>(std::min(length, kMaxTransfer));
    DWORD written = 0;
    if (!::WriteFile(file, bytes, chunk, &written, nullptr) || written == 0)
      return false;
    bytes += written;
    length -= written;
  }
  return true;
}

backend::FileErrorTable backend::fileErrorTable() {
  static const std::uint32_t missing[] = {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
                                          ERROR_INVALID_NAME, ERROR_BAD_PATHNAME,
                                          ERROR_INVALID_DRIVE};
  // Another's open without sharing or byte lock, an old file still held while
  // it is replaced, a network share that reconnects.
  static const std::uint32_t passing[] = {
      ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION,      ERROR_UNABLE_TO_REMOVE_REPLACED,
      ERROR_USER_MAPPED_FILE,  ERROR_REM_NOT_LIST,        ERROR_BAD_NETPATH,
      ERROR_NETWORK_BUSY,      ERROR_DEV_NOT_EXIST,       ERROR_BAD_NET_RESP,
      ERROR_UNEXP_NET_ERR,     ERROR_NETNAME_DELETED,     ERROR_SEM_TIMEOUT,
      ERROR_NO_NETWORK,        ERROR_NETWORK_UNREACHABLE, ERROR_HOST_UNREACHABLE,
      ERROR_CONNECTION_ABORTED};
  return {missing, std::size(missing), passing, std::size(passing)};
}

ReadSnapshot snapshotOf(const BY_HANDLE_FILE_INFORMATION& info) {
  ReadSnapshot seen;
  seen.present = true;
  seen.identity.volume = info.dwVolumeSerialNumber;
  seen.identity.index =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  seen.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                        info.nFileSizeLow);
  seen.writeTime = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  seen.mode = info.dwFileAttributes;
  return seen;
}

bool isDiskFile(HANDLE file) {
  return ::GetFileType(file) == FILE_TYPE_DISK;
}

}  // namespace tavrelon::platform
