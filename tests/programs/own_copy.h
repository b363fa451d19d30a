// Shared by the test programs: start another copy of the running program.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "platform/paths.h"
#include "platform/process.h"

namespace tavrelon::test {

// Starts this program again with `arguments`, in our process group (or job)
// unless `ownGroup`, without a console or window of its own, and writes its
// pid and a line feed to `pidFile`. False, with the system's code in `error`,
// when it could not be started.
inline bool startOwnCopy(const std::string& arguments, bool ownGroup, const std::string& pidFile,
                         std::uint32_t& error) {
  platform::ProcessLaunch launch;
  launch.path = platform::executablePath();
  launch.arguments = arguments;
  launch.newConsole = false;
  launch.showWindow = false;
  launch.ownProcessGroup = ownGroup;
  platform::ProcessRecord record;
  if (!platform::startProcess(launch, record, error))
    return false;
  std::ofstream(pidFile, std::ios::binary) << record.dwProcessId << "\n";
  platform::closeHandle(record.hProcess);
  return true;
}

}  // namespace tavrelon::test
