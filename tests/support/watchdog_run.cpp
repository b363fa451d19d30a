#include "support/watchdog_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>

namespace tavrelon::test {

namespace fs = std::filesystem;

Watchdog::Watchdog() : program_(copyOfProgram("tavrelon", dir_.path())) {}

Watchdog::~Watchdog() {
  if (background_.joinable())
    finish(0);
}

std::string Watchdog::run(const std::string& configuration, bool makeLogFolders) {
  configure(configuration, makeLogFolders);
  std::string output;
  EXPECT_EQ(runCapturingOutput(program_, "", output), 0);
  return withoutCarriageReturns(output);
}

int Watchdog::runWithArguments(const std::string& arguments, std::string& output) const {
  return runCapturingOutput(program_, arguments, output);
}

void Watchdog::start(const std::string& configuration, const std::string& launcher) {
  configure(configuration, true);
  const std::string command = "echo $$ > \"" + dir_.file("watchdog.pid") + "\"; exec " + launcher +
                              " \"" + program_ + "\" > \"" + dir_.file("out.txt") + "\"";
  background_ = std::thread([this, command] {
    status_ = std::system(command.c_str());
    done_ = true;
  });
  pid_ = pidIn(dir_.file("watchdog.pid"));
}

void Watchdog::signal(const std::string& name) const {
  (void)std::system(("kill -" + name + " " + std::to_string(pid_)).c_str());
}

int Watchdog::finish(int seconds) {
  if (!waitUntil([&] { return done_.load(); }, std::chrono::seconds(seconds)))
    signal("KILL");
  background_.join();
  return status_;
}

std::string Watchdog::output() const {
  return withoutCarriageReturns(readFile(dir_.file("out.txt")));
}

void Watchdog::configure(const std::string& configuration, bool makeLogFolders) {
  const std::string key = "ApplicationLogDir: ";
  for (std::string::size_type at = 0; makeLogFolders && at < configuration.size();) {
    std::string::size_type end = configuration.find('\n', at);
    if (end == std::string::npos)
      end = configuration.size();
    if (configuration.compare(at, key.size(), key) == 0 && end > at + key.size())
      fs::create_directories(
          fs::u8path(configuration.substr(at + key.size(), end - at - key.size())));
    at = end + 1;
  }
  writeFile(configPath(), configuration);
}

std::vector<std::string> Watchdog::defaultStatusLogs(const std::string& name) const {
  std::vector<std::string> found;
  const std::regex pattern("TavrelonLog_" + literal(name) + R"(_\d{14}\.csv)");
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_.path())) {
    if (std::regex_match(entry.path().filename().string(), pattern))
      found.push_back(entry.path().string());
  }
  return found;
}

std::string block(const std::string& path, const std::string& arguments, const std::string& logDir,
                  const std::string& extra) {
  return "ApplicationPath: " + path + "\nApplicationArgument: " + arguments +
         "\nApplicationLogDir: " + logDir + "\n" + extra + "\n";
}

}  // namespace tavrelon::test
