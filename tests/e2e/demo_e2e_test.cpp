// The demo that the example configuration supervises: it alternates a crash
// and a finish, and the build places a configuration for it beside the watchdog.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "config/config_checker.h"
#include "config/text_lines.h"
#include "driver/watchdog.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

using test::S;

TEST(Demo, ExampleConfigurationBesideTheWatchdogSupervisesTheDemo) {
  const std::string buildDir = platform::directoryOf(test::builtProgram("tavrelon"));
  std::vector<std::string> warnings;
  const std::vector<ProgramConfig> programs =
      readConfigFile(buildDir + S + "TavrelonConfig.ini", watchdogStatusLogDefaults(), warnings);
  ASSERT_EQ(programs.size(), 1u);
  EXPECT_EQ(warnings, std::vector<std::string>());  // the quick start says nothing amiss
  EXPECT_EQ(programs[0].applicationPath, test::builtProgram("tavrelon_demo"));
  EXPECT_FALSE(programs[0].applicationLogDir.empty());
  EXPECT_EQ(programs[0].applicationArgument, "\"" + programs[0].applicationLogDir + "\"");
}

TEST(Demo, CrashesAndFinishesByTurnsLoggingProgressEachTime) {
  test::TempDir dir;
  const std::string demo = test::builtProgram("tavrelon_demo");
  const std::string arguments = "\"" + dir.path() + "\"";
  std::string output;
  EXPECT_NE(test::runCapturingOutput(demo, arguments, output), 0);  // exit code 3
  EXPECT_TRUE(platform::exists(dir.file("demo-crash-marker")));
  EXPECT_EQ(test::runCapturingOutput(demo, arguments, output), 0);
  EXPECT_FALSE(platform::exists(dir.file("demo-crash-marker")));

  std::vector<std::string> logs;
  std::vector<platform::DirectoryEntry> entries;
  ASSERT_TRUE(platform::listDirectory(dir.path(), entries));
  for (const platform::DirectoryEntry& entry : entries)
    logs.push_back(dir.file(entry.name));
  ASSERT_EQ(logs.size(), 2u);  // one log per run, named by its start time
  const std::regex line(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},step \d+ of 10,.*)");
  for (const std::string& log : logs) {
    std::vector<std::string> lines;
    ASSERT_TRUE(readTextLines(log, lines));
    ASSERT_EQ(lines.size(), 10u) << log;
    for (const std::string& text : lines)
      EXPECT_TRUE(std::regex_match(text, line)) << text;
  }
}

}  // namespace
}  // namespace tavrelon
