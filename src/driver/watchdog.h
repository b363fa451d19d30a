#pragma once

#include <string>

#include "config/config_reader.h"
#include "platform/paths.h"

namespace tavrelon {

// The watchdog's entry: with any argument returns 0 at once; otherwise reads
// TavrelonConfig.ini beside the executable and supervises each configured
// program in turn. A stop request (a signal, a console control event) ends
// the supervision: the run in progress is closed as stopped and no further
// program is started. Always returns 0.
int runWatchdog(int argc, char* argv[]);

// What the watchdog names default status logs after: its own directory and the
// local clock's run stamp.
StatusLogDefaults watchdogStatusLogDefaults(
    const std::string& ownDirectory = platform::executableDirectory());

}  // namespace tavrelon
