// Inputs the fuzz targets found to break a rule, kept as plain tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging/last_line.h"
#include "logging/test_log.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

using testing::TempDir;

TEST(FuzzFindings, FileOfOneCrLfHasAnEmptyLastLine) {
  bool needMore = true;
  EXPECT_EQ(lastLineOf("\r\n", 2, needMore), "");
  EXPECT_FALSE(needMore);

  testing::ShortSleeps sleeps;
  TempDir dir;
  testing::writeFile(dir.file("run.csv"), "\r\n");
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogLine(), "[" + dir.file("run.csv") + "] ");
}

}  // namespace
}  // namespace tavrelon
