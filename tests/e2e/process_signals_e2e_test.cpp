// The real watchdog among the processes and signals around it (POSIX): started
// as daemons and wrappers start it, signalled as terminals, nohup and limits
// do, and with programs that leave processes behind.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/text_lines.h"
#include "logging/status_log.h"
#include "platform/files.h"
#include "support/test_support.h"
#include "support/watchdog_run.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::string kFake = builtProgram("fake_program");

std::string fakeArguments(const std::string& logDir, const std::string& more) {
  return "--log-dir \"" + logDir + "\" " + more;
}

// Skips the test where there are no POSIX processes to probe.
#define SKIP_WITHOUT_PROCESSES() \
  if (!canProbeProcesses())      \
  GTEST_SKIP() << "POSIX processes and signals, probed by /proc"

// The statuses of the rows in the status log at `path`, in order.
std::vector<std::string> statuses(const std::string& path) {
  std::vector<std::string> found;
  for (const StatusRecord& row : readStatusLog(path))
    found.push_back(row.runningStatus);
  return found;
}

// Waits until the run's "running" row is in the status log at `path`.
bool runningRowIn(const std::string& path) {
  return waitUntil([&] { return readFile(path).find(",running,") != std::string::npos; },
                   std::chrono::seconds(20));
}

TEST(ProcessesEndToEnd, StartedWithItsStandardDescriptorsClosedItPollsAtItsOwnPace) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string status = watchdog.dir().file("status.csv");
  // A program whose log grows for 3 s: a watchdog whose pauses all returned at
  // once would count six unchanged polls between two lines and end it.
  watchdog.start(block(kFake, fakeArguments(logs, "--lines 10 --interval-ms 300"), logs,
                       "TavrelonLog: " + status + "\nTimeOutMin: 1"),
                 "perl -e 'close STDIN; close STDOUT; close STDERR; exec @ARGV or exit 127'");
  EXPECT_EQ(watchdog.finish(60), 0);
  EXPECT_EQ(statuses(status), std::vector<std::string>{"finished"}) << readFile(status);
  // Nothing of the watchdog's output went into a file it opened.
  EXPECT_TRUE(std::regex_match(readFile(status),
                               std::regex("Application_ID,[^\n]*\r\n[^\n]*,finished,[^\n]*\r\n")))
      << readFile(status);
}

TEST(ProcessesEndToEnd, SignalsIgnoredWhenItStartedAndTimerUserAndLimitSignalsLeaveItRunning) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string status = watchdog.dir().file("status.csv");
  // As nohup leaves SIGHUP ignored, and a shell's background job SIGINT.
  watchdog.start(
      block(kFake, fakeArguments(logs, "--lines 1 --end hang"), logs, "TavrelonLog: " + status),
      "perl -e '$SIG{HUP} = $SIG{INT} = \"IGNORE\"; exec @ARGV or exit 127'");
  ASSERT_TRUE(runningRowIn(status));
  for (const char* name : {"HUP", "INT", "USR1", "USR2", "ALRM", "VTALRM", "PROF", "XFSZ", "XCPU"})
    watchdog.signal(name);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(watchdog.running());
  EXPECT_EQ(statuses(status), std::vector<std::string>{"running"});

  watchdog.signal("TERM");
  EXPECT_EQ(watchdog.finish(), 0);
  EXPECT_EQ(statuses(status), std::vector<std::string>{"stopped"});
}

TEST(ProcessesEndToEnd, UnderAFileSizeLimitARewriteTooLargeFailsAsAWriteAndSupervisionGoesOn) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string status = watchdog.dir().file("status.csv");
  // 80 KiB of earlier rows; the limit is 25 or 50 KiB (blocks of 512 or 1024
  // bytes, as the shell counts them).
  std::string history = "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log\r\n";
  while (history.size() < 80 * 1024)
    history += "old_1,finished,2020-01-01 00:00:00,2020-01-01 00:00:01,N/A\r\n";
  writeFile(status, history);
  watchdog.start(block(kFake, fakeArguments(logs, "--lines 1"), logs, "TavrelonLog: " + status),
                 "sh -c 'ulimit -f 50; exec \"$0\"'");
  EXPECT_EQ(watchdog.finish(30), 0);

  const std::string output = watchdog.output();
  EXPECT_NE(output.find("Error: Failed to write status log [" + status + "]!"), std::string::npos)
      << output;
  EXPECT_NE(output.find("] has finished!"), std::string::npos) << output;
  EXPECT_EQ(readFile(status), history);
  for (const fs::directory_entry& entry : fs::directory_iterator(watchdog.dir().path()))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

// A shell command that, 9 s from now, starts `sleep 600` in the background,
// writes its pid to `pidFile` (a path without blanks or quotes) and leaves it
// orphaned.
std::string lateWorker(const std::string& pidFile) {
  return "( sleep 9; ( sleep 600 & echo $! > " + pidFile + " ) ) > /dev/null 2>&1 &";
}

TEST(ProcessesEndToEnd, OnlyTheEndedRunsOwnProcessesAreEndedNeverAnInheritedOrAnEarlierRunsOne) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const std::string status = watchdog.dir().file("status.csv");
  const std::string inherited = watchdog.dir().file("inherited.pid");
  const std::string late = watchdog.dir().file("late.pid");
  const std::string grandchild = watchdog.dir().file("grandchild.pid");
  // Program 1 finishes at once; a helper it left starts a worker after the
  // watchdog has seen program 1 end (7 s in). Program 2 runs until the stop.
  // The wrapper that execs the watchdog leaves it a helper that does the same.
  watchdog.start(
      block("/bin/sh", "-c \"" + lateWorker(late) + " exit 0\"", watchdog.dir().file("logs1")) +
          block(kFake,
                fakeArguments(logs, "--lines 1 --end hang --grandchild \"" + grandchild + "\""),
                logs, "TavrelonLog: " + status),
      "sh -c '" + lateWorker(inherited) + " exec \"$0\"'");
  ASSERT_TRUE(runningRowIn(status));
  const std::vector<std::uint32_t> pids{pidIn(grandchild), pidIn(late, std::chrono::seconds(20)),
                                        pidIn(inherited, std::chrono::seconds(20))};
  ASSERT_NE(pids[1], 0u);
  ASSERT_NE(pids[2], 0u);

  watchdog.signal("TERM");
  EXPECT_EQ(watchdog.finish(), 0);
  EXPECT_FALSE(processAlive(pids[0])) << "program 2's own grandchild survived its stop";
  EXPECT_TRUE(processAlive(pids[1])) << "program 1's worker was ended with program 2";
  EXPECT_TRUE(processAlive(pids[2])) << "the wrapper's worker was ended";
  for (std::uint32_t pid : pids)
    killByPid(pid);
}

TEST(ProcessesEndToEnd, KilledOutrightItTakesItsProgramAndTheProgramsChildrenWithIt) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  const std::string pids = watchdog.dir().file("program.pid");
  const std::string left = watchdog.dir().file("left.pid");
  // Program 1 ends by itself and leaves a worker; program 2 and its child run
  // until the watchdog is killed.
  watchdog.start(
      block("/bin/sh", "-c \"( sleep 600 & echo $! > '" + left + "' ); exit 0\"",
            watchdog.dir().file("logs1")) +
      block("/bin/sh",
            "-c \"echo $$ >> '" + pids + "'; sleep 600 & echo $! >> '" + pids + "'; wait\"",
            watchdog.dir().file("logs2")));
  ASSERT_TRUE(waitUntil([&] { return lineCount(pids) == 2; }, std::chrono::seconds(30)));
  std::vector<std::uint32_t> program;
  for (const std::string& line : splitLines(readFile(pids)))
    program.push_back(static_cast<std::uint32_t>(std::stoul(line)));
  ASSERT_EQ(program.size(), 2u);
  const std::uint32_t worker = pidIn(left);
  ASSERT_NE(worker, 0u);

  watchdog.signal("KILL");
  watchdog.finish();
  EXPECT_TRUE(endsWithin(program[0], std::chrono::seconds(5))) << "the program outlived it";
  EXPECT_TRUE(endsWithin(program[1], std::chrono::seconds(5))) << "the program's child outlived it";
  EXPECT_TRUE(processAlive(worker)) << "a finished program's worker was ended with it";
  for (std::uint32_t pid : program)
    killByPid(pid);
  killByPid(worker);
}

// A program that counts its runs in `count` and hangs until `done` exists.
std::string countedProgram(const std::string& count, const std::string& done) {
  return "-c \"echo run >> '" + count + "'; [ -f '" + done + "' ] && exit 0; exec sleep 600\"";
}

TEST(ProcessesEndToEnd, WithResumeQueueAKilledQueueGoesOnAtTheProgramUnderWayAndClosesItsRow) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  const std::string done = watchdog.dir().file("done");
  const std::string counts[] = {watchdog.dir().file("count1"), watchdog.dir().file("count2")};
  const std::string status = watchdog.dir().file("status.csv");
  const std::string journal = watchdog.dir().file("TavrelonQueue.csv");
  // The key stands in the second block: it holds for the whole queue.
  const std::string configuration =
      block("/bin/sh", "-c \"echo run >> '" + counts[0] + "'\"", watchdog.dir().file("logs1")) +
      block("/bin/sh", countedProgram(counts[1], done), watchdog.dir().file("logs2"),
            "TavrelonLog: " + status + "\nResumeQueue: true");
  watchdog.start(configuration);
  ASSERT_TRUE(runningRowIn(status));
  EXPECT_NE(readFile(journal).find(",2,"), std::string::npos) << readFile(journal);
  watchdog.signal("KILL");
  watchdog.finish();
  writeFile(done, "");

  const std::string output = watchdog.run(configuration);
  EXPECT_EQ(output.rfind("Resuming at program [2] ...\nProgram [2]:\n", 0), 0u) << output;
  EXPECT_EQ(lineCount(counts[0]), 1u) << "the finished program ran again";
  EXPECT_EQ(lineCount(counts[1]), 2u);
  EXPECT_EQ(statuses(status), (std::vector<std::string>{"interrupted", "finished"}));
  EXPECT_FALSE(fs::exists(journal)) << "the journal outlived the finished queue";
}

TEST(ProcessesEndToEnd, AJournalOfAnotherQueueIsSaidAndIgnoredAndWithoutTheKeyNoneIsKept) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  const std::string count = watchdog.dir().file("count");
  const std::string journal = watchdog.dir().file("TavrelonQueue.csv");
  const std::string foreign =
      "Configuration,Program,Watchdog_Process,Watchdog_Mark,Watchdog_Start\r\n"
      "0123456789abcdef,2,1,1,2001-01-01 00:00:00\r\n";
  writeFile(journal, foreign);
  const std::string program =
      block("/bin/sh", "-c \"echo run >> '" + count + "'\"", watchdog.dir().file("logs1"));
  // Without the key the journal is no concern of the watchdog's.
  EXPECT_EQ(
      watchdog.run(program + block("/bin/true", "", watchdog.dir().file("logs2"))).find("journal"),
      std::string::npos);
  EXPECT_EQ(readFile(journal), foreign);

  const std::string output = watchdog.run(
      program + block("/bin/true", "", watchdog.dir().file("logs2"), "ResumeQueue: true"));
  EXPECT_EQ(
      output.rfind("The queue journal [" + journal +
                       "] is of another configuration: starting at program [1].\nProgram [1]:\n",
                   0),
      0u)
      << output;
  EXPECT_EQ(lineCount(count), 2u);
  EXPECT_FALSE(fs::exists(journal));
}

TEST(ProcessesEndToEnd, OrphansHandedToItAreReapedAsTheyEndNotAtTheNextPoll) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  const std::string pids = watchdog.dir().file("helpers.pid");
  // Helpers started the shell way end 9 s in: after the first poll (7 s),
  // 8 s before the next.
  const std::string program =
      "-c \"for i in 1 2 3 4 5; do ( sleep 9 & echo $! >> '" + pids + "' ); done; exec sleep 600\"";
  watchdog.start(block("/bin/sh", program, watchdog.dir().file("logs")));
  ASSERT_TRUE(waitUntil([&] { return lineCount(pids) == 5; }));
  std::vector<std::uint32_t> helpers;
  for (const std::string& line : splitLines(readFile(pids)))
    helpers.push_back(static_cast<std::uint32_t>(std::stoul(line)));
  ASSERT_EQ(helpers.size(), 5u);
  for (std::uint32_t pid : helpers)
    ASSERT_TRUE(endsWithin(pid, std::chrono::seconds(15)));
  // Ended is not yet reaped: a zombie stays in /proc until its parent waits.
  for (std::uint32_t pid : helpers) {
    EXPECT_TRUE(waitUntil([&] { return procStat(pid).empty(); }, std::chrono::seconds(2)))
        << pid << " was left a zombie";
  }
  watchdog.signal("TERM");
  EXPECT_EQ(watchdog.finish(), 0);
}

TEST(ProcessesEndToEnd, AChainOfWatchdogsStartingOneAnotherEndsAtTheThirdWithOneLine) {
  SKIP_WITHOUT_PROCESSES();
  Watchdog watchdog;
  // A wrapper passes the guard against starting itself: a shell that execs
  // the watchdog, which reads the same configuration and does the same.
  const std::string errors = watchdog.dir().file("errors.txt");
  watchdog.start(
      block("/bin/sh", "-c \"exec '" + watchdog.program() + "'\"", watchdog.dir().file("logs")),
      "sh -c 'exec \"$0\" 2> " + errors + "'");
  EXPECT_EQ(watchdog.finish(90), 0);

  // The nested watchdogs write to the program's output: the top one's errors.
  const std::string nested = withoutCarriageReturns(readFile(errors));
  EXPECT_EQ(occurrences(nested, "Program [1]:"), 2) << nested;
  EXPECT_EQ(occurrences(nested,
                        "Error: Started under 3 nested watchdogs (TAVRELON_DEPTH); "
                        "supervising nothing!\n"),
            1)
      << nested;
  // Each watchdog of the chain finishes its one run.
  EXPECT_TRUE(matchesWhole(watchdog.output(),
                           R"(Program \[1\]:\n\nStart running \[sh\]\.\.\.\n)"
                           R"((\nsh_\d{14}  [^\n]*\n)*\[sh_\d{14}\] has finished!\n\n)"))
      << watchdog.output();
}

}  // namespace
}  // namespace tavrelon
