// The queue's journal, TavrelonQueue.csv beside the watchdog (ResumeQueue:
// true): which configuration runs, which program is under way, and which
// watchdog runs it, so that a start after an interruption goes on there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/program_config.h"
#include "logging/status_updates.h"

namespace tavrelon {

struct QueueJournal {
  std::string configuration;  // configurationDigest() of the queue
  std::int32_t program = 0;   // the program under way, counted from 1
  std::uint32_t watchdogId = 0;
  std::uint64_t watchdogMark = 0;  // platform::processStartMark of the watchdog
  std::string watchdogStart;       // when it started, as the status log writes times
};

// The journal's path in the watchdog's folder `directory`.
std::string queueJournalPath(const std::string& directory);

// A digest of the programs' paths and arguments, in order, as 16 hex digits.
std::string configurationDigest(const std::vector<ProgramConfig>& programs);

// Reads the journal at `path`; false when there is none or it is not one.
bool readQueueJournal(const std::string& path, QueueJournal& journal);

// Writes `journal` to `path` as the status log is written: a temporary,
// flushed, then put in its place. False when it could not be written.
bool writeQueueJournal(const std::string& path, const QueueJournal& journal);

// Where a start with ResumeQueue begins, counted from 0, with the console
// lines that say so: at the journal's program when the journal at `path` is of
// this queue (its interrupted run's rows, still "running" in its status log
// while the watchdog that ran it is provably gone, are closed "interrupted" at
// `now`), else at 0 (a journal of another queue is said and ignored).
std::size_t resumePoint(const std::string& path, const std::vector<ProgramConfig>& programs,
                        const std::string& ownDirectory, const std::string& now,
                        StatusLogQueues& statusLogs, std::vector<std::string>& lines);

}  // namespace tavrelon
