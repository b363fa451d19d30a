// What the file services and their backends share. Not for callers outside
// src/platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace tavrelon::platform::backend {

// Calls the hook of setBeforeReplaceHookForTesting, if one is set.
void beforeReplaceForTesting(const std::string& target);

// The error code that failFileReplacementForTesting() set; 0 when none is set.
std::uint32_t forcedReplacementFailure();

// True when `path` holds a NUL byte. Such a path names no file: the system
// calls would see only the part before the NUL, which is another file.
inline bool namesNoFile(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// ---- the file services of platform.h, of paths without a NUL byte (files.cpp
// applies that rule before it calls them)

bool exists(const std::string& path);
bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                   bool* brokenOff);
std::string resolvedPath(const std::string& path);
bool fileIdentity(const std::string& path, FileIdentity& identity);
bool fileStatus(const std::string& path, FileStatus& status);
bool readFile(const std::string& path, std::string& content);
bool openedFileSize(const std::string& path, std::int64_t& size);
// `offset` is not negative; `bytes` comes in empty.
bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes);
PathKind pathKind(const std::string& path);
// readRegularFile, or with `startOnly` readRegularFileStart of `maxBytes` bytes;
// `content` comes in empty. With `pieces`, readRegularFileInPieces instead
// (`content` stays empty). With `seen`, what was read goes there on Done.
FileOutcome readRegular(const std::string& path, std::int64_t maxBytes, bool startOnly,
                        std::string& content, const FilePieceSink* pieces = nullptr,
                        ReadSnapshot* seen = nullptr);
// What replaceRegularFile of `path` replaces: the file a write reaches (as
// resolveWriteTarget) in `target` and what is there in `old` (not present when
// nothing is); Refused for anything but a regular file.
FileOutcome replaceTarget(const std::string& path, std::string& target, ReadSnapshot& old);
// Done when the file `old` at `target` may be replaced: not read-only.
FileOutcome mayReplace(const std::string& target, const ReadSnapshot& old);
// Replaces `target`, found as `old`: the temporary is written, and put in its
// place only while `target` is still `old`'s file (with `sinceRead` also
// unchanged since, or still missing when `old` was).
FileOutcome replaceWith(const std::string& target, const std::string& content,
                        const std::string& temporaryTag, const ReadSnapshot& old, bool sinceRead);
FileOutcome recoverKeptReplacement(const std::string& path, const std::string& temporaryTag);
// Keeps `code` (errno, GetLastError) as this thread's latest file error, for
// takeFileErrorCode. Called by each backend's one error-mapping helper.
void noteFileError(std::uint32_t code);
// The system's error codes (errno, GetLastError) that each backend's table
// (support.cpp) sorts: `missing`, a name that reaches no file; `passing`, what
// passes by itself (another's lock, a share that answers late or reconnects).
struct FileErrorTable {
  const std::uint32_t* missing;
  std::size_t missingCount;
  const std::uint32_t* passing;
  std::size_t passingCount;
};
FileErrorTable fileErrorTable();
// The one place where a file operation's error `code` becomes an outcome, by
// that table: Missing, Busy, or else Refused (permissions above all).
FileOutcome classifyFileError(std::uint32_t code);
// The outcome of a read that failed on `code`: the code is kept (noteFileError)
// unless the file is simply missing.
FileOutcome readFailure(std::uint32_t code);
// The same for a write, which keeps every code: a write finds no folder where a
// read finds no file, and that is no transient state (Missing becomes Refused).
FileOutcome writeFailure(std::uint32_t code);
// The system's error code for "no such file" (ENOENT, ERROR_FILE_NOT_FOUND).
std::uint32_t fileNotFoundError();

// Reads a regular file of `size` bytes (as its open handle tells) into `content`
// through `read`, one system read into a buffer: the bytes read, 0 at the end,
// or -1 with the failure's outcome set. Takes at most `maxBytes`: with
// `startOnly` the rest stays unread; otherwise a file over the bound, or one that
// grows past it while it is read, is Refused and `content` freed. A failed read
// gives its outcome and an empty `content`. With `pieces`, each read's bytes go
// to it instead of into `content`, under the same bound.
FileOutcome readBounded(std::int64_t size, std::int64_t maxBytes, bool startOnly,
                        std::string& content,
                        const std::function<std::int64_t(char*, std::size_t, FileOutcome&)>& read,
                        const FilePieceSink* pieces = nullptr);

// The temporaries replaceRegularFile makes for a target named `targetName`:
// sideFileName(targetName, tag) + "-" + process id + "-" + counter + ".tmp".
// The tag is the caller's: the status log's keeps every log tracker from taking
// one for a program's log.
class TemporaryNames {
 public:
  TemporaryNames(const std::string& targetName, const std::string& tag);
  // A name no earlier call of this process gave.
  std::string next() const;
  // True when `entryName` is one of them, made by any process.
  bool matches(const std::string& entryName) const;
  // The one name under which a replacement that lost the old file keeps the
  // new content (recoverKeptReplacement); matches() never takes it.
  std::string kept() const { return prefix_ + "kept"; }
  // True when `entryName` matches and its writer is gone: the process its name
  // holds no longer runs, or is this one (which writes one at a time, and not now).
  bool writerGone(const std::string& entryName) const;
  // What every name begins and ends with (a search pattern's fixed parts).
  const std::string& prefix() const { return prefix_; }
  static constexpr const char* kSuffix = ".tmp";

 private:
  std::string prefix_;
};

// Removes from `directory` (its separator at the end; empty: the current folder)
// each regular file, never a link or a folder, of `names` whose writer is gone.
void removeGoneTemporaries(const std::string& directory, const TemporaryNames& names);

// resolveWriteTarget for a path without a NUL byte.
FileOutcome resolveWriteTarget(const std::string& path, std::string& target);

// Releases a lock handle that lockFileExclusive gave out; 0 is ignored. With
// a `path` (the lock was held) the lock file goes too: POSIX removes the path
// first when it still names the handle's file; Windows' delete-on-close does.
void releaseFileLock(std::uintptr_t handle, const std::string& path);

// Tries once to take the exclusive lock on an open lock file: Done, Busy (held
// elsewhere) or Refused.
FileOutcome tryLockOnce(std::uintptr_t handle);

// True when the file open as `handle` is still the one that `path` names (not
// removed, replaced or pending deletion since it was opened).
bool lockIsAtPath(std::uintptr_t handle, const std::string& path);

// Opens (creating it when missing, with the permission bits of `like` when that
// is a file) the lock file at `path`, never blocking; 0 and the outcome on
// failure, with `notAFile` set when something other than a regular file has the name.
std::uintptr_t openLockFile(const std::string& path, const std::string& like, FileOutcome& outcome,
                            bool& notAFile);

}  // namespace tavrelon::platform::backend
