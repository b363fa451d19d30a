// What the Windows backend's service files share: the UTF-8 edge of the wide
// system calls, owned handles, file times, and the one place where a Windows
// error becomes a file outcome.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"
#include "platform/files_backend.h"

namespace tavrelon::platform {

// The one place where a Windows error becomes the error code callers see.
std::uint32_t lastErrorCode();

// ---- the edge between the watchdog's UTF-8 strings and the wide system calls

// `text` (UTF-8) as UTF-16; an invalid sequence becomes U+FFFD.
std::wstring wideFromUtf8(const std::string& text);

// `length` UTF-16 units at `text` as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8FromWide(const wchar_t* text, std::size_t length);

bool startsWith(const std::wstring& text, const wchar_t* prefix);

// When a path gets the \\?\ prefix that lifts the 260-character limit.
enum class Prefix {
  Always,    // file calls: every path, so that no length ever matters
  WhenLong,  // process image: only from 260 characters on, as programs expect
  Never,     // a process's current directory: programs do not take the prefix
};

// `path` (UTF-8, relative to our current directory or absolute) as the system
// takes it: absolute, with backslashes, "." and ".." resolved (the prefixed
// form is taken literally, so this must happen first), then with the prefix
// \\?\ before a drive path or \\?\UNC\ in place of a UNC path's leading
// two backslashes, as `prefix` says. A path already in the \\?\ namespace
// (or the \\.\ one of devices) is passed on as it is.
std::wstring systemPath(const std::string& path, Prefix prefix = Prefix::Always);

// A file handle that closes itself.
class OwnedFile {
 public:
  explicit OwnedFile(HANDLE handle) : handle_(handle) {}
  ~OwnedFile() {
    if (isOpen())
      ::CloseHandle(handle_);
  }
  OwnedFile(const OwnedFile&) = delete;
  OwnedFile& operator=(const OwnedFile&) = delete;

  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Opens `path` for reading only, letting others read, write, rename and delete
// it meanwhile, so that a supervised program writing its log is never disturbed.
// Only a file on disk is read: a handle to a device, a pipe or a console (a
// path such as "NUL" or "CON" can name one) is closed again at once.
HANDLE openForReading(const std::string& path);

// Seconds since 1970 of a FILETIME (100 ns ticks since 1601).
std::int64_t secondsSince1970(const FILETIME& time);

// The creation time where the file system records one (a zero FILETIME means
// none, as on some network drives), else the last write time.
std::int64_t creationOrWrite(const FILETIME& creation, const FILETIME& write);

// What a symbolic link or junction points to, opened for its attributes only
// and without reading (FILE_FLAG_BACKUP_SEMANTICS lets a directory be opened);
// false when the target cannot be reached.
bool linkTarget(const std::string& path, BY_HANDLE_FILE_INFORMATION& info);

// The final path of the open `file` (UTF-8, in the \\?\ form the system gives
// it), every link resolved; empty when it cannot be told.
std::string finalPath(HANDLE file, DWORD flags);

// True for the reparse points that point elsewhere: symbolic links and
// junctions. Others (cloud placeholders, deduplicated files) are what their
// attributes say. `tag` is the reparse tag a listing gives in dwReserved0.
bool isLink(DWORD attributes, DWORD tag);

// The kind and times of a file or directory from its attributes.
template <typename Info>
void describe(const Info& info, DirectoryEntry& entry) {
  const DWORD attributes = info.dwFileAttributes;
  entry.isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.isFile = !entry.isDirectory && (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
  entry.hasTimes = true;
  entry.creationTime = creationOrWrite(info.ftCreationTime, info.ftLastWriteTime);
  entry.modificationTime = secondsSince1970(info.ftLastWriteTime);
}

// ReadFile and WriteFile move at most a DWORD at a time; stay well below it.
constexpr std::size_t kMaxTransfer = 1u << 30;

// Writes all of `bytes` to `file`; false on any failure.
bool writeAll(HANDLE file, const char* bytes, std::size_t length);

// The Windows error of a file operation as an outcome:
// backend::classifyFileError. A denied access is Refused: permissions,
// Controlled Folder Access and a pending delete all answer
// ERROR_ACCESS_DENIED, and none passes on a retry.
inline FileOutcome classifyError(DWORD error) {
  return backend::classifyFileError(error);
}

// A read that failed on `error`: backend::readFailure.
inline FileOutcome outcomeOfError(DWORD error) {
  return backend::readFailure(error);
}

// A write that failed on `error`: backend::writeFailure.
inline FileOutcome writeOutcomeOfError(DWORD error) {
  return backend::writeFailure(error);
}

// True when the open file is an ordinary disk file, not a console, pipe or device.
bool isDiskFile(HANDLE file);

// What `info` tells of a file that is read, for replaceReadFile.
ReadSnapshot snapshotOf(const BY_HANDLE_FILE_INFORMATION& info);

}  // namespace tavrelon::platform
