// Portable command-line handling shared by both process backends.
#pragma once

#include <string>
#include <vector>

namespace tavrelon::platform {

// Splits an argument string as the Windows C runtime splits a command line's
// arguments: blanks (space, tab) separate; double quotes group and are removed;
// "" inside a quoted part is one quote; 2n backslashes before a quote give n
// backslashes, 2n+1 give n and a literal quote; other backslashes are literal.
std::vector<std::string> splitArguments(const std::string& arguments);

// The command line for `path` and `arguments`: the path, one space, the
// arguments as given. The path is put in double quotes when it holds a space
// or a tab, so the system cannot read a shorter path out of it.
std::string buildCommandLine(const std::string& path, const std::string& arguments);

}  // namespace tavrelon::platform
