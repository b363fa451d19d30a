// Log tracker: finds a supervised program's newest CSV log and reads its size
// and last line.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"

namespace tavrelon {

// Tracks the newest regular file under `logDir` whose path below `logDir`
// contains ".csv" and not "TavrelonLog"; newest by creation time, a tie going
// to the later modified, then to the first listed. Links are followed, each
// directory walked once per search; the watcher's own status log is never
// taken. A sub-folder that cannot be listed keeps its logs from the last good
// scan, a log whose status cannot be read is skipped; each is said once.
// Keeps no file open between calls.
class TestLog {
 public:
  // Waits 5000 ms, then searches `logDir` once; `statusLogPath` (may be empty)
  // names the status log to leave out. Never fails towards the caller.
  // Nothing under `evidenceDir` (may be empty), however reached, is taken.
  explicit TestLog(std::string logDir, std::string statusLogPath = std::string(),
                   std::string evidenceDir = std::string());
  virtual ~TestLog() = default;

  // Modification time of latestLogPath (found by modification time while it is
  // empty); 0 when there is none.
  virtual std::int64_t latestLogTime();
  // "[" latestLogPath "] " + its last line with commas turned into spaces;
  // searches only while latestLogPath is empty; "" when there is no file.
  virtual std::string latestLogLine();
  // Size in bytes of the newest log after a fresh search; 0 when there is none;
  // the previous answer when a listing broke off midway.
  virtual std::int64_t latestLogSize();

  // The lines to say since the last call: a sub-folder that cannot be listed,
  // a log whose status cannot be read (each once, ten a run), the message of a
  // standard-library exception (out of memory, say) that a call met and
  // answered with 0 or "". Clears them: the caller decides what the operator sees.
  std::vector<std::string> takeMessages();

  std::string logDir;         // the directory searched; never changes
  std::string latestLogPath;  // newest log found so far; empty until one is found
  std::string statusLogPath;  // the watcher's status log, never a candidate; may be empty

 protected:
  // The steps of latestLogLine(), shared with the test-mode tracker: "" when
  // there is no file to read; a standard-library exception is kept for takeError().
  std::string readLatestLogLine();

 private:
  // A candidate with the times its listing gave, if any.
  struct Candidate {
    std::string path;
    bool hasTimes = false;
    std::int64_t creationTime = 0;
    std::int64_t modificationTime = 0;
  };

  // Lists logDir into the candidate list; false when no candidate remains or
  // the listing of logDir itself broke off midway (scanBrokenOff_ then tells
  // which, and the list of the last good scan is kept).
  bool findCandidates();
  // The next slot of the candidate list, its storage reused.
  Candidate& nextCandidate();
  // Queues `line` for takeMessages() unless one about `path` was queued before.
  void sayOnce(const std::string& path, std::string line);
  // True when `path`, whose final name is `name`, is the status log.
  bool isStatusLog(const std::string& path, const std::string& name) const;
  // True when a folder of `path` below logDir is the evidence folder.
  bool isEvidence(const std::string& path) const;
  // Scans the candidates in order: a strictly newer time (creation or
  // modification; from the listing where it gave them, else queried and kept),
  // or the same time and a later modification, makes a candidate the
  // `choice`; one whose status cannot be read is skipped. Returns the best
  // time found, 0 for none (then `choice` is left as it was).
  std::int64_t chooseNewest(bool byCreationTime, std::string& choice);

  // Kept between searches so that their storage is reused.
  std::vector<Candidate> candidates_;
  std::size_t candidateCount_ = 0;
  std::vector<Candidate> previous_;  // the storage of the scan before, swapped in turn
  std::vector<platform::DirectoryEntry> entries_;
  std::string walkPath_;
  std::vector<std::string> walkedPaths_;
  std::string statusLogName_;          // statusLogPath's final name
  std::string statusLogTargetName_;    // the final name of its link target, if it differs
  bool scanBrokenOff_ = false;         // the last search met a listing that broke off
  std::int64_t lastSize_ = 0;          // what latestLogSize() answered last
  std::vector<std::string> messages_;  // what takeMessages() hands over
  std::set<std::string> said_;         // the paths said once already
  std::string evidenceDir_;            // the program's EvidenceDir; may be empty
  std::string evidenceName_;           // its final name
  std::string evidenceTargetName_;     // the final name of its link target, if it differs
};

// Appends the full path of every non-directory entry under `dir`, depth first,
// in listing order; links to directories are followed, each directory once.
void listFilesRecursive(const std::string& dir, std::vector<std::string>& list);

// `text` with every "," replaced by a single " ".
std::string commasToSpaces(std::string text);

}  // namespace tavrelon
