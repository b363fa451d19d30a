// POSIX files: listing, status, reads and the replacement of a whole file.
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/files.h"
#include "platform/files_backend.h"
#include "platform/paths.h"
#include "platform/posix/support.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

// Fills in what `mode` says about an entry's kind.
void setKind(mode_t mode, DirectoryEntry& entry) {
  entry.isDirectory = S_ISDIR(mode);
  entry.isFile = S_ISREG(mode);
}

}  // namespace

bool backend::listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                            bool* brokenOff) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr)
    return false;
  std::size_t first = entries.size();
  // readdir tells its end from an error only by errno.
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
      continue;
    DirectoryEntry item;
    item.name = name;
    unsigned char type = entry->d_type;
    struct stat info;
    if (type == DT_UNKNOWN) {
      // Some file systems do not fill d_type: ask, without following a link.
      if (::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(info.st_mode))
          type = DT_LNK;
        else
          setKind(info.st_mode, item);
      }
    } else {
      item.isDirectory = type == DT_DIR;
      item.isFile = type == DT_REG;
    }
    if (type == DT_LNK) {
      // A link counts as what it points to; a dangling one is neither kind.
      item.isLink = true;
      if (::fstatat(::dirfd(dir), name, &info, 0) == 0)
        setKind(info.st_mode, item);
    }
    entries.push_back(std::move(item));
    // The status queries above may set errno; only readdir's own counts.
    errno = 0;
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) {
    // Half a folder must not pass for all of it.
    entries.resize(first);
    if (brokenOff != nullptr)
      *brokenOff = true;
    return false;
  }
  // readdir order is arbitrary; sort by name so ties resolve the same way each time.
  std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return true;
}

std::string backend::resolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr)
    return std::string();
  std::string result(resolved);
  std::free(resolved);
  return result;
}

bool backend::fileIdentity(const std::string& path, FileIdentity& identity) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0)
    return false;
  identity.volume = static_cast<std::uint64_t>(info.st_dev);
  identity.index = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

bool backend::fileStatus(const std::string& path, FileStatus& status) {
  struct statx info;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    return false;
  }
  status.modificationTime = info.stx_mtime.tv_sec;
  // st_ctime is the inode change time on Linux, not a creation time: use the
  // birth time where the file system records it, else the modification time.
  status.creationTime =
      (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime.tv_sec : info.stx_mtime.tv_sec;
  status.size = static_cast<std::int64_t>(info.stx_size);
  return true;
}

bool backend::readFile(const std::string& path, std::string& content) {
  const Descriptor file = openRegularForReading(path);
  if (!file.isOpen())
    return false;
  content.clear();
  // Room for the whole file up front, so that a large file is not copied over
  // and over while the string grows; the loop still reads to the real end.
  struct stat info;
  if (::fstat(file.fd(), &info) == 0 && info.st_size > 0) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t got = retryOnInterrupt([&] { return ::read(file.fd(), buffer, sizeof buffer); });
    if (got < 0)
      return false;
    if (got == 0)
      return true;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

bool backend::openedFileSize(const std::string& path, std::int64_t& size) {
  const Descriptor file = openRegularForReading(path);
  if (!file.isOpen())
    return false;
  off_t end = ::lseek(file.fd(), 0, SEEK_END);
  if (end < 0)
    return false;
  size = static_cast<std::int64_t>(end);
  return true;
}

bool backend::readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                            std::string& bytes) {
  const Descriptor file = openRegularForReading(path);
  if (!file.isOpen())
    return false;
  bytes.resize(length);
  std::size_t done = 0;
  while (done < length) {
    ssize_t got = retryOnInterrupt([&] {
      return ::pread(file.fd(), &bytes[done], length - done, static_cast<off_t>(offset + done));
    });
    if (got < 0) {
      bytes.clear();
      return false;
    }
    if (got == 0)
      break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return true;
}

namespace {

// True when a kernel that protects links refuses to follow the link `link` in
// the folder `folder`: the folder is sticky and all may write it, and the link
// is neither ours nor the folder owner's (another user may have made it, or may
// turn it to another file at any time).
bool isProtectedLink(const struct stat& link, const struct stat& folder) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0 &&
         link.st_uid != ::geteuid() && link.st_uid != folder.st_uid;
}

// The file that a write to `path` reaches: `path` itself, or the final target
// when it is a symbolic link, each link checked as isProtectedLink checks it.
// `exists` tells whether something is there.
FileOutcome writeTarget(const std::string& path, std::string& target, bool& exists) {
  target = path;
  exists = false;
  std::string current = path;
  for (int hop = 0;; ++hop) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0) {
      // A dangling link names no file we could keep as a link.
      return hop == 0 && errno == ENOENT ? FileOutcome::Done : writeOutcomeOfErrno(errno);
    }
    if (!S_ISLNK(info.st_mode))
      break;
    const std::string folder = current.substr(0, finalNameOffset(current));
    struct stat folderInfo;
    if (hop == 40 || ::stat(folder.empty() ? "." : folder.c_str(), &folderInfo) != 0 ||
        isProtectedLink(info, folderInfo))
      return FileOutcome::Refused;
    // Some file systems give a link no size: room for any path then.
    std::string text(std::max<std::size_t>(static_cast<std::size_t>(info.st_size) + 1, 4096), '\0');
    const ssize_t length = ::readlink(current.c_str(), &text[0], text.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= text.size())
      return FileOutcome::Busy;  // changed since the lstat
    text.resize(static_cast<std::size_t>(length));
    current = text[0] == '/' ? text : folder + text;
  }
  if (current != path) {
    // One absolute name for the final file, its folders' links followed.
    char* resolved = ::realpath(current.c_str(), nullptr);
    if (resolved == nullptr)
      return writeOutcomeOfErrno(errno);
    target = resolved;
    std::free(resolved);
  }
  exists = true;
  return FileOutcome::Done;
}

// A new, unique temporary beside `target`, created exclusively and never
// through a link; -1 with errno on failure.
int createTemporary(const std::string& target, const std::string& tag, mode_t mode,
                    std::string& temporary) {
  const std::size_t name = finalNameOffset(target);
  const backend::TemporaryNames names(target.substr(name), tag);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = target.substr(0, name) + names.next();
    int fd = retryOnInterrupt([&] {
      return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    });
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  errno = EEXIST;
  return -1;
}

// What `info` tells of a file that is read, for replaceReadFile.
ReadSnapshot snapshotOf(const struct stat& info) {
  ReadSnapshot seen;
  seen.present = true;
  seen.identity.volume = static_cast<std::uint64_t>(info.st_dev);
  seen.identity.index = static_cast<std::uint64_t>(info.st_ino);
  seen.size = static_cast<std::int64_t>(info.st_size);
  seen.writeTime = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                   static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  seen.mode = static_cast<std::uint32_t>(info.st_mode);
  seen.owner = static_cast<std::uint32_t>(info.st_uid);
  seen.group = static_cast<std::uint32_t>(info.st_gid);
  return seen;
}

// True when `now` (an lstat of the target) is still what the replacement
// checked: `checked` itself (same identity; a link or another file swapped in
// has another), and with `sinceRead` also a regular file unchanged since.
bool stillTheFile(const struct stat& now, const ReadSnapshot& checked, bool sinceRead) {
  const ReadSnapshot current = snapshotOf(now);
  if (!(current.identity == checked.identity))
    return false;
  return !sinceRead || (S_ISREG(now.st_mode) && current.size == checked.size &&
                        current.writeTime == checked.writeTime);
}

}  // namespace

bool backend::exists(const std::string& path) {
  // Only a name that reaches no file is missing: a file that cannot be queried
  // now (a share that reconnects, a folder we may not search) is there.
  return ::access(path.c_str(), F_OK) == 0 || classifyErrno(errno) != FileOutcome::Missing;
}

PathKind backend::pathKind(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0)
    return PathKind::Missing;
  return S_ISREG(info.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

FileOutcome backend::readRegular(const std::string& path, std::int64_t maxBytes, bool startOnly,
                                 std::string& content, const FilePieceSink* pieces,
                                 ReadSnapshot* seen) {
  const Descriptor file(openForReading(path));
  if (!file.isOpen())
    return outcomeOfErrno(errno);
  struct stat info;
  if (::fstat(file.fd(), &info) != 0)
    return outcomeOfErrno(errno);
  if (!S_ISREG(info.st_mode))
    return FileOutcome::Refused;
  // Taken before the read: a file that grows meanwhile no longer matches it.
  if (seen != nullptr)
    *seen = snapshotOf(info);
  return backend::readBounded(
      info.st_size, maxBytes, startOnly, content,
      [&](char* buffer, std::size_t size, FileOutcome& failure) {
        const ssize_t got = retryOnInterrupt([&] { return ::read(file.fd(), buffer, size); });
        if (got < 0)
          failure = outcomeOfErrno(errno);
        return static_cast<std::int64_t>(got);
      },
      pieces);
}

FileOutcome backend::replaceTarget(const std::string& path, std::string& target,
                                   ReadSnapshot& old) {
  bool exists = false;
  const FileOutcome outcome = writeTarget(path, target, exists);
  if (outcome != FileOutcome::Done || !exists)
    return outcome;
  struct stat info;
  if (::lstat(target.c_str(), &info) != 0)
    return writeOutcomeOfErrno(errno);
  if (!S_ISREG(info.st_mode))
    return FileOutcome::Refused;
  old = snapshotOf(info);
  return FileOutcome::Done;
}

FileOutcome backend::mayReplace(const std::string& target, const ReadSnapshot&) {
  // Asked of the system, which knows access lists and read-only mounts too.
  return ::access(target.c_str(), W_OK) == 0 ? FileOutcome::Done : writeOutcomeOfErrno(errno);
}

FileOutcome backend::replaceWith(const std::string& target, const std::string& content,
                                 const std::string& temporaryTag, const ReadSnapshot& old,
                                 bool sinceRead) {
  const bool hasOld = old.present;
  std::string temporary;
  const int fd = createTemporary(target, temporaryTag, hasOld ? 0600 : 0666, temporary);
  if (fd < 0)
    return writeOutcomeOfErrno(errno);
  bool written = true;
  if (hasOld) {
    // The new file takes the old one's permission bits and, where we may, owner.
    written = ::fchmod(fd, static_cast<mode_t>(old.mode & 07777)) == 0;
    if (old.owner != ::geteuid() || old.group != ::getegid()) {
      const int ignored =
          ::fchown(fd, static_cast<uid_t>(old.owner), static_cast<gid_t>(old.group));
      (void)ignored;
    }
  }
  written = written && writeAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  int error = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written)
    backend::beforeReplaceForTesting(target);
  // The rename replaces the very file that was checked: one swapped in meanwhile
  // (a link flipped, a file put in its place) is someone else's for now, and so
  // is the one read when it changed since (a line appended would be lost), or a
  // file where none was read.
  struct stat now;
  if (written && (hasOld || sinceRead)) {
    const bool there = ::lstat(target.c_str(), &now) == 0;
    if (hasOld ? !there || !stillTheFile(now, old, sinceRead) : there || errno != ENOENT) {
      written = false;
      error = EAGAIN;
    }
  }
  if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return writeOutcomeOfErrno(error);
  }
  // Make the rename itself durable.
  const std::string directory = target.substr(0, finalNameOffset(target));
  int dirFd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return FileOutcome::Done;
}

void backend::removeGoneTemporaries(const std::string& directory, const TemporaryNames& names) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr)
    return;
  while (dirent* entry = ::readdir(dir)) {
    if (!names.writerGone(entry->d_name))
      continue;
    struct stat info;
    if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode))
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

FileOutcome backend::recoverKeptReplacement(const std::string&, const std::string&) {
  // rename() replaces in one step: no replacement ever loses the old file first.
  return FileOutcome::Done;
}

FileOutcome backend::resolveWriteTarget(const std::string& path, std::string& target) {
  bool exists = false;
  return writeTarget(path, target, exists);
}

}  // namespace tavrelon::platform
