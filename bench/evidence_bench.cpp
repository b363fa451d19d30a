// The evidence of a large hung program: a copy of this program with 50 threads
// and 1 GiB resident is captured as a time-out captures it; prints how long the
// capture took and the longest pause one of the program's threads saw.
//
//   tavrelon_evidence_bench [--threads N] [--mebibytes M] [--rounds R]
//
// A plain program (run by hand, never by ctest): the figures go to docs/figures.md.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/evidence.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace {

using Clock = std::chrono::system_clock;

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

extern "C" __attribute__((noinline)) void benchThreadWaitsHere(const std::atomic<bool>& never) {
  while (!never.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The program captured: `threads` threads in all, `mebibytes` touched, and a
// ticker that writes "<time ms> <gap ms>" to `gapFile` for every wake-up that
// came more than 3 ms late.
int target(int threads, long long mebibytes, const std::string& gapFile) {
  std::vector<char> memory(static_cast<std::size_t>(mebibytes) << 20);
  for (std::size_t i = 0; i < memory.size(); i += 4096)
    memory[i] = static_cast<char>(i);
  std::atomic<bool> never{false};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < threads - 2; ++i)
    sleepers.emplace_back([&never] { benchThreadWaitsHere(never); });
  std::thread ticker([&gapFile] {
    auto last = std::chrono::steady_clock::now();
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto now = std::chrono::steady_clock::now();
      const long long gap =
          std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
      if (gap > 3)
        std::ofstream(gapFile, std::ios::app) << nowMs() << " " << gap << "\n";
      last = now;
    }
  });
  std::ofstream(gapFile + ".ready") << "ready\n";
  benchThreadWaitsHere(never);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 50;
  long long mebibytes = 1024;
  int rounds = 3;
  std::string gapFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--threads")
      threads = std::atoi(argv[i + 1]);
    else if (option == "--mebibytes")
      mebibytes = std::atoll(argv[i + 1]);
    else if (option == "--rounds")
      rounds = std::atoi(argv[i + 1]);
    else if (option == "--target")
      gapFile = argv[i + 1];
  }
  if (!gapFile.empty())
    return target(threads, mebibytes, gapFile);

  namespace fs = std::filesystem;
  const fs::path work =
      fs::temp_directory_path() /
      ("tavrelon-evidence-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
  fs::create_directories(work);
  const std::string gaps = (work / "gaps.txt").string();
  tavrelon::platform::ProcessLaunch launch;
  launch.path = tavrelon::platform::executablePath();
  launch.arguments = "--threads " + std::to_string(threads) + " --mebibytes " +
                     std::to_string(mebibytes) + " --target \"" + gaps + "\"";
  launch.newConsole = false;
  launch.showWindow = false;
  tavrelon::platform::ProcessRecord record;
  std::uint32_t error = 0;
  if (!tavrelon::platform::startProcess(launch, record, error)) {
    std::fprintf(stderr, "the target did not start: %u\n", error);
    return 1;
  }
  while (!fs::exists(gaps + ".ready"))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  std::printf("evidence of %d threads, %lld MiB resident\n", threads, mebibytes);
  for (int round = 1; round <= rounds; ++round) {
    const std::string folder = (work / ("run" + std::to_string(round))).string();
    fs::create_directories(folder);
    const long long start = nowMs();
    const auto tree = tavrelon::platform::processTree(record, {});
    const auto outcome = tavrelon::platform::captureProcesses(tree, folder, false, 60000);
    const long long end = nowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long long longestPause = 0;
    std::ifstream in(gaps);
    for (long long when = 0, gap = 0; in >> when >> gap;) {
      if (when >= start && when <= end + 200)
        longestPause = std::max(longestPause, gap);
    }
    std::uintmax_t bytes = 0;
    for (const std::string& file : outcome.files)
      bytes += fs::file_size(file);
    std::printf(
        "round %d: %lld ms for %zu process(es), %ju bytes written, %zu problem(s); "
        "longest pause of the ticker thread %lld ms\n",
        round, end - start, tree.size(), bytes, outcome.problems.size(), longestPause);
  }
  tavrelon::platform::terminateProcess(record);
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return 0;
}
