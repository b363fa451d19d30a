// The real watchdog and the login manager's sleep inhibitor (Linux): a private
// D-Bus daemon named as the system bus, with a stand-in for the login manager
// on it, or stopped so that it never answers, or no bus at all.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "support/test_support.h"
#include "support/watchdog_run.h"

namespace tavrelon {
namespace {

namespace fs = std::filesystem;
using namespace test;

const std::string kFake = builtProgram("fake_program");
const std::string kStandIn = builtProgram("login_manager_stand_in");

// A private bus daemon (and the login manager's stand-in on it, when asked
// for), in a folder of their own; both are ended by their ids when it goes.
class PrivateBus {
 public:
  PrivateBus() {
    // --fork returns once the daemon listens.
    if (std::system(("dbus-daemon --session --address=unix:path=" + dir_.file("bus") +
                     " --fork --print-pid > '" + dir_.file("bus.pid") + "'")
                        .c_str()) == 0)
      daemon_ = pidIn(dir_.file("bus.pid"));
  }
  ~PrivateBus() {
    if (standIn_ != 0)
      killByPid(standIn_);
    if (daemon_ != 0) {
      (void)std::system(("kill -CONT " + std::to_string(daemon_)).c_str());
      killByPid(daemon_);
    }
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool running() const { return daemon_ != 0; }
  std::uint32_t daemon() const { return daemon_; }
  // A launcher for Watchdog::start that names this bus as the system bus.
  std::string launcher() const {
    return "env DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_.file("bus");
  }

  // Starts the stand-in; true once it owns the login manager's name.
  bool startStandIn() {
    if (daemon_ == 0)
      return false;
    (void)std::system(("'" + kStandIn + "' unix:path=" + dir_.file("bus") + " '" + report() +
                       "' > /dev/null 2>&1 &")
                          .c_str());
    if (!waitUntil([&] { return readFile(report()).find("ready\n") != std::string::npos; }))
      return false;
    standIn_ = pidIn(report(), std::chrono::seconds(1));
    return standIn_ != 0;
  }
  std::string report() const { return dir_.file("report.txt"); }
  std::uint32_t standIn() const { return standIn_; }

 private:
  TempDir dir_;
  std::uint32_t daemon_ = 0;
  std::uint32_t standIn_ = 0;
};

// The value after "`key` " on the report's first line with that key, or "".
std::string reported(const std::string& report, const std::string& key) {
  const std::string text = readFile(report);
  const std::string::size_type at = text.find(key + " ");
  if (at == std::string::npos)
    return "";
  return text.substr(at + key.size() + 1, text.find('\n', at) - at - key.size() - 1);
}

// The processes that hold a descriptor of the pipe with inode `inode`.
std::set<std::uint32_t> holdersOfPipe(const std::string& inode) {
  std::set<std::uint32_t> holders;
  std::error_code error;
  for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
    const std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::error_code gone;
    for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", gone)) {
      if (fs::read_symlink(fd.path(), gone).string() == "pipe:[" + inode + "]")
        holders.insert(static_cast<std::uint32_t>(std::stoul(name)));
    }
  }
  return holders;
}

bool withBusTools() {
  return canProbeProcesses() && fs::exists(kStandIn) &&
         std::system("command -v dbus-daemon > /dev/null 2>&1") == 0;
}

#define SKIP_WITHOUT_BUS_TOOLS() \
  if (!withBusTools())           \
  GTEST_SKIP() << "Linux with dbus-daemon and a build with sd-bus"

// The whole output of a run of one quick program that finishes.
const std::string kQuickRun =
    "Program \\[1\\]:\n\nStart running \\[fake_program\\]\\.\\.\\.\n"
    "\\[fake_program_\\d{14}\\] has finished!\n\n";

// Runs the watchdog on one quick program through `launcher`, `extra` keys in
// its block; its output into `output`, and how long it took.
std::chrono::steady_clock::duration quickRun(const std::string& launcher, const std::string& extra,
                                             std::string& output) {
  Watchdog watchdog;
  const std::string logs = watchdog.dir().file("logs");
  const auto began = std::chrono::steady_clock::now();
  watchdog.start(block(kFake, "--log-dir \"" + logs + "\" --lines 1", logs, extra), launcher);
  EXPECT_EQ(watchdog.finish(30), 0) << launcher;
  output = watchdog.output();
  return std::chrono::steady_clock::now() - began;
}

TEST(SleepInhibitorEndToEnd, ABusThatNeverAnswersOrNoBusDelaysNothingAndAddsNoLine) {
  SKIP_WITHOUT_BUS_TOOLS();
  PrivateBus stopped;
  ASSERT_TRUE(stopped.running());
  // Stopped, the daemon still takes connections (the kernel queues them) but
  // never answers one.
  ASSERT_EQ(std::system(("kill -STOP " + std::to_string(stopped.daemon())).c_str()), 0);
  const std::string noBus = "env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus";
  std::string output;
  // The pace without any request: AllowSleep.
  const auto ordinary = quickRun(noBus, "AllowSleep: true", output);
  EXPECT_TRUE(matchesWhole(output, kQuickRun)) << output;
  for (const std::string& launcher : {stopped.launcher(), noBus}) {
    // The login manager is given 5 s to answer: none of them is waited for.
    EXPECT_LT(quickRun(launcher, "", output), ordinary + std::chrono::seconds(2)) << launcher;
    EXPECT_TRUE(matchesWhole(output, kQuickRun)) << launcher << "\n" << output;
  }
}

TEST(SleepInhibitorEndToEnd, ItHoldsOneSleepAndIdleBlockThatNoProgramInheritsUnlessSleepIsAllowed) {
  SKIP_WITHOUT_BUS_TOOLS();
  PrivateBus bus;
  ASSERT_TRUE(bus.startStandIn()) << readFile(bus.report());
  // A run of seconds with AllowSleep asks for nothing.
  std::string output;
  quickRun(bus.launcher(), "AllowSleep: true", output);
  EXPECT_EQ(readFile(bus.report()).find("inhibit"), std::string::npos) << readFile(bus.report());

  Watchdog watchdog;
  const std::string go = watchdog.dir().file("go");
  const std::string second = watchdog.dir().file("second.pid");
  // Program 1 waits until the test has seen the block held; program 2, started
  // after that, must not hold a copy of it.
  watchdog.start(block("/bin/sh", "-c \"while [ ! -f '" + go + "' ]; do sleep 0.1; done\"",
                       watchdog.dir().file("logs1")) +
                     block("/bin/sh", "-c \"echo $$ > '" + second + "'; sleep 2\"",
                           watchdog.dir().file("logs2")),
                 bus.launcher());
  ASSERT_TRUE(waitUntil([&] { return !reported(bus.report(), "pipe").empty(); }))
      << readFile(bus.report());
  EXPECT_EQ(reported(bus.report(), "inhibit"),
            "sleep:idle|Tavrelon|Supervising test programs|block");
  const std::string inode = reported(bus.report(), "pipe");
  const std::set<std::uint32_t> onlyTheWatchdog{bus.standIn(), watchdog.pid()};
  EXPECT_TRUE(waitUntil([&] { return holdersOfPipe(inode) == onlyTheWatchdog; }));
  writeFile(go, "");
  ASSERT_NE(pidIn(second, std::chrono::seconds(20)), 0u);
  EXPECT_EQ(holdersOfPipe(inode), onlyTheWatchdog);
  EXPECT_EQ(readFile(bus.report()).find("released"), std::string::npos);
  EXPECT_EQ(watchdog.finish(30), 0);
  // Its end lets the machine sleep again, and it asked once.
  EXPECT_TRUE(waitUntil([&] {
    return readFile(bus.report()).find("released\n") != std::string::npos;
  })) << readFile(bus.report());
  EXPECT_EQ(occurrences(readFile(bus.report()), "inhibit "), 1);
}

}  // namespace
}  // namespace tavrelon
