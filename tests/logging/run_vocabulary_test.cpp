// The words and forms a run is recorded in: what the watcher writes must read
// back as the same status, log and time in the report.
#include "logging/run_vocabulary.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrelon {
namespace {

TEST(RunVocabulary, EveryStatusWordReadsBackAndNoOtherTextDoes) {
  const char* const words[] = {"finished",    "crashed", "timeout",
                               "interrupted", "stopped", "running"};
  for (int i = 0; i < kRunStatuses - 1; ++i) {
    const RunStatus status = static_cast<RunStatus>(i);
    EXPECT_STREQ(statusWord(status), words[i]);
    EXPECT_EQ(runStatusOf(words[i]), status) << words[i];
  }
  // Matched exactly: case, blanks and the report's own name for the rest are no word.
  for (const char* text : {"other", "Finished", "running ", "", "time out", "N/A"})
    EXPECT_EQ(runStatusOf(text), RunStatus::Other) << text;
}

TEST(RunVocabulary, AnApplicationIdGivesBackItsProgramFile) {
  // File names may hold "_" themselves; the stamp follows the last one.
  for (const char* file : {"suite.exe", "long_run_test.exe", "a_"}) {
    const std::string id = applicationIdOf(file, "20261209180630");
    EXPECT_EQ(programOfApplicationId(id), file) << id;
  }
  // An ID of no run of ours (hand-edited) is a program of its own.
  for (const char* id : {"manual", "_20261209180630"})
    EXPECT_EQ(programOfApplicationId(id), id);
}

TEST(RunVocabulary, LatestLogTextSplitsBackIntoItsPathAndLine) {
  const std::string path = "C:\\logs\\[night]\\run.csv";
  const std::string line = "step 4  result] fail";
  const std::string text = latestLogText(path, line);
  EXPECT_EQ(text, "[" + path + "] " + line);
  std::string gotPath, gotLine;
  ASSERT_TRUE(splitLatestLog(text, gotPath, gotLine));
  EXPECT_EQ(gotPath, path);
  EXPECT_EQ(gotLine, line);
  // A row with no log, or text in no such form, is kept whole as the line.
  for (const std::string& whole :
       {std::string(kNoLatestLog), std::string("[no close"), std::string()}) {
    EXPECT_FALSE(splitLatestLog(whole, gotPath, gotLine)) << whole;
    EXPECT_EQ(gotPath, "");
    EXPECT_EQ(gotLine, whole);
  }
}

TEST(RunVocabulary, TheClockIsWrittenInTheFormsThatAreReadBack) {
  EXPECT_TRUE(isStamp(stampNow()));
  const std::string now = rowTimeNow();
  EXPECT_TRUE(isRowTime(now)) << now;
  std::int64_t seconds = 0;
  ASSERT_TRUE(parseStatusTime(now, seconds)) << now;
  EXPECT_EQ(formatStatusTime(seconds), now);
  // A moment in the past, in local time, is a row time as well.
  EXPECT_TRUE(isRowTime(rowTimeOf(1700000000))) << rowTimeOf(1700000000);
  for (const char* text :
       {"2026120918063", "202612091806301", "2026-12-09 18:06", "2026120918063x"})
    EXPECT_FALSE(isStamp(text)) << text;
  for (const char* text : {"2026-12-09T18:06:30", "2026-12-09 18:06:3", "20261209180630"})
    EXPECT_FALSE(isRowTime(text)) << text;
}

}  // namespace
}  // namespace tavrelon
