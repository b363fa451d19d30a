// The portable part of the evidence services: the time limit around a capture,
// what a program used, the names of Windows status codes and the size of a folder.
#include "platform/evidence.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/evidence_backend.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/test_seams.h"

namespace tavrelon::platform {

namespace {

// What a capture thread and its waiter share; the last of them to let go frees it.
struct SharedCapture {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool stopAsked = false;
  CaptureOutcome outcome;
};

std::mutex readerMutex;  // constant-initialized: usable before any constructor runs

// The program a test named; made on first use, as a test may name it from a
// static initializer of its own, before this file's would have run.
std::string& readerForTesting() {
  static std::string program;
  return program;
}

}  // namespace

void setConsoleReaderForTesting(const std::string& program) {
  std::lock_guard<std::mutex> lock(readerMutex);
  readerForTesting() = program;
}

std::string backend::consoleReaderProgram() {
  std::lock_guard<std::mutex> lock(readerMutex);
  const std::string& program = readerForTesting();
  return program.empty() ? executablePath() : program;
}

std::string statusCodeName(std::uint32_t code) {
  switch (code) {
    case 0xC0000005u:
      return "access violation";
    case 0xC0000409u:
      return "stack buffer overrun";
    case 0xC00000FDu:
      return "stack overflow";
    case 0xC0000094u:
      return "integer division by zero";
    case 0xC000001Du:
      return "illegal instruction";
    case 0xC0000374u:
      return "heap corruption";
    case 0x80000003u:
      return "breakpoint";
    case 0xC000013Au:
      return "ended by Ctrl+C";
    case 0x40010004u:
      return "ended with its console";
    default:
      return std::string();
  }
}

ResourceUse resourceUse(const ProcessRecord& record, const std::vector<TreeProcess>& tree) {
  ResourceUse use;
  if (backend::runningResourceUse(tree, use))
    return use;
  backend::EndDetail detail;
  if (backend::endDetail(record.hProcess, detail) && detail.known) {
    use.known = true;
    use.userSeconds = detail.userSeconds;
    use.kernelSeconds = detail.kernelSeconds;
    use.peakBytes = detail.peakBytes;
    use.note = backend::endDetailCoverage(record);
  }
  return use;
}

CaptureOutcome captureProcesses(const std::vector<TreeProcess>& tree, const std::string& folder,
                                bool fullMemory, std::int64_t limitMs) {
  auto shared = std::make_shared<SharedCapture>();
  // A capture that the system holds up (a process stuck in the kernel) is left
  // behind on its own thread: the supervision goes on after the limit.
  std::thread worker([shared, tree, folder, fullMemory] {
    CaptureOutcome outcome;
    backend::captureInto(
        tree, folder, fullMemory,
        [&shared] {
          std::lock_guard<std::mutex> lock(shared->mutex);
          return shared->stopAsked;
        },
        outcome);
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->outcome = std::move(outcome);
    shared->done = true;
    shared->finished.notify_all();
  });
  std::unique_lock<std::mutex> lock(shared->mutex);
  const bool done = shared->finished.wait_for(lock, std::chrono::milliseconds(limitMs),
                                              [&shared] { return shared->done; });
  if (done) {
    lock.unlock();
    worker.join();
    return std::move(shared->outcome);
  }
  shared->stopAsked = true;
  // A short grace for a capture that stops at its next step.
  const bool stopped = shared->finished.wait_for(lock, std::chrono::milliseconds(2000),
                                                 [&shared] { return shared->done; });
  CaptureOutcome outcome = shared->outcome;
  outcome.abandoned = true;
  outcome.problems.push_back("the capture was abandoned after " + std::to_string(limitMs / 1000) +
                             " s");
  lock.unlock();
  if (stopped)
    worker.join();
  else
    worker.detach();
  return outcome;
}

std::int64_t treeSize(const std::string& path) {
  std::vector<DirectoryEntry> entries;
  if (!listDirectory(path, entries))
    return 0;
  std::int64_t total = 0;
  for (const DirectoryEntry& entry : entries) {
    const std::string inner = joinPath(path, entry.name);
    if (entry.isLink)
      continue;
    if (entry.isDirectory) {
      total += treeSize(inner);
    } else if (entry.isFile) {
      FileStatus status;
      if (fileStatus(inner, status))
        total += status.size;
    }
  }
  return total;
}

}  // namespace tavrelon::platform
