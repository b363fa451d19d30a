// Benchmarks of the watchdog's file work at the sizes a long night produces:
// the log tree scan, the last line of a huge log, the status log's add and
// close sequences, and the configuration reader. Inputs are generated once per
// size into a scratch directory that is removed when the program exits.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "config/config_reader.h"
#include "driver/watchdog.h"
#include "fixtures.h"
#include "logging/log_tracker.h"
#include "logging/status_log.h"
#include "platform/files.h"
#include "platform/test_seams.h"

namespace tavrelon::bench {
namespace {

// Bytes this process has read through read-like calls so far (Linux
// /proc/self/io "rchar"); -1 where the system does not tell.
std::int64_t bytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::int64_t value = -1;
  while (io >> key >> value) {
    if (key == "rchar:")
      return value;
  }
  return -1;
}

// ------------------------------------------------------------ log tree scan

void scanTree(benchmark::State& state, TreeShape shape) {
  const int files = static_cast<int>(state.range(0));
  const TreeInfo& tree = cachedLogTree(files, shape);
  if (tree.files != files) {
    state.SkipWithError("could not generate the log tree");
    return;
  }
  TestLog tracker(tree.root);
  std::int64_t size = 0;
  for (auto _ : state) {
    size = tracker.latestLogSize();
    benchmark::DoNotOptimize(size);
  }
  if (size <= 0)
    state.SkipWithError("the scan found no log");
  state.SetComplexityN(files);
  state.counters["files"] = files;
  state.counters["candidates"] = tree.candidates;
  // Time per listed file: what one directory entry costs the scan.
  state.counters["per_file"] = benchmark::Counter(
      files, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LatestLogSize_Flat(benchmark::State& state) {
  scanTree(state, TreeShape::Flat);
}
void BM_LatestLogSize_Nested(benchmark::State& state) {
  scanTree(state, TreeShape::Nested);
}

BENCHMARK(BM_LatestLogSize_Flat)
    ->ArgName("files")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Complexity(benchmark::oN);
BENCHMARK(BM_LatestLogSize_Nested)
    ->ArgName("files")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Complexity(benchmark::oN);

// ------------------------------------------------------------ last line

// The last line of a 1 GiB log. `tail` is what the file ends with; the rest is
// a hole, so the tracker has to find the line from the end, not by reading.
void lastLineOfHugeLog(benchmark::State& state, const std::string& name, const std::string& tail,
                       const std::string& expectedText) {
  const std::int64_t size = std::int64_t{1} << 30;
  const std::string dir = scratchDirectory() + "/" + name;
  if (!platform::exists(dir + "/huge.csv")) {
    // An empty tree is just its directory; the one log goes in afterwards.
    makeLogTree(dir, 0, TreeShape::Flat);
    if (!makeSparseLog(dir + "/huge.csv", size, tail)) {
      state.SkipWithError("could not make the 1 GiB log");
      return;
    }
  }
  TestLog tracker(dir);
  const std::string expected = "[" + tracker.latestLogPath + "] " + expectedText;
  std::string line;
  std::int64_t readBefore = bytesReadSoFar();
  for (auto _ : state) {
    line = tracker.latestLogLine();
    benchmark::DoNotOptimize(line);
  }
  std::int64_t readAfter = bytesReadSoFar();
  if (line != expected)
    state.SkipWithError(("unexpected last line: " + line).c_str());
  if (readBefore >= 0 && readAfter >= 0 && state.iterations() > 0) {
    // Bytes read per call: shows that only the tail is read, not the gigabyte.
    state.counters["bytes_read"] =
        static_cast<double>(readAfter - readBefore) / static_cast<double>(state.iterations());
  }
}

// A log as programs write it: lines with CR LF ends up to the very end.
void BM_LatestLogLine_1GiB(benchmark::State& state) {
  lastLineOfHugeLog(state, "huge-log",
                    "step,39998,of,40000,passed\r\nstep,39999,of,40000,passed\r\n"
                    "step,40000,of,40000,passed\r\n",
                    "step 40000 of 40000 passed");
}
BENCHMARK(BM_LatestLogLine_1GiB)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The worst case: no line feed before the one real line, so the line starts
// before what is read and its final 4096 bytes, mostly zeros, are kept.
void BM_LatestLogLine_1GiB_NoLineBreakBefore(benchmark::State& state) {
  std::string expected(4096 - 26, '\0');
  expected += "step 40000 of 40000 passed";
  lastLineOfHugeLog(state, "huge-log-one-line", "step,40000,of,40000,passed\n", expected);
}
BENCHMARK(BM_LatestLogLine_1GiB_NoLineBreakBefore)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ------------------------------------------------------------ status log

// The status log of `rows` rows, made once per size; its content, to restore
// the file after sequences that grow it.
struct StatusLogFile {
  std::string path;
  std::string lastId;
  std::string content;
};

const StatusLogFile& statusLogFile(int rows) {
  static std::vector<std::pair<int, StatusLogFile>> files;
  for (const auto& file : files) {
    if (file.first == rows)
      return file.second;
  }
  StatusLogFile file;
  file.path = scratchDirectory() + "/TavrelonLog_alpha.exe_" + std::to_string(rows) + ".csv";
  file.lastId = makeStatusLog(file.path, rows);
  std::ifstream in(file.path, std::ios::binary);
  file.content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  files.emplace_back(rows, std::move(file));
  return files.back().second;
}

// The row a start appends: a new run, running, no end time yet.
StatusRecord runningRow() {
  StatusRecord row;
  row.applicationId = "alpha.exe_20240602093005";
  row.runningStatus = "running";
  row.startTime = "2024-06-02 09:30:05";
  return row;
}

// Adding a run: read, append, write. Each iteration makes the file one row
// longer; once it has grown by a hundredth it is put back, outside the timing,
// so the rows stay within 1 % of `rows`. Restoring after every iteration would
// hand every timed write the cost of the restore's freshly freed blocks.
void BM_StatusLogAdd(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const StatusLogFile& file = statusLogFile(rows);
  if (file.lastId.empty()) {
    state.SkipWithError("could not write the status log");
    return;
  }
  const StatusRecord status = runningRow();
  const int growthLimit = rows / 100 > 0 ? rows / 100 : 1;
  int grown = 0;
  for (auto _ : state) {
    std::vector<StatusRecord> list = readStatusLog(file.path);
    list.push_back(status);
    writeStatusLog(std::move(list), file.path);
    if (++grown >= growthLimit) {
      state.PauseTiming();
      platform::replaceFileContent(file.path, file.content);
      grown = 0;
      state.ResumeTiming();
    }
  }
  // The timing has ended with the loop.
  platform::replaceFileContent(file.path, file.content);
  state.SetComplexityN(rows);
  state.counters["rows"] = rows;
}
BENCHMARK(BM_StatusLogAdd)
    ->ArgName("rows")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Complexity(benchmark::oN);

// Closing a run: read, update the last row by its id, write. Alternating the
// state keeps the file's size constant without restoring it.
void BM_StatusLogClose(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const StatusLogFile& file = statusLogFile(rows);
  if (file.lastId.empty()) {
    state.SkipWithError("could not write the status log");
    return;
  }
  StatusRecord status = runningRow();
  status.applicationId = file.lastId;
  status.endTime = "2024-06-02 10:02:41";
  status.latestLog = "[D:\\shared\\logs\\run1.csv] step 12 of 40";
  bool crashed = false;
  for (auto _ : state) {
    status.runningStatus = crashed ? "crashed" : "timeout";
    crashed = !crashed;
    std::vector<StatusRecord> list = readStatusLog(file.path);
    updateStatusRow(list, status);
    writeStatusLog(std::move(list), file.path);
  }
  if (readStatusLog(file.path).size() != static_cast<std::size_t>(rows)) {
    state.SkipWithError("the close sequence lost rows");
  }
  state.SetComplexityN(rows);
  state.counters["rows"] = rows;
  state.counters["per_row"] = benchmark::Counter(
      rows, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StatusLogClose)
    ->ArgName("rows")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Complexity(benchmark::oN);

// The two halves of a sequence apart: parsing the file, and the durable rewrite.
void BM_StatusLogRead(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const StatusLogFile& file = statusLogFile(rows);
  std::size_t got = 0;
  for (auto _ : state) {
    got = readStatusLog(file.path).size();
    benchmark::DoNotOptimize(got);
  }
  if (got != static_cast<std::size_t>(rows))
    state.SkipWithError("rows missing");
  state.SetComplexityN(rows);
}
BENCHMARK(BM_StatusLogRead)
    ->ArgName("rows")
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_StatusLogWrite(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const StatusLogFile& file = statusLogFile(rows);
  const std::vector<StatusRecord> list = readStatusLog(file.path);
  for (auto _ : state) {
    // The watcher hands its list over; the copy is made outside the timing.
    state.PauseTiming();
    std::vector<StatusRecord> copy = list;
    state.ResumeTiming();
    writeStatusLog(std::move(copy), file.path);
  }
  state.SetComplexityN(rows);
}
BENCHMARK(BM_StatusLogWrite)
    ->ArgName("rows")
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ------------------------------------------------------------ configuration

void BM_ReadConfigFile(benchmark::State& state) {
  const int blocks = static_cast<int>(state.range(0));
  const std::string path =
      scratchDirectory() + "/TavrelonConfig-" + std::to_string(blocks) + ".ini";
  static bool made = false;
  if (!made)
    made = makeConfigFile(path, blocks);
  std::size_t records = 0;
  for (auto _ : state) {
    records = readConfigFile(path, watchdogStatusLogDefaults()).size();
    benchmark::DoNotOptimize(records);
  }
  if (records != static_cast<std::size_t>(blocks))
    state.SkipWithError("blocks missing");
  state.counters["blocks"] = blocks;
}
BENCHMARK(BM_ReadConfigFile)
    ->ArgName("blocks")
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace tavrelon::bench

int main(int argc, char** argv) {
  // The tracker's 5000 ms start-up wait is not what is measured here.
  tavrelon::platform::setSleepHookForTesting([](std::int64_t) {});
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
