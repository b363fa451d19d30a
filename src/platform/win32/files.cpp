// Windows files: listing, status and reads, shared with every other opener.
#include "platform/win32/support.h"

#include <algorithm>
#include <utility>

#include "platform/files.h"
#include "platform/files_backend.h"
#include "platform/paths.h"

namespace tavrelon::platform {

bool backend::listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                            bool* brokenOff) {
  const std::wstring folder = systemPath(directory);
  std::wstring folderPrefix = folder;
  if (folderPrefix.empty() || folderPrefix.back() != L'\\')
    folderPrefix += L'\\';
  const std::wstring pattern = folderPrefix + L'*';

  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    // Systems before Windows 7 know neither the basic level nor large fetches.
    find = ::FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch,
                              nullptr, 0);
  }
  if (find == INVALID_HANDLE_VALUE) {
    // A drive's root can be empty, with not even "." and ".." to list.
    DWORD error = ::GetLastError();
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    return error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  const std::size_t first = entries.size();
  do {
    const wchar_t* name = data.cFileName;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0)
      continue;
    DirectoryEntry entry;
    entry.name = utf8FromWide(name, std::wcslen(name));
    if (isLink(data.dwFileAttributes, data.dwReserved0)) {
      // A link counts as its target; one that does not resolve is neither kind.
      entry.isLink = true;
      BY_HANDLE_FILE_INFORMATION target;
      if (linkTarget(utf8FromWide(folderPrefix.data(), folderPrefix.size()) + entry.name, target))
        describe(target, entry);
    } else {
      describe(data, entry);
    }
    entries.push_back(std::move(entry));
  } while (::FindNextFileW(find, &data));
  // Only "no more files" ends a complete listing; any other error (a network
  // drive that went away) leaves half a folder, which must not pass for all of it.
  const DWORD error = ::GetLastError();
  ::FindClose(find);
  if (error != ERROR_NO_MORE_FILES) {
    entries.resize(first);
    if (brokenOff != nullptr)
      *brokenOff = true;
    return false;
  }
  return true;
}

std::string backend::resolvedPath(const std::string& path) {
  OwnedFile file(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.isOpen() ? finalPath(file.get(), FILE_NAME_NORMALIZED) : std::string();
}

bool backend::fileIdentity(const std::string& path, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!linkTarget(path, info))
    return false;
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool backend::fileStatus(const std::string& path, FileStatus& status) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(systemPath(path).c_str(), GetFileExInfoStandard, &data))
    return false;
  status.creationTime = creationOrWrite(data.ftCreationTime, data.ftLastWriteTime);
  status.modificationTime = secondsSince1970(data.ftLastWriteTime);
  status.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                          data.nFileSizeLow);
  return true;
}

bool backend::readFile(const std::string& path, std::string& content) {
  OwnedFile file(openForReading(path));
  if (!file.isOpen())
    return false;
  content.clear();
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
      return false;
    if (got == 0)
      return true;
    content.append(buffer, got);
  }
}

bool backend::openedFileSize(const std::string& path, std::int64_t& size) {
  // Attributes only: no share mode of another open stands against a query of
  // attributes, so a program that denies others reading its log is neither
  // disturbed nor taken for idle. A directory does not open without
  // FILE_FLAG_BACKUP_SEMANTICS.
  OwnedFile file(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.isOpen() || ::GetFileType(file.get()) != FILE_TYPE_DISK)
    return false;
  LARGE_INTEGER length;
  if (!::GetFileSizeEx(file.get(), &length))
    return false;
  size = static_cast<std::int64_t>(length.QuadPart);
  return true;
}

bool backend::readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                            std::string& bytes) {
  OwnedFile file(openForReading(path));
  if (!file.isOpen())
    return false;
  LARGE_INTEGER position;
  position.QuadPart = offset;
  if (!::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))
    return false;
  bytes.resize(length);
  std::size_t done = 0;
  while (done < length) {
    DWORD chunk = static_cast<DWORD>(std::min(length - done, kMaxTransfer));
    DWORD got = 0;
    if (!::ReadFile(file.get(), &bytes[done], chunk, &got, nullptr)) {
      bytes.clear();
      return false;
    }
    if (got == 0)
      break;
    done += got;
  }
  bytes.resize(done);
  return true;
}

bool backend::exists(const std::string& path) {
  // Only a name that reaches no file is missing: a file that cannot be queried
  // now (held, on a share that reconnects) is there.
  return ::GetFileAttributesW(systemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES ||
         classifyError(::GetLastError()) != FileOutcome::Missing;
}

PathKind backend::pathKind(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return PathKind::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Other : PathKind::RegularFile;
}

FileOutcome backend::readRegular(const std::string& path, std::int64_t maxBytes, bool startOnly,
                                 std::string& content, const FilePieceSink* pieces,
                                 ReadSnapshot* seen) {
  const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return FileOutcome::Refused;
  OwnedFile file(openForReading(path));
  if (!file.isOpen())
    return outcomeOfError(::GetLastError());
  LARGE_INTEGER size;
  if (!isDiskFile(file.get()) || !::GetFileSizeEx(file.get(), &size))
    return FileOutcome::Refused;
  // Taken before the read: a file that grows meanwhile no longer matches it.
  BY_HANDLE_FILE_INFORMATION info;
  if (seen != nullptr) {
    if (!::GetFileInformationByHandle(file.get(), &info))
      return outcomeOfError(::GetLastError());
    *seen = snapshotOf(info);
  }
  return backend::readBounded(
      size.QuadPart, maxBytes, startOnly, content,
      [&](char* buffer, std::size_t length, FileOutcome& failure) {
        DWORD got = 0;
        if (::ReadFile(file.get(), buffer, static_cast<DWORD>(length), &got, nullptr))
          return static_cast<std::int64_t>(got);
        failure = outcomeOfError(::GetLastError());
        return std::int64_t{-1};
      },
      pieces);
}

}  // namespace tavrelon::platform
