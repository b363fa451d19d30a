// The words and forms a run is recorded in: what the watcher writes must read
// back as the same status, log and time in the report.
#include "logging/run_vocabulary.h"

#include <gtest/gtest.h>

#include <string>

#include "logging/calendar.h"

namespace tavrelon {
namespace {

// The seconds of row time `text`, which must read.
std::int64_t at(const std::string& text) {
  std::int64_t seconds = 0;
  EXPECT_TRUE(parseStatusTime(text, seconds)) << text;
  return seconds;
}

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

TEST(RunVocabulary, RowTimesReadOnlyRealCalendarTimesAndFormatBack) {
  for (const char* text : {"2024-02-29 23:59:59", "1970-01-01 00:00:00", "2038-01-19 03:14:08",
                           "2100-12-31 12:00:00"}) {
    EXPECT_EQ(formatStatusTime(at(text)), text);
  }
  EXPECT_EQ(at("2024-06-02 00:00:00") - at("2024-06-01 23:59:59"), 1);
  std::int64_t ignored = 0;
  for (const char* text : {"2023-02-29 10:00:00", "2024-06-01 24:00:00", "2024-13-01 10:00:00",
                           "2024-06-01T10:00:00", "2024-06-01 10:00", " 2024-06-01 10:00:00", "",
                           "2024-06-31 10:00:00", "2024-06-01 10:0a:00"}) {
    EXPECT_FALSE(parseStatusTime(text, ignored)) << text;
  }
}

TEST(Calendar, ArithmeticHoldsFromYearZeroTo9999AndBefore1970) {
  // Every day of four centuries and a day of each year to 9999, there and back.
  for (std::int64_t days = daysFromCivil(1899, 12, 25); days < daysFromCivil(2300, 1, 8); ++days) {
    const CivilDate date = civilFromDays(days);
    ASSERT_EQ(daysFromCivil(date.year, date.month, date.day), days);
    ASSERT_EQ(civilFromDays(days + 1).day,
              date.day == daysInMonth(date.year, date.month) ? 1 : date.day + 1);
  }
  for (std::int64_t year = 0; year <= 9999; ++year) {
    const CivilDate date = civilFromDays(daysFromCivil(year, 2, 28) + 1);
    ASSERT_EQ(date.month * 100 + date.day,
              year % 4 == 0 && (year % 100 != 0 || year % 400 == 0) ? 229 : 301)
        << year;
  }
  // A second before 1970 is the last of the day before, not a negative time of day.
  EXPECT_EQ(dayNumberOf(-1), -1);
  EXPECT_EQ(clockText(-1), "23:59:59");
  EXPECT_EQ(dateText(dateOf(-1)), "1969-12-31");
  EXPECT_EQ(clockText(at("2024-06-01 07:05:09"), false), "07:05");
  EXPECT_EQ(monthText(dateOf(at("0005-03-01 00:00:00"))), "0005-03");
}

}  // namespace
}  // namespace tavrelon
