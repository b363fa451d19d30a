#include "logging/status_updates.h"

#include <exception>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace tavrelon {

namespace {

constexpr int kBusyAttempts = 10;
constexpr std::int64_t kBusyPauseMs = 200;

}  // namespace

std::string statusLogLockPath(const std::string& target) {
  const std::size_t name = platform::finalNameOffset(target, platform::isWindows());
  return target.substr(0, name) +
         platform::sideFileName(target.substr(name), kStatusLogTemporaryTag) + "-lock";
}

void StatusLogUpdates::addRow(const StatusRecord& row) {
  push(Operation{row, false, false});
}

void StatusLogUpdates::closeRow(const StatusRecord& row, bool addWhenMissing) {
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
    return;
  }
  push(Operation{row, true, addWhenMissing});
}

void StatusLogUpdates::push(Operation operation) {
  if (operations_.size() >= kMaxPending)
    operations_.pop_front();
  operations_.push_back(std::move(operation));
}

StatusLogOutcome StatusLogUpdates::applyOnce(const std::string& path) const {
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
  platform::LockFault fault = platform::LockFault::None;
  lockPath_ = statusLogLockPath(target);
  const platform::FileOutcome locked =
      platform::lockFileExclusive(lockPath_, kLockWaitMs, lock, &fault, target);
  lockFault_ = fault;
  // A lock not got in 10 s is not waited for again at once: the next poll retries.
  if (locked != platform::FileOutcome::Done)
    return StatusLogOutcome::Refused;
  // Holding the lock, no other writer's temporary is in use.
  platform::removeStaleTemporaries(target, kStatusLogTemporaryTag);

  std::vector<StatusRecord> rows;
  const StatusLogOutcome read = readStatusLog(target, rows);
  if (read != StatusLogOutcome::Done && read != StatusLogOutcome::Missing)
    return read;  // a log that cannot be read now is not rewritten from nothing
  for (const Operation& operation : operations_) {
    if (!operation.close) {
      rows.push_back(operation.row);
      continue;
    }
    // A row stored with '?' for what the code page lacks is the same run's.
    if (!updateStatusRow(rows, operation.row) && operation.addWhenMissing)
      rows.push_back(operation.row);
  }
  return writeStatusLog(std::move(rows), target);
}

bool StatusLogUpdates::apply(const std::string& path, bool retryBusy) {
  try {
    for (int attempt = 1;; ++attempt) {
      const StatusLogOutcome outcome = applyOnce(path);
      if (outcome == StatusLogOutcome::Done) {
        operations_.clear();
        return true;
      }
      if (outcome != StatusLogOutcome::Busy || !retryBusy || attempt == kBusyAttempts)
        return false;
      platform::sleepMilliseconds(kBusyPauseMs);
    }
  } catch (const std::exception&) {
    // Out of memory in mid-sequence: a failed write; the operations stay.
    return false;
  }
}

}  // namespace tavrelon
