// Configuration input no one should write, read without harm: random bytes,
// NUL bytes inside paths, a line of megabytes, TimeOutMin at and beyond the
// 32-bit limits carried through to the monitor loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "config/config_checker.h"
#include "config/config_reader.h"
#include "driver/watchdog.h"
#include "logging/status_log.h"
#include "support/watchdog_run.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace test;

// The watchdog copied into a folder of its own with `config` beside it, run
// without arguments; returns its output, and its exit status in `status`.
std::string runWatchdogWith(const std::string& config, int& status) {
  Watchdog watchdog;
  writeFile(watchdog.configPath(), config);
  std::string output;
  status = watchdog.runWithArguments("", output);
  return output;
}

TEST(HostileConfiguration, RandomBytesWithNulsAreReadAndTheWatchdogExitsCleanly) {
  std::mt19937 random(31337);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) {
    // Mostly noise, with the characters the reader looks for mixed in.
    const unsigned value = random() % 64;
    c = value == 0 ? '\n' : value == 1 ? ':' : value == 2 ? '\0' : static_cast<char>(random());
  }
  int status = -1;
  const std::string output = runWatchdogWith(noise, status);
  EXPECT_EQ(status, 0);
  // The noise's mistakes come first, a bounded list of warnings, then the one program.
  const std::string::size_type program = output.find(consoleLine("Program [1]:"));
  ASSERT_NE(program, std::string::npos) << output.substr(0, 200);
  const std::string warning = "Warning: TavrelonConfig.ini line ";
  std::size_t warnings = 0;
  for (std::string::size_type at = 0; at < program; at = output.find('\n', at) + 1) {
    EXPECT_EQ(output.compare(at, warning.size(), warning), 0) << output.substr(at, 200);
    ++warnings;
  }
  EXPECT_EQ(warnings, kMaxListedConfigWarnings + 1);
}

TEST(HostileConfiguration, ArgumentOfSeveralMegabytesFailsToStartAndTheNextProgramRuns) {
  TempDir dir;
  const std::string config = "ApplicationPath: " + builtProgram("fake_program") +
                             "\nApplicationArgument: " + std::string(4 << 20, 'a') +
                             "\nApplicationPath: " + dir.file("missing.exe") + "\n";
  int status = -1;
  const std::string output = runWatchdogWith(config, status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(output.find("Start process failed!  errorcode:"), std::string::npos) << output;
  EXPECT_NE(output.find(consoleLine("Program [2]:") + "Specified program [missing.exe] not found!"),
            std::string::npos)
      << output;
}

TEST(HostileConfiguration, NulInsideTheProgramPathNamesNoProgram) {
  ShortSleeps sleeps;
  TempDir dir;
  const std::string record = dir.file("started.txt");
  // The path up to the NUL is a real program; the configured path is not.
  ProgramWatcher watcher =
      driverWatcher(settingsFor(builtProgram("fake_program") + "\0.disabled"s,
                                "--record \"" + record + "\"", "", dir.file("TavrelonLog_x.csv")));
  const std::string output = superviseCapturing(watcher);
  EXPECT_NE(output.find("] not found!"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(record)) << "the program before the NUL was started";
  EXPECT_FALSE(fs::exists(dir.file("TavrelonLog_x.csv")));
}

TEST(HostileConfiguration, NulInsideTheStatusLogPathLeavesTheFileBeforeItAlone) {
  // The program writes no log: the time-out must stay far beyond the slowest
  // start (sanitizers on a loaded machine), or every run is timed out.
  ShortSleeps sleeps(kSupervisionSleepDivisor);
  TempDir dir;
  const std::string kept = dir.file("kept.csv");
  const std::string before = std::string(kStatusLogHeader) + "\r\nold,finished,a,b,N/A\r\n";
  writeFile(kept, before);
  ProgramWatcher watcher = driverWatcher(settingsFor(
      builtProgram("fake_program"), "--lines 2 --interval-ms 10", "", kept + "\0.junk"s));
  watcher.config.timeOutMin = 10;
  const std::string output = superviseCapturing(watcher);
  EXPECT_EQ(occurrences(output, "has finished!"), 1) << output;
  EXPECT_EQ(readFile(kept), before);
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"kept.csv"});
}

// TimeOutMin as a configuration file gives it, and the value it must read as.
struct TimeOutCase {
  const char* text;
  std::int32_t value;
};

TEST(HostileConfiguration, TimeOutMinAtAndBeyondThe32BitLimitsNeverFiresEarly) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  // 715827883 minutes are 4294967298 seconds: in 32-bit arithmetic that
  // wraps to a threshold of two polls. 357913942 wraps to zero polls.
  const std::vector<TimeOutCase> cases = {
      {"2147483647", kMax},
      {"2147483648", kMax},
      {"99999999999999999999999", kMax},
      {"715827883", 715827883},
      {"357913942", 357913942},
      {"-2147483648", kMin},
      {"-2147483649", kMin},
      {"0", 0},
      {"-1", -1},
  };
  for (const TimeOutCase& c : cases) {
    SCOPED_TRACE(c.text);
    ShortSleeps sleeps;
    TempDir dir;
    writeFile(dir.file("TavrelonConfig.ini"), "ApplicationPath: " + builtProgram("fake_program") +
                                                  "\nApplicationArgument: --lines 30 "
                                                  "--interval-ms 15\nTavrelonLog: " +
                                                  dir.file("TavrelonLog_x.csv") +
                                                  "\nTimeOutMin: " + c.text + "\n");
    const std::vector<ProgramConfig> records =
        readConfigFile(dir.file("TavrelonConfig.ini"), watchdogStatusLogDefaults());
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].timeOutMin, c.value);
    // The program writes no log for about 450 ms, some 40 polls here.
    ProgramWatcher watcher = driverWatcher(records[0]);
    const std::string output = superviseCapturing(watcher);
    EXPECT_EQ(occurrences(output, "has timed out!"), 0) << output;
    EXPECT_GE(sleeps.count(10000), 10);
    const std::vector<StatusRecord> rows = readStatusLog(dir.file("TavrelonLog_x.csv"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].runningStatus, "finished");
  }
}

}  // namespace
}  // namespace tavrelon
