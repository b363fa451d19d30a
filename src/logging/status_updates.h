// The status-log changes made but not yet written, applied in order, under the
// log's lock, by the next write that succeeds; one queue per status log, kept
// for the whole run of the watchdog.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "logging/status_log.h"
#include "platform/files.h"

namespace tavrelon {

// How long a sequence waits for a lock that another process holds.
enum class LockWait {
  Once,           // one try, no wait (the retries at polls)
  UnlessStopped,  // up to kLockWaitMs, ended by a stop request (a change)
  Full,           // up to kLockWaitMs whatever happens (the last try at exit)
};

class StatusLogUpdates {
 public:
  // How long a sequence waits for another process's lock on the log.
  static constexpr std::int64_t kLockWaitMs = 10000;
  // How many pending operations make the caller say that the log lags
  // behind; none is dropped.
  static constexpr std::size_t kMaxPending = 10000;

  // Queues appending `row` to the log. True when the queue has just reached
  // kMaxPending.
  bool addRow(const StatusRecord& row);
  // Queues updateStatusRow with `row`; when no row has its applicationId and
  // `addWhenMissing`, `row` is appended instead. True as for addRow.
  bool closeRow(const StatusRecord& row, bool addWhenMissing);

  // Applies every pending operation, in order, in one read-change-write of the
  // log at `path` under its lock, and forgets them when that is done; nothing
  // pending, or nothing that changes a row, writes nothing. With `retryBusy` a
  // read or write that may pass is tried again for about 2 s. A lock that
  // another process holds is waited for as `wait` says, but a change does not
  // wait again once a wait ran out, until a sequence gets the lock. The log is
  // resolved once, read once and replaced once; a file that
  // mayRewriteStatusLog refuses is left as it is. True when written (or
  // nothing to write); on false the operations stay pending. Never throws.
  bool apply(const std::string& path, bool retryBusy, LockWait wait = LockWait::UnlessStopped);

  bool pending() const { return !operations_.empty(); }
  // The rows the pending operations would add or change, in order.
  std::vector<StatusRecord> pendingRows() const;

  // The system's error code (errno, GetLastError) that the last failed apply()
  // ended on; 0 when it ended on a rule of its own (someone else's file, say).
  std::uint32_t errorCode() const { return errorCode_; }

  // Why the last sequence could not use the log's lock file (its name taken
  // by a directory, FIFO or link; the file not to be opened), or None.
  platform::LockFault lockFault() const { return lockFault_; }
  // The lock file of the last sequence that got so far.
  const std::string& lockPath() const { return lockPath_; }

 private:
  struct Operation {
    StatusRecord row;
    bool close = false;
    bool addWhenMissing = false;
  };
  bool push(Operation operation);
  StatusLogOutcome applyOnce(const std::string& path, LockWait wait);

  std::deque<Operation> operations_;
  std::uint32_t errorCode_ = 0;
  // The last wait for the lock ran out: changes try once until a sequence gets it.
  bool lockHeld_ = false;
  platform::LockFault lockFault_ = platform::LockFault::None;
  std::string lockPath_;
};

// Every status log's queue, by the log's path as configured: the driver keeps
// one for the whole run and hands it to each program's watcher, so rows that
// one program could not write are written by a later sequence on the same log.
class StatusLogQueues {
 public:
  // The queue of the log at `path`, made empty on first use.
  StatusLogUpdates& forLog(const std::string& path);
  // Tries every log with changes pending once, without waiting.
  void retryPending();
  // At exit: tries every log with changes pending once more, waiting for a
  // held lock up to kLockWaitMs even after a stop; saves the rows still
  // unwritten in `directory` (see saveUnwrittenRows) and returns the console
  // lines that say where they went. Nothing is left pending.
  std::vector<std::string> finish(const std::string& directory);

 private:
  std::map<std::string, StatusLogUpdates> queues_;
};

// Adds `rows` to the file unwrittenRowsPath(directory, logPath), in the status
// log's own format (header and rows; rows an earlier exit saved there stay).
// Done, or the outcome that kept them from it.
StatusLogOutcome saveUnwrittenRows(const std::vector<StatusRecord>& rows,
                                   const std::string& directory, const std::string& logPath);

}  // namespace tavrelon
