// Files: existence, listings, status, bounded reads, whole-file replacement
// that keeps links and attributes, and exclusive lock files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tavrelon::platform {

// A path that holds a NUL byte names no file: every service below treats it as
// missing (exists() is false, reads and writes fail), and so does startProcess.

// True when a file or a directory exists at `path`, and also when the system
// cannot tell now (a file held without sharing, a share that reconnects): only
// a name that reaches no file (no such file or folder) is false.
bool exists(const std::string& path);

// One entry of a listing. A symbolic link (or a junction) counts as what it
// points to; one that points nowhere, a FIFO, a socket or a device is neither
// a directory nor a file.
struct DirectoryEntry {
  std::string name;          // the entry's own name, no directory part
  bool isDirectory = false;  // a directory, or a link to one
  bool isFile = false;       // a regular file, or a link to one
  bool isLink = false;       // a symbolic link or a junction, whatever it points to
  // True when the listing itself gave the times below (Windows); false where
  // they need a status query of their own (POSIX listings carry none).
  bool hasTimes = false;
  std::int64_t creationTime = 0;      // as FileStatus::creationTime
  std::int64_t modificationTime = 0;  // as FileStatus::modificationTime
};

// Appends the entries of `directory` ("." and ".." left out) to `entries`, in
// the platform's listing order (sorted by name on POSIX, where readdir order
// is arbitrary). Only links and entries of unknown kind cost a status query.
// Returns false, appending nothing, when it cannot be opened, and also when the
// listing broke off with an error midway; then `brokenOff`, when given, is set
// to true (it is left alone otherwise).
bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                   bool* brokenOff = nullptr);

// What tells two paths to one file or directory apart: device and inode on
// POSIX, volume serial number and file index on Windows.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
};

// The full path of what `path` names with every link followed (a symbolic
// link's target); empty when it cannot be resolved (nothing there, say).
std::string resolvedPath(const std::string& path);

// The identity of the file or directory at `path`, links followed; false when
// it cannot be queried. Opens nothing for reading, so a FIFO never blocks it.
bool fileIdentity(const std::string& path, FileIdentity& identity);

struct FileStatus {
  std::int64_t creationTime = 0;      // seconds since 1970; birth time where the
                                      // file system records one (a recorded 0
                                      // counts as none), else modification
  std::int64_t modificationTime = 0;  // seconds since 1970
  std::int64_t size = 0;              // bytes, 64-bit
};

// Queries the status of `path`; false when it cannot be queried.
bool fileStatus(const std::string& path, FileStatus& status);

// Reads the whole file as bytes (no line-end translation); false when it
// cannot be opened or read, or is not a regular file (never blocks on a FIFO).
bool readFile(const std::string& path, std::string& content);

// Opens `path` for its attributes only (Windows; POSIX: read-only), sharing
// read, write and delete with whoever else holds it, and reports its size;
// false when it cannot be opened or is not a regular file. A program that
// holds its log without letting others read it is not disturbed. The open
// never blocks (a FIFO fails at once).
bool openedFileSize(const std::string& path, std::int64_t& size);

// Reads up to `length` bytes from byte `offset` of `path` (read-only open with
// full sharing, as openedFileSize) into `bytes`; fewer at the end of the file.
// False when the file cannot be opened or read, or is not a regular file.
bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes);

// How a read or a replacement of a whole file ended.
enum class FileOutcome {
  Done,
  Missing,  // nothing at the path (reads only)
  Busy,     // may pass soon: held by someone else for now (a sharing violation, a
            // lock), a network share that reconnects
  Refused,  // will not pass as things stand: not a regular file, read-only, too large,
            // no such folder, no permission (Controlled Folder Access, a pending delete)
};

// The system's error code (errno on POSIX, GetLastError on Windows) of the
// latest file service on this thread that ended Busy or Refused on a system
// error (a missing file on a read is no such failure); 0 when none has since
// the last call. Clears it. A refusal by a rule of its own (not a regular
// file, too large) leaves no code.
std::uint32_t takeFileErrorCode();

enum class PathKind { Missing, RegularFile, Other };

// What is at `path`, links followed: nothing, a regular file, or anything else
// (a directory, FIFO, device or socket). Nothing is opened.
PathKind pathKind(const std::string& path);

// Reads the whole regular file at `path` (links followed) into `content`. The
// open never blocks (a FIFO or device at the path is refused unread), and a file
// over `maxBytes` is refused before anything is allocated for it.
FileOutcome readRegularFile(const std::string& path, std::int64_t maxBytes, std::string& content);

// What a read saw of the file it read, from the open file itself: whether one
// was there, its identity, size and last write time, and what a replacement
// keeps of it. replaceReadFile takes it to refuse a file changed since.
struct ReadSnapshot {
  bool present = false;  // false: the path named no file (the read was Missing)
  FileIdentity identity;
  std::int64_t size = 0;
  std::int64_t writeTime = 0;  // in the system's own units (ns POSIX, 100 ns Windows)
  std::uint32_t mode = 0;      // POSIX permission bits; Windows attributes
  std::uint32_t owner = 0;     // POSIX owner and group; 0 on Windows
  std::uint32_t group = 0;
};

// readRegularFile that also tells what it read in `seen` (left as it came on
// any outcome but Done and Missing).
FileOutcome readRegularFile(const std::string& path, std::int64_t maxBytes, std::string& content,
                            ReadSnapshot& seen);

// Reads at most the first `length` bytes of the regular file at `path` into
// `bytes`, with the same non-blocking open and checks as readRegularFile.
FileOutcome readRegularFileStart(const std::string& path, std::size_t length, std::string& bytes);

// What readRegularFileInPieces hands on: a piece of the file; false stops the read.
using FilePieceSink = std::function<bool(const char* bytes, std::size_t size)>;

// Hands the bytes of the regular file at `path` to `piece` in file order, at
// most 64 KiB at a time and as they are read, so that no more than one piece is
// held; the same open and checks as readRegularFile. Refused when the file is
// over `maxBytes` or grows past it while read, and as soon as `piece` says false.
FileOutcome readRegularFileInPieces(const std::string& path, std::int64_t maxBytes,
                                    const FilePieceSink& piece);

// Replaces the whole content of the regular file at `path` (created when
// missing) as an in-place write would: a link stays a link and its final target
// gets the bytes; the old file's permission bits (POSIX) or creation time,
// attributes and security (Windows, ReplaceFileW; where it is refused for
// access, as on a share with "Change" rights, a replacing rename keeps neither)
// are kept. A link is a symbolic link or a junction; other reparse points
// (cloud placeholders, deduplicated files) are ordinary files. The bytes go to a
// unique temporary beside the target (its name: sideFileName of the target's
// with the caller's `temporaryTag`, "-", this process's id, "-", a counter,
// ".tmp"), created exclusively without following links, flushed to disk and then
// put in the place of the very file that was checked (one swapped in meanwhile:
// Busy). Links are followed as resolveWriteTarget follows them. A read-only file
// or anything but a regular file is refused untouched. On any failure the old
// file stays as it was and no temporary of this call is left behind. Where
// Windows removed the old file and the new one cannot take its name, the new one
// is kept (recoverKeptReplacement) and the call is Done.
FileOutcome replaceRegularFile(const std::string& path, const std::string& content,
                               const std::string& temporaryTag);

// replaceRegularFile for a caller that has just read `target` (already
// resolved by resolveWriteTarget) with readRegularFile and `seen`, under a lock
// that every writer honours: the path is not resolved or checked again before
// the temporary is written; then, before the temporary takes its place, the
// file at `target` must still be the very one read, of the same size and last
// write time (or still be missing when none was). Otherwise, as when someone
// appended a line since the read, the call is Busy and the file untouched.
FileOutcome replaceReadFile(const std::string& target, const std::string& content,
                            const std::string& temporaryTag, const ReadSnapshot& seen);

// replaceRegularFile(path, content, "replace") == FileOutcome::Done.
bool replaceFileContent(const std::string& path, const std::string& content);

// Removes what replaceRegularFile calls for `path` with `temporaryTag` left
// behind when their process was killed: regular files beside the target whose
// names follow the temporary pattern and whose writer (the process id in the
// name) no longer runs; links are never followed. Call while holding the
// file's lock, so no replacement of a writer that honours it is under way.
void removeStaleTemporaries(const std::string& path, const std::string& temporaryTag);

// Puts back in its place the copy that replaceRegularFile kept for `path` when
// Windows had removed the old file and the new one could not take its name
// (error 1176, the name held by someone who still has the old file open): the
// copy lies beside it as the target's name, ".", `temporaryTag` and "-kept",
// and no sweep takes it. Done when there is none, when it is back, or when a
// file is at the path again (both then stay); Busy when it cannot be put back
// now: the file must then be neither read nor rewritten. Call while holding the
// file's lock, before removeStaleTemporaries. Always Done on POSIX.
FileOutcome recoverKeptReplacement(const std::string& path, const std::string& temporaryTag);

// The start of the name of a file kept beside one named `name` (its lock, its
// replacement's temporaries): `name`, "." and `tag`. A name so long that a side
// file's name would pass 255 bytes is cut at a character's end and a hash of
// the whole name put after it, so every process derives the same names.
std::string sideFileName(const std::string& name, const std::string& tag);

// The file that a write to `path` reaches, its links followed once, into
// `target` (`path` itself when no link is there, also when nothing is). A
// dangling link or a loop is Refused, and so is a link that another user owns
// in a sticky folder that all may write, unless the folder is that user's.
FileOutcome resolveWriteTarget(const std::string& path, std::string& target);

// An exclusive lock on a lock file, held until the object goes (or is moved
// from). The operating system drops it when the holding process dies. The lock
// file goes with the lock: removed while still held (POSIX), or deleted with
// its last handle (Windows).
class FileLock {
 public:
  FileLock() = default;
  FileLock(std::uintptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  bool held() const { return handle_ != 0; }

 private:
  std::uintptr_t handle_ = 0;
  std::string path_;  // where the lock file is; empty for a handle that never held it
};

// Why lockFileExclusive gave no lock, beyond its outcome.
enum class LockFault {
  None,        // no fault of the lock file's own: it is held elsewhere, or it was got
  NotAFile,    // a directory, FIFO, device or link has the lock file's name
  CannotOpen,  // the lock file is there but cannot be opened (another user's, say)
};

// Takes an exclusive operating-system lock (flock / LockFileEx) on the file at
// `path`, created when missing (with the permission bits of `like` when that
// file is there), waiting at most `timeoutMs`. The lock holds only once the
// open file is still the one at `path`. Busy when another holder kept it that
// long; Refused, with `fault` set, when the name is no regular file (never
// blocking on it) or the file cannot be opened. `lock` holds it exactly on Done.
FileOutcome lockFileExclusive(const std::string& path, std::int64_t timeoutMs, FileLock& lock,
                              LockFault* fault = nullptr, const std::string& like = "");

}  // namespace tavrelon::platform
