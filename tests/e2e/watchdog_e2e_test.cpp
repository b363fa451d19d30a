// The real watchdog, in real time, on the fake program: a copy of the built
// executable in a directory of its own beside a configuration the test writes.
// Each test checks the whole standard output and the status log's bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;

const std::string S(1, platform::separator());
const std::string kFake = testing::builtProgram("fake_program");
const std::string kName = fs::path(kFake).filename().string();

const std::string kHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log\r\n";
const std::string kRowTime = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";
const std::string kId =
    "(" + std::regex_replace(kName, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + R"(_\d{14}))";

std::string literal(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// The built watchdog copied into a fresh directory, run without arguments.
class Watchdog {
 public:
  Watchdog() {
    const fs::path built = testing::builtProgram("tavrelon");
    program_ = dir_.file(built.filename().string());
    fs::copy_file(built, program_);
  }
  const testing::TempDir& dir() const { return dir_; }

  // Writes TavrelonConfig.ini beside the copy, runs it and returns its
  // standard output with line ends as "\n".
  std::string run(const std::string& configuration) {
    testing::writeFile(dir_.file("TavrelonConfig.ini"), configuration);
    std::string output;
    EXPECT_EQ(testing::runCapturingOutput(program_, "", output), 0);
    std::string normal;
    for (char c : output) {
      if (c != '\r')
        normal += c;
    }
    return normal;
  }

  // The status logs the watchdog named itself for `name`, beside the copy.
  std::vector<std::string> defaultStatusLogs(const std::string& name) const {
    std::vector<std::string> found;
    const std::regex pattern("TavrelonLog_" + literal(name) + R"(_\d{14}\.csv)");
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_.path())) {
      if (std::regex_match(entry.path().filename().string(), pattern)) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }

 private:
  testing::TempDir dir_;
  std::string program_;
};

// One program block of the configuration.
std::string block(const std::string& path, const std::string& arguments, const std::string& logDir,
                  const std::string& extra = "") {
  return "ApplicationPath: " + path + "\nApplicationArgument: " + arguments +
         "\nApplicationLogDir: " + logDir + "\n" + extra + "\n";
}

std::string fakeArguments(const std::string& logDir, const std::string& more) {
  return "--log-dir \"" + logDir + "\" --interval-ms 100 " + more;
}

std::string startLines() {
  return "\nStart running \\[" + literal(kName) + "\\]\\.\\.\\.\n";
}

TEST(WatchdogEndToEnd, SupervisesTwoProgramsInOrderEachToItsFinish) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs1");
  const std::string first = watchdog.dir().file("first.csv");
  const std::string second = watchdog.dir().file("second.csv");
  // The first program logs for about nine seconds: polled at least once.
  const std::string output = watchdog.run(
      "# two programs\n" +
      block(kFake, "--log-dir \"" + logs + "\" --lines 10 --interval-ms 1000", logs,
            "TavrelonLog: " + first) +
      block(kFake, "--lines 1", watchdog.dir().file("logs2"), "TavrelonLog: " + second));

  std::smatch ids;
  // Groups: 2 the identifier of the last poll line, 3 and 4 the finished runs.
  const std::regex shape("Program \\[1\\]:\n" + startLines() + "(\n" + kId + "  " +
                         literal(logs + S + "fake.csv") + "  \\d+\n)+\\[" + kId +
                         "\\] has finished!\n\nProgram \\[2\\]:\n" + startLines() + "\\[" + kId +
                         "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, shape)) << output;
  EXPECT_EQ(ids[2].str(), ids[3].str());
  for (const auto& [log, id] : {std::pair{first, ids[3].str()}, std::pair{second, ids[4].str()}}) {
    const std::string bytes = testing::readFile(log);
    EXPECT_TRUE(std::regex_match(bytes, std::regex(literal(kHeader) + literal(id) + ",finished," +
                                                   kRowTime + "," + kRowTime + ",N/A\r\n")))
        << bytes;
  }
}

TEST(WatchdogEndToEnd, RestartsAProgramThatCrashedOnceAndRecordsBothRuns) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string output = watchdog.run(
      block(kFake,
            fakeArguments(logs, "--lines 3 --crash-once \"" + watchdog.dir().file("marker") + "\""),
            logs));

  std::smatch ids;
  const std::regex expected("Program \\[1\\]:\n" + startLines() + "\n" +
                            literal("[" + kName + "] has crashed!  Restarting now...") + "\n" +
                            startLines() + "\\[" + kId + "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;

  // The status log carries the program's file name and the time it was configured.
  const std::vector<std::string> logsFound = watchdog.defaultStatusLogs(kName);
  ASSERT_EQ(logsFound.size(), 1u);
  const std::string bytes = testing::readFile(logsFound[0]);
  const std::string crashed = kId + ",crashed," + kRowTime + "," + kRowTime + "," +
                              literal("[" + logs + S + "fake.csv] line 3 ") + "\\d+\r\n";
  const std::string finished =
      literal(ids[1].str()) + ",finished," + kRowTime + "," + kRowTime + ",N/A\r\n";
  EXPECT_TRUE(std::regex_match(bytes, std::regex(literal(kHeader) + crashed + finished))) << bytes;
}

TEST(WatchdogEndToEnd, EndsAndRestartsAProgramWhoseLogStoppedGrowingForAMinute) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string output = watchdog.run(block(
      kFake, fakeArguments(logs, "--lines 3 --hang-once \"" + watchdog.dir().file("marker") + "\""),
      logs, "TimeOutMin: 1\nTavrelonLog: " + watchdog.dir().file("status.csv")));

  // Three lines "line,<i>,<13-digit start time>\n" of 21 bytes, then nothing:
  // the first poll sees the size change, the next six see it unchanged.
  const std::string poll = "\n" + kId + "  " + literal(logs + S + "fake.csv") + "  63\n";
  std::smatch ids;
  const std::regex expected("Program \\[1\\]:\n" + startLines() + poll + "(?:" + poll + "){6}" +
                            "\n\\[" + kId + "\\] has timed out! Restarting now...\n\n" +
                            startLines() + "\\[" + kId + "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;
  // Groups: 1 and 2 the hung run in its poll lines, 3 in the time-out, 4 the restarted run.
  EXPECT_EQ(ids[1].str(), ids[2].str());
  EXPECT_EQ(ids[1].str(), ids[3].str());

  const std::string bytes = testing::readFile(watchdog.dir().file("status.csv"));
  const std::string timedOut = literal(ids[1].str()) + ",timeout," + kRowTime + "," + kRowTime +
                               "," + literal("[" + logs + S + "fake.csv] line 3 ") + "\\d+\r\n";
  const std::string finished =
      literal(ids[4].str()) + ",finished," + kRowTime + "," + kRowTime + ",N/A\r\n";
  EXPECT_TRUE(std::regex_match(bytes, std::regex(literal(kHeader) + timedOut + finished))) << bytes;
}

TEST(WatchdogEndToEnd, ReportsAMissingProgramAndGoesOnToTheNext) {
  Watchdog watchdog;
  const std::string second = watchdog.dir().file("second.csv");
  const std::string output = watchdog.run(
      block(watchdog.dir().file("missing_program"), "", watchdog.dir().file("logs1")) +
      block(kFake, "--lines 1", watchdog.dir().file("logs2"), "TavrelonLog: " + second));

  std::smatch ids;
  const std::regex expected(
      "Program \\[1\\]:\nSpecified program \\[missing_program\\] not found!\nProgram \\[2\\]:\n" +
      startLines() + "\\[" + kId + "\\] has finished!\n\n");
  ASSERT_TRUE(std::regex_match(output, ids, expected)) << output;
  // The missing program never had a run, so it has no status log at all.
  EXPECT_TRUE(watchdog.defaultStatusLogs("missing_program").empty());
  EXPECT_TRUE(std::regex_match(testing::readFile(second),
                               std::regex(literal(kHeader) + literal(ids[1].str()) + ",finished," +
                                          kRowTime + "," + kRowTime + ",N/A\r\n")));
}

TEST(WatchdogEndToEnd, AConfigurationInUtf8OrInTheAnsiCodePageNamesTheSameProgram) {
  Watchdog watchdog;
  const std::string folder = watchdog.dir().file("caf\xC3\xA9");
  fs::create_directories(fs::u8path(folder));
  fs::copy_file(kFake, fs::u8path(folder + S + kName));
  const std::string logs = watchdog.dir().file("logs");
  std::vector<std::string> configurations{block(folder + S + kName, "--lines 1", logs)};
  // The same name saved in the ANSI code page, where that holds an "é" (POSIX has none).
  if (platform::separator() == '\\' && platform::toAnsiCodePage("\xC3\xA9") == "\xE9")
    configurations.push_back(block(watchdog.dir().file("caf\xE9") + S + kName, "--lines 1", logs));
  for (const std::string& configuration : configurations) {
    const std::string output = watchdog.run(configuration);
    EXPECT_TRUE(std::regex_match(output, std::regex("Program \\[1\\]:\n" + startLines() + "\\[" +
                                                    kId + "\\] has finished!\n\n")))
        << output;
  }
}

}  // namespace
}  // namespace tavrelon
