// Windows lock files: LockFileEx on a file deleted with its last handle.
#include "platform/win32/support.h"

#include "platform/files.h"
#include "platform/files_backend.h"
#include "platform/paths.h"

namespace tavrelon::platform {

namespace {

// True when the open `file` is a plain file on disk: no directory, link or
// other reparse point, device or pipe.
bool isPlainDiskFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return isDiskFile(file) && ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

std::uintptr_t backend::openLockFile(const std::string& path, const std::string& /*like*/,
                                     FileOutcome& outcome, bool& notAFile) {
  outcome = FileOutcome::Refused;
  const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
  notAFile = attributes != INVALID_FILE_ATTRIBUTES &&
             (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
  if (notAFile)
    return 0;
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // A link is opened as itself, never followed: what the name holds is checked
  // before the handle that deletes it on close is made.
  OwnedFile named(::CreateFileW(systemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                                nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!named.isOpen()) {
    // A lock file pending deletion refuses every open with ERROR_ACCESS_DENIED
    // until its last handle closes: Busy, as a held one. A denial that lasts
    // is said once the wait is over.
    const DWORD error = ::GetLastError();
    outcome = error == ERROR_ACCESS_DENIED ? FileOutcome::Busy : writeOutcomeOfError(error);
    return 0;
  }
  if (!isPlainDiskFile(named.get())) {
    notAFile = true;
    return 0;
  }
  // The same file again, now to go with its last handle; full sharing, so that
  // every other watchdog can open it meanwhile and wait for its lock.
  HANDLE file = ::ReOpenFile(named.get(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll,
                             FILE_FLAG_DELETE_ON_CLOSE);
  if (file == INVALID_HANDLE_VALUE) {
    // No right to delete it: the lock works all the same, and the file stays.
    file = ::ReOpenFile(named.get(), GENERIC_READ | GENERIC_WRITE, kShareAll, 0);
    if (file == INVALID_HANDLE_VALUE) {
      outcome = writeOutcomeOfError(::GetLastError());
      return 0;
    }
  }
  outcome = FileOutcome::Done;
  return reinterpret_cast<std::uintptr_t>(file);
}

FileOutcome backend::tryLockOnce(std::uintptr_t handle) {
  OVERLAPPED at{};
  if (::LockFileEx(reinterpret_cast<HANDLE>(handle),
                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
    return FileOutcome::Done;
  const DWORD error = ::GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? FileOutcome::Busy
                                                                    : FileOutcome::Refused;
}

bool backend::lockIsAtPath(std::uintptr_t handle, const std::string& path) {
  // A file pending deletion cannot be opened by its name: not at the path any more.
  OwnedFile named(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION open;
  BY_HANDLE_FILE_INFORMATION atPath;
  return named.isOpen() && ::GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &open) &&
         ::GetFileInformationByHandle(named.get(), &atPath) &&
         open.dwVolumeSerialNumber == atPath.dwVolumeSerialNumber &&
         open.nFileIndexHigh == atPath.nFileIndexHigh && open.nFileIndexLow == atPath.nFileIndexLow;
}

void backend::releaseFileLock(std::uintptr_t handle, const std::string& /*path*/) {
  if (handle == 0)
    return;
  HANDLE file = reinterpret_cast<HANDLE>(handle);
  OVERLAPPED at{};
  // Fails harmlessly for a handle that was opened but never locked.
  ::UnlockFileEx(file, 0, 1, 0, &at);
  // The last handle of a delete-on-close file takes the file with it.
  ::CloseHandle(file);
}

}  // namespace tavrelon::platform
