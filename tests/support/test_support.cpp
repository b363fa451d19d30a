#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "platform/test_seams.h"

namespace tavrelon::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device random;
  for (;;) {
    std::ostringstream name;
    name << "tavrelon-test-" << random() << "-" << counter++;
    fs::path candidate = fs::temp_directory_path() / name.str();
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code error;
  // Tests may leave read-only entries behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(path_, error);
}

std::string TempDir::file(const std::string& name) const {
  return path_ + platform::separator() + name;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::error_code error;
  fs::path parent = fs::path(path).parent_path();
  if (!parent.empty())
    fs::create_directories(parent, error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string builtProgram(const std::string& name) {
  std::string self = platform::executablePath();
  std::string suffix;
  if (self.size() > 4 && self.compare(self.size() - 4, 4, ".exe") == 0)
    suffix = ".exe";
  return platform::directoryOf(self) + platform::separator() + name + suffix;
}

bool makeFifo(const std::string& path) {
  if (platform::isWindows())
    return false;
  return std::system(("mkfifo '" + path + "'").c_str()) == 0;
}

int runCapturingOutput(const std::string& program, const std::string& arguments,
                       std::string& output) {
  TempDir scratch;
  std::string outputPath = scratch.file("stdout.txt");
  std::string command = "\"" + program + "\"";
  if (!arguments.empty())
    command += " " + arguments;
  command += " > \"" + outputPath + "\"";
  // cmd.exe drops the outermost quotes of a command line that starts with one.
  if (platform::isWindows())
    command = "\"" + command + "\"";
  int result = std::system(command.c_str());
  output = readFile(outputPath);
  return result;
}

ShortSleeps::ShortSleeps(std::int64_t divisor) {
  platform::setSleepHookForTesting([this, divisor](std::int64_t ms) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requested_.push_back(ms);
    }
    if (ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(ms / divisor));
  });
}

ShortSleeps::~ShortSleeps() {
  platform::setSleepHookForTesting({});
}

std::vector<std::int64_t> ShortSleeps::requested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requested_;
}

int ShortSleeps::count(std::int64_t milliseconds) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (std::int64_t ms : requested_)
    n += (ms == milliseconds);
  return n;
}

}  // namespace tavrelon::testing
