// Console output of the watchdog: whole lines on standard output. A console
// that stops reading (a paused terminal, a pager) never holds up supervision:
// while the console writer runs, lines go through a bounded queue to a thread
// of their own.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon {

// Writes `text`, its control characters escaped (escapedForConsole), and a
// line end to standard output. While the console writer runs the line is
// queued and this never waits for the console; a line the full queue cannot
// take is dropped and counted, and a line saying how many goes out before the
// next one that fits. Otherwise it is written at once. A write that fails is
// dropped; later lines are still written.
void printLine(const std::string& text);

// `text` with every control character (C0, DEL, and C1 in UTF-8) shown as an
// escape ("\n", "\r", "\t", "\x1b"), so that no name can forge a line or
// drive the terminal; all other bytes as they are.
std::string escapedForConsole(const std::string& text);

// Starts the writer thread that takes printLine's lines from now on, in order,
// each written and flushed as soon as the console takes it. When no thread can
// be started, lines stay written at once.
void startConsoleWriter();

// Waits until every queued line is written (and a drop said), at most
// `limitMs` of real time, then stops the writer: lines after it are written at
// once. A writer still held by the console is left to the process's end.
void stopConsoleWriter(std::int64_t limitMs);

}  // namespace tavrelon
