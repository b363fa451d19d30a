// Console lines: escaped control characters, and a console that stops reading,
// shown with the console writer in a real child process on a real pipe.
#include "supervision/console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "config/text_lines.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

using namespace test;

TEST(ConsoleLines, ControlCharactersAreShownEscapedAndOrdinaryLinesStayByteForByte) {
  ::testing::internal::CaptureStdout();
  printLine("x\n[prog_20991231235959] has finished!\x1b[2J.csv");
  printLine(
      "a\rb\tc\x7f"
      "d\x01\xC2\x9B"
      "e");
  const std::string ordinary = "C:\\new\\tab\\caf\xC3\xA9 \xE6\x97\xA5 caf\xE9 \\x1b  [run.csv]";
  printLine(ordinary);
  printLine("");
  EXPECT_EQ(capturedOutput(),
            "x\\n[prog_20991231235959] has finished!\\x1b[2J.csv\n"
            "a\\rb\\tc\\x7fd\\x01\\xc2\\x9be\n" +
                ordinary + "\n\n");
}

// Checks that `output` holds console_writer's `count` lines of width 100,
// whole and in order, where a run of them may be replaced by one line saying
// how many were not shown; returns how many were shown.
int checkWriterLines(const std::string& output, int count) {
  int next = 1, shown = 0;
  const std::string warning = "Warning: The console stopped reading; ";
  for (const std::string& line : splitLines(output)) {
    if (line.rfind(warning, 0) == 0) {
      EXPECT_TRUE(matchesWhole(line, literal(warning) + "\\d+ lines were not shown!")) << line;
      next += std::stoi(line.substr(warning.size()));
      continue;
    }
    EXPECT_EQ(line, "line " + std::to_string(next) + " " + std::string(99, 'x') + ".");
    ++next;
    ++shown;
    if (::testing::Test::HasFailure())
      return shown;
  }
  EXPECT_EQ(next, count + 1);
  return shown;
}

// Runs console_writer with `count` lines into a pipe whose reader reads nothing
// until the writer has handed every line to printLine (at most ten seconds);
// a failure when that never happened. What the reader read goes to `output`.
::testing::AssertionResult writeToALateReader(int count, std::string& output) {
  TempDir dir;
  const std::string command = "\"" + builtProgram("console_writer") + "\" " +
                              std::to_string(count) + " 100 \"" + dir.file("printed") +
                              "\" | ( while [ ! -e \"" + dir.file("go") +
                              "\" ]; do sleep 0.05; done; cat > \"" + dir.file("out") + "\" )";
  std::atomic<int> status{-1};
  std::thread pipeline([&] { status = std::system(command.c_str()); });
  const bool printed = waitUntil([&] { return platform::exists(dir.file("printed")); });
  writeFile(dir.file("go"), "");
  pipeline.join();
  EXPECT_EQ(status, 0);
  output = readFile(dir.file("out"));
  if (!printed)
    return ::testing::AssertionFailure() << "printLine waited for the console";
  return ::testing::AssertionSuccess();
}

// The console writer's tests run a POSIX pipeline whose reader waits.
class ConsoleWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platform::isWindows())
      GTEST_SKIP() << "a POSIX pipeline whose reader waits";
  }
};

TEST_F(ConsoleWriter, ALineNeverWaitsForTheConsoleAndEveryQueuedLineIsWrittenBeforeTheExit) {
  // About 330 kB: more than the pipe holds, less than the queue.
  std::string output;
  ASSERT_TRUE(writeToALateReader(3000, output));
  EXPECT_EQ(checkWriterLines(output, 3000), 3000);
  EXPECT_EQ(occurrences(output, "lines were not shown!"), 0);
}

TEST_F(ConsoleWriter, WhatAFullQueueCannotTakeIsDroppedAndCountedInPlace) {
  std::string output;
  ASSERT_TRUE(writeToALateReader(15000, output));
  // Whole lines in order, each run of lines that found the queue full replaced
  // by one line saying how many.
  EXPECT_LT(checkWriterLines(output, 15000), 15000);
  EXPECT_GE(occurrences(output, "lines were not shown!\n"), 1);
}

}  // namespace
}  // namespace tavrelon
