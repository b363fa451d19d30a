#include "report/report_input.h"

#include <algorithm>

namespace tavrelon::report {

namespace {

const char kHeaderStart[] = "Application_ID,";

// Whose file it is can be told from its first bytes for most files in a
// folder; readStatusLog then decides by the full rule. `opened` false when the
// file could not be read at all.
bool startsLikeStatusLog(const std::string& path, bool& opened) {
  std::string bytes;
  opened = platform::readRegularFileStart(path, 64, bytes) == platform::FileOutcome::Done;
  if (!opened)
    return false;
  std::size_t begin = startsWithByteOrderMark(bytes) ? 3 : 0;
  return bytes.compare(begin, sizeof kHeaderStart - 1, kHeaderStart) == 0;
}

bool endsWithCsv(const std::string& name) {
  if (name.size() < 4)
    return false;
  std::string end = name.substr(name.size() - 4);
  for (char& c : end)
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return end == ".csv";
}

// The last name of the folder `path`, trailing separators aside; the resolved
// folder's name for "." and "..".
std::string folderName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\'))
    trimmed.pop_back();
  std::string name = platform::finalNameOf(trimmed, true);
  if (name.empty() || name == "." || name == "..") {
    const std::string resolved = platform::resolvedPath(path);
    name = resolved.empty() ? trimmed : platform::finalNameOf(resolved, true);
  }
  return name.empty() ? trimmed : name;
}

// True when `inner` is `root` or lies under it (both resolved paths).
bool isWithin(const std::string& inner, const std::string& root) {
  if (root.empty() || inner.compare(0, root.size(), root) != 0)
    return false;
  return inner.size() == root.size() || root.back() == '/' || root.back() == '\\' ||
         inner[root.size()] == '/' || inner[root.size()] == '\\';
}

std::string joined(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == platform::separator() || folder.back() == '/'))
    return folder + name;
  return folder + platform::separator() + name;
}

class Collector {
 public:
  Collector(std::vector<std::string>& errors, const LogReader& read)
      : errors_(errors), read_(read) {}

  // Every folder given, resolved: the trees a link may lead into.
  void addTree(const std::string& path) {
    if (platform::pathKind(path) == platform::PathKind::Other) {
      const std::string resolved = platform::resolvedPath(path);
      if (!resolved.empty())
        trees_.push_back(resolved);
    }
  }

  void addPath(const std::string& path) {
    switch (platform::pathKind(path)) {
      case platform::PathKind::Missing:
        errors_.push_back("Error: No such file or folder [" + path + "]");
        return;
      case platform::PathKind::RegularFile: {
        const std::string folder = platform::directoryOf(path);
        workstation_ = folderName(folder == path ? std::string(".") : folder);
        addFile(path, true);
        return;
      }
      case platform::PathKind::Other:
        break;
    }
    const std::size_t before = met_;
    bool listed = false;
    root_ = path;
    platform::FileIdentity identity;
    rootVolumeKnown_ = platform::fileIdentity(path, identity);
    rootVolume_ = identity.volume;
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
    log.workstation = workstation_;
    std::vector<StatusRecord> rows;
    switch (readStatusLog(path, rows)) {
      case StatusLogOutcome::Done:
        read_(log, rows);
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
    } else {
      bool opened = false;
      if (startsLikeStatusLog(path, opened))
        errors_.push_back("Error: Status log cannot be read, skipped [" + path + "]");
    }
  }

  // False, with an error line, for a link that leads out of every folder
  // given, and for a folder on another file system than the search's start.
  bool mayEnter(const std::string& path, const platform::DirectoryEntry& entry) {
    if (entry.isLink) {
      const std::string target = platform::resolvedPath(path);
      bool inside = false;
      for (const std::string& tree : trees_)
        inside = inside || isWithin(target, tree);
      if (!inside) {
        // Said for folders and CSV files; any other file would not be read anyway.
        if (entry.isDirectory || endsWithCsv(entry.name))
          errors_.push_back("Error: Link out of the given folders, not followed [" + path + "]");
        return false;
      }
    }
    platform::FileIdentity identity;
    if (entry.isDirectory && rootVolumeKnown_ && platform::fileIdentity(path, identity) &&
        identity.volume != rootVolume_) {
      errors_.push_back("Error: Folder on another file system, not searched [" + path + "]");
      return false;
    }
    return true;
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
      const bool csv = endsWithCsv(entry.name);
      if ((entry.isDirectory || entry.isFile) && !mayEnter(path, entry))
        continue;
      // A log lies in the workstation's folder: the first level under the PATH.
      if (folder == root_)
        workstation_ = entry.isDirectory ? entry.name : folderName(root_);
      bool opened = false;
      if (entry.isDirectory) {
        bool folderListed = false;
        walk(path, folderListed);
        if (!folderListed)
          errors_.push_back("Error: Cannot read the folder [" + path + "]");
      } else if (!entry.isFile || isStatusLogSideFile(entry.name)) {
        if (csv && !entry.isFile && !isStatusLogSideFile(entry.name))
          errors_.push_back("Error: Cannot open, skipped [" + path + "]");
      } else if (startsLikeStatusLog(path, opened)) {
        addFile(path, false);
      } else if (!opened && csv) {
        errors_.push_back("Error: Cannot open, skipped [" + path + "]");
      }
    }
  }

  std::vector<std::string>& errors_;
  const LogReader& read_;
  std::vector<std::string> trees_;
  std::string root_;         // the folder PATH being searched
  std::string workstation_;  // of the logs now met
  bool rootVolumeKnown_ = false;
  std::uint64_t rootVolume_ = 0;
  std::vector<FoundLog> found_;
  std::vector<platform::FileIdentity> walked_;
  std::size_t met_ = 0;  // status logs met, those read before included
};

}  // namespace

std::vector<FoundLog> collectStatusLogs(const std::vector<std::string>& paths,
                                        std::vector<std::string>& errors, const LogReader& read) {
  Collector collector(errors, read);
  for (const std::string& path : paths)
    collector.addTree(path);
  for (const std::string& path : paths)
    collector.addPath(path);
  return collector.take();
}

}  // namespace tavrelon::report
