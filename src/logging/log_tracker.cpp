#include "logging/log_tracker.h"

#include <algorithm>
#include <exception>
#include <set>
#include <utility>

#include "logging/last_line.h"
#include "logging/run_vocabulary.h"
#include "logging/status_log_names.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text_encoding.h"
#include "platform/watchdog_process.h"

namespace tavrelon {

namespace {

// A stored last line is at most this long: its final part, so that a log
// without line feeds adds no more than this to a status row.
constexpr std::size_t kMaxLineBytes = 4096;
// What is read of a log's end: the longest line kept, its line end (CR LF) and
// one empty line after it.
constexpr std::size_t kTailBytes = kMaxLineBytes + 3;

// Folders nested deeper than this below the log folder are identified as if
// reached through a link: a file system that shows a link as a plain folder
// (a network share that follows links on the server, Wine) would otherwise
// make a loop that no link check sees.
constexpr int kDepthBeforeIdentifying = 8;

// Folders and logs that cannot be read are named one by one up to this many a
// run; a tree that reaches thousands of them (a link to the root of a system)
// gets one line for the rest instead of a screenful.
constexpr std::size_t kMostNamed = 10;

// Remembers the directories of one walk so that none is walked twice, which
// ends link loops. A tree without links cannot hold a directory twice, so until
// the first link to a directory is met only the walked paths are kept; from
// then on every directory is identified (device and inode, or volume and file
// index) and one already walked is left out.
class WalkedDirectories {
 public:
  explicit WalkedDirectories(std::vector<std::string>& paths) : paths_(paths) {}

  // True when the directory at `path`, `depth` levels below the walk's root,
  // is to be walked now.
  bool enter(const std::string& path, bool throughLink, int depth) {
    const bool suspect = throughLink || depth > kDepthBeforeIdentifying;
    if (suspect && !linkMet_) {
      linkMet_ = true;
      for (std::size_t i = 0; i < pathCount_; ++i)
        remember(paths_[i]);
    }
    if (!linkMet_) {
      if (pathCount_ < paths_.size())
        paths_[pathCount_].assign(path);
      else
        paths_.push_back(path);
      ++pathCount_;
      return true;
    }
    // A link whose target cannot be identified is not followed: it might lead
    // back into the walk.
    return remember(path) ? newlyRemembered_ : !suspect;
  }

 private:
  // Adds the identity of `path`; false when it cannot be queried.
  bool remember(const std::string& path) {
    platform::FileIdentity identity;
    if (!platform::fileIdentity(path, identity))
      return false;
    newlyRemembered_ = identities_.insert({identity.volume, identity.index}).second;
    return true;
  }

  std::vector<std::string>& paths_;  // storage reused from walk to walk
  std::size_t pathCount_ = 0;
  bool linkMet_ = false;
  bool newlyRemembered_ = false;
  std::set<std::pair<std::uint64_t, std::uint64_t>> identities_;
};

// Walks `path` depth first and hands every non-directory entry's full path and
// entry to `take`, and every folder whose listing fails (its path, its depth
// below the walk's root, whether the listing broke off midway) to `failed`.
// `path` is extended and restored in place, and `entries` is one stack for all
// levels, so a walk allocates little per entry.
template <typename Take, typename Failed>
void walkTree(std::string& path, bool throughLink, int depth,
              std::vector<platform::DirectoryEntry>& entries, WalkedDirectories& walked, Take& take,
              Failed& failed) {
  if (!walked.enter(path, throughLink, depth))
    return;
  const std::size_t first = entries.size();
  bool brokenOff = false;
  if (!platform::listDirectory(path, entries, &brokenOff)) {
    failed(path, depth, brokenOff);
    return;
  }
  const std::size_t last = entries.size();
  const std::size_t pathLength = path.size();
  for (std::size_t i = first; i < last; ++i) {
    path += platform::separator();
    path += entries[i].name;
    // The recursion appends behind `last` and may move the vector: read by index.
    if (entries[i].isDirectory) {
      walkTree(path, entries[i].isLink, depth + 1, entries, walked, take, failed);
    } else {
      take(path, entries[i]);
    }
    path.resize(pathLength);
  }
  entries.resize(first);
}

// A program's own log by its name: ".csv" and neither "TavrelonLog" nor the
// queue's journal "TavrelonQueue" in the part of the path from `below` on (the
// part below the log folder), case-sensitively.
bool isCandidate(const std::string& path, std::size_t below) {
  return path.find(".csv", below) != std::string::npos && !namesStatusLogFile(path, below) &&
         path.find("TavrelonQueue", below) == std::string::npos;
}

// The final name of `path`; a '/' separates on Windows too.
std::string finalName(const std::string& path) {
  return platform::finalNameOf(path, true);
}

bool equalIgnoringAsciiCase(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// The last line of the file at `path` (its final kMaxLineBytes at most), read
// from its end only; false when the file cannot be opened or read.
bool readLastLine(const std::string& path, std::string& text) {
  std::int64_t size = 0;
  if (!platform::openedFileSize(path, size))
    return false;
  std::string tail;
  std::int64_t offset = std::max<std::int64_t>(0, size - static_cast<std::int64_t>(kTailBytes));
  if (!platform::readFileRange(path, offset, static_cast<std::size_t>(size - offset), tail))
    return false;
  // A file that shrank since its size was taken ends where the read ended.
  std::int64_t readSize = offset + static_cast<std::int64_t>(tail.size());
  bool needMore = false;
  text = lastLineOf(tail, readSize, needMore);
  if (needMore) {
    // The line starts before the tail: take the tail as if it were the whole
    // file, which gives the line's final part.
    text = lastLineOf(tail, static_cast<std::int64_t>(tail.size()), needMore);
  }
  const bool cut = needMore || text.size() > kMaxLineBytes;
  if (text.size() > kMaxLineBytes)
    text.erase(0, text.size() - kMaxLineBytes);
  if (cut) {
    // A cut through a UTF-8 character leaves its continuation bytes in front;
    // they go, so that the rest still reads as the UTF-8 it is.
    std::size_t stray = 0;
    while (stray < 3 && stray < text.size() &&
           (static_cast<unsigned char>(text[stray]) & 0xC0) == 0x80)
      ++stray;
    if (stray > 0 && isValidUtf8(text.substr(stray)))
      text.erase(0, stray);
  }
  return true;
}

}  // namespace

// logDir is set before the wait: no one can look at it during the wait, and
// the failure path must leave it holding the given directory anyway.
TestLog::TestLog(std::string dir, std::string statusLog, std::string evidenceDir)
    : logDir(std::move(dir)),
      statusLogPath(std::move(statusLog)),
      evidenceDir_(std::move(evidenceDir)) {
  try {
    if (!evidenceDir_.empty()) {
      evidenceName_ = finalName(evidenceDir_);
      const std::string target = platform::resolvedPath(evidenceDir_);
      if (!target.empty() && finalName(target) != evidenceName_)
        evidenceTargetName_ = finalName(target);
    }
    if (!statusLogPath.empty()) {
      statusLogName_ = finalName(statusLogPath);
      // A status log path that is a link writes its rows to the link's target.
      std::string target = platform::resolvedPath(statusLogPath);
      if (!target.empty() && finalName(target) != statusLogName_)
        statusLogTargetName_ = finalName(target);
    }
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
    messages_.push_back(e.what());
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
    messages_.push_back(e.what());
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
    return latestLogText(latestLogPath, commasToSpaces(textAsUtf8(text)));
  } catch (const std::exception& e) {
    messages_.push_back(e.what());
    return std::string();
  }
}

std::vector<std::string> TestLog::takeMessages() {
  return std::exchange(messages_, std::vector<std::string>());
}

bool TestLog::findCandidates() {
  // The last good scan's candidates stand in for a sub-folder that cannot be
  // listed now; the storage of both lists is reused.
  std::swap(candidates_, previous_);
  const std::size_t previousCount = candidateCount_;
  candidateCount_ = 0;
  auto take = [this](const std::string& path, const platform::DirectoryEntry& entry) {
    // The filters run before any status query and before a path is stored;
    // FIFOs, sockets, devices and dangling links are no files and never opened.
    if (!entry.isFile || !isCandidate(path, logDir.size()) || isStatusLog(path, entry.name) ||
        isEvidence(path))
      return;
    Candidate& candidate = nextCandidate();
    candidate.path.assign(path);
    candidate.hasTimes = entry.hasTimes;
    candidate.creationTime = entry.creationTime;
    candidate.modificationTime = entry.modificationTime;
  };
  auto failed = [this, previousCount](const std::string& folder, int depth, bool brokenOff) {
    if (depth == 0) {
      scanBrokenOff_ = brokenOff;
      return;
    }
    // A folder removed since its parent was listed has nothing to keep; one
    // that is there but cannot be listed (a bad block, no permission) keeps
    // its logs, so that no older log takes the place of one inside it.
    if (!platform::exists(folder))
      return;
    sayOnce(folder, "Warning: Failed to list log folder [" + folder +
                        "]!  Its logs from the last good scan are kept.");
    const std::string prefix = folder + platform::separator();
    for (std::size_t i = 0; i < previousCount; ++i) {
      if (previous_[i].path.compare(0, prefix.size(), prefix) == 0)
        nextCandidate() = previous_[i];
    }
  };
  walkPath_.assign(logDir);
  entries_.clear();
  scanBrokenOff_ = false;
  WalkedDirectories walked(walkedPaths_);
  walkTree(walkPath_, false, 0, entries_, walked, take, failed);
  if (scanBrokenOff_) {
    // A listing of the log folder that broke off midway would choose from half
    // of it: such a scan finds nothing, the previous choice stands, and the
    // last good scan stays the one to keep sub-folders from.
    std::swap(candidates_, previous_);
    candidateCount_ = previousCount;
    return false;
  }
  return candidateCount_ > 0;
}

TestLog::Candidate& TestLog::nextCandidate() {
  if (candidateCount_ == candidates_.size())
    candidates_.emplace_back();
  return candidates_[candidateCount_++];
}

void TestLog::sayOnce(const std::string& path, std::string line) {
  if (said_.size() > kMostNamed || !said_.insert(path).second)
    return;
  if (said_.size() <= kMostNamed)
    messages_.push_back(std::move(line));
  else
    messages_.push_back("Warning: More log folders or logs cannot be read; they are not named.");
}

bool TestLog::isEvidence(const std::string& path) const {
  if (evidenceName_.empty())
    return false;
  // Only a folder named as the evidence folder costs an identity query.
  for (std::size_t end = path.find(platform::separator(), logDir.size()); end != std::string::npos;
       end = path.find(platform::separator(), end + 1)) {
    const std::string folder = path.substr(0, end);
    const std::string name = finalName(folder);
    if (!equalIgnoringAsciiCase(name, evidenceName_) &&
        (evidenceTargetName_.empty() || !equalIgnoringAsciiCase(name, evidenceTargetName_)))
      continue;
    platform::FileIdentity candidate, evidence;
    if (folder == evidenceDir_ ||
        (platform::fileIdentity(folder, candidate) &&
         platform::fileIdentity(evidenceDir_, evidence) && candidate == evidence))
      return true;
  }
  return false;
}

bool TestLog::isStatusLog(const std::string& path, const std::string& name) const {
  // The name first, so that a search costs no query per file; case aside, as
  // Windows names match. Then the same file, however either path reaches it.
  if (statusLogName_.empty() || (!equalIgnoringAsciiCase(name, statusLogName_) &&
                                 !equalIgnoringAsciiCase(name, statusLogTargetName_)))
    return false;
  if (path == statusLogPath)
    return true;
  platform::FileIdentity candidate, statusLog;
  return platform::fileIdentity(path, candidate) &&
         platform::fileIdentity(statusLogPath, statusLog) && candidate == statusLog;
}

std::int64_t TestLog::chooseNewest(bool byCreationTime, std::string& choice) {
  std::int64_t best = 0;
  std::int64_t bestModified = 0;
  bool found = false;
  platform::FileStatus status;
  for (std::size_t i = 0; i < candidateCount_; ++i) {
    Candidate& candidate = candidates_[i];
    if (!candidate.hasTimes) {
      // A log whose status cannot be read (its folder cannot be entered, its
      // path is too long) tells no time: it never replaces a readable choice.
      if (!platform::fileStatus(candidate.path, status)) {
        sayOnce(candidate.path, "Warning: Failed to read the status of log [" + candidate.path +
                                    "]!  It is skipped.");
        continue;
      }
      // Kept with the candidate, so that a later scan that cannot list its
      // folder still knows them.
      candidate.hasTimes = true;
      candidate.creationTime = status.creationTime;
      candidate.modificationTime = status.modificationTime;
    }
    const std::int64_t time = byCreationTime ? candidate.creationTime : candidate.modificationTime;
    // Newer wins; of two from the same clock tick the later modified, and of
    // those the first listed stays.
    if (time > best || (found && time == best && candidate.modificationTime > bestModified)) {
      best = time;
      bestModified = candidate.modificationTime;
      found = true;
      choice = candidate.path;
    }
  }
  return best;
}

void listFilesRecursive(const std::string& dir, std::vector<std::string>& list) {
  std::string path = dir;
  std::vector<platform::DirectoryEntry> entries;
  std::vector<std::string> walkedPaths;
  WalkedDirectories walked(walkedPaths);
  auto take = [&list](const std::string& file, const platform::DirectoryEntry&) {
    list.push_back(file);
  };
  auto failed = [](const std::string&, int, bool) {};
  walkTree(path, false, 0, entries, walked, take, failed);
}

std::string commasToSpaces(std::string text) {
  std::replace(text.begin(), text.end(), ',', ' ');
  return text;
}

}  // namespace tavrelon
