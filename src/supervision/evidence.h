// The evidence of a failed run: one folder per run under the program's
// EvidenceDir with summary.txt and what the system gave of the processes
// (stacks on Linux, minidumps on Windows), kept under EvidenceMaxMB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/program_config.h"
#include "logging/run_vocabulary.h"
#include "platform/process.h"

namespace tavrelon {

// What the watcher knows of the run whose evidence is taken.
struct FailedRun {
  std::string applicationId;
  RunStatus status = RunStatus::Stopped;  // Timeout, Crashed or Stopped
  std::string startTime;
  std::string endTime;
  std::string commandLine;  // the program's path and its argument string
  std::string directory;    // the directory it ran in
  std::string image;        // the program's file name
  std::string endedBy;      // how it ended, in words
  bool crashed = false;     // exitCode holds the crash's code
  std::uint32_t exitCode = 0;
  std::string latestLogPath;  // empty when no log was found
};

// Takes the evidence of `run` for a program set up as `config` (which names
// an EvidenceDir): removes the oldest run folders beyond EvidenceMaxMB, makes
// the run's folder, captures the still running processes of `record` (all but
// `leaveOut`) when `capture` is true (within 60 s), and writes summary.txt.
// Returns the one console line that says where it went, or why not.
std::string takeRunEvidence(const ProgramConfig& config, const FailedRun& run,
                            const platform::ProcessRecord& record,
                            const std::vector<std::uint32_t>& leaveOut, bool capture);

// Removes the oldest run folders in `dir` (directories that are no link and
// hold a summary.txt whose Application_ID begins their name) until the rest
// holds less than `maxBytes`. Nothing else in `dir` is touched.
void trimEvidence(const std::string& dir, std::int64_t maxBytes);

// The last `maxLines` lines of the file at `path`, read from its final
// `maxBytes` bytes (a first line cut by that is left out); line ends removed.
std::vector<std::string> lastLines(const std::string& path, std::size_t maxLines,
                                   std::size_t maxBytes);

}  // namespace tavrelon
