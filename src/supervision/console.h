// Console output of the watchdog: whole lines on standard output.
#pragma once

#include <string>

namespace tavrelon {

// Writes `text` and a line end to standard output and flushes it. A write
// that fails is dropped; the stream stays usable for the next line.
void printLine(const std::string& text);

}  // namespace tavrelon
