// The process services against real child processes: the fake program started,
// observed, ended and released.
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

#include "platform/platform.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using platform::ProcessState;

bool onPosix() {
  return !platform::isWindows();
}

// True where the process table can be read through /proc (Linux). Under Wine
// the same path names Linux's /proc, whose pids are not Windows process ids.
bool haveProc() {
  return onPosix() && platform::exists("/proc/self/stat");
}

platform::ProcessLaunch fakeLaunch(const std::string& arguments) {
  platform::ProcessLaunch launch;
  launch.path = testing::builtProgram("fake_program");
  launch.arguments = arguments;
  return launch;
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

// Polls until the process has ended or `limit` has passed; returns the last state.
ProcessState waitForEnd(platform::Handle process, std::uint32_t& exitCode,
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    ProcessState state = platform::processState(process, exitCode);
    if (state != ProcessState::Running || std::chrono::steady_clock::now() > deadline) {
      return state;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Polls `condition` every 10 ms for up to `limit`; true as soon as it holds.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The fields of /proc/<pid>/stat after the command name: state first. Empty
// when the process is gone.
std::vector<std::string> procStat(const std::string& pid) {
  std::string text = testing::readFile("/proc/" + pid + "/stat");
  std::string::size_type close = text.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos)
    return fields;
  std::string field;
  for (char c : text.substr(close + 2)) {
    if (c == ' ' || c == '\n') {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  return fields;
}

// True while `pid` runs; a zombie counts as ended.
bool isAlive(const std::string& pid) {
  std::vector<std::string> fields = procStat(pid);
  return !fields.empty() && fields[0] != "Z" && fields[0] != "X";
}

// Ends a process that is not our child, by its pid; for cleaning up after a test.
void killByPid(const std::string& pid) {
  if (pid.empty())
    return;
  std::string command = onPosix() ? "kill -9 " + pid : "taskkill /F /PID " + pid + " >NUL";
  (void)std::system(command.c_str());
}

// The pid the fake program wrote for its grandchild, once it is there.
std::string grandchildPid(const std::string& file) {
  std::string pid;
  eventually([&] {
    pid = testing::readFile(file);
    return !pid.empty() && pid.back() == '\n';
  });
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r'))
    pid.pop_back();
  return pid;
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
    ASSERT_EQ(waitForEnd(child.record.hProcess, code), ProcessState::Exited);
    EXPECT_EQ(code, c.expected);
  }
}

TEST(Process, StatusStaysReadableUntilTheHandleIsClosedThenIsUnknown) {
  platform::ProcessRecord record;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::startProcess(fakeLaunch("--code 5"), record, error)) << error;
  std::uint32_t code = 0;
  ASSERT_EQ(waitForEnd(record.hProcess, code), ProcessState::Exited);

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
  Started hanging(fakeLaunch("--end hang"));
  ASSERT_TRUE(hanging.started) << hanging.error;
  platform::terminateProcess(hanging.record);
  std::uint32_t code = 99;
  EXPECT_EQ(platform::processState(hanging.record.hProcess, code), ProcessState::Exited);
  EXPECT_EQ(code, 0u);

  Started crashed(fakeLaunch("--code 3"));
  ASSERT_TRUE(crashed.started) << crashed.error;
  ASSERT_EQ(waitForEnd(crashed.record.hProcess, code), ProcessState::Exited);
  platform::terminateProcess(crashed.record);
  EXPECT_EQ(platform::processState(crashed.record.hProcess, code), ProcessState::Exited);
  EXPECT_EQ(code, 3u);
}

TEST(Process, TerminateAlsoEndsWhatTheProgramStarted) {
  if (!haveProc())
    GTEST_SKIP() << "needs /proc to watch the grandchild";
  testing::TempDir dir;
  Started child(fakeLaunch("--grandchild \"" + dir.file("pid") + "\" --end hang"));
  ASSERT_TRUE(child.started) << child.error;
  std::string pid = grandchildPid(dir.file("pid"));
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(isAlive(pid));

  platform::terminateProcess(child.record);
  bool ended = eventually([&] { return !isAlive(pid); });
  if (!ended)
    killByPid(pid);
  EXPECT_TRUE(ended) << "grandchild " << pid << " survived";
}

TEST(Process, WhatAProgramLeavesBehindWhenItEndsByItselfRunsOn) {
  if (!haveProc())
    GTEST_SKIP() << "needs /proc to watch the grandchild";
  testing::TempDir dir;
  std::string pid;
  {
    Started child(fakeLaunch("--grandchild \"" + dir.file("pid") + "\" --code 3"));
    ASSERT_TRUE(child.started) << child.error;
    pid = grandchildPid(dir.file("pid"));
    ASSERT_FALSE(pid.empty());
    std::uint32_t code = 0;
    ASSERT_EQ(waitForEnd(child.record.hProcess, code), ProcessState::Exited);
    // Ending an ended program, as a stop does, must not reach its group.
    platform::terminateProcess(child.record);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(isAlive(pid));
  killByPid(pid);
  EXPECT_TRUE(eventually([&] { return !isAlive(pid); }));
}

TEST(Process, FailedStartsAreReportedAtOnceWithTheSystemsErrorCode) {
  testing::TempDir dir;
  testing::writeFile(dir.file("not-a-program"), "just text\n");
  platform::ProcessRecord record;
  std::uint32_t error = 0;

  platform::ProcessLaunch missing = fakeLaunch("");
  missing.path += "-missing";
  EXPECT_FALSE(platform::startProcess(missing, record, error));
  EXPECT_EQ(error, 2u);  // ENOENT and ERROR_FILE_NOT_FOUND alike
  EXPECT_EQ(record.dwProcessId, 0u);

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
  testing::TempDir dir;
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
  testing::TempDir dir;
  testing::TempDir work;
  std::string recordFile = dir.file("record.txt");
  platform::ProcessLaunch launch =
      fakeLaunch(R"(plain "two words" say\"hi "" tab	sep --record ")" + recordFile + "\"");
  launch.workingDirectory = work.path();
  {
    Started child(launch);
    ASSERT_TRUE(child.started) << child.error;
    std::uint32_t code = 1;
    ASSERT_EQ(waitForEnd(child.record.hProcess, code), ProcessState::Exited);
    EXPECT_EQ(code, 0u);
  }
  std::string expected = "\nplain\ntwo words\nsay\"hi\n\ntab\nsep\n--record\n" + recordFile + "\n";
  std::string recorded = testing::readFile(recordFile);
  std::string::size_type firstLine = recorded.find('\n');
  ASSERT_NE(firstLine, std::string::npos);
  EXPECT_TRUE(fs::equivalent(recorded.substr(0, firstLine), work.path()));
  EXPECT_EQ(recorded.substr(firstLine), expected);
}

TEST(Process, InheritsOurDirectoryAndFindsARelativePathFromIt) {
  testing::TempDir dir;
  testing::TempDir work;
  fs::path program = testing::builtProgram("fake_program");
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
    EXPECT_EQ(waitForEnd(a.record.hProcess, code), ProcessState::Exited);
    EXPECT_EQ(waitForEnd(b.record.hProcess, code), ProcessState::Exited);
  }
  std::string inherited = testing::readFile(dir.file("inherit.txt"));
  std::string relativeRun = testing::readFile(dir.file("relative.txt"));
  EXPECT_TRUE(fs::equivalent(inherited.substr(0, inherited.find('\n')), program.parent_path()));
  EXPECT_TRUE(fs::equivalent(relativeRun.substr(0, relativeRun.find('\n')), work.path()));
}

TEST(Process, WithoutArgumentsTheArgumentStringIsNotPassed) {
  platform::ProcessLaunch launch = fakeLaunch("--code 7");
  launch.withArguments = false;
  Started bare(launch);
  ASSERT_TRUE(bare.started) << bare.error;
  std::uint32_t code = 99;
  ASSERT_EQ(waitForEnd(bare.record.hProcess, code), ProcessState::Exited);
  EXPECT_EQ(code, 0u);
}

TEST(Process, ChildLeadsItsOwnSessionWithStdinFromNullAndNoDescriptorOfOurs) {
  if (!haveProc())
    GTEST_SKIP() << "needs /proc to look at the child";
  // A stream opened without close-on-exec, which a careless start would hand on.
  testing::TempDir dir;
  std::FILE* open = std::fopen(dir.file("open.txt").c_str(), "w");
  Started child(fakeLaunch("--end hang"));
  ASSERT_TRUE(child.started) << child.error;
  std::string pid = std::to_string(child.record.dwProcessId);

  std::vector<std::string> stat = procStat(pid);
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
  if (!haveProc())
    GTEST_SKIP() << "needs /proc to look at the grandchild";
  // The fake program runs with its stdout in a file and starts the grandchild;
  // whatever the grandchild prints must land on the stderr they share instead.
  testing::TempDir dir;
  std::string output;
  testing::runCapturingOutput(testing::builtProgram("fake_program"),
                              "--grandchild \"" + dir.file("pid") + "\"", output);
  std::string pid = grandchildPid(dir.file("pid"));
  ASSERT_FALSE(pid.empty());
  std::string fd = "/proc/" + pid + "/fd/";
  std::error_code error;
  std::string out = fs::read_symlink(fd + "1", error).string();
  std::string err = fs::read_symlink(fd + "2", error).string();
  killByPid(pid);
  EXPECT_EQ(out, err);
  EXPECT_EQ(out.find("stdout.txt"), std::string::npos) << out;
}

TEST(Process, ManyStartsLeaveNoZombieAndNoDescriptorBehind) {
  if (!haveProc())
    GTEST_SKIP() << "needs /proc to count zombies and descriptors";
  auto openDescriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  auto before = openDescriptors();
  std::vector<std::string> letGo;
  for (int i = 0; i < 300; ++i) {
    platform::ProcessRecord record;
    std::uint32_t error = 0;
    ASSERT_TRUE(platform::startProcess(fakeLaunch("--code 1"), record, error)) << error;
    std::uint32_t code = 0;
    // Every third one is let go while it may still run; the rest end first.
    if (i % 3 != 0) {
      ASSERT_EQ(waitForEnd(record.hProcess, code), ProcessState::Exited);
    } else {
      letGo.push_back(std::to_string(record.dwProcessId));
    }
    platform::closeHandle(record.hProcess);
  }
  EXPECT_EQ(openDescriptors(), before);
  // The let-go children are reaped by later calls once they have ended.
  std::uint32_t unused = 0;
  std::string zombie;
  bool allReaped = eventually([&] {
    platform::processState(0, unused);
    for (const std::string& pid : letGo) {
      if (!procStat(pid).empty()) {
        zombie = pid;
        return false;
      }
    }
    return true;
  });
  EXPECT_TRUE(allReaped) << "child " << zombie << " left as a zombie";
}

}  // namespace
}  // namespace tavrelon
