#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "support/test_support.h"
#include "support/watchdog_run.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;

using test::S;

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

TEST(DirectoryOf, CutsAtTheLastSeparatorOrKeepsAPathWithoutOne) {
  EXPECT_EQ(platform::directoryOf("E:" + S + "Watch" + S + "tavrelon.exe"), "E:" + S + "Watch");
  // An executable in a drive's root gives the drive (the bare root on POSIX).
  EXPECT_EQ(platform::directoryOf("E:" + S + "x.exe"), "E:");
  EXPECT_EQ(platform::directoryOf(S + "x"), "");
  EXPECT_EQ(platform::directoryOf("x.exe"), "x.exe");
  EXPECT_EQ(platform::directoryOf(""), "");
  EXPECT_EQ(platform::directoryOf("dir" + S), "dir");
}

TEST(ExecutableDirectory, IsTheRunningProgramsDirectoryWithoutTrailingSeparator) {
  const std::string directory = platform::executableDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_NE(directory.back(), platform::separator());
  EXPECT_EQ(platform::executablePath().compare(0, directory.size() + 1, directory + S), 0);
  EXPECT_TRUE(platform::exists(directory));
}

}  // namespace
}  // namespace tavrelon
