// The evidence of failed runs on real programs: the stacks (Linux) or minidumps
// (Windows) of a hung program and its worker taken before they are ended, the
// summary of a crash, the cap that removes only the oldest run folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>

#include "config/text_lines.h"
#include "logging/status_log.h"
#include "platform/clock.h"
#include "platform/evidence.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/test_seams.h"
#include "platform/watchdog_process.h"
#include "supervision/evidence.h"
#include "support/watcher_support.h"

namespace tavrelon {
namespace {

using namespace test;

struct StopRequestGuard {
  ~StopRequestGuard() { platform::clearStopRequestForTesting(); }
};

// Every value of `key` in the summary.txt at `path`, in order.
std::vector<std::string> values(const std::string& path, const std::string& key) {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(readFile(path))) {
    if (line.compare(0, key.size() + 2, key + ": ") == 0)
      found.push_back(line.substr(key.size() + 2));
  }
  return found;
}

std::string value(const std::string& path, const std::string& key) {
  const std::vector<std::string> found = values(path, key);
  return found.empty() ? "(no " + key + ")" : found.front();
}

// Supervises `config` with its evidence in dir/evidence until the first
// restart pause (a time-out's or a crash's), which stops it; the console output.
std::string superviseUntilRestart(ProgramWatcher& watcher) {
  ShortSleeps sleeps(kSupervisionSleepDivisor, [](std::int64_t ms) {
    if (ms == 1000)
      platform::requestStop();
  });
  return superviseCapturing(watcher);
}

std::string hangProgram() {
  return builtProgram("hang_in_function");
}

// The stacks.txt part of process `pid`: from its header to the next one.
std::string processPart(const std::string& stacks, std::uint32_t pid) {
  const std::string header = "process " + std::to_string(pid) + " ";
  const std::string::size_type at = stacks.find(header);
  if (at == std::string::npos)
    return std::string();
  return stacks.substr(at, stacks.find("\nprocess ", at) - at);
}

// A little-endian number of `size` bytes at `at` of `bytes`; 0 past the end.
std::uint64_t number(const std::string& bytes, std::size_t at, std::size_t size) {
  std::uint64_t result = 0;
  for (std::size_t i = 0; i < size && at + i < bytes.size(); ++i)
    result |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return result;
}

// What a minidump's header and stream directory tell: its thread count and
// the module names (UTF-16 read as ASCII).
struct DumpContent {
  bool valid = false;
  std::uint64_t threads = 0;
  std::vector<std::string> modules;
};

DumpContent readDump(const std::string& bytes) {
  DumpContent dump;
  if (bytes.compare(0, 4, "MDMP") != 0)
    return dump;
  dump.valid = true;
  const std::uint64_t streams = number(bytes, 8, 4);
  const std::uint64_t directory = number(bytes, 12, 4);
  for (std::uint64_t i = 0; i < streams; ++i) {
    const std::size_t entry = static_cast<std::size_t>(directory + i * 12);
    const std::uint64_t type = number(bytes, entry, 4);
    const std::size_t at = static_cast<std::size_t>(number(bytes, entry + 8, 4));
    if (type == 3) {  // ThreadListStream
      dump.threads = number(bytes, at, 4);
    } else if (type == 4) {  // ModuleListStream: 108-byte entries, name RVA at 20
      const std::uint64_t count = number(bytes, at, 4);
      for (std::uint64_t m = 0; m < count; ++m) {
        const std::size_t name = static_cast<std::size_t>(number(bytes, at + 4 + m * 108 + 20, 4));
        const std::uint64_t length = number(bytes, name, 4);
        std::string text;
        for (std::size_t c = 0; c + 1 < length; c += 2)
          text += bytes[name + 4 + c];
        dump.modules.push_back(text);
      }
    }
  }
  return dump;
}

TEST(Evidence, ATimeOutTakesEveryProcessOfTheHungProgramBeforeEndingIt) {
  TempDir dir;
  StopRequestGuard guard;
  fs::create_directories(dir.file("logs"));
  ProgramConfig config =
      settingsFor(hangProgram(),
                  "--log-dir \"" + dir.file("logs") + "\" --worker-pid \"" + dir.file("worker") +
                      "\" --say \"Hung after 3 lines, look here\"",
                  dir.file("logs"), dir.file("status.csv"));
  config.evidenceDir = dir.file("evidence");
  ProgramWatcher watcher = driverWatcher(config);
  std::uint32_t program = 0;
  std::uint32_t worker = 0;
  std::string output;
  {
    ShortSleeps sleeps(kSupervisionSleepDivisor, [](std::int64_t ms) {
      if (ms == 1000)
        platform::requestStop();
    });
    output = superviseCapturing(watcher, [&] {
      program = watcher.programProcess().dwProcessId;
      worker = pidIn(dir.file("worker"));
    });
  }
  output = withoutCarriageReturns(output);
  ASSERT_NE(worker, 0u);

  const std::string id = watcher.status.applicationId;
  const std::string folder = dir.file("evidence") + S + id;
  EXPECT_NE(output.find("[" + id + "] has timed out! Restarting now...\nEvidence of [" + id +
                        "] saved in [" + folder + "]\n\n"),
            std::string::npos)
      << output;
  const std::string summary = folder + S + "summary.txt";
  EXPECT_EQ(value(summary, "Application_ID"), id);
  EXPECT_EQ(value(summary, "Status"), "timeout");
  EXPECT_EQ(value(summary, "Ended_By"), "no log growth for 1 minutes");
  EXPECT_EQ(value(summary, "Latest_Log"), dir.file("logs") + S + "hang.csv");
  EXPECT_EQ(values(summary, "Log_Line"), (std::vector<std::string>{"line,1", "line,2", "line,3"}));
  const std::vector<std::string> processes = values(summary, "Process");
  ASSERT_EQ(processes.size(), 2u) << readFile(summary);
  // Children first.
  EXPECT_EQ(processes[0].rfind(std::to_string(worker) + " hang_in_function", 0), 0u)
      << processes[0];
  EXPECT_EQ(processes[1].rfind(std::to_string(program) + " hang_in_function", 0), 0u)
      << processes[1];
  EXPECT_FALSE(value(summary, "CPU_User_Seconds").empty());
  // The row is the time-out's, and the restart pause followed.
  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].runningStatus, "timeout");

  if (!platform::isWindows()) {
    const std::string stacks = readFile(folder + S + "stacks.txt");
    for (std::uint32_t pid : {program, worker}) {
      const std::string part = processPart(stacks, pid);
      EXPECT_NE(part.find("tavrelonEvidenceHangsHere"), std::string::npos) << stacks;
      EXPECT_NE(part.find("state: S (sleeping)"), std::string::npos) << part;
    }
    // The program's two threads hang in the function, the worker's one.
    EXPECT_EQ(occurrences(processPart(stacks, program), "  thread "), 2) << stacks;
    EXPECT_EQ(occurrences(stacks, "tavrelonEvidenceHangsHere"), 3) << stacks;
    EXPECT_EQ(values(summary, "Not_Taken"), std::vector<std::string>()) << readFile(summary);
    // Never open to others.
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::others_all, fs::perms::none);
    EXPECT_EQ(fs::status(dir.file("evidence")).permissions() & fs::perms::others_all,
              fs::perms::none);
  } else {
    // The program's own console: its last screen, read before it was ended.
    const std::vector<std::string> notTaken = values(summary, "Not_Taken");
    // Wine passes its display on (the label session runs this with one).
    const char* display = std::getenv("DISPLAY");
    if (platform::runningUnderWineForTesting() && (display == nullptr || *display == '\0')) {
      // A console that Wine makes without a display has no screen buffer to
      // read (EvidenceCapture reads a windowless one): what failed is said.
      ASSERT_EQ(notTaken.size(), 1u) << readFile(summary);
      EXPECT_TRUE(notTaken[0].rfind("console.txt: its console's screen", 0) == 0 ||
                  notTaken[0] == "console.txt: the program has no console")
          << notTaken[0];
      EXPECT_FALSE(fs::exists(folder + S + "console.txt"));
    } else {
      EXPECT_EQ(withoutCarriageReturns(readFile(folder + S + "console.txt")),
                "Hung after 3 lines, look here\n");
      EXPECT_EQ(value(summary, "Console_Of"), std::to_string(program) + " hang_in_function.exe");
      EXPECT_EQ(notTaken, std::vector<std::string>()) << readFile(summary);
    }
    const std::vector<std::string> sources = values(summary, "Dump_Source");
    // Wine offers no process snapshots: the dumps come from the running processes.
    const std::string source = platform::runningUnderWineForTesting()
                                   ? "the running process (no process snapshot: this system "
                                     "offers none)"
                                   : "a process snapshot";
    for (std::uint32_t pid : {program, worker}) {
      const std::string name = "hang_in_function.exe_" + std::to_string(pid) + ".dmp";
      EXPECT_NE(std::find(sources.begin(), sources.end(), name + ": " + source), sources.end())
          << readFile(summary);
      const DumpContent dump = readDump(readFile(folder + S + name));
      ASSERT_TRUE(dump.valid) << name;
      EXPECT_GE(dump.threads, 1u) << name;
      bool imageListed = false;
      for (const std::string& module : dump.modules)
        imageListed = imageListed || module.find("hang_in_function.exe") != std::string::npos;
      EXPECT_TRUE(imageListed) << name;
      EXPECT_NE(std::find(values(summary, "File").begin(), values(summary, "File").end(),
                          name + " " + std::to_string(fs::file_size(folder + S + name)) + " bytes"),
                values(summary, "File").end());
    }
  }
  if (canProbeProcesses()) {
    EXPECT_TRUE(endsWithin(program));
    EXPECT_TRUE(endsWithin(worker));
  }
}

TEST(Evidence, ACrashSaysItsExitCodeAndAnAccessViolationItsName) {
  TempDir dir;
  StopRequestGuard guard;
  ProgramConfig crash = fakeConfig(dir, logArguments(dir, "--lines 2 --code 3"));
  crash.evidenceDir = dir.file("evidence");
  ProgramWatcher watcher = driverWatcher(crash);
  std::string output = withoutCarriageReturns(superviseUntilRestart(watcher));
  const std::string id = watcher.status.applicationId;
  const std::string name = fs::path(fakeProgram()).filename().string();
  EXPECT_NE(output.find("[" + name + "] has crashed!  Restarting now...\nEvidence of [" + id +
                        "] saved in [" + dir.file("evidence") + S + id + "]\n"),
            std::string::npos)
      << output;
  const std::string summary = dir.file("evidence") + S + id + S + "summary.txt";
  EXPECT_EQ(value(summary, "Status"), "crashed");
  EXPECT_EQ(value(summary, "Exit_Code"), "3");
  EXPECT_EQ(value(summary, "Ended_By"),
            platform::isWindows() ? "exit code 3 (0x00000003)" : "exit code 3");
  EXPECT_EQ(values(summary, "Log_Line").size(), 2u);
  if (platform::isWindows())
    EXPECT_EQ(value(summary, "Exit_Code_Hex"), "0x00000003");
  else
    EXPECT_FALSE(value(summary, "CPU_User_Seconds").empty()) << readFile(summary);

  platform::clearStopRequestForTesting();
  TempDir other;
  ProgramConfig segv =
      settingsFor(hangProgram(), "--segv", other.file("logs"), other.file("status.csv"));
  segv.evidenceDir = other.file("evidence");
  ProgramWatcher segvWatcher = driverWatcher(segv);
  superviseUntilRestart(segvWatcher);
  const std::string segvSummary =
      other.file("evidence") + S + segvWatcher.status.applicationId + S + "summary.txt";
  if (platform::isWindows()) {
    EXPECT_EQ(value(segvSummary, "Exit_Code"), "3221225477") << readFile(segvSummary);
    EXPECT_EQ(value(segvSummary, "Exit_Code_Hex"), "0xC0000005 access violation");
  } else {
    EXPECT_EQ(value(segvSummary, "Exit_Code"), "139");
    EXPECT_EQ(value(segvSummary, "Ended_By").rfind("signal 11 (SIGSEGV), ", 0), 0u)
        << readFile(segvSummary);
  }
}

TEST(Evidence, ACrashNamesTheCoreFileThatTheSystemLeftInTheProgramsDirectory) {
  if (platform::isWindows())
    GTEST_SKIP() << "Windows Error Reporting's folder is the system's, not the test's";
  TempDir dir;
  StopRequestGuard guard;
  const std::string program = copyOfProgram("hang_in_function", dir.file("bin"));
  ProgramConfig config =
      settingsFor(program, "--segv --fake-core", dir.file("logs"), dir.file("status.csv"));
  config.evidenceDir = dir.file("evidence");
  ProgramWatcher watcher = driverWatcher(config);
  std::uint32_t pid = 0;
  {
    ShortSleeps sleeps(kSupervisionSleepDivisor, [](std::int64_t ms) {
      if (ms == 1000)
        platform::requestStop();
    });
    superviseCapturing(watcher, [&] { pid = watcher.programProcess().dwProcessId; });
  }
  const std::string core = dir.file("bin") + S + "core." + std::to_string(pid);
  EXPECT_EQ(values(dir.file("evidence") + S + watcher.status.applicationId + S + "summary.txt",
                   "Crash_Dump"),
            std::vector<std::string>{core + " (11 bytes)"});
}

TEST(Evidence, AStopThatEndsARunningProgramLeavesItsSummaryAfterTheStopLine) {
  TempDir dir;
  StopRequestGuard guard;
  int polls = 0;
  ShortSleeps sleeps(kSupervisionSleepDivisor, [&](std::int64_t ms) {
    if (ms == 10000 && ++polls == 2)
      platform::requestStop();
  });
  ProgramConfig config = fakeConfig(dir, logArguments(dir, "--lines 3 --end hang"));
  config.evidenceDir = dir.file("evidence");
  ProgramWatcher watcher = driverWatcher(config);
  ::testing::internal::CaptureStdout();
  watcher.start();
  ASSERT_TRUE(waitUntil([&] { return lineCount(fakeLogPath(dir)) == 3; }));
  watcher.monitor();
  const std::string output = capturedOutput();
  const std::string id = watcher.status.applicationId;
  const std::string folder = dir.file("evidence") + S + id;
  const std::string stopLine = "[" + id + "] has been stopped!\n";
  ASSERT_NE(output.find(stopLine), std::string::npos) << output;
  EXPECT_EQ(output.substr(output.find(stopLine)),
            stopLine + "Evidence of [" + id + "] saved in [" + folder + "]\n");
  EXPECT_EQ(value(folder + S + "summary.txt", "Status"), "stopped");
  EXPECT_EQ(value(folder + S + "summary.txt", "Ended_By"), "ended by a stop request");
  EXPECT_EQ(values(folder + S + "summary.txt", "Log_Line").size(), 3u);
  // Nothing is captured of a program the stop has already ended.
  EXPECT_FALSE(fs::exists(folder + S + "stacks.txt"));
}

TEST(Evidence, AFolderThatCannotBeMadeIsSaidInOneLineAndTheRunGoesOn) {
  TempDir dir;
  StopRequestGuard guard;
  writeFile(dir.file("taken"), "a file where the folder should be");
  ProgramConfig crash = fakeConfig(dir, logArguments(dir, "--lines 1 --code 3"));
  crash.evidenceDir = dir.file("taken");
  ProgramWatcher watcher = driverWatcher(crash);
  const std::string output = withoutCarriageReturns(superviseUntilRestart(watcher));
  EXPECT_EQ(occurrences(output, "Evidence of [" + watcher.status.applicationId +
                                    "] not saved: folder [" + dir.file("taken") + "] "),
            1)
      << output;
  const std::vector<StatusRecord> rows = readStatusLog(dir.file("status.csv"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].runningStatus, "crashed");
}

TEST(EvidenceCapture, GivesUpAtItsTimeLimitAndSaysSo) {
  TempDir dir;
  platform::ProcessLaunch launch;
  launch.path = hangProgram();
  launch.arguments = "--worker-pid \"" + dir.file("worker") + "\"";
  launch.newConsole = false;
  platform::ProcessRecord record;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::startProcess(launch, record, error)) << error;
  const std::uint32_t worker = pidIn(dir.file("worker"));
  const std::vector<platform::TreeProcess> tree =
      platform::processTree(record, {record.dwProcessId});
  // The program left out, its worker alone remains.
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree[0].pid, worker);

  // Within its limit a capture is whole (on Windows the worker's console too).
  const platform::CaptureOutcome whole = platform::captureProcesses(tree, dir.path(), false, 60000);
  EXPECT_FALSE(whole.abandoned);
  EXPECT_EQ(whole.files.size(), platform::isWindows() ? 2u : 1u);
  // With no time at all it is abandoned and says so, and returns at once. A
  // capture quick enough to end before the wait begins is whole instead, so a
  // few tries are given: one of them must be abandoned.
  platform::CaptureOutcome outcome;
  std::list<TempDir> folders;  // kept to the end: an abandoned capture may still write
  for (int attempt = 0; attempt < 5 && !outcome.abandoned; ++attempt) {
    const auto start = std::chrono::steady_clock::now();
    outcome = platform::captureProcesses(tree, folders.emplace_back().path(), false, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  EXPECT_TRUE(outcome.abandoned);
  EXPECT_NE(std::find(outcome.problems.begin(), outcome.problems.end(),
                      "the capture was abandoned after 0 s"),
            outcome.problems.end());
  platform::terminateProcess(record);
}

// Restores the console reader of the tests when it goes.
struct ConsoleReaderGuard {
  ~ConsoleReaderGuard() { platform::setConsoleReaderForTesting(builtProgram("tavrelon")); }
};

TEST(EvidenceCapture, ReadsTheLastScreenOfTheProgramsConsoleOrSaysWhyNot) {
  if (!platform::isWindows())
    GTEST_SKIP() << "a terminal's screen is the terminal's, not readable by the watchdog";
  TempDir dir;
  platform::ProcessLaunch launch;
  launch.path = hangProgram();
  // More rows than a screen holds, then the last words.
  launch.arguments = "--rows 300 --say \"Hung here, last words\" --log-dir \"" + dir.path() + "\"";
  launch.newConsole = false;
  platform::ProcessRecord record;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::startProcess(launch, record, error)) << error;
  // Its words are all on the screen once it writes its log, after them.
  for (int i = 0; i < 600 && readFile(dir.file("hang.csv")).find("line,3") == std::string::npos;
       ++i)
    platform::sleepMilliseconds(50);
  const std::vector<platform::TreeProcess> tree = platform::processTree(record, {});
  ASSERT_EQ(tree.size(), 1u);

  const platform::CaptureOutcome outcome =
      platform::captureProcesses(tree, dir.path(), false, 60000);
  EXPECT_EQ(outcome.problems, std::vector<std::string>());
  const std::vector<std::string> lines =
      splitLines(withoutCarriageReturns(readFile(dir.file("console.txt"))));
  // The last screen alone: its rows in order, ending with the last words.
  ASSERT_GE(lines.size(), 2u);
  EXPECT_LT(lines.size(), 300u);
  EXPECT_EQ(lines.back(), "Hung here, last words");
  EXPECT_EQ(lines[lines.size() - 2], "row 300");
  EXPECT_EQ(lines.front(), "row " + std::to_string(301 - (lines.size() - 1)));
  const auto detail = std::make_pair(std::string("Console_Of"),
                                     std::to_string(record.dwProcessId) + " hang_in_function.exe");
  EXPECT_NE(std::find(outcome.details.begin(), outcome.details.end(), detail),
            outcome.details.end());

  // Without its reader the screen is not taken, said so, and the dump still is.
  {
    ConsoleReaderGuard guard;
    platform::setConsoleReaderForTesting(dir.file("no-such-reader.exe"));
    TempDir second;
    const platform::CaptureOutcome without =
        platform::captureProcesses(tree, second.path(), false, 60000);
    ASSERT_EQ(without.problems.size(), 1u);
    EXPECT_EQ(without.problems[0].rfind("console.txt: the console reader could not start: ", 0), 0u)
        << without.problems[0];
    EXPECT_FALSE(fs::exists(second.file("console.txt")));
    EXPECT_EQ(without.files.size(), 1u);
  }
  platform::terminateProcess(record);
}

TEST(EvidenceCapture, TheReadingCopyOfTheWatchdogDoesNothingElseAndSaysWhatFailed) {
  if (!platform::isWindows())
    GTEST_SKIP() << "consoles are read on Windows only";
  TempDir dir;
  const std::string ended = std::to_string(idOfAnEndedProcess());
  // The failed step in the exit code's high byte, the system's error below:
  // no such process to attach to (87; Wine says 6, no console); an id that is
  // no number (step 6, 87).
  const std::uint32_t gone = platform::runningUnderWineForTesting() ? 0x01000006u : 0x01000057u;
  const std::vector<std::pair<std::string, std::uint32_t>> calls{
      {"--read-console-of " + ended + " \"" + dir.file("gone.txt") + "\"", gone},
      {"--read-console-of nine \"" + dir.file("nine.txt") + "\"", 0x06000057u}};
  for (const auto& [arguments, expected] : calls) {
    platform::ProcessLaunch launch;
    launch.path = builtProgram("tavrelon");
    launch.arguments = arguments;
    launch.newConsole = false;
    launch.showWindow = false;
    platform::ProcessRecord record;
    std::uint32_t code = 0;
    ASSERT_TRUE(platform::startProcess(launch, record, code)) << code;
    ASSERT_EQ(waitForEnd(record, code), platform::ProcessState::Exited) << arguments;
    EXPECT_EQ(code, expected) << arguments;
  }
  // Nothing read, no file (the exit codes are the reading copy's own, not a
  // watchdog's that took the call for its arguments).
  std::vector<platform::DirectoryEntry> left;
  ASSERT_TRUE(platform::listDirectory(dir.path(), left));
  EXPECT_TRUE(left.empty());

  // A capture of a process that has ended says so for its console.
  const platform::CaptureOutcome outcome = platform::captureProcesses(
      {{static_cast<std::uint32_t>(std::stoul(ended)), 0, "gone.exe"}}, dir.path(), false, 60000);
  EXPECT_NE(std::find(outcome.problems.begin(), outcome.problems.end(),
                      "console.txt: the program has ended"),
            outcome.problems.end())
      << outcome.problems.front();
  EXPECT_TRUE(outcome.files.empty());
}

// A run folder as the watchdog leaves it, `megabytes` large, summary written
// `age` seconds ago.
void runFolder(const std::string& dir, const std::string& name, const std::string& id,
               int megabytes, int age) {
  const std::string folder = dir + S + name;
  writeFile(folder + S + "summary.txt", "Application_ID: " + id + "\nStatus: timeout\n");
  writeFile(folder + S + "stacks.txt", std::string(static_cast<std::size_t>(megabytes) << 20, 's'));
  fs::last_write_time(folder + S + "summary.txt",
                      fs::file_time_type::clock::now() - std::chrono::seconds(age));
}

TEST(EvidenceCap, RemovesTheOldestRunFoldersOnlyUntilTheRestFits) {
  TempDir dir;
  const std::string evidence = dir.file("evidence");
  runFolder(evidence, "prog_20260101000000", "prog_20260101000000", 1, 300);
  runFolder(evidence, "prog_20260101000100", "prog_20260101000100", 1, 200);
  runFolder(evidence, "prog_20260101000100_2", "prog_20260101000100", 1, 100);
  // Not the watchdog's: no summary, or one that names another run, and older.
  writeFile(evidence + S + "notes" + S + "big.txt", std::string(1 << 20, 'n'));
  runFolder(evidence, "foreign", "prog_20250101000000", 1, 900);
  const bool links = !platform::isWindows();
  if (links) {
    runFolder(dir.path(), "outside", "outside", 1, 1000);
    fs::create_directory_symlink(dir.file("outside"), evidence + S + "outside");
  }

  trimEvidence(evidence, 9 << 19);
  // 5 MiB of which 2 are not run folders: the oldest run folder goes.
  EXPECT_FALSE(fs::exists(evidence + S + "prog_20260101000000"));
  EXPECT_TRUE(fs::exists(evidence + S + "prog_20260101000100"));
  trimEvidence(evidence, 7 << 19);
  EXPECT_FALSE(fs::exists(evidence + S + "prog_20260101000100"));
  EXPECT_TRUE(fs::exists(evidence + S + "prog_20260101000100_2" + S + "stacks.txt"));
  trimEvidence(evidence, 0);
  EXPECT_FALSE(fs::exists(evidence + S + "prog_20260101000100_2"));
  EXPECT_TRUE(fs::exists(evidence + S + "notes" + S + "big.txt"));
  EXPECT_TRUE(fs::exists(evidence + S + "foreign" + S + "stacks.txt"));
  if (links) {
    EXPECT_TRUE(fs::is_symlink(evidence + S + "outside"));
    EXPECT_TRUE(fs::exists(dir.file("outside") + S + "stacks.txt"));
  }
}

TEST(EvidenceFiles, RemoveTreeRemovesLinksInsideAsLinks) {
  if (platform::isWindows())
    GTEST_SKIP() << "directory links need rights the tests do not have";
  TempDir dir;
  writeFile(dir.file("kept") + S + "precious.txt", "keep me");
  writeFile(dir.file("run") + S + "a" + S + "b.txt", "x");
  fs::create_directory_symlink(dir.file("kept"), dir.file("run") + S + "a" + S + "link");
  EXPECT_TRUE(platform::removeTree(dir.file("run")));
  EXPECT_FALSE(fs::exists(dir.file("run")));
  EXPECT_EQ(readFile(dir.file("kept") + S + "precious.txt"), "keep me");
  // A link given as the tree itself is not followed.
  fs::create_directory_symlink(dir.file("kept"), dir.file("alias"));
  EXPECT_FALSE(platform::removeTree(dir.file("alias")));
  EXPECT_TRUE(fs::exists(dir.file("kept") + S + "precious.txt"));
  // A new file is never written through a link or over an entry.
  std::uint32_t error = 0;
  fs::create_symlink(dir.file("kept") + S + "precious.txt", dir.file("trap.txt"));
  EXPECT_FALSE(platform::writeNewFile(dir.file("trap.txt"), "overwritten", error));
  EXPECT_EQ(readFile(dir.file("kept") + S + "precious.txt"), "keep me");
  EXPECT_FALSE(platform::createPrivateDirectory(dir.file("alias"), error));
}

TEST(EvidenceFiles, LastLinesAreTheFinalFiftyWithinTheByteBound) {
  TempDir dir;
  std::string text;
  for (int i = 1; i <= 80; ++i)
    text += "row," + std::to_string(i) + "\r\n";
  writeFile(dir.file("log.csv"), text);
  const std::vector<std::string> lines = lastLines(dir.file("log.csv"), 50, 65536);
  ASSERT_EQ(lines.size(), 50u);
  EXPECT_EQ(lines.front(), "row,31");
  EXPECT_EQ(lines.back(), "row,80");
  // A bound that cuts a line leaves the cut line out.
  const std::vector<std::string> cut = lastLines(dir.file("log.csv"), 50, 12);
  EXPECT_EQ(cut, std::vector<std::string>{"row,80"});
}

}  // namespace
}  // namespace tavrelon
