#include "platform/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

using test::S;

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
