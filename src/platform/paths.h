// Paths: the separator, the running executable, and splitting and joining.
#pragma once

#include <cstddef>
#include <string>

namespace tavrelon::platform {

// The separator this platform's paths use: '\\' on Windows, '/' on POSIX.
// Wherever the watchdog splits or joins a path it uses this character only.
char separator();

// True on Windows, false on POSIX: for the few places whose answer differs by
// system in more than the separator (line ends, file times, links).
bool isWindows();

// Full path of the running executable, never truncated; empty when the
// system cannot tell.
std::string executablePath();

// The directory of the running executable, without a trailing separator; the
// whole path when it holds no separator (empty when executablePath() is).
std::string executableDirectory();

// The portable path helpers (paths.cpp). `alsoSlash`: a '/' separates too, as
// the Windows system calls take it; the watchdog's own splits use separator() only.

// Where the final name of `path` begins: just past its last separator; 0 when
// it has none.
std::size_t finalNameOffset(const std::string& path, bool alsoSlash = false);

// The text after the last separator of `path`; `path` itself without one.
std::string finalNameOf(const std::string& path, bool alsoSlash = false);

// The text before the last separator of `path`; `path` itself without one.
std::string directoryOf(const std::string& path);

// `directory`, the separator and `name`.
std::string joinPath(const std::string& directory, const std::string& name);

}  // namespace tavrelon::platform
