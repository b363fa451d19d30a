// Runs left open by an end the watchdog could not record (a power cut, a
// restart, a kill): closed when the watchdog starts again.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "config/program_config.h"
#include "logging/status_updates.h"

namespace tavrelon {

// The status log that `program`'s rows of earlier starts are in: its own
// TavrelonLog, or, for a program without one (its log named after the program
// and this start's moment, beside the watchdog in `ownDirectory`), the newest
// log of that name's form there; empty when there is none.
std::string earlierStatusLog(const ProgramConfig& program, const std::string& ownDirectory);

// Closes, in the earlier status log of each of `programs`, every row reading
// "running" whose run started before the machine's last boot: its status
// becomes "interrupted" and its End_Time the boot time. A run that started
// after the boot may be another watchdog's, still going: left alone. The
// changes go through `statusLogs`, so a log that cannot be written now keeps
// them for the program's own sequences. Says nothing.
void closeRunsBeforeBoot(const std::vector<ProgramConfig>& programs,
                         const std::string& ownDirectory, StatusLogQueues& statusLogs);

// Closes every row of the status log at `path` that reads "running" and that
// `cutShort` picks as "interrupted" (the system ended its run, not the program
// or the operator), with End_Time `endTime`, through `statusLogs`.
void closeInterruptedRows(const std::string& path, const std::string& endTime,
                          const std::function<bool(const StatusRecord&)>& cutShort,
                          StatusLogQueues& statusLogs);

}  // namespace tavrelon
