#include <gtest/gtest.h>

#include <filesystem>

#include "platform/paths.h"
#include "support/test_support.h"
#include "support/watchdog_run.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;

// Standard output is written in text mode, so a line ends as the platform writes it.
const std::string kLineEnd = platform::isWindows() ? "\r\n" : "\n";

TEST(Watchdog, AnyArgumentEndsAtOnceWithoutReadingTheConfiguration) {
  test::Watchdog watchdog;
  // Read, this file would at least announce "Program [1]:".
  test::writeFile(watchdog.configPath(), "ApplicationPath: " + watchdog.dir().file("none.exe"));
  for (const std::string arguments : {"x", "-h", "a b c", "\"\""}) {
    std::string output = "unset";
    EXPECT_EQ(watchdog.runWithArguments(arguments, output), 0) << arguments;
    EXPECT_EQ(output, "") << arguments;
  }
  // Without a configuration the same holds: the error line needs a run without arguments.
  fs::remove(watchdog.configPath());
  std::string output = "unset";
  EXPECT_EQ(watchdog.runWithArguments("x", output), 0);
  EXPECT_EQ(output, "");
}

TEST(Watchdog, ReportsAMissingOrUnreadableConfigurationAndExitsWithZero) {
  test::Watchdog watchdog;
  std::string output;
  EXPECT_EQ(watchdog.runWithArguments("", output), 0);
  EXPECT_EQ(output, "Error: Failed to read TavrelonConfig.ini!" + kLineEnd);

  // A directory in the file's place cannot be read either.
  fs::create_directory(watchdog.configPath());
  output.clear();
  EXPECT_EQ(watchdog.runWithArguments("", output), 0);
  EXPECT_EQ(output, "Error: Failed to read TavrelonConfig.ini!" + kLineEnd);
}

}  // namespace
}  // namespace tavrelon
