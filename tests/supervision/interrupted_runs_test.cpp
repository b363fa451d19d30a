// Runs left "running" by a machine that stopped under them, closed at the next
// start: real status logs in a real folder, the boot time set through the seam.
#include "supervision/interrupted_runs.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/test_seams.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

using namespace test;

const std::string kHeader = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log\r\n";

// Sets the boot time to 2026-03-01 04:00:00 local time while it lives.
class BootAtFourInTheMorning {
 public:
  BootAtFourInTheMorning() {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 1;
    local.tm_hour = 4;
    local.tm_isdst = -1;
    platform::setBootTimeForTesting(static_cast<std::int64_t>(std::mktime(&local)));
  }
  ~BootAtFourInTheMorning() { platform::setBootTimeForTesting(-1); }
};

// Settings for the program at `path` whose status log is `statusLog`.
ProgramConfig program(const std::string& path, const std::string& statusLog) {
  return settingsFor(path, "", "", statusLog);
}

TEST(InterruptedRuns, RunsStartedBeforeTheBootAreClosedAtItAndLaterOnesAndClosedOnesStay) {
  BootAtFourInTheMorning boot;
  TempDir dir;
  const std::string own = dir.path();
  const std::string configured = dir.file("night.csv");
  // Program 2 has no TavrelonLog: its rows are in the newest log named after it.
  const std::string older = dir.file("TavrelonLog_suite.exe_20260227220000.csv");
  const std::string newest = dir.file("TavrelonLog_suite.exe_20260228220000.csv");
  writeFile(configured, kHeader +
                            "a_1,finished,2026-02-28 22:00:00,2026-02-28 23:00:00,N/A\r\n"
                            "a_2,running,2026-02-28 23:00:01,,N/A\r\n"
                            "a_3,running,2026-03-01 04:05:00,,N/A\r\n");
  const std::string olderBytes = kHeader + "b_0,running,2026-02-27 22:00:00,,N/A\r\n";
  writeFile(older, olderBytes);
  writeFile(newest, kHeader + "b_1,running,2026-02-28 22:00:00,,[x.csv] line 9\r\n");
  writeFile(dir.file("TavrelonLog_other.exe_20260228230000.csv"), kHeader);

  StatusLogQueues queues;
  closeRunsBeforeBoot(
      {program(dir.file("a.exe"), configured),
       program(dir.file("suite.exe"),
               platform::joinPath(own, "TavrelonLog_suite.exe_20260301050000.csv"))},
      own, queues);

  EXPECT_EQ(readFile(configured),
            kHeader +
                "a_1,finished,2026-02-28 22:00:00,2026-02-28 23:00:00,N/A\r\n"
                "a_2,interrupted,2026-02-28 23:00:01,2026-03-01 04:00:00,N/A\r\n"
                "a_3,running,2026-03-01 04:05:00,,N/A\r\n");
  EXPECT_EQ(readFile(newest),
            kHeader + "b_1,interrupted,2026-02-28 22:00:00,2026-03-01 04:00:00,[x.csv] line 9\r\n");
  EXPECT_EQ(readFile(older), olderBytes);
  EXPECT_FALSE(
      platform::exists(platform::joinPath(own, "TavrelonLog_suite.exe_20260301050000.csv")));
}

TEST(InterruptedRuns, TheEarlierLogIsTheConfiguredOneOrTheNewestDefaultOneOrNone) {
  TempDir dir;
  const std::string fresh = dir.file("TavrelonLog_p.exe_20260301050000.csv");
  EXPECT_EQ(earlierStatusLog(program("p.exe", fresh), dir.path()), "");
  writeFile(dir.file("TavrelonLog_p.exe_2026022822000.csv"), kHeader);  // 13 digits: not one
  writeFile(dir.file("TavrelonLog_p.exe_20260101000000.csv"), kHeader);
  writeFile(dir.file("TavrelonLog_p.exe_20260228220000.csv"), kHeader);
  EXPECT_EQ(earlierStatusLog(program("p.exe", fresh), dir.path()),
            dir.file("TavrelonLog_p.exe_20260228220000.csv"));
  // The log of this very moment, already there, is itself the one.
  writeFile(fresh, kHeader);
  EXPECT_EQ(earlierStatusLog(program("p.exe", fresh), dir.path()), fresh);
  EXPECT_EQ(earlierStatusLog(program("p.exe", dir.file("mine.csv")), dir.path()),
            dir.file("mine.csv"));
}

}  // namespace
}  // namespace tavrelon
