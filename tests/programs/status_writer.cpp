// Rewrites a status log the way the watchdog does at every change of a run:
// under the log's lock, read the rows, add or close one, write the file back.
//
//   status_writer STATUS_LOG PROGRESS_FILE
//     Without end. Rewrite k adds row (k + 1) / 2 when k is odd and closes it
//     when k is even; the writer takes up where the log stands. After each
//     completed rewrite it appends "k" and a line feed to PROGRESS_FILE. Tests
//     kill it at random moments.
//   status_writer STATUS_LOG PROGRESS_FILE NAME COUNT
//     Runs NAME_1 to NAME_COUNT as a watcher does, through StatusLogUpdates: a
//     "running" row, then its close as "finished"; exit code 1 when a write
//     failed. Two of them on one log must lose no row.
//   status_writer STATUS_LOG PROGRESS_FILE --hold-lock MS
//     Takes the log's lock, appends "locked" to PROGRESS_FILE, holds it MS
//     milliseconds and exits.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../reliability/writer_rows.h"
#include "logging/status_log.h"
#include "logging/status_updates.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

using tavrelon::StatusRecord;

int runNamed(const std::string& statusLog, std::ofstream& progress, const std::string& name,
             long count) {
  tavrelon::StatusLogUpdates updates;
  for (long k = 1; k <= count; ++k) {
    StatusRecord row{name + "_" + std::to_string(k), "running", "2024-06-01 09:30:05", "", "N/A"};
    updates.addRow(row);
    if (!updates.apply(statusLog, true))
      return 1;
    row.runningStatus = "finished";
    row.endTime = "2024-06-01 10:02:41";
    updates.closeRow(row, true);
    if (!updates.apply(statusLog, true))
      return 1;
    progress << k << "\n" << std::flush;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::fprintf(stderr, "usage: status_writer STATUS_LOG PROGRESS_FILE [NAME COUNT]\n");
    return 2;
  }
  const std::string statusLog = argv[1];
  std::ofstream progress(argv[2], std::ios::binary | std::ios::app);
  const std::string lockPath = tavrelon::statusLogLockPath(statusLog);
  if (argc == 5 && std::string(argv[3]) == "--hold-lock") {
    tavrelon::platform::FileLock lock;
    if (tavrelon::platform::lockFileExclusive(lockPath, 10000, lock, nullptr, statusLog) !=
        tavrelon::platform::FileOutcome::Done)
      return 1;
    progress << "locked\n" << std::flush;
    tavrelon::platform::sleepMilliseconds(std::stol(argv[4]));
    return 0;
  }
  if (argc == 5)
    return runNamed(statusLog, progress, argv[3], std::stol(argv[4]));
  for (;;) {
    tavrelon::platform::FileLock lock;
    if (tavrelon::platform::lockFileExclusive(lockPath, 10000, lock) !=
        tavrelon::platform::FileOutcome::Done) {
      std::fprintf(stderr, "status_writer: no lock\n");
      return 1;
    }
    tavrelon::platform::removeStaleTemporaries(statusLog, tavrelon::kStatusLogTemporaryTag);
    std::vector<StatusRecord> rows = tavrelon::readStatusLog(statusLog);
    const std::int64_t done = tavrelon::test::writerRewritesShownBy(rows);
    if (done < 0) {
      std::fprintf(stderr, "status_writer: the log holds rows it never wrote\n");
      return 1;
    }
    const std::int64_t next = done + 1;
    const std::int64_t n = (next + 1) / 2;
    if (next % 2 == 1) {
      rows.push_back(tavrelon::test::writerRow(n, false));
    } else {
      tavrelon::updateStatusRow(rows, tavrelon::test::writerRow(n, true));
    }
    tavrelon::writeStatusLog(rows, statusLog);
    progress << next << "\n" << std::flush;
  }
}
