// The names of the files that belong to a status log, in one place: what the
// watchdog keeps beside a log (its lock, its replacement's temporaries), where
// rows that could not be written are saved, and the rule by which no log
// tracker takes any of them for a program's log.
#pragma once

#include <cstddef>
#include <string>

namespace tavrelon {

// What the names of the files the watchdog keeps beside a status log carry,
// and the default status logs' names begin with.
constexpr const char* kStatusLogTag = "TavrelonLog";
// The tag that platform::replaceRegularFile and the temporary sweep take for a
// status log (and the queue's journal, which shares its rule).
constexpr const char* kStatusLogTemporaryTag = kStatusLogTag;

// The lock file beside the status log file `target` (its links already
// followed): `<name>.TavrelonLog-lock`, its name within 255 bytes as
// platform::sideFileName keeps it.
std::string statusLogLockPath(const std::string& target);

// True for a file name that a status log's temporary or lock file has
// (".TavrelonLog-" in it): a copy of the log that is no log of its own.
bool isStatusLogSideFile(const std::string& name);

// The file in `directory` that keeps the rows that could not be written to the
// status log at `logPath`: "TavrelonLog-unwritten_" and the log's file name.
std::string unwrittenRowsPath(const std::string& directory, const std::string& logPath);

// The log tracker's rule: true when the part of `path` from `below` on names
// a status log or one of its files ("TavrelonLog" in it, case-sensitively),
// which no tracker ever takes for a program's log.
bool namesStatusLogFile(const std::string& path, std::size_t below = 0);

}  // namespace tavrelon
