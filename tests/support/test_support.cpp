#include "support/test_support.h"
#include "platform/test_seams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "config/text_lines.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrelon::test {

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
  const fs::path self = platform::executablePath();
  return (self.parent_path() / (name + self.extension().string())).string();
}

namespace {

// A console is read by the watchdog's executable, never by a test's own
// (which would take the reading switch for a test run).
[[maybe_unused]] const bool consoleReaderSet = [] {
  platform::setConsoleReaderForTesting(builtProgram("tavrelon"));
  return true;
}();

}  // namespace

std::string copyOfProgram(const std::string& name, const std::string& directory,
                          const std::string& as) {
  const std::string built = builtProgram(name);
  fs::create_directories(directory);
  const std::string copy =
      directory + platform::separator() + (as.empty() ? fs::path(built).filename().string() : as);
  fs::copy_file(built, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, fs::perms::owner_all, fs::perm_options::add);
  return copy;
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

ShortSleeps::ShortSleeps(std::int64_t divisor, std::function<void(std::int64_t)> onSleep)
    : onSleep_(std::move(onSleep)) {
  platform::setSleepHookForTesting([this, divisor](std::int64_t ms) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requested_.push_back(ms);
    }
    if (onSleep_)
      onSleep_(ms);
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

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

platform::ProcessState waitForEnd(const platform::ProcessRecord& record, std::uint32_t& exitCode,
                                  std::chrono::milliseconds limit) {
  platform::ProcessState state = platform::processState(record.hProcess, exitCode);
  waitUntil(
      [&] {
        state = platform::processState(record.hProcess, exitCode);
        return state != platform::ProcessState::Running;
      },
      limit);
  return state;
}

std::uint32_t idOfAnEndedProcess() {
  platform::ProcessLaunch launch;
  launch.path = builtProgram("fake_program");
  launch.newConsole = false;
  launch.showWindow = false;
  platform::ProcessRecord record;
  std::uint32_t code = 0;
  if (!platform::startProcess(launch, record, code))
    return 0;
  waitForEnd(record, code);
  platform::closeHandle(record.hProcess);
  return record.dwProcessId;
}

int occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::string::size_type at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

std::string withoutCarriageReturns(const std::string& text) {
  std::string normal;
  for (char c : text) {
    if (c != '\r')
      normal += c;
  }
  return normal;
}

std::string capturedOutput() {
  return withoutCarriageReturns(::testing::internal::GetCapturedStdout());
}

std::string consoleLine(const std::string& text) {
  return text + (platform::isWindows() ? "\r\n" : "\n");
}

std::string literal(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

bool matchesWhole(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

std::size_t lineCount(const std::string& path) {
  std::vector<std::string> lines;
  readTextLines(path, lines);
  return lines.size();
}

std::uint32_t pidIn(const std::string& path, std::chrono::milliseconds limit) {
  std::string text;
  waitUntil(
      [&] {
        text = readFile(path);
        return text.find('\n') != std::string::npos;
      },
      limit);
  return static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

bool canProbeProcesses() {
  return !platform::isWindows() && fs::exists("/proc/self/stat");
}

std::vector<std::string> procStat(std::uint32_t pid) {
  const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::string::size_type close = text.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos || close + 2 >= text.size())
    return fields;
  std::string field;
  for (char c : text.substr(close + 2)) {
    if (c == ' ' || c == '\n') {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  return fields;
}

bool processAlive(std::uint32_t pid) {
  const std::vector<std::string> fields = procStat(pid);
  return !fields.empty() && fields[0] != "Z" && fields[0] != "X";
}

bool endsWithin(std::uint32_t pid, std::chrono::milliseconds limit) {
  return waitUntil([&] { return !processAlive(pid); }, limit);
}

void killByPid(std::uint32_t pid) {
  if (pid == 0)
    return;
  const std::string id = std::to_string(pid);
  const std::string command = !platform::isWindows() ? "kill -9 " + id + " 2>/dev/null"
                                                     : "taskkill /F /PID " + id + " >NUL 2>&1";
  (void)std::system(command.c_str());
}

bool runningAsRoot() {
  std::error_code error;
  // Root can create a file inside a directory that has no write bit at all.
  TempDir probe;
  fs::permissions(probe.path(), fs::perms::owner_read | fs::perms::owner_exec, error);
  const std::string file = probe.file("probe");
  writeFile(file, "x");
  const bool root = platform::exists(file);
  fs::permissions(probe.path(), fs::perms::owner_all, error);
  return root;
}

void startAndEndOneProgram() {
  platform::ProcessLaunch launch;
  launch.path = builtProgram("fake_program");
  platform::ProcessRecord record;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::startProcess(launch, record, error)) << error;
  std::uint32_t code = 0;
  ASSERT_TRUE(waitUntil(
      [&] {
        return platform::processState(record.hProcess, code) != platform::ProcessState::Running;
      },
      std::chrono::seconds(20)));
  platform::closeHandle(record.hProcess);
}

}  // namespace tavrelon::test
