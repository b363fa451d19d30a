// The status rows of ProgramWatcher: a run's row added, closed, and the
// changes written through the program's status-log queue.
#include <exception>
#include <memory>
#include <utility>

#include "platform/files.h"
#include "supervision/console.h"
#include "supervision/program_watcher.h"

namespace tavrelon {

void ProgramWatcher::closeStatusRow(RunStatus ended) {
  status.runningStatus = statusWord(ended);
  // A failed start's identifier names no run and has no row: a close could
  // change nothing, and a program file missing for days must neither fill the
  // queue nor rewrite the log once a second. A test-mode run keeps its row.
  if (launchFailed_ && !testMode)
    return;
  bool queued = true;
  bool manyPending = false;
  try {
    // The run's "running" row may be gone (its start could not write the log,
    // or someone edited it away): the closed row is then added, so the run is
    // not lost.
    manyPending = statusUpdates().closeRow(status, !launchFailed_);
  } catch (const std::exception&) {
    queued = false;  // out of memory: said as a failed write
  }
  writeStatusRows(queued, manyPending);
}

void ProgramWatcher::addStatusRow() {
  bool queued = true;
  bool manyPending = false;
  try {
    manyPending = statusUpdates().addRow(status);
  } catch (const std::exception&) {
    queued = false;  // out of memory: said as a failed write; supervision goes on
  }
  writeStatusRows(queued, manyPending);
}

void ProgramWatcher::appendTestRow() {
  status.runningStatus = statusWord(RunStatus::Running);
  status.latestLog = kNoLatestLog;
  status.startTime.clear();
  status.endTime.clear();
  addStatusRow();
}

void ProgramWatcher::writeStatusRows(bool queued, bool manyPending) {
  bool applied = false;
  try {
    applied = statusUpdates().apply(config.statusLogPath, true);
  } catch (const std::exception&) {
    // No memory even for the log's queue: said as a failed write.
  }
  if (applied && queued)
    return;
  // A lock file that cannot be used is said first: it is what keeps the rows out.
  const platform::LockFault fault = statusUpdates().lockFault();
  if (!applied && fault != platform::LockFault::None) {
    printLine(std::string(fault == platform::LockFault::NotAFile ? "Error: Cannot use"
                                                                 : "Error: Cannot open") +
              " the lock file [" + statusUpdates().lockPath() + "] of status log [" +
              config.statusLogPath + "]!");
  }
  std::string line = "Error: Failed to write status log [" + config.statusLogPath + "]!";
  // The system's code where a system call failed; a refusal by the watchdog's
  // own rule (someone else's file) has none.
  if (!applied && statusUpdates().errorCode() != 0)
    line += "  errorcode:" + std::to_string(statusUpdates().errorCode());
  printLine(line);
  if (manyPending)
    printLine("Warning: " + std::to_string(StatusLogUpdates::kMaxPending) +
              " changes wait for status log [" + config.statusLogPath + "]; none is dropped!");
}

void ProgramWatcher::shareStatusLogs(std::shared_ptr<StatusLogQueues> statusLogs) {
  statusLogs_ = std::move(statusLogs);
}

StatusLogUpdates& ProgramWatcher::statusUpdates() {
  if (!statusLogs_)
    statusLogs_ = std::make_shared<StatusLogQueues>();
  return statusLogs_->forLog(config.statusLogPath);
}

}  // namespace tavrelon
