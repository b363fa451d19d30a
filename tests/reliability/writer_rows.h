// The status log that the status_writer program builds, one rewrite at a time,
// shared by that program and the tests that kill it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "logging/status_log.h"

namespace tavrelon::test {

// Row `n` (from 1) as rewrite number `2n - 1` adds it ("running") and rewrite
// `2n` closes it ("finished"). Commas and quotes make the writer quote fields;
// the padding makes every rewrite take a while.
inline StatusRecord writerRow(std::int64_t n, bool finished) {
  StatusRecord row;
  row.applicationId = "w_" + std::to_string(n);
  row.runningStatus = finished ? "finished" : "running";
  row.startTime = "2024-06-01 09:30:05";
  row.endTime = finished ? "2024-06-01 10:02:41" : "";
  row.latestLog = finished ? "[logs/run,1.csv] step \"" + std::to_string(n) + "\" of 40, " +
                                 std::string(160, 'x')
                           : "N/A";
  return row;
}

// The rows after the first `rewrites` rewrites.
inline std::vector<StatusRecord> writerRowsAfter(std::int64_t rewrites) {
  std::vector<StatusRecord> rows;
  for (std::int64_t n = 1; 2 * n - 1 <= rewrites; ++n)
    rows.push_back(writerRow(n, 2 * n <= rewrites));
  return rows;
}

// How many rewrites `rows` show, or -1 when they are no state the writer makes.
inline std::int64_t writerRewritesShownBy(const std::vector<StatusRecord>& rows) {
  if (rows.empty())
    return 0;
  const std::int64_t count = static_cast<std::int64_t>(rows.size());
  const bool lastFinished = rows.back().runningStatus == "finished";
  const std::int64_t rewrites = lastFinished ? 2 * count : 2 * count - 1;
  const std::vector<StatusRecord> expected = writerRowsAfter(rewrites);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const StatusRecord& a = rows[i];
    const StatusRecord& b = expected[i];
    if (a.applicationId != b.applicationId || a.runningStatus != b.runningStatus ||
        a.startTime != b.startTime || a.endTime != b.endTime || a.latestLog != b.latestLog)
      return -1;
  }
  return rewrites;
}

}  // namespace tavrelon::test
