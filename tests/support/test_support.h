// Shared pieces of the test suites: temporary directories, file helpers,
// the helper programs' paths and the shortened sleeps.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tavrelon::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + separator + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Writes `bytes` to `path` exactly (binary), creating parent directories.
void writeFile(const std::string& path, const std::string& bytes);
// The file's bytes, or "" when it cannot be read.
std::string readFile(const std::string& path);

// Makes a FIFO (named pipe) at `path` with mkfifo; false where there is none
// (Windows has no FIFOs in a folder).
bool makeFifo(const std::string& path);

// Path of a program built beside the test executable (".exe" added on Windows).
std::string builtProgram(const std::string& name);

// Runs `program` with `arguments` (quoted by the caller as the platform's
// command processor wants) through std::system, standard output captured into
// `output`. Returns std::system's result: 0 exactly when the program exited 0.
int runCapturingOutput(const std::string& program, const std::string& arguments,
                       std::string& output);

// While alive, every platform sleep is recorded and shortened to ms / divisor
// of real time (at least zero), so polls and waits take milliseconds.
class ShortSleeps {
 public:
  explicit ShortSleeps(std::int64_t divisor = 1000);
  ~ShortSleeps();
  ShortSleeps(const ShortSleeps&) = delete;
  ShortSleeps& operator=(const ShortSleeps&) = delete;

  // Every duration requested so far, in order.
  std::vector<std::int64_t> requested() const;
  // How many requests asked for exactly `milliseconds`.
  int count(std::int64_t milliseconds) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::int64_t> requested_;
};

}  // namespace tavrelon::testing
