#include "report/report_input.h"

#include <algorithm>

namespace tavrelon::report {

namespace {

const char kHeaderStart[] = "Application_ID,";

// Whose file it is can be told from its first bytes for most files in a
// folder; readStatusLog then decides by the full rule.
bool startsLikeStatusLog(const std::string& path) {
  std::string bytes;
  if (platform::readRegularFileStart(path, 64, bytes) != platform::FileOutcome::Done)
    return false;
  std::size_t begin = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  return bytes.compare(begin, sizeof kHeaderStart - 1, kHeaderStart) == 0;
}

// A status log's temporary and lock files carry ".TavrelonLog-" in their names;
// a temporary holds a copy of the log that must not count as a log of its own.
bool isWatchdogScratch(const std::string& name) {
  return name.find(std::string(".") + kStatusLogTemporaryTag + "-") != std::string::npos;
}

std::string joined(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == platform::separator() || folder.back() == '/'))
    return folder + name;
  return folder + platform::separator() + name;
}

class Collector {
 public:
  explicit Collector(std::vector<std::string>& errors) : errors_(errors) {}

  void addPath(const std::string& path) {
    switch (platform::pathKind(path)) {
      case platform::PathKind::Missing:
        errors_.push_back("Error: No such file or folder [" + path + "]");
        return;
      case platform::PathKind::RegularFile:
        addFile(path, true);
        return;
      case platform::PathKind::Other:
        break;
    }
    const std::size_t before = met_;
    bool listed = false;
    walk(path, listed);
    if (!listed)
      errors_.push_back("Error: Cannot read the folder [" + path + "]");
    else if (met_ == before)
      errors_.push_back("Error: No status log in the folder [" + path + "]");
  }

  std::vector<FoundLog> take() { return std::move(found_); }

 private:
  // Reads one file; `named` when the user named it (then a foreign file is an
  // error), else met in a folder (then it is skipped without a word).
  void addFile(const std::string& path, bool named) {
    platform::FileIdentity identity;
    const bool known = platform::fileIdentity(path, identity);
    if (known) {
      for (const FoundLog& log : found_) {
        if (log.identity == identity) {
          ++met_;
          return;
        }
      }
    }
    FoundLog log;
    log.path = path;
    log.identity = identity;
    switch (readStatusLog(path, log.rows)) {
      case StatusLogOutcome::Done:
        found_.push_back(std::move(log));
        ++met_;
        return;
      case StatusLogOutcome::Missing:
        if (named)
          errors_.push_back("Error: No such file or folder [" + path + "]");
        return;
      case StatusLogOutcome::Busy:
        errors_.push_back("Error: Status log held by another program, skipped [" + path + "]");
        return;
      case StatusLogOutcome::Refused:
        break;
    }
    platform::FileStatus status;
    if (platform::fileStatus(path, status) && status.size > kMaxStatusLogBytes) {
      errors_.push_back("Error: Status log too large to read, skipped [" + path + "]");
    } else if (named) {
      errors_.push_back("Error: Not a status log, skipped [" + path + "]");
    } else if (startsLikeStatusLog(path)) {
      errors_.push_back("Error: Status log cannot be read, skipped [" + path + "]");
    }
  }

  void walk(const std::string& folder, bool& listed) {
    platform::FileIdentity identity;
    if (platform::fileIdentity(folder, identity)) {
      // Links may lead back to a folder already walked.
      if (std::find(walked_.begin(), walked_.end(), identity) != walked_.end()) {
        listed = true;
        return;
      }
      walked_.push_back(identity);
    }
    std::vector<platform::DirectoryEntry> entries;
    if (!platform::listDirectory(folder, entries))
      return;
    listed = true;
    std::sort(entries.begin(), entries.end(),
              [](const platform::DirectoryEntry& a, const platform::DirectoryEntry& b) {
                return a.name < b.name;
              });
    for (const platform::DirectoryEntry& entry : entries) {
      const std::string path = joined(folder, entry.name);
      if (entry.isDirectory) {
        bool ignored = false;
        walk(path, ignored);
      } else if (entry.isFile && !isWatchdogScratch(entry.name) && startsLikeStatusLog(path)) {
        addFile(path, false);
      }
    }
  }

  std::vector<std::string>& errors_;
  std::vector<FoundLog> found_;
  std::vector<platform::FileIdentity> walked_;
  std::size_t met_ = 0;  // status logs met, those read before included
};

}  // namespace

std::vector<FoundLog> collectStatusLogs(const std::vector<std::string>& paths,
                                        std::vector<std::string>& errors) {
  Collector collector(errors);
  for (const std::string& path : paths)
    collector.addPath(path);
  return collector.take();
}

}  // namespace tavrelon::report
