// Text at the system's edges: the ANSI code page and the program's arguments.
#pragma once

#include <string>
#include <vector>

namespace tavrelon::platform {

// Inside the watchdog text and paths are UTF-8. Files that the system's other
// programs read in the ANSI code page (the status log) are converted at their
// edge; on POSIX both conversions leave the bytes as they are.

// `utf8` in the ANSI code page; a character that the code page lacks becomes
// '?'. ASCII stays byte for byte.
std::string toAnsiCodePage(const std::string& utf8);

// `ansi` (bytes in the ANSI code page) as UTF-8. ASCII stays byte for byte.
std::string fromAnsiCodePage(const std::string& ansi);

// The arguments after the program's name, as UTF-8. On Windows they come from
// the wide command line (argv holds them in the ANSI code page, which loses
// every character it lacks); elsewhere they are argv's own.
std::vector<std::string> programArguments(int argc, char** argv);

}  // namespace tavrelon::platform
