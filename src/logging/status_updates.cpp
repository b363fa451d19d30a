#include "logging/status_updates.h"

#include <exception>
#include <utility>
#include <vector>

#include "logging/csv.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/watchdog_process.h"

namespace tavrelon {

namespace {

constexpr int kBusyAttempts = 10;
constexpr std::int64_t kBusyPauseMs = 200;
// Pause between two tries of a lock that someone else holds.
constexpr std::int64_t kLockRetryPauseMs = 50;

// A pause of a sequence: a change's ends on a stop request (false then), the
// last try's at exit does not.
bool pauseFor(LockWait wait, std::int64_t milliseconds) {
  if (wait == LockWait::UnlessStopped)
    return platform::pauseUnlessStopped(milliseconds);
  platform::sleepMilliseconds(milliseconds);
  return true;
}

// Takes the log's lock, tried as `wait` says. One try at a time, so that a
// stop ends the wait within a pause.
// `fault` and `like` as lockFileExclusive takes them.
platform::FileOutcome takeLock(const std::string& path, LockWait wait, platform::FileLock& lock,
                               platform::LockFault& fault, const std::string& like) {
  const std::int64_t limit = wait == LockWait::Once ? 0 : StatusLogUpdates::kLockWaitMs;
  for (std::int64_t waited = 0;; waited += kLockRetryPauseMs) {
    const platform::FileOutcome outcome = platform::lockFileExclusive(path, 0, lock, &fault, like);
    if (outcome != platform::FileOutcome::Busy || waited >= limit ||
        !pauseFor(wait, kLockRetryPauseMs))
      return outcome;
  }
}

}  // namespace

bool StatusLogUpdates::addRow(const StatusRecord& row) {
  return push(Operation{row, false, false});
}

bool StatusLogUpdates::closeRow(const StatusRecord& row, bool addWhenMissing) {
  // A pending operation on the same run takes the close in: the result is the
  // same once applied, and a log that stays unwritable for days keeps one
  // pending row per run rather than two.
  for (auto operation = operations_.rbegin(); operation != operations_.rend(); ++operation) {
    if (operation->row.applicationId != row.applicationId)
      continue;
    operation->row.runningStatus = row.runningStatus;
    operation->row.startTime = row.startTime;
    operation->row.endTime = row.endTime;
    operation->row.latestLog = row.latestLog;
    if (operation->close)
      operation->addWhenMissing = operation->addWhenMissing || addWhenMissing;
    return false;
  }
  return push(Operation{row, true, addWhenMissing});
}

bool StatusLogUpdates::push(Operation operation) {
  // Every operation carries a run: none is dropped, however long the log
  // stays unwritable; the caller says when the queue grows long.
  operations_.push_back(std::move(operation));
  return operations_.size() == kMaxPending;
}

std::vector<StatusRecord> StatusLogUpdates::pendingRows() const {
  std::vector<StatusRecord> rows;
  rows.reserve(operations_.size());
  for (const Operation& operation : operations_)
    rows.push_back(operation.row);
  return rows;
}

StatusLogOutcome StatusLogUpdates::applyOnce(const std::string& path, LockWait wait) {
  lockFault_ = platform::LockFault::None;
  // Nothing is created beside a path that can never be a status log.
  if (path.empty() || platform::pathKind(path) == platform::PathKind::Other)
    return StatusLogOutcome::Refused;
  // The log is resolved once: two spellings of one file (a link and its
  // target) take one lock, and what is checked is what is replaced.
  std::string target;
  const platform::FileOutcome resolved = platform::resolveWriteTarget(path, target);
  if (resolved != platform::FileOutcome::Done)
    return resolved == platform::FileOutcome::Busy ? StatusLogOutcome::Busy
                                                   : StatusLogOutcome::Refused;
  platform::FileLock lock;
  // Once a wait for a lock held elsewhere has run out, changes do not wait
  // again: each would hold up supervision as long once more.
  const LockWait lockWait = wait == LockWait::UnlessStopped && lockHeld_ ? LockWait::Once : wait;
  lockPath_ = statusLogLockPath(target);
  const platform::FileOutcome locked = takeLock(lockPath_, lockWait, lock, lockFault_, target);
  if (locked == platform::FileOutcome::Busy && lockWait != LockWait::Once)
    lockHeld_ = true;
  // A lock not got is not waited for again at once: the next poll retries.
  if (locked != platform::FileOutcome::Done)
    return StatusLogOutcome::Refused;
  lockHeld_ = false;
  // A copy that an interrupted replacement kept is the newest: back in its place
  // before the sweep and the read, or the log is not rewritten from nothing.
  if (platform::recoverKeptReplacement(target, kStatusLogTemporaryTag) !=
      platform::FileOutcome::Done)
    return StatusLogOutcome::Busy;
  // Holding the lock, no other writer's temporary is in use.
  platform::removeStaleTemporaries(target, kStatusLogTemporaryTag);

  std::vector<StatusRecord> rows;
  std::int64_t foreignLines = 0;
  platform::ReadSnapshot seen;
  const StatusLogOutcome read = readStatusLog(target, rows, &foreignLines, &seen);
  if (read != StatusLogOutcome::Done && read != StatusLogOutcome::Missing)
    return read;  // a log that cannot be read now is not rewritten from nothing
  bool changed = false;
  for (const Operation& operation : operations_) {
    if (!operation.close) {
      rows.push_back(operation.row);
      changed = true;
      continue;
    }
    // A row stored with '?' for what the code page lacks is the same run's.
    bool updated = false;
    if (updateStatusRow(rows, operation.row, &updated)) {
      changed = changed || updated;
    } else if (operation.addWhenMissing) {
      rows.push_back(operation.row);
      changed = true;
    }
  }
  if (!changed)
    return StatusLogOutcome::Done;
  // Our own writes hold rows and headers only: any other line is someone
  // else's (a program writing its results to the file, text typed by hand),
  // and such a file is left byte for byte, as any foreign file is.
  if (!mayRewriteStatusLog(read, foreignLines))
    return StatusLogOutcome::Refused;
  // Read once above, under the lock: replaced without a second look, unless
  // someone else changed it since (a line appended is not lost: Busy, read again).
  return replaceStatusLog(std::move(rows), target, &seen);
}

bool StatusLogUpdates::apply(const std::string& path, bool retryBusy, LockWait wait) {
  if (operations_.empty())
    return true;
  try {
    for (int attempt = 1;; ++attempt) {
      platform::takeFileErrorCode();  // only this sequence's own failure counts
      const StatusLogOutcome outcome = applyOnce(path, wait);
      errorCode_ = outcome == StatusLogOutcome::Done ? 0 : platform::takeFileErrorCode();
      if (outcome == StatusLogOutcome::Done) {
        operations_.clear();
        return true;
      }
      if (outcome != StatusLogOutcome::Busy || !retryBusy || attempt == kBusyAttempts ||
          !pauseFor(wait, kBusyPauseMs))
        return false;
    }
  } catch (const std::exception&) {
    // Out of memory in mid-sequence: a failed write; the operations stay.
    errorCode_ = 0;
    return false;
  }
}

StatusLogUpdates& StatusLogQueues::forLog(const std::string& path) {
  return queues_[path];
}

void StatusLogQueues::retryPending() {
  for (auto& [path, updates] : queues_) {
    if (updates.pending())
      updates.apply(path, false, LockWait::Once);
  }
}

std::vector<std::string> StatusLogQueues::finish(const std::string& directory) {
  std::vector<std::string> lines;
  for (auto& [path, updates] : queues_) {
    if (!updates.pending() || updates.apply(path, true, LockWait::Full))
      continue;
    const std::vector<StatusRecord> rows = updates.pendingRows();
    const std::string saved = unwrittenRowsPath(directory, path);
    if (saveUnwrittenRows(rows, directory, path) == StatusLogOutcome::Done) {
      lines.push_back("Rows not written to status log [" + path + "] are saved in [" + saved +
                      "]!");
      continue;
    }
    // The console is the last place left: the rows go there, as the log has them.
    lines.push_back("Error: Rows not written to status log [" + path + "] could not be saved in [" +
                    saved + "]! They follow:");
    lines.push_back(kStatusLogHeader);
    for (const StatusRecord& row : rows) {
      std::string text;
      appendStatusRow(text, row);
      text.resize(text.size() - 2);  // the console adds its own line end
      lines.push_back(text);
    }
  }
  queues_.clear();
  return lines;
}

StatusLogOutcome saveUnwrittenRows(const std::vector<StatusRecord>& rows,
                                   const std::string& directory, const std::string& logPath) {
  StatusLogUpdates updates;
  for (const StatusRecord& row : rows)
    updates.addRow(row);
  // The same lock and replacement as the log's own: a second watchdog saving
  // beside the same executable at the same time adds its rows after ours.
  const std::string path = unwrittenRowsPath(directory, logPath);
  return updates.apply(path, true, LockWait::Full) ? StatusLogOutcome::Done
                                                   : StatusLogOutcome::Refused;
}

}  // namespace tavrelon
