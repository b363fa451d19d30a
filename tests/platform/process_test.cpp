// The process services against real child processes: programs started,
// observed, ended and released, their arguments, directories and descriptors,
// and what they started themselves. The same cases run on both backends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "config/text_lines.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/test_seams.h"
#include "platform/watchdog_process.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace test;
using platform::ProcessState;

bool onPosix() {
  return !platform::isWindows();
}

platform::ProcessLaunch launchOf(const std::string& path, const std::string& arguments) {
  platform::ProcessLaunch launch;
  launch.path = path;
  launch.arguments = arguments;
  return launch;
}

platform::ProcessLaunch fakeLaunch(const std::string& arguments) {
  return launchOf(builtProgram("fake_program"), arguments);
}

// A started process that is ended and released when the test leaves, whatever happens.
struct Started {
  explicit Started(const platform::ProcessLaunch& launch) {
    started = platform::startProcess(launch, record, error);
  }
  ~Started() {
    platform::terminateProcess(record);
    platform::closeHandle(record.hProcess);
  }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;

  platform::ProcessRecord record;
  std::uint32_t error = 0;
  bool started = false;
};

// The lines that the fake program's --record wrote to `path`: its working
// directory, then one argument a line.
std::vector<std::string> recordedLines(const std::string& path) {
  std::vector<std::string> lines;
  readTextLines(path, lines);
  return lines;
}

// Restores this process's nesting mark, which markSupervisionDepth() changes.
struct NestingMarkGuard {
  const char* mark = std::getenv("TAVRELON_DEPTH");
  std::string saved = mark != nullptr ? mark : "";
  ~NestingMarkGuard() {
#ifdef _WIN32
    _putenv_s("TAVRELON_DEPTH", saved.c_str());  // "" removes it
#else
    saved.empty() ? unsetenv("TAVRELON_DEPTH") : setenv("TAVRELON_DEPTH", saved.c_str(), 1);
#endif
  }
};

TEST(Process, AStartedProgramInheritsTheNestingMarkOneDeeperThanItsStarter) {
  NestingMarkGuard guard;
  TempDir dir;
  const std::int32_t depth = platform::markSupervisionDepth();
  // Another mark on top reads the first: the process's own environment changed.
  EXPECT_EQ(platform::markSupervisionDepth(), depth + 1);
  {
    Started child(fakeLaunch("--depth \"" + dir.file("depth") + "\""));
    ASSERT_TRUE(child.started) << child.error;
    std::uint32_t code = 1;
    ASSERT_EQ(waitForEnd(child.record, code), ProcessState::Exited);
  }
  EXPECT_EQ(readFile(dir.file("depth")), std::to_string(depth + 2));
}

TEST(Process, ReportsRunningThenTheExitCodeOfAProgramThatEndsByItself) {
  // POSIX keeps the low 8 bits of an exit code, so 259 arrives as 3 there.
  struct Case {
    std::string arguments;
    std::uint32_t expected;
  } cases[] = {
      {"--code 0", 0},
      {"--code 3", 3},
      {"--code 259", onPosix() ? 259u % 256u : 259u},
      {"--end signal", onPosix() ? 128u + 15u : 3u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    Started child(fakeLaunch("--lines 2 --interval-ms 200 " + c.arguments));
    ASSERT_TRUE(child.started) << child.error;
    EXPECT_NE(child.record.dwProcessId, 0u);
    std::uint32_t code = 12345;
    EXPECT_EQ(platform::processState(child.record.hProcess, code), ProcessState::Running);
    EXPECT_EQ(code, 12345u);
    ASSERT_EQ(waitForEnd(child.record, code), ProcessState::Exited);
    EXPECT_EQ(code, c.expected);
  }
}

TEST(Process, StatusStaysReadableUntilTheHandleIsClosedThenIsUnknown) {
  platform::ProcessRecord record;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::startProcess(fakeLaunch("--code 5"), record, error)) << error;
  std::uint32_t code = 0;
  ASSERT_EQ(waitForEnd(record, code), ProcessState::Exited);

  code = 0;
  EXPECT_EQ(platform::processState(record.hProcess, code), ProcessState::Exited);
  EXPECT_EQ(code, 5u);

  platform::closeHandle(record.hProcess);
  code = 77;
  EXPECT_EQ(platform::processState(record.hProcess, code), ProcessState::Unknown);
  EXPECT_EQ(platform::processState(0, code), ProcessState::Unknown);
  EXPECT_EQ(code, 77u);
  platform::closeHandle(record.hProcess);
  platform::closeHandle(0);
  platform::terminateProcess(record);
}

TEST(Process, TerminateEndsARunningProgramWithCodeZeroAndLeavesAnEndedOneAlone) {
  for (bool ownProcessGroup : {true, false}) {
    SCOPED_TRACE(ownProcessGroup ? "own process group" : "our process group");
    platform::ProcessLaunch launch = fakeLaunch("--end hang");
    launch.ownProcessGroup = ownProcessGroup;
    Started hanging(launch);
    ASSERT_TRUE(hanging.started) << hanging.error;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::uint32_t code = 99;
    EXPECT_EQ(platform::processState(hanging.record.hProcess, code), ProcessState::Running);
    EXPECT_EQ(code, 99u);
    const auto before = std::chrono::steady_clock::now();
    platform::terminateProcess(hanging.record);
    EXPECT_EQ(platform::processState(hanging.record.hProcess, code), ProcessState::Exited);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
    EXPECT_EQ(code, 0u);
    platform::terminateProcess(hanging.record);  // a second ending does no harm
    EXPECT_EQ(platform::processState(hanging.record.hProcess, code), ProcessState::Exited);
  }

  Started crashed(fakeLaunch("--code 3"));
  ASSERT_TRUE(crashed.started) << crashed.error;
  std::uint32_t code = 99;
  ASSERT_EQ(waitForEnd(crashed.record, code), ProcessState::Exited);
  platform::terminateProcess(crashed.record);
  EXPECT_EQ(platform::processState(crashed.record.hProcess, code), ProcessState::Exited);
  EXPECT_EQ(code, 3u);
}

TEST(Process, TerminateEndsWhatTheProgramStartedBeforeItReturns) {
  // The program starts a hanging copy of itself. Windows refuses to delete an
  // executable while any process runs from it, so removing the copy at once
  // shows that the grandchild is gone when the ending returns, as a restart
  // needs it; POSIX deletes a running program's file, so /proc is watched
  // there. A grandchild in a group (job) of its own is held by the program's
  // job as well: no breakaway lets it out.
  for (const char* option : {"--grandchild", "--escape"}) {
    SCOPED_TRACE(option);
    // On POSIX a worker of its own session is found through its parent, the
    // program, before anything is killed: this process is no subreaper.
    if (onPosix() && !canProbeProcesses())
      GTEST_SKIP() << "needs /proc to watch the grandchild";
    TempDir dir;
    const std::string copy = copyOfProgram("fake_program", dir.file("fake"));
    Started child(launchOf(copy, std::string(option) + " \"" + dir.file("pid") + "\" --end hang"));
    ASSERT_TRUE(child.started) << child.error;
    const std::uint32_t pid = pidIn(dir.file("pid"), std::chrono::seconds(30));
    ASSERT_NE(pid, 0u);

    platform::terminateProcess(child.record);
    std::uint32_t code = 12345;
    EXPECT_EQ(waitForEnd(child.record, code, std::chrono::seconds(10)), ProcessState::Exited);
    EXPECT_EQ(code, 0u);
    if (onPosix()) {
      EXPECT_TRUE(endsWithin(pid)) << "grandchild " << pid << " survived";
    } else {
      std::error_code removal;
      fs::remove(copy, removal);
      EXPECT_FALSE(fs::exists(copy)) << "a process still runs from it: " << removal.message();
    }
    killByPid(pid);
  }
}

TEST(Process, WhatAProgramLeavesBehindWhenItEndsByItselfRunsOnAfterATerminate) {
  if (onPosix() && !canProbeProcesses())
    GTEST_SKIP() << "needs /proc to watch the grandchild";
  TempDir dir;
  const std::string copy = copyOfProgram("fake_program", dir.file("fake"));
  std::uint32_t pid = 0;
  {
    Started child(launchOf(copy, "--grandchild \"" + dir.file("pid") + "\" --code 3"));
    ASSERT_TRUE(child.started) << child.error;
    pid = pidIn(dir.file("pid"));
    ASSERT_NE(pid, 0u);
    std::uint32_t code = 0;
    ASSERT_EQ(waitForEnd(child.record, code), ProcessState::Exited);
    // Ending an ended program, as a stop does after a crash, must not reach its group (job).
    platform::terminateProcess(child.record);
    EXPECT_EQ(platform::processState(child.record.hProcess, code), ProcessState::Exited);
    EXPECT_EQ(code, 3u);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::error_code removal;
  if (onPosix()) {
    EXPECT_TRUE(processAlive(pid));
  } else {
    EXPECT_FALSE(fs::remove(copy, removal)) << "the grandchild has ended";
  }
  killByPid(pid);
  if (onPosix()) {
    EXPECT_TRUE(endsWithin(pid));
  } else {
    EXPECT_TRUE(waitUntil([&] { return fs::remove(copy, removal); }))
        << "the grandchild " << pid << " still runs";
  }
}

TEST(Process, FailedStartsAreReportedAtOnceWithTheSystemsErrorCode) {
  TempDir dir;
  writeFile(dir.file("not-a-program"), "just text\n");
  platform::ProcessRecord record;
  std::uint32_t error = 0;

  // With arguments in a console of its own, as a supervised program starts,
  // and by its path alone, as a debug program starts.
  for (bool withArguments : {true, false}) {
    platform::ProcessLaunch missing = fakeLaunch("x");
    missing.path += "-missing";
    missing.withArguments = withArguments;
    missing.newConsole = withArguments;
    EXPECT_FALSE(platform::startProcess(missing, record, error));
    EXPECT_EQ(error, 2u) << withArguments;  // ENOENT and ERROR_FILE_NOT_FOUND alike
    EXPECT_EQ(record.dwProcessId, 0u);
  }

  platform::ProcessLaunch text = fakeLaunch("");
  text.path = dir.file("not-a-program");
  error = 0;
  EXPECT_FALSE(platform::startProcess(text, record, error));
  if (onPosix()) {
    EXPECT_EQ(error, 13u);  // EACCES: no execute permission
  } else {
    EXPECT_NE(error, 0u);
  }

  platform::ProcessLaunch nowhere = fakeLaunch("");
  nowhere.workingDirectory = dir.file("missing-directory");
  error = 0;
  EXPECT_FALSE(platform::startProcess(nowhere, record, error));
  EXPECT_NE(error, 0u);
  if (onPosix()) {
    EXPECT_EQ(error, 2u);  // ENOENT from the chdir
  }
  EXPECT_EQ(record.dwProcessId, 0u);
}

TEST(Process, PathOrDirectoryWithANulByteStartsNothing) {
  TempDir dir;
  const std::string record = dir.file("started.txt");
  platform::ProcessRecord started;
  std::uint32_t error = 0;

  // The path up to the NUL is the fake program itself.
  platform::ProcessLaunch program = fakeLaunch("--record \"" + record + "\"");
  program.path += std::string(1, '\0') + ".disabled";
  EXPECT_FALSE(platform::startProcess(program, started, error));
  EXPECT_EQ(error, 2u);  // ENOENT and ERROR_FILE_NOT_FOUND alike
  EXPECT_EQ(started.dwProcessId, 0u);

  platform::ProcessLaunch directory = fakeLaunch("--record \"" + record + "\"");
  directory.workingDirectory = dir.path() + std::string(1, '\0') + "elsewhere";
  error = 0;
  EXPECT_FALSE(platform::startProcess(directory, started, error));
  EXPECT_EQ(error, 2u);
  EXPECT_EQ(started.dwProcessId, 0u);
  EXPECT_FALSE(platform::exists(record));
}

TEST(Process, RunsInTheWorkingDirectoryWithItsArgumentsSplit) {
  TempDir dir;
  TempDir work;
  std::string recordFile = dir.file("record.txt");
  platform::ProcessLaunch launch =
      fakeLaunch(R"(plain "two words" say\"hi "" tab	sep --record ")" + recordFile + "\"");
  // A trailing separator names the same directory.
  launch.workingDirectory = work.path() + S;
  {
    Started child(launch);
    ASSERT_TRUE(child.started) << child.error;
    std::uint32_t code = 1;
    ASSERT_EQ(waitForEnd(child.record, code), ProcessState::Exited);
    EXPECT_EQ(code, 0u);
  }
  std::string expected = "\nplain\ntwo words\nsay\"hi\n\ntab\nsep\n--record\n" + recordFile + "\n";
  std::string recorded = readFile(recordFile);
  std::string::size_type firstLine = recorded.find('\n');
  ASSERT_NE(firstLine, std::string::npos);
  EXPECT_TRUE(fs::equivalent(recorded.substr(0, firstLine), work.path()));
  EXPECT_EQ(recorded.substr(firstLine), expected);
}

TEST(Process, InheritsOurDirectoryAndFindsARelativePathFromIt) {
  TempDir dir;
  TempDir work;
  fs::path program = builtProgram("fake_program");
  fs::path before = fs::current_path();
  fs::current_path(program.parent_path());

  platform::ProcessLaunch inherit = fakeLaunch("--record \"" + dir.file("inherit.txt") + "\"");
  platform::ProcessLaunch relative = fakeLaunch("--record \"" + dir.file("relative.txt") + "\"");
  relative.path = program.filename().string();
  relative.workingDirectory = work.path();
  std::uint32_t code = 0;
  {
    Started a(inherit);
    Started b(relative);
    fs::current_path(before);
    ASSERT_TRUE(a.started) << a.error;
    ASSERT_TRUE(b.started) << b.error;
    EXPECT_EQ(waitForEnd(a.record, code), ProcessState::Exited);
    EXPECT_EQ(waitForEnd(b.record, code), ProcessState::Exited);
  }
  std::string inherited = readFile(dir.file("inherit.txt"));
  std::string relativeRun = readFile(dir.file("relative.txt"));
  EXPECT_TRUE(fs::equivalent(inherited.substr(0, inherited.find('\n')), program.parent_path()));
  EXPECT_TRUE(fs::equivalent(relativeRun.substr(0, relativeRun.find('\n')), work.path()));
}

TEST(Process, WithoutArgumentsTheArgumentStringIsNotPassed) {
  // As a debug program starts: by its path alone, no window, in our group.
  platform::ProcessLaunch launch = fakeLaunch("--code 7");
  launch.withArguments = false;
  launch.newConsole = false;
  launch.showWindow = false;
  launch.ownProcessGroup = false;
  Started bare(launch);
  ASSERT_TRUE(bare.started) << bare.error;
  std::uint32_t code = 99;
  ASSERT_EQ(waitForEnd(bare.record, code), ProcessState::Exited);
  EXPECT_EQ(code, 0u);
}

TEST(Process, ChildLeadsItsOwnSessionWithStdinFromNullAndNoDescriptorOfOurs) {
  if (!canProbeProcesses())
    GTEST_SKIP() << "needs /proc to look at the child";
  // A stream opened without close-on-exec, which a careless start would hand on.
  TempDir dir;
  std::FILE* open = std::fopen(dir.file("open.txt").c_str(), "w");
  Started child(fakeLaunch("--end hang"));
  ASSERT_TRUE(child.started) << child.error;
  const std::uint32_t id = child.record.dwProcessId;
  const std::string pid = std::to_string(id);

  std::vector<std::string> stat = procStat(id);
  ASSERT_GE(stat.size(), 4u);
  EXPECT_EQ(stat[2], pid);  // process group
  EXPECT_EQ(stat[3], pid);  // session

  // A runtime's start-up (a sanitizer's, say) may hold a descriptor of its own
  // for a moment; one handed on by the start stays for good.
  std::vector<std::string> descriptors;
  for (int attempt = 0; attempt < 200; ++attempt) {
    descriptors.clear();
    for (const auto& entry : fs::directory_iterator("/proc/" + pid + "/fd")) {
      descriptors.push_back(entry.path().filename().string());
    }
    std::sort(descriptors.begin(), descriptors.end());
    if (descriptors == std::vector<std::string>{"0", "1", "2"})
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(descriptors, (std::vector<std::string>{"0", "1", "2"}));
  std::string fd = "/proc/" + pid + "/fd/";
  EXPECT_EQ(fs::read_symlink(fd + "0"), "/dev/null");
  if (open != nullptr)
    std::fclose(open);
}

TEST(Process, ChildsStandardOutputGoesToTheStartersStandardError) {
  if (!canProbeProcesses())
    GTEST_SKIP() << "needs /proc to look at the grandchild";
  // The fake program runs with its stdout in a file and starts the grandchild;
  // whatever the grandchild prints must land on the stderr they share instead.
  TempDir dir;
  std::string output;
  runCapturingOutput(builtProgram("fake_program"), "--grandchild \"" + dir.file("pid") + "\"",
                     output);
  const std::uint32_t pid = pidIn(dir.file("pid"));
  ASSERT_NE(pid, 0u);
  std::string fd = "/proc/" + std::to_string(pid) + "/fd/";
  std::error_code error;
  std::string out = fs::read_symlink(fd + "1", error).string();
  std::string err = fs::read_symlink(fd + "2", error).string();
  killByPid(pid);
  EXPECT_EQ(out, err);
  EXPECT_EQ(out.find("stdout.txt"), std::string::npos) << out;
}

TEST(Process, ManyStartsLeaveNoZombieAndNoDescriptorBehind) {
  if (!canProbeProcesses())
    GTEST_SKIP() << "needs /proc to count zombies and descriptors";
  auto openDescriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  startAndEndOneProgram();
  auto before = openDescriptors();
  std::vector<std::uint32_t> letGo;
  for (int i = 0; i < 300; ++i) {
    platform::ProcessRecord record;
    std::uint32_t error = 0;
    ASSERT_TRUE(platform::startProcess(fakeLaunch("--code 1"), record, error)) << error;
    std::uint32_t code = 0;
    // Every third one is let go while it may still run; the rest end first.
    if (i % 3 != 0) {
      ASSERT_EQ(waitForEnd(record, code), ProcessState::Exited);
    } else {
      letGo.push_back(record.dwProcessId);
    }
    platform::closeHandle(record.hProcess);
  }
  EXPECT_EQ(openDescriptors(), before);
  // The let-go children are reaped by later calls once they have ended.
  std::uint32_t unused = 0;
  std::uint32_t zombie = 0;
  bool allReaped = waitUntil([&] {
    platform::processState(0, unused);
    for (std::uint32_t pid : letGo) {
      if (!procStat(pid).empty()) {
        zombie = pid;
        return false;
      }
    }
    return true;
  });
  EXPECT_TRUE(allReaped) << "child " << zombie << " left as a zombie";
}

// Starts the fake program at `path` in `directory` with --record into
// `record` and `more`, and waits for it to end; its exit code goes to `code`.
bool runRecording(const std::string& path, const std::string& directory, const std::string& record,
                  const std::string& more, std::uint32_t& code) {
  platform::ProcessLaunch launch = launchOf(path, "--record \"" + record + "\" " + more);
  launch.workingDirectory = directory;
  Started child(launch);
  EXPECT_TRUE(child.started) << "error " << child.error;
  return child.started && waitForEnd(child.record, code) == ProcessState::Exited;
}

TEST(Process, APathWithBlanksStartsThatProgramNotAShorterOne) {
  // Read unquoted, "<dir>\\a dir with space\\fake_program ..." would start
  // <dir>\\a.exe, here a copy of the watchdog, which given any argument ends
  // without writing.
  TempDir dir;
  copyOfProgram("tavrelon", dir.path(),
                "a" + fs::path(builtProgram("tavrelon")).extension().string());
  const std::string program = copyOfProgram("fake_program", dir.file("a dir with space"));
  std::uint32_t code = 1;
  ASSERT_TRUE(runRecording(program, dir.path(), dir.file("recorded.txt"), "", code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(recordedLines(dir.file("recorded.txt")).size(), 3u);
}

TEST(Process, ABareNameStartsTheFileInOurCurrentDirectoryNotOneBesideUs) {
  // Windows' own search would take the decoy beside the running program first:
  // a copy of the watchdog, which given any argument ends without writing.
  TempDir dir;
  const fs::path self = platform::executablePath();
  const std::string name =
      "decoy_" + fs::path(dir.path()).filename().string() + self.extension().string();
  const std::string decoy = (self.parent_path() / name).string();
  std::error_code copied;
  fs::copy_file(builtProgram("tavrelon"), decoy, copied);
  if (copied)
    GTEST_SKIP() << "no decoy can be put beside this test program: " << copied.message();
  copyOfProgram("fake_program", dir.path(), name);
  std::uint32_t code = 1;
  bool ended = false;
  {
    CurrentDirectory inDir(dir.path());
    ended = runRecording(name, "", "recorded.txt", "", code);
  }
  std::error_code ignored;
  fs::remove(decoy, ignored);
  ASSERT_TRUE(ended);
  EXPECT_EQ(code, 0u);
  const std::vector<std::string> lines = recordedLines(dir.file("recorded.txt"));
  ASSERT_EQ(lines.size(), 3u) << "the decoy started";
  EXPECT_EQ(lines[1], "--record");
}

TEST(Process, AProgramWithAPathBeyond260CharactersStarts) {
  if (platform::runningUnderWineForTesting())
    GTEST_SKIP() << "Wine starts no image from a path of 260 characters or more (error 2)";
  TempDir dir;
  std::string folder = dir.path();
  while (folder.size() <= 300)
    folder += S + std::string(50, 'p') + std::to_string(folder.size());
  const std::string program = copyOfProgram("fake_program", folder);
  ASSERT_GT(program.size(), 260u);
  std::uint32_t code = 0;
  ASSERT_TRUE(runRecording(program, dir.path(), dir.file("recorded.txt"), "--code 7", code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(recordedLines(dir.file("recorded.txt")).size(), 5u);
}

}  // namespace
}  // namespace tavrelon
