#include "report/report_input.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "platform/files.h"
#include "platform/paths.h"
#include "report/report_input_rows.h"

namespace tavrelon::report {

namespace {

const char kHeaderStart[] = "Application_ID,";
const char kSummaryName[] = "summary.txt";

// Whose file it is can be told from its first bytes for most files in a
// folder; streamStatusLog then decides by the full rule. `opened` false when the
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
  Collector(std::vector<std::string>& errors, LogSink& sink, std::vector<EvidenceFolder>* evidence)
      : errors_(errors), sink_(sink), evidence_(evidence) {}

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
    const std::size_t before = met_ + evidenceMet_;
    bool listed = false;
    root_ = path;
    platform::FileIdentity identity;
    rootVolumeKnown_ = platform::fileIdentity(path, identity);
    rootVolume_ = identity.volume;
    walk(path, listed);
    if (!listed)
      errors_.push_back("Error: Cannot read the folder [" + path + "]");
    else if (met_ + evidenceMet_ == before)
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
    sink_.begin(log);
    const StatusLogOutcome outcome =
        streamStatusLog(path, [&](StatusRecord& row) { sink_.row(row); });
    if (outcome != StatusLogOutcome::Done)
      sink_.abandon();
    switch (outcome) {
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
      // The watchdog's evidence of a run: a folder named by its Application_ID.
      if (entry.name == kSummaryName && entry.isFile && !entry.isLink && folder != root_) {
        if (evidence_ != nullptr && evidence_->size() < kMaxEvidenceFolders)
          evidence_->push_back(EvidenceFolder{folderName(folder), path, workstation_});
        ++evidenceMet_;
        continue;
      }
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
  LogSink& sink_;
  std::vector<EvidenceFolder>* evidence_;
  std::size_t evidenceMet_ = 0;
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
                                        std::vector<std::string>& errors, LogSink& sink,
                                        std::vector<EvidenceFolder>* evidence) {
  Collector collector(errors, sink, evidence);
  for (const std::string& path : paths)
    collector.addTree(path);
  for (const std::string& path : paths)
    collector.addPath(path);
  return collector.take();
}

namespace {

// Hands each log's rows to a LogReduction of the report.
class ReportSink : public LogSink {
 public:
  explicit ReportSink(NightReport& report) : report_(report) {}
  void begin(const FoundLog& log) override {
    reduction_.reset(new LogReduction(report_, log.path, log.workstation));
  }
  void row(StatusRecord& row) override { reduction_->add(row); }
  void abandon() override {
    reduction_->undo();
    reduction_.reset();
  }

 private:
  NightReport& report_;
  std::unique_ptr<LogReduction> reduction_;
};

// The value of the first "key: value" line of `text` with `key`; empty when none.
std::string summaryValue(const std::string& text, const std::string& key) {
  const std::string start = key + ": ";
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos)
      end = text.size();
    if (text.compare(at, start.size(), start) == 0) {
      std::string value = text.substr(at + start.size(), end - at - start.size());
      if (!value.empty() && value.back() == '\r')
        value.pop_back();
      return value;
    }
    at = end + 1;
  }
  return std::string();
}

// How much of a summary.txt is read: its run and end come first.
constexpr std::size_t kSummaryStart = 16384;

// The evidence of the run `id` from `folder`, when its summary names that run.
bool evidenceOf(const EvidenceFolder& folder, const std::string& id, Evidence& evidence) {
  std::string text;
  if (platform::readRegularFileStart(folder.summary, kSummaryStart, text) !=
          platform::FileOutcome::Done ||
      text.compare(0, 16, "Application_ID: ") != 0 || summaryValue(text, "Application_ID") != id)
    return false;
  const std::string code = summaryValue(text, "Exit_Code");
  const std::string hex = summaryValue(text, "Exit_Code_Hex");
  if (!code.empty())
    evidence.ended = "exit code " + code + (hex.empty() ? "" : " (" + hex + ")");
  else
    evidence.ended = summaryValue(text, "Ended_By");
  evidence.ended = cappedField(evidence.ended, 200);
  evidence.summary = platform::resolvedPath(folder.summary);
  return !evidence.summary.empty();
}

}  // namespace

std::vector<FoundLog> collectIntoReport(const std::vector<std::string>& paths,
                                        std::vector<std::string>& errors, NightReport& report,
                                        std::vector<EvidenceFolder>* evidence) {
  ReportSink sink(report);
  return collectStatusLogs(paths, errors, sink, evidence);
}

void attachEvidence(NightReport& report, const std::vector<EvidenceFolder>& evidence,
                    std::size_t listed) {
  if (evidence.empty())
    return;
  std::unordered_multimap<std::string, std::size_t> byName;
  for (std::size_t i = 0; i < evidence.size(); ++i)
    byName.emplace(evidence[i].name, i);
  for (std::vector<EndGroup>* groups : {&report.failures, &report.setAside}) {
    for (std::size_t g = 0; g < groups->size() && g < listed; ++g) {
      EndGroup& group = (*groups)[g];
      const Lane& lane = report.lanes[group.lane];
      const std::string& id = lane.runs[group.last].row.applicationId;
      const auto range = byName.equal_range(id);
      // One of the lane's own workstation first: another may have run the same ID.
      std::vector<std::size_t> candidates;
      for (auto it = range.first; it != range.second; ++it)
        candidates.push_back(it->second);
      std::stable_sort(candidates.begin(), candidates.end(), [&](std::size_t a, std::size_t b) {
        return (evidence[a].workstation == lane.workstation) >
               (evidence[b].workstation == lane.workstation);
      });
      for (std::size_t candidate : candidates) {
        if (evidenceOf(evidence[candidate], id, group.evidence))
          break;
      }
    }
  }
}

}  // namespace tavrelon::report
