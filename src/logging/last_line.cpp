#include "logging/last_line.h"

#include <algorithm>

namespace tavrelon {

std::string lastLineOf(const std::string& tail, std::int64_t fileSize, bool& needMore) {
  needMore = false;
  const std::int64_t size =
      std::max<std::int64_t>(fileSize, static_cast<std::int64_t>(tail.size()));
  // File offset of tail[0]; bytes before it are not at hand.
  const std::int64_t base = size - static_cast<std::int64_t>(tail.size());
  if (size == 0)
    return std::string();
  if (tail.empty()) {
    needMore = true;
    return std::string();
  }
  auto at = [&](std::int64_t offset) { return tail[static_cast<std::size_t>(offset - base)]; };

  std::int64_t start = 0;
  std::int64_t end = size;
  if (at(size - 1) == '\n') {
    // Look for the line end before the last line from 3 bytes before the end,
    // which steps over the final LF or CR LF (and over one empty line after a
    // bare LF). A line feed in the very first byte never counts as a line end.
    std::int64_t i = std::max<std::int64_t>(size - 3, 0);
    for (;;) {
      if (i < base) {
        needMore = true;
        return std::string();
      }
      if (i + 1 < size && at(i) == '\r' && at(i + 1) == '\n') {
        start = i + 2;  // a CR LF pair read as one line end
        break;
      }
      if (i == 0)
        break;
      if (at(i) == '\n') {
        start = i + 1;
        break;
      }
      --i;
    }
    // The line runs to the next line feed; the file's final one at the latest.
    // A file of one CR LF has its line end at its very end and no line after.
    end = start;
    while (end < size && at(end) != '\n')
      ++end;
  } else {
    // A line still being written: everything after the last line feed.
    std::string::size_type lineFeed = tail.rfind('\n');
    if (lineFeed != std::string::npos) {
      start = base + static_cast<std::int64_t>(lineFeed) + 1;
    } else if (base > 0) {
      needMore = true;
      return std::string();
    }
  }
  // The carriage return of a line end is not part of the text; a lone one at
  // the very end is the first half of a line end still being written.
  if (end > start && at(end - 1) == '\r')
    --end;
  return tail.substr(static_cast<std::size_t>(start - base), static_cast<std::size_t>(end - start));
}

}  // namespace tavrelon
