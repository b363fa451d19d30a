// What the process services and their backends share. Not for callers outside
// src/platform.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/process.h"

namespace tavrelon::platform::backend {

// The error code that failJobAssignmentForTesting() set; 0 when none is set.
std::uint32_t forcedJobAssignmentFailure();

// startProcess for a launch whose path and directory hold no NUL; `record` comes in empty.
bool startProcess(const ProcessLaunch& launch, ProcessRecord& record, std::uint32_t& errorCode);

// The value of this process's environment variable `name` (ASCII); false when unset.
bool environmentVariable(const std::string& name, std::string& value);
// Sets this process's environment variable `name` (ASCII), which every process
// started afterwards inherits.
void setEnvironmentVariable(const std::string& name, const std::string& value);
// This process's id, as the system numbers processes.
std::uint32_t currentProcessId();

// True while the process with the system's id `processId` runs (also when it
// cannot be asked, another user's say); false once it is gone.
bool processRuns(std::uint32_t processId);

// The backends' table of started processes: Handles from a counter that never
// repeats, so a closed Handle stays invalid instead of coming to name another
// process. Hold `mutex` around every use.
template <typename Entry>
struct HandleTable {
  std::mutex mutex;
  std::map<Handle, Entry> entries;

  // A new Handle and its (default) entry.
  Handle add() {
    const Handle handle = next_++;
    entries[handle];
    return handle;
  }
  // The entry of an open Handle, or null.
  Entry* find(Handle handle) {
    auto found = entries.find(handle);
    return found == entries.end() ? nullptr : &found->second;
  }

 private:
  Handle next_ = 1;
};

}  // namespace tavrelon::platform::backend
