// Windows replacement of a whole file: a temporary beside the target put in
// its place by ReplaceFileW, keeping links, attributes and security.
#include "platform/win32/support.h"

#include "platform/clock_backend.h"
#include "platform/files.h"
#include "platform/files_backend.h"
#include "platform/paths.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

// The file that a write to `path` reaches: `path` itself, or the final target
// when it is a symbolic link; its attributes in `attributes`
// (INVALID_FILE_ATTRIBUTES when nothing is there).
FileOutcome writeTarget(const std::string& path, std::string& target, DWORD& attributes) {
  target = path;
  attributes = ::GetFileAttributesW(systemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? FileOutcome::Done : writeOutcomeOfError(error);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return FileOutcome::Refused;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return FileOutcome::Done;
  // The entry's reparse tag, from its folder's listing: nothing is opened, so a
  // cloud placeholder is not fetched.
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(systemPath(path).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return writeOutcomeOfError(::GetLastError());
  ::FindClose(find);
  // Only a link is resolved; any other reparse point is an ordinary file, written
  // in place whether or not the system can give its final path.
  if (isLink(data.dwFileAttributes, data.dwReserved0)) {
    OwnedFile link(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (!link.isOpen())
      return writeOutcomeOfError(::GetLastError());
    target = finalPath(link.get(), FILE_NAME_NORMALIZED);
    if (target.empty())
      return writeOutcomeOfError(::GetLastError());
    attributes = ::GetFileAttributesW(systemPath(target).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
      return writeOutcomeOfError(::GetLastError());
  }
  return FileOutcome::Done;
}

// A new, unique temporary beside `target`, created with CREATE_NEW (which
// never opens what is already there, a link included); INVALID_HANDLE_VALUE
// with the last error set on failure.
HANDLE createTemporary(const std::string& target, const std::string& tag, std::string& temporary) {
  const std::size_t name = finalNameOffset(target, true);
  const backend::TemporaryNames names(target.substr(name), tag);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = target.substr(0, name) + names.next();
    HANDLE file = ::CreateFileW(systemPath(temporary).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
      return file;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
      return INVALID_HANDLE_VALUE;
  }
  ::SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// ReplaceFileW of `target` by `temporary`, or the failure that the test seam
// forces in its place; FALSE with the last error set on failure.
BOOL replaceOld(const std::string& target, const std::string& temporary) {
  const DWORD forced = backend::forcedReplacementFailure();
  if (forced == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
    ::DeleteFileW(systemPath(target).c_str());
  if (forced != 0) {
    ::SetLastError(forced);
    return FALSE;
  }
  // Merge and security errors ignored: the new content matters more than the
  // old file's streams and access list.
  return ::ReplaceFileW(systemPath(target).c_str(), systemPath(temporary).c_str(), nullptr,
                        REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                        nullptr);
}

// Where a replacement keeps the new content of `target` that could not take
// its name (see recoverKeptReplacement).
std::string keptCopyPath(const std::string& target, const std::string& tag) {
  const std::size_t name = finalNameOffset(target, true);
  return target.substr(0, name) + backend::TemporaryNames(target.substr(name), tag).kept();
}

// Renames the temporary to the kept copy's name, replacing an older copy;
// false when even that fails (the temporary then stays as it is).
bool keepCopy(const std::string& temporary, const std::string& target, const std::string& tag) {
  return ::MoveFileExW(systemPath(temporary).c_str(), systemPath(keptCopyPath(target, tag)).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

// Renames the temporary to the target where no file is there; a few tries,
// for the short moments a scanner holds the new file after ReplaceFileW.
bool moveIntoPlace(const std::string& temporary, const std::string& target) {
  if (backend::forcedReplacementFailure() == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
    return false;
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExW(systemPath(temporary).c_str(), systemPath(target).c_str(),
                      MOVEFILE_WRITE_THROUGH))
      return true;
    if (attempt == 4)
      return false;
    backend::sleepForReal(100);
  }
}

}  // namespace

FileOutcome backend::replaceTarget(const std::string& path, std::string& target,
                                   ReadSnapshot& old) {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  const FileOutcome outcome = writeTarget(path, target, attributes);
  if (outcome != FileOutcome::Done || attributes == INVALID_FILE_ATTRIBUTES)
    return outcome;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return FileOutcome::Refused;
  // A device name (NUL, COM1) or a pipe is no file to replace.
  OwnedFile probe(::CreateFileW(systemPath(target).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!probe.isOpen())
    return writeOutcomeOfError(::GetLastError());
  BY_HANDLE_FILE_INFORMATION info;
  if (!isDiskFile(probe.get()) || !::GetFileInformationByHandle(probe.get(), &info))
    return FileOutcome::Refused;
  old = snapshotOf(info);
  return FileOutcome::Done;
}

FileOutcome backend::mayReplace(const std::string&, const ReadSnapshot& old) {
  // Refused as a write to it would be.
  return (old.mode & FILE_ATTRIBUTE_READONLY) != 0 ? writeOutcomeOfError(ERROR_ACCESS_DENIED)
                                                   : FileOutcome::Done;
}

FileOutcome backend::replaceWith(const std::string& target, const std::string& content,
                                 const std::string& temporaryTag, const ReadSnapshot& old,
                                 bool sinceRead) {
  const bool hasOld = old.present;
  std::string temporary;
  HANDLE file = createTemporary(target, temporaryTag, temporary);
  if (file == INVALID_HANDLE_VALUE)
    return writeOutcomeOfError(::GetLastError());
  bool written = writeAll(file, content.data(), content.size()) && ::FlushFileBuffers(file);
  DWORD error = written ? ERROR_SUCCESS : ::GetLastError();
  if (!::CloseHandle(file) && written) {
    written = false;
    error = ::GetLastError();
  }
  if (written)
    backend::beforeReplaceForTesting(target);
  // The replace takes the very file that was checked: one swapped in meanwhile
  // (a link turned elsewhere, another file put in its place) is someone else's for now.
  // With what the caller read, the file must also be unchanged since (a line
  // appended would be lost).
  BY_HANDLE_FILE_INFORMATION now;
  if (written && hasOld) {
    const bool same = linkTarget(target, now) && snapshotOf(now).identity == old.identity;
    if (!same || (sinceRead && (snapshotOf(now).size != old.size ||
                                snapshotOf(now).writeTime != old.writeTime))) {
      written = false;
      error = ERROR_SHARING_VIOLATION;
    }
  }
  if (written) {
    if (!hasOld) {
      // No old file to keep anything of: a plain rename, which fails rather
      // than replace a file someone created meanwhile.
      if (::MoveFileExW(systemPath(temporary).c_str(), systemPath(target).c_str(),
                        MOVEFILE_WRITE_THROUGH))
        return FileOutcome::Done;
      error = ::GetLastError();
      if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        error = ERROR_SHARING_VIOLATION;
    } else if (replaceOld(target, temporary)) {
      return FileOutcome::Done;
    } else {
      error = ::GetLastError();
      if (error == ERROR_ACCESS_DENIED) {
        // ReplaceFileW needs rights on the old file (its deletion, its security)
        // that a share's "Change" permission may not grant; a replacing rename
        // needs fewer. The old file's creation time and security go with it.
        if (::MoveFileExW(systemPath(temporary).c_str(), systemPath(target).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
          return FileOutcome::Done;
        error = ::GetLastError();
      } else if ((error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                  error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) &&
                 ::GetFileAttributesW(systemPath(target).c_str()) == INVALID_FILE_ATTRIBUTES) {
        // 1176: the old file is gone and the new one still has the temporary's
        // name; 1177 may leave the same. It is the only copy of the rows now.
        // Finish the move, so the path keeps a log; where the name stays taken
        // (someone still holds the removed file), keep the copy under the one
        // name no sweep takes, for the next sequence to put back first.
        if (moveIntoPlace(temporary, target) || keepCopy(temporary, target, temporaryTag))
          return FileOutcome::Done;
        // Not even that: the temporary stays as the only copy, the rows pending.
        writeOutcomeOfError(error);
        return FileOutcome::Busy;
      }
    }
  }
  ::DeleteFileW(systemPath(temporary).c_str());
  return writeOutcomeOfError(error);
}

FileOutcome backend::recoverKeptReplacement(const std::string& path,
                                            const std::string& temporaryTag) {
  std::string target;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  // A path that cannot be told now is left to the read, which fails on it too.
  if (writeTarget(path, target, attributes) != FileOutcome::Done)
    return FileOutcome::Done;
  const std::string kept = keptCopyPath(target, temporaryTag);
  const DWORD keptAttributes = ::GetFileAttributesW(systemPath(kept).c_str());
  if (keptAttributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    // None is the rule; one that cannot be told now keeps the log as it is.
    if (classifyError(error) == FileOutcome::Missing)
      return FileOutcome::Done;
    backend::noteFileError(error);
    return FileOutcome::Busy;
  }
  // A file at the path again came after the copy: it stays, and so does the
  // copy, for a person to look at. Only a regular file is put back.
  if (attributes != INVALID_FILE_ATTRIBUTES ||
      (keptAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
    return FileOutcome::Done;
  if (::MoveFileExW(systemPath(kept).c_str(), systemPath(target).c_str(), MOVEFILE_WRITE_THROUGH))
    return FileOutcome::Done;
  // The name may still be held (the removed file open somewhere): try again later.
  writeOutcomeOfError(::GetLastError());
  return FileOutcome::Busy;
}

void backend::removeGoneTemporaries(const std::string& directory, const TemporaryNames& names) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(
      systemPath(directory + names.prefix() + "*" + backend::TemporaryNames::kSuffix).c_str(),
      &data);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    // The pattern also matches short 8.3 names: check the long name itself.
    const std::string entryName = utf8FromWide(data.cFileName, std::wcslen(data.cFileName));
    if (!names.writerGone(entryName))
      continue;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
      continue;
    ::DeleteFileW(systemPath(directory + entryName).c_str());
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

FileOutcome backend::resolveWriteTarget(const std::string& path, std::string& target) {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  return writeTarget(path, target, attributes);
}

}  // namespace tavrelon::platform
