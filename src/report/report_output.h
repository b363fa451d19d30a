// Writing the report's page where another user may have placed a link or a
// file of their own: never through a link, never over someone else's file.
#pragma once

#include <string>

namespace tavrelon::report {

// `stem` + ".html" when nothing is at that path (not even a link), else the
// first free `stem` + "_2.html", "_3.html", ...
std::string freePageName(const std::string& stem);

// Writes `page` at `path` through a temporary beside it, created anew, that
// then takes the path's place, so no reader sees half a page and no link at
// the path is ever followed. Something already at `path` is replaced only
// when `replaceable` and it is a regular file this tool wrote (it starts with
// kPageStart). Returns "" when done, else the error line to print.
std::string writePage(const std::string& path, const std::string& page, bool replaceable);

}  // namespace tavrelon::report
