// The watchdog's own process: its set-up and restoration, stop requests and
// the waits they end, its standard output and the nesting of watchdogs.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon::platform {

// Once at start-up of the watchdog: stop requests (SIGINT, SIGTERM, SIGHUP; the
// console's Ctrl+C, Ctrl+Break, close, logoff and shutdown) call requestStop();
// SIGPIPE is ignored and SIGCHLD set back to its default; on Linux orphaned
// descendants are handed to us; QuickEdit is turned off in our own console.
// On Windows also: system error boxes off (inherited by the programs started,
// so a crash ends a program with its code instead of a dialog that waits) and
// console output in UTF-8.
void prepareWatchdogProcess();

// Before the watchdog returns from its entry function: restores the console
// mode and output code page that prepareWatchdogProcess() changed. Safe to
// call when it never ran.
void restoreWatchdogProcess();

// Writes `line` and this platform's line end (CR LF on Windows, as a text-mode
// stream of the C runtime writes it; LF elsewhere) to standard output, straight
// to the system with no buffer, blocking until all of it is taken. False when it
// cannot be written (no standard output, a reader that went away).
bool writeStandardOutputLine(const std::string& line);

// Asks the supervision to stop: the flag stays set and every interruptible
// wait, running or to come, returns at once. Async-signal-safe.
void requestStop();

// True once a stop has been requested.
bool stopRequested();

// Waits `milliseconds` (through the test hook, like sleepMilliseconds) unless a
// stop is requested before or meanwhile, which ends the wait early. Returns
// true when the full wait passed with no stop requested.
bool pauseUnlessStopped(std::int64_t milliseconds);

// ---------------------------------------------------------------- nesting

// Once at start-up of the watchdog: the number of watchdogs that run above this
// one, as the environment it inherited marks it (TAVRELON_DEPTH; 0 when
// unmarked or not a number). Marks this process's own environment, which every
// process it starts inherits, with one more.
std::int32_t markSupervisionDepth();

}  // namespace tavrelon::platform
