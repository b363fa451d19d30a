#include "logging/test_log.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "logging/last_line.h"
#include "platform/console.h"
#include "platform/text_encoding.h"

namespace tavrelon {

namespace {

// The first look at a log's end; doubled while the last line starts earlier.
constexpr std::size_t kFirstTailBytes = 64 * 1024;
// A last line longer than this is cut to its final part, so that a log without
// line feeds is never read whole.
constexpr std::size_t kMaxLineBytes = 1024 * 1024;

// Walks `path` depth first and hands every non-directory entry's full path to
// `take`. `path` is extended and restored in place, and `entries` is one stack
// for all levels, so a walk allocates little per entry.
template <typename Take>
void walkTree(std::string& path, std::vector<platform::DirectoryEntry>& entries, Take& take,
              bool& brokenOff) {
  const std::size_t first = entries.size();
  if (!platform::listDirectory(path, entries, &brokenOff))
    return;
  const std::size_t last = entries.size();
  const std::size_t pathLength = path.size();
  for (std::size_t i = first; i < last; ++i) {
    path += platform::separator();
    path += entries[i].name;
    // The recursion appends behind `last` and may move the vector: read by index.
    if (entries[i].isDirectory) {
      walkTree(path, entries, take, brokenOff);
    } else {
      take(path);
    }
    path.resize(pathLength);
  }
  entries.resize(first);
}

// A program's own log: ".csv" anywhere in the path and no status log.
bool isCandidate(const std::string& path) {
  return path.find(".csv") != std::string::npos && path.find("TavrelonLog") == std::string::npos;
}

// The last line of the file at `path`, read from its end only; false when the
// file cannot be opened or read.
bool readLastLine(const std::string& path, std::string& text) {
  std::int64_t size = 0;
  if (!platform::openedFileSize(path, size))
    return false;
  std::string tail;
  for (std::size_t want = kFirstTailBytes;; want *= 2) {
    std::int64_t offset = std::max<std::int64_t>(0, size - static_cast<std::int64_t>(want));
    if (!platform::readFileRange(path, offset, static_cast<std::size_t>(size - offset), tail)) {
      return false;
    }
    // A file that shrank since its size was taken ends where the read ended.
    std::int64_t readSize = offset + static_cast<std::int64_t>(tail.size());
    bool needMore = false;
    text = lastLineOf(tail, readSize, needMore);
    if (!needMore)
      return true;
    if (tail.size() >= kMaxLineBytes) {
      // Take the tail as if it were the whole file: the line's final part.
      text = lastLineOf(tail, static_cast<std::int64_t>(tail.size()), needMore);
      return true;
    }
  }
}

}  // namespace

// logDir is set before the wait: no one can look at it during the wait, and
// the failure path must leave it holding the given directory anyway.
TestLog::TestLog(std::string dir) : logDir(std::move(dir)) {
  try {
    platform::pauseUnlessStopped(5000);  // a stop request cuts it short
    if (logDir.empty())
      return;
    std::string choice;
    if (findCandidates())
      chooseNewest(true, choice);
    latestLogPath = std::move(choice);
  } catch (const std::exception&) {
    latestLogPath.clear();
  }
}

std::int64_t TestLog::latestLogTime() {
  try {
    if (latestLogPath.empty() && logDir.empty())
      return 0;
    if (!latestLogPath.empty()) {
      platform::FileStatus status;
      return platform::fileStatus(latestLogPath, status) ? status.modificationTime : 0;
    }
    if (!findCandidates())
      return 0;
    return chooseNewest(false, latestLogPath);
  } catch (const std::exception& e) {
    printLine(e.what());
    return 0;
  }
}

std::string TestLog::latestLogLine() {
  return readLatestLogLine();
}

std::int64_t TestLog::latestLogSize() {
  try {
    if (latestLogPath.empty() && logDir.empty())
      return 0;
    // A fresh search on every call: the program may have begun a new log.
    if (!findCandidates()) {
      // A scan that broke off counts as no progress: the last answer again.
      return scanBrokenOff_ ? lastSize_ : (lastSize_ = 0);
    }
    chooseNewest(true, latestLogPath);
    std::int64_t size = 0;
    if (!platform::openedFileSize(latestLogPath, size))
      size = 0;
    lastSize_ = size;
    return size;
  } catch (const std::exception& e) {
    printLine(e.what());
    return 0;
  }
}

std::string TestLog::readLatestLogLine() {
  try {
    if (latestLogPath.empty() && logDir.empty())
      return std::string();
    if (latestLogPath.empty()) {
      if (!findCandidates())
        return std::string();
      chooseNewest(true, latestLogPath);
    }
    std::string text;
    if (!readLastLine(latestLogPath, text))
      return std::string();
    // The program writes its log in UTF-8 or in the ANSI code page; inside
    // the watchdog the line is UTF-8 like the path.
    return "[" + latestLogPath + "] " + commasToSpaces(textAsUtf8(text));
  } catch (const std::exception& e) {
    printLine(e.what());
    return std::string();
  }
}

bool TestLog::findCandidates() {
  candidateCount_ = 0;
  auto take = [this](const std::string& path) {
    // The filter runs before any status query and before a path is stored.
    if (!isCandidate(path))
      return;
    if (candidateCount_ < candidates_.size()) {
      candidates_[candidateCount_].assign(path);
    } else {
      candidates_.push_back(path);
    }
    ++candidateCount_;
  };
  walkPath_.assign(logDir);
  entries_.clear();
  scanBrokenOff_ = false;
  walkTree(walkPath_, entries_, take, scanBrokenOff_);
  // A listing that broke off midway would choose from half a folder: such a
  // scan finds nothing, and the previous choice stands.
  return candidateCount_ > 0 && !scanBrokenOff_;
}

std::int64_t TestLog::chooseNewest(bool byCreationTime, std::string& choice) {
  std::int64_t best = 0;
  platform::FileStatus status;
  for (std::size_t i = 0; i < candidateCount_; ++i) {
    const std::string& candidate = candidates_[i];
    if (!platform::fileStatus(candidate, status)) {
      choice = candidates_[candidateCount_ - 1];
      continue;
    }
    std::int64_t time = byCreationTime ? status.creationTime : status.modificationTime;
    // Strictly newer only: of two files from the same second the first listed stays.
    if (time > best) {
      best = time;
      choice = candidate;
    }
  }
  return best;
}

void listFilesRecursive(const std::string& dir, std::vector<std::string>& list) {
  std::string path = dir;
  std::vector<platform::DirectoryEntry> entries;
  auto take = [&list](const std::string& file) { list.push_back(file); };
  bool brokenOff = false;
  walkTree(path, entries, take, brokenOff);
}

std::string commasToSpaces(std::string text) {
  std::replace(text.begin(), text.end(), ',', ' ');
  return text;
}

}  // namespace tavrelon
