// Inputs the fuzz targets found to break a rule, kept as plain tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging/last_line.h"
#include "logging/log_tracker.h"
#include "logging/status_log.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

using test::TempDir;

TEST(FuzzFindings, FileOfOneCrLfHasAnEmptyLastLine) {
  bool needMore = true;
  EXPECT_EQ(lastLineOf("\r\n", 2, needMore), "");
  EXPECT_FALSE(needMore);

  test::ShortSleeps sleeps;
  TempDir dir;
  test::writeFile(dir.file("run.csv"), "\r\n");
  TestLog tracker(dir.path());
  EXPECT_EQ(tracker.latestLogLine(), "[" + dir.file("run.csv") + "] ");
}

TEST(FuzzFindings, RowMadeOfTheColumnNamesSurvivesTheRoundTrip) {
  TempDir dir;
  const std::string path = dir.file("TavrelonLog_x.csv");
  // Six fields lose their second: here the rest are exactly the names of the columns.
  test::writeFile(path, std::string(kStatusLogHeader) + "\r\n" +
                            "Application_ID,1,Running_Status,Start_Time,End_Time,Latest_Log"
                            "\r\nx.exe_1,finished,a,b,N/A\r\n");
  const std::vector<StatusRecord> first = readStatusLog(path);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].applicationId, "Application_ID");
  EXPECT_EQ(first[0].latestLog, "Latest_Log");

  writeStatusLog(first, path);
  const std::vector<StatusRecord> second = readStatusLog(path);
  ASSERT_EQ(second.size(), 2u) << test::readFile(path);
  EXPECT_EQ(second[0].applicationId, "Application_ID");
  EXPECT_EQ(second[0].runningStatus, "Running_Status");
  EXPECT_EQ(second[0].latestLog, "Latest_Log");
  EXPECT_EQ(second[1].applicationId, "x.exe_1");
  // The file itself still begins with exactly one header line.
  EXPECT_EQ(test::readFile(path).rfind(std::string(kStatusLogHeader) + "\r\n\"", 0), 0u);
}

}  // namespace
}  // namespace tavrelon
