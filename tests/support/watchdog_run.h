// The real watchdog for end-to-end tests: the built executable copied into a
// directory of its own beside a configuration the test writes, run in the
// foreground or started in the background (POSIX) and signalled.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace tavrelon::test {

class Watchdog {
 public:
  Watchdog();
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  const TempDir& dir() const { return dir_; }
  const std::string& program() const { return program_; }
  // The configuration file beside the copy.
  std::string configPath() const { return dir_.file("TavrelonConfig.ini"); }

  // Writes TavrelonConfig.ini beside the copy, runs it and returns its
  // standard output with line ends as "\n". The log folders it names are made
  // first, as a lab has them, unless `makeLogFolders` is false.
  std::string run(const std::string& configuration, bool makeLogFolders = true);
  // Runs the copy with `arguments` and whatever configuration is beside it
  // (none written here); its standard output as it came into `output`.
  // Returns its exit status.
  int runWithArguments(const std::string& arguments, std::string& output) const;

  // POSIX: starts the copy in the background through the shell, `launcher`
  // (a command that execs its arguments) in front of it, its standard output
  // into a file. The shell execs it, so the pid it records is the watchdog's.
  void start(const std::string& configuration, const std::string& launcher = "");
  // Sends the signal `name` ("TERM", "USR1", ...) to the background watchdog.
  void signal(const std::string& name) const;
  // True while the background watchdog has not ended.
  bool running() const { return !done_; }
  std::uint32_t pid() const { return pid_; }
  // Waits up to `seconds` for the background watchdog to end (then kills it)
  // and returns std::system's result: 0 exactly when it exited with 0.
  int finish(int seconds = 10);
  std::string output() const;

  // The status logs the watchdog named itself for `name`, beside the copy.
  std::vector<std::string> defaultStatusLogs(const std::string& name) const;

  // Writes TavrelonConfig.ini beside the copy, for a test that runs the copy
  // its own way. A log folder missing at start earns a warning; the tests of
  // supervision make each one, as a lab has them, unless `makeLogFolders` is false.
  void configure(const std::string& configuration, bool makeLogFolders = true);

 private:
  TempDir dir_;
  std::string program_;
  std::thread background_;
  std::atomic<bool> done_{false};
  int status_ = -1;
  std::uint32_t pid_ = 0;
};

// One program block of the configuration.
std::string block(const std::string& path, const std::string& arguments, const std::string& logDir,
                  const std::string& extra = "");

}  // namespace tavrelon::test
