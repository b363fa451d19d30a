// The queue's journal as a file: written and read back, told apart from
// another queue's, and a damaged one taken for none.
#include "driver/queue_journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process_identity.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

using namespace test;

TEST(QueueJournal, WrittenItReadsBackAndADamagedOneIsNone) {
  TempDir dir;
  const std::string path = queueJournalPath(dir.path());
  QueueJournal written{configurationDigest({settingsFor("a.exe", "")}), 3, 4242, 987654321,
                       "2026-03-01 04:00:00"};
  ASSERT_TRUE(writeQueueJournal(path, written));
  QueueJournal read;
  ASSERT_TRUE(readQueueJournal(path, read));
  EXPECT_EQ(read.configuration, written.configuration);
  EXPECT_EQ(read.program, 3);
  EXPECT_EQ(read.watchdogId, 4242u);
  EXPECT_EQ(read.watchdogMark, 987654321u);
  EXPECT_EQ(read.watchdogStart, written.watchdogStart);

  const std::string header =
      "Configuration,Program,Watchdog_Process,Watchdog_Mark,Watchdog_Start\r\n";
  for (const std::string& damaged : std::vector<std::string>{
           std::string(), header, "x\r\n0123456789abcdef,2,1,1,t\r\n",
           header + "0123456789abcdef,0,1,1,t\r\n", header + "0123456789abcdef,-2,1,1,t\r\n",
           header + "0123456789abcdef,99999999999,1,1,t\r\n", header + "0123456789abcdef,2,1\r\n",
           header + "short,2,1,1,t\r\n"}) {
    writeFile(path, damaged);
    EXPECT_FALSE(readQueueJournal(path, read)) << damaged;
  }
  EXPECT_TRUE(platform::removeRegularFile(path));
  EXPECT_FALSE(platform::exists(path));
  EXPECT_TRUE(platform::removeRegularFile(path)) << "nothing there is gone too";
}

TEST(QueueJournal, TheDigestChangesWithAnyPathArgumentOrOrder) {
  const std::string one =
      configurationDigest({settingsFor("a.exe", "-x"), settingsFor("b.exe", "")});
  EXPECT_EQ(one, configurationDigest({settingsFor("a.exe", "-x"), settingsFor("b.exe", "")}));
  EXPECT_EQ(one.size(), 16u);
  for (const std::vector<ProgramConfig>& other :
       {std::vector<ProgramConfig>{settingsFor("b.exe", ""), settingsFor("a.exe", "-x")},
        {settingsFor("a.exe", "-y"), settingsFor("b.exe", "")},
        {settingsFor("a.exe", ""), settingsFor("-xb.exe", "")},
        {settingsFor("a.exe", "-x")}}) {
    EXPECT_NE(configurationDigest(other), one);
  }
}

TEST(QueueJournal, ThisProcessHasAStartMarkAndAnEndedOneHasNone) {
  std::uint64_t mark = 0;
  std::uint64_t again = 0;
  ASSERT_TRUE(platform::processStartMark(platform::ownProcessId(), mark));
  ASSERT_TRUE(platform::processStartMark(platform::ownProcessId(), again));
  EXPECT_EQ(mark, again);
  const std::uint32_t pid = idOfAnEndedProcess();
  ASSERT_NE(pid, 0u);
  EXPECT_FALSE(platform::processStartMark(pid, mark)) << "an ended process still has a mark";
}

}  // namespace
}  // namespace tavrelon
