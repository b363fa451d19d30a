// The status-log changes a watcher has made but not yet written, applied in
// order, under the log's lock, by the next write that succeeds.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "logging/status_log.h"
#include "platform/platform.h"

namespace tavrelon {

// The lock file beside the status log file `target` (its links already
// followed): its name holds "TavrelonLog", so no log tracker takes it for a
// program's log, and stays within 255 bytes.
std::string statusLogLockPath(const std::string& target);

class StatusLogUpdates {
 public:
  // How long a sequence waits for another process's lock on the log.
  static constexpr std::int64_t kLockWaitMs = 10000;
  // How many pending operations are kept at most; the oldest go beyond it.
  static constexpr std::size_t kMaxPending = 10000;

  // Queues appending `row` to the log.
  void addRow(const StatusRecord& row);
  // Queues updateStatusRow with `row`; when no row has its applicationId and
  // `addWhenMissing`, `row` is appended instead.
  void closeRow(const StatusRecord& row, bool addWhenMissing);

  // Applies every pending operation, in order, in one read-change-write of the
  // log at `path` under its lock, and forgets them when the write is done.
  // With `retryBusy` a read or write that may pass is tried again for about
  // 2 s. True when written; on false the operations stay pending. Never throws.
  bool apply(const std::string& path, bool retryBusy);

  bool pending() const { return !operations_.empty(); }

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
  void push(Operation operation);
  StatusLogOutcome applyOnce(const std::string& path) const;

  std::deque<Operation> operations_;
  mutable platform::LockFault lockFault_ = platform::LockFault::None;
  mutable std::string lockPath_;
};

}  // namespace tavrelon
