#include "logging/status_log.h"

#include <exception>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/text_encoding.h"

namespace tavrelon {

std::string statusLogText(std::string bytes, bool utf8) {
  if (utf8)
    return bytes;
  return platform::fromAnsiCodePage(bytes);
}

StatusLogOutcome statusLogOutcome(platform::FileOutcome outcome) {
  switch (outcome) {
    case platform::FileOutcome::Done:
      return StatusLogOutcome::Done;
    case platform::FileOutcome::Missing:
      return StatusLogOutcome::Missing;
    case platform::FileOutcome::Busy:
      return StatusLogOutcome::Busy;
    case platform::FileOutcome::Refused:
      break;
  }
  return StatusLogOutcome::Refused;
}

namespace {

// The rows of a status log's bytes `stored` (someone else's: Refused).
StatusLogOutcome rowsOf(std::string& stored, std::vector<StatusRecord>& rows,
                        std::int64_t* foreignLines) {
  if (statusLogOwner(stored, true) != StatusLogOwner::Ours)
    return StatusLogOutcome::Refused;
  // The bytes are the ANSI code page's, which a spreadsheet on the same machine
  // reads; a byte-order mark says UTF-8 instead. The mark goes before either.
  const bool mark = startsWithByteOrderMark(stored);
  if (mark)
    stored.erase(0, 3);
  const bool utf8 = mark && isValidUtf8(stored);
  const std::string content = statusLogText(std::move(stored), utf8);
  stored = std::string();

  std::int64_t lines = 0;
  for (std::size_t at = 0, next = 0; at < content.size(); at = next) {
    if (statusLineEnd(content, at, next) > at)
      ++lines;
  }
  if (lines > kMaxStatusLogLines)
    return StatusLogOutcome::Refused;
  // One row per non-empty line at most: reserving once saves moving the rows while the
  // list grows.
  rows.reserve(static_cast<std::size_t>(lines));
  StatusLineReader reader([&](StatusLine kind, StatusRecord& row) {
    if (kind == StatusLine::Row)
      rows.push_back(std::move(row));
    else if (kind == StatusLine::NotARow && foreignLines != nullptr)
      ++*foreignLines;
  });
  std::string line;
  for (std::size_t at = 0, next = 0; at < content.size(); at = next) {
    const std::size_t end = statusLineEnd(content, at, next);
    line.assign(content, at, end - at);
    reader.addLine(line);
  }
  reader.finish();
  return StatusLogOutcome::Done;
}

}  // namespace

StatusLogOutcome readStatusLog(const std::string& path, std::vector<StatusRecord>& rows,
                               std::int64_t* foreignLines, platform::ReadSnapshot* seen) {
  rows.clear();
  if (foreignLines != nullptr)
    *foreignLines = 0;
  // One open: a missing file reads as Missing, anything but a regular file or
  // one over the bound as Refused.
  std::string stored;
  platform::ReadSnapshot unused;
  const StatusLogOutcome read = statusLogOutcome(
      platform::readRegularFile(path, kMaxStatusLogBytes, stored, seen ? *seen : unused));
  if (read != StatusLogOutcome::Done)
    return read;
  const StatusLogOutcome parsed = rowsOf(stored, rows, foreignLines);
  if (parsed != StatusLogOutcome::Done) {
    rows.clear();
    if (foreignLines != nullptr)
      *foreignLines = 0;
  }
  return parsed;
}

std::vector<StatusRecord> readStatusLog(const std::string& path) {
  std::vector<StatusRecord> rows;
  readStatusLog(path, rows);
  return rows;
}

bool updateStatusRow(std::vector<StatusRecord>& rows, StatusRecord record, bool* changed) {
  // A name with characters that the ANSI code page lacks reads back with '?'
  // in their place: the row is found under that form too.
  const std::string storedId =
      platform::fromAnsiCodePage(platform::toAnsiCodePage(record.applicationId));
  // Several rows may share an applicationId; the newest one is the live run.
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    if (row->applicationId != record.applicationId && row->applicationId != storedId)
      continue;
    if (changed != nullptr)
      *changed = row->runningStatus != record.runningStatus || row->startTime != record.startTime ||
                 row->endTime != record.endTime || row->latestLog != record.latestLog;
    row->runningStatus = std::move(record.runningStatus);
    row->startTime = std::move(record.startTime);
    row->endTime = std::move(record.endTime);
    row->latestLog = std::move(record.latestLog);
    return true;
  }
  return false;
}

bool mayRewriteStatusLog(StatusLogOutcome read, std::int64_t foreignLines) {
  return read == StatusLogOutcome::Missing || (read == StatusLogOutcome::Done && foreignLines == 0);
}

StatusLogOutcome writeStatusLog(std::vector<StatusRecord> rows, const std::string& path) {
  std::vector<StatusRecord> old;
  std::int64_t foreignLines = 0;
  const StatusLogOutcome read = readStatusLog(path, old, &foreignLines);
  // Held for now: may pass later. Anything else that may not be rewritten is
  // someone else's, or past the bounds, and is left byte for byte.
  if (read == StatusLogOutcome::Busy)
    return read;
  if (!mayRewriteStatusLog(read, foreignLines))
    return StatusLogOutcome::Refused;
  return replaceStatusLog(std::move(rows), path);
}

StatusLogOutcome replaceStatusLog(std::vector<StatusRecord> rows, const std::string& path,
                                  const platform::ReadSnapshot* seen) {
  std::string content;
  try {
    // Stored in the ANSI code page; the bound below is on the bytes stored.
    content = platform::toAnsiCodePage(formatStatusLog(rows));
  } catch (const std::exception&) {
    // Out of memory (or a length error) before anything was written: the old
    // file stays.
    return StatusLogOutcome::Refused;
  }
  rows = std::vector<StatusRecord>();
  if (static_cast<std::int64_t>(content.size()) > kMaxStatusLogBytes)
    return StatusLogOutcome::Refused;
  // The new content replaces the old in one step, so a crash or a full disk
  // midway leaves the old rows in place.
  return statusLogOutcome(
      seen != nullptr ? platform::replaceReadFile(path, content, kStatusLogTemporaryTag, *seen)
                      : platform::replaceRegularFile(path, content, kStatusLogTemporaryTag));
}

}  // namespace tavrelon
