// Rewrites a status log without end, the way the watchdog does at every change
// of a run: read the rows, add or close one, write the whole file back.
//
//   status_writer STATUS_LOG PROGRESS_FILE
//
// Rewrite k adds row (k + 1) / 2 when k is odd and closes it when k is even;
// the writer takes up where the log stands. After each completed rewrite it
// appends "k" and a line feed to PROGRESS_FILE. Tests kill it at random moments.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../reliability/writer_rows.h"
#include "logging/status_log.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: status_writer STATUS_LOG PROGRESS_FILE\n");
    return 2;
  }
  const std::string statusLog = argv[1];
  std::ofstream progress(argv[2], std::ios::binary | std::ios::app);
  for (;;) {
    std::vector<tavrelon::StatusRecord> rows = tavrelon::readStatusLog(statusLog);
    const std::int64_t done = tavrelon::testing::writerRewritesShownBy(rows);
    if (done < 0) {
      std::fprintf(stderr, "status_writer: the log holds rows it never wrote\n");
      return 1;
    }
    const std::int64_t next = done + 1;
    const std::int64_t n = (next + 1) / 2;
    if (next % 2 == 1) {
      rows.push_back(tavrelon::testing::writerRow(n, false));
    } else {
      tavrelon::updateStatusRow(rows, tavrelon::testing::writerRow(n, true));
    }
    tavrelon::writeStatusLog(rows, statusLog);
    progress << next << "\n" << std::flush;
  }
}
