#include "driver/watchdog.h"

#include <exception>
#include <string>
#include <vector>

#include "config/config_reader.h"
#include "driver/executable_directory.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "supervision/program_watcher.h"

namespace tavrelon {

namespace {

// Supervises every configured program in turn; the next one is taken up only
// once the previous run has been stopped.
void superviseAll() {
  ProgramWatcher watcher;
  const std::string configPath =
      executableDirectory() + platform::separator() + "TavrelonConfig.ini";
  const std::vector<ProgramConfig> programs = readConfigFile(configPath);
  if (programs.empty()) printLine("Error: Failed to read TavrelonConfig.ini!");

  std::int32_t number = 1;
  for (const ProgramConfig& program : programs) {
    printLine("Program [" + std::to_string(number) + "]:");
    watcher = ProgramWatcher(program);
    // Runs that the watchdog starts itself never use test mode or the debug programs.
    watcher.testMode = false;
    watcher.config.debugOrNot = false;
    watcher.start();
    platform::sleepMilliseconds(2000);
    watcher.monitor();
    watcher.stop();
    ++number;
  }
}

}  // namespace

int runWatchdog(int argc, char* argv[]) {
  (void)argv;
  if (argc != 1) return 0;
  platform::prepareProcessForSupervision();
  try {
    superviseAll();
  } catch (const std::exception& error) {
    printLine(error.what());
  }
  platform::restoreProcessAfterSupervision();
  return 0;
}

}  // namespace tavrelon
