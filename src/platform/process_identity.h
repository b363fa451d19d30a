// Telling a process apart from a later one that reuses its id: its id and the
// moment it started, as the system keeps it.
#pragma once

#include <cstdint>
#include <string>

namespace tavrelon::platform {

// This process's id.
std::uint32_t ownProcessId();

// When the process `pid` started, as a number that only that process carries
// with that id (clock ticks since the boot on Linux, the creation time on
// Windows); false when no process has that id (or it cannot be asked).
bool processStartMark(std::uint32_t pid, std::uint64_t& mark);

// Removes the regular file at `path`; true when it is gone (or was never there).
bool removeRegularFile(const std::string& path);

}  // namespace tavrelon::platform
