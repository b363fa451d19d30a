// The parts of ProgramWatcher that only the debug programs and test mode use:
// the DebugCrash and DebugTimeout launches, found beside the watchdog, and startTest().
#include <utility>

#include "platform/files.h"
#include "platform/process.h"
#include "supervision/console.h"
#include "supervision/program_watcher.h"

namespace tavrelon {

namespace {

// A debug program: started by its path alone, no console of its own.
platform::ProcessLaunch debugLaunch(const std::string& path, bool showWindow,
                                    const std::string& workingDirectory) {
  platform::ProcessLaunch launch;
  launch.path = path;
  launch.withArguments = false;
  launch.newConsole = false;
  launch.showWindow = showWindow;
  launch.workingDirectory = workingDirectory;
  return launch;
}

}  // namespace

bool ProgramWatcher::launchDebugCrash() {
  const std::string path = place_.directory + config.debugCrashScript;
  if (!platform::exists(path)) {
    printLine("DebugCrash program not found!");
    stop();
    return false;
  }
  std::uint32_t errorCode = 0;
  if (!launchInto(debugCrashProcess_, debugLaunch(path, false, place_.directory), errorCode)) {
    // The supervised program is up; it is watched without the debug program.
    printLine("Start DebugCrash process failed!  errorcode:" + std::to_string(errorCode));
  }
  return true;
}

bool ProgramWatcher::launchDebugTimeout() {
  const std::string path = place_.directory + config.debugTimeoutScript;
  if (!platform::exists(path)) {
    stop();
    return false;
  }
  std::uint32_t errorCode = 0;
  if (!launchInto(debugTimeoutProcess_, debugLaunch(path, true, std::string()), errorCode)) {
    printLine("Start DebugTimeout process failed!");
    stop();
    return false;
  }
  if (debugCrashProcess_.holdsProcess()) {
    platform::terminateProcess(debugCrashProcess_);
    debugCrashProcess_ = platform::ProcessRecord();
  }
  return true;
}

void ProgramWatcher::startTest(std::string applicationId) {
  status.applicationId = std::move(applicationId);
  startRun(true);
}

}  // namespace tavrelon
