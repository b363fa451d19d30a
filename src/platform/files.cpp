// The policy of the file services that both backends share: a path with a NUL
// byte names no file, and the names of replacement temporaries. The backends
// supply the system calls.
#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/files.h"
#include "platform/files_backend.h"
#include "platform/paths.h"
#include "platform/process_backend.h"

namespace tavrelon::platform {

using backend::namesNoFile;

namespace {

// Replaces `target`, found as `old`, unless its owner made it read-only: such a
// file stays as it is.
FileOutcome replaceChecked(const std::string& target, const std::string& content,
                           const std::string& temporaryTag, const ReadSnapshot& old,
                           bool sinceRead) {
  const FileOutcome allowed = old.present ? backend::mayReplace(target, old) : FileOutcome::Done;
  return allowed != FileOutcome::Done
             ? allowed
             : backend::replaceWith(target, content, temporaryTag, old, sinceRead);
}

// The latest file error of this thread; see takeFileErrorCode.
thread_local std::uint32_t fileErrorCode = 0;

}  // namespace

void backend::noteFileError(std::uint32_t code) {
  fileErrorCode = code;
}

FileOutcome backend::classifyFileError(std::uint32_t code) {
  const FileErrorTable table = fileErrorTable();
  const auto holds = [code](const std::uint32_t* codes, std::size_t count) {
    return std::find(codes, codes + count, code) != codes + count;
  };
  if (holds(table.missing, table.missingCount))
    return FileOutcome::Missing;
  return holds(table.passing, table.passingCount) ? FileOutcome::Busy : FileOutcome::Refused;
}

FileOutcome backend::readFailure(std::uint32_t code) {
  const FileOutcome classified = classifyFileError(code);
  if (classified != FileOutcome::Missing)
    noteFileError(code);
  return classified;
}

FileOutcome backend::writeFailure(std::uint32_t code) {
  noteFileError(code);
  const FileOutcome classified = classifyFileError(code);
  return classified == FileOutcome::Missing ? FileOutcome::Refused : classified;
}

std::uint32_t takeFileErrorCode() {
  return std::exchange(fileErrorCode, 0);
}

bool exists(const std::string& path) {
  return !namesNoFile(path) && backend::exists(path);
}

bool listDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries,
                   bool* brokenOff) {
  return !directory.empty() && !namesNoFile(directory) &&
         backend::listDirectory(directory, entries, brokenOff);
}

std::string resolvedPath(const std::string& path) {
  return namesNoFile(path) ? std::string() : backend::resolvedPath(path);
}

bool fileIdentity(const std::string& path, FileIdentity& identity) {
  return !namesNoFile(path) && backend::fileIdentity(path, identity);
}

bool fileStatus(const std::string& path, FileStatus& status) {
  return !namesNoFile(path) && backend::fileStatus(path, status);
}

bool readFile(const std::string& path, std::string& content) {
  return !namesNoFile(path) && backend::readFile(path, content);
}

bool openedFileSize(const std::string& path, std::int64_t& size) {
  return !namesNoFile(path) && backend::openedFileSize(path, size);
}

bool readFileRange(const std::string& path, std::int64_t offset, std::size_t length,
                   std::string& bytes) {
  bytes.clear();
  return offset >= 0 && !namesNoFile(path) && backend::readFileRange(path, offset, length, bytes);
}

PathKind pathKind(const std::string& path) {
  return namesNoFile(path) ? PathKind::Missing : backend::pathKind(path);
}

FileOutcome readRegularFile(const std::string& path, std::int64_t maxBytes, std::string& content) {
  content.clear();
  return namesNoFile(path) ? FileOutcome::Missing
                           : backend::readRegular(path, maxBytes, false, content);
}

FileOutcome readRegularFile(const std::string& path, std::int64_t maxBytes, std::string& content,
                            ReadSnapshot& seen) {
  content.clear();
  if (namesNoFile(path))
    return FileOutcome::Missing;
  const FileOutcome read = backend::readRegular(path, maxBytes, false, content, nullptr, &seen);
  if (read == FileOutcome::Missing)
    seen = ReadSnapshot();
  return read;
}

FileOutcome readRegularFileStart(const std::string& path, std::size_t length, std::string& bytes) {
  bytes.clear();
  return namesNoFile(path)
             ? FileOutcome::Missing
             : backend::readRegular(path, static_cast<std::int64_t>(length), true, bytes);
}

FileOutcome readRegularFileInPieces(const std::string& path, std::int64_t maxBytes,
                                    const FilePieceSink& piece) {
  std::string unused;
  return namesNoFile(path) ? FileOutcome::Missing
                           : backend::readRegular(path, maxBytes, false, unused, &piece);
}

FileOutcome replaceRegularFile(const std::string& path, const std::string& content,
                               const std::string& temporaryTag) {
  if (namesNoFile(path))
    return FileOutcome::Refused;
  std::string target = path;
  ReadSnapshot old;
  const FileOutcome checked = backend::replaceTarget(path, target, old);
  return checked != FileOutcome::Done ? checked
                                      : replaceChecked(target, content, temporaryTag, old, false);
}

FileOutcome replaceReadFile(const std::string& target, const std::string& content,
                            const std::string& temporaryTag, const ReadSnapshot& seen) {
  // Resolved and read by the caller: what it saw is what must be replaced.
  return namesNoFile(target) ? FileOutcome::Refused
                             : replaceChecked(target, content, temporaryTag, seen, true);
}

bool replaceFileContent(const std::string& path, const std::string& content) {
  return replaceRegularFile(path, content, "replace") == FileOutcome::Done;
}

void removeStaleTemporaries(const std::string& path, const std::string& temporaryTag) {
  std::string target;
  if (namesNoFile(path) || backend::resolveWriteTarget(path, target) != FileOutcome::Done)
    return;
  // The temporaries lie beside the final file, as replaceRegularFile made them.
  const std::size_t name = finalNameOffset(target, true);
  backend::removeGoneTemporaries(target.substr(0, name),
                                 backend::TemporaryNames(target.substr(name), temporaryTag));
}

FileOutcome recoverKeptReplacement(const std::string& path, const std::string& temporaryTag) {
  return namesNoFile(path) ? FileOutcome::Done
                           : backend::recoverKeptReplacement(path, temporaryTag);
}

FileOutcome backend::readBounded(
    std::int64_t size, std::int64_t maxBytes, bool startOnly, std::string& content,
    const std::function<std::int64_t(char*, std::size_t, FileOutcome&)>& read,
    const FilePieceSink* pieces) {
  if (!startOnly && size > maxBytes)
    return FileOutcome::Refused;
  if (pieces == nullptr)
    content.reserve(static_cast<std::size_t>(std::min<std::int64_t>(size, maxBytes)));
  char buffer[65536];
  for (std::int64_t handed = 0;;) {
    FileOutcome failure = FileOutcome::Refused;
    const std::int64_t got = read(buffer, sizeof buffer, failure);
    if (got < 0) {
      content.clear();
      return failure;
    }
    if (got == 0)
      return FileOutcome::Done;
    if (pieces != nullptr) {
      // Pieces are not kept: the bound is on what was handed on.
      handed += got;
      if (handed > maxBytes || !(*pieces)(buffer, static_cast<std::size_t>(got)))
        return FileOutcome::Refused;
      continue;
    }
    // The file may grow while it is read: the bound holds for what is read.
    if (static_cast<std::int64_t>(content.size()) + got > maxBytes) {
      if (!startOnly) {
        std::string().swap(content);
        return FileOutcome::Refused;
      }
      content.append(buffer, static_cast<std::size_t>(maxBytes) - content.size());
      return FileOutcome::Done;
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

namespace {

// The longest a file's name may be on the file systems in use (bytes of UTF-8
// here, never fewer than the UTF-16 units Windows counts).
constexpr std::size_t kMaxNameBytes = 255;
// What a temporary's name adds past sideFileName at most: "-", a process id
// and a counter of up to 10 digits each, "-" and ".tmp"; the lock's "-lock" is less.
constexpr std::size_t kLongestEnding = 26;

// 16 hexadecimal digits of the 64-bit FNV-1a hash of `text`.
std::string hashOf(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char byte : text) {
    hash ^= byte;
    hash *= 1099511628211ULL;
  }
  static const char digits[] = "0123456789abcdef";
  std::string hex(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4)
    hex[static_cast<std::size_t>(i)] = digits[hash & 15];
  return hex;
}

}  // namespace

std::string sideFileName(const std::string& name, const std::string& tag) {
  const std::size_t ending = 1 + tag.size() + kLongestEnding;
  if (name.size() + ending <= kMaxNameBytes)
    return name + "." + tag;
  // "~" and the hash take 17 bytes; the cut never splits a UTF-8 sequence.
  std::size_t keep = kMaxNameBytes > ending + 17 ? kMaxNameBytes - ending - 17 : 0;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
    --keep;
  return name.substr(0, keep) + "~" + hashOf(name) + "." + tag;
}

FileOutcome resolveWriteTarget(const std::string& path, std::string& target) {
  target = path;
  return namesNoFile(path) ? FileOutcome::Refused : backend::resolveWriteTarget(path, target);
}

backend::TemporaryNames::TemporaryNames(const std::string& targetName, const std::string& tag)
    : prefix_(sideFileName(targetName, tag) + "-") {}

std::string backend::TemporaryNames::next() const {
  static std::atomic<unsigned> counter{0};
  return prefix_ + std::to_string(currentProcessId()) + "-" + std::to_string(counter++) + kSuffix;
}

bool backend::TemporaryNames::matches(const std::string& entryName) const {
  const std::string suffix = kSuffix;
  return entryName.size() > prefix_.size() + suffix.size() &&
         entryName.compare(0, prefix_.size(), prefix_) == 0 &&
         entryName.compare(entryName.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool backend::TemporaryNames::writerGone(const std::string& entryName) const {
  if (!matches(entryName))
    return false;
  // The digits before the next "-": a name without them was made by no writer
  // of this kind, and is nobody's now.
  std::uint64_t id = 0;
  std::size_t at = prefix_.size();
  for (; at < entryName.size() && entryName[at] >= '0' && entryName[at] <= '9'; ++at) {
    id = id * 10 + static_cast<std::uint64_t>(entryName[at] - '0');
    if (id > 0xFFFFFFFFULL)
      return true;
  }
  if (at == prefix_.size() || at >= entryName.size() || entryName[at] != '-')
    return true;
  const auto processId = static_cast<std::uint32_t>(id);
  return processId == currentProcessId() || !processRuns(processId);
}

}  // namespace tavrelon::platform
