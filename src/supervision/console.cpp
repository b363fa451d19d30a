#include "supervision/console.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/watchdog_process.h"

namespace tavrelon {

namespace {

// Bytes of lines waiting for the console: days of an ordinary night's output
// and any burst of it, and little memory when the console never reads again.
constexpr std::size_t kQueueBytes = 1024 * 1024;

struct ConsoleQueue {
  std::mutex mutex;
  std::condition_variable wake;     // lines to write, or a stop
  std::condition_variable drained;  // the queue ran empty
  std::deque<std::string> lines;
  std::size_t bytes = 0;
  std::uint64_t dropped = 0;  // lines dropped since the last one queued
  bool running = false;       // printLine queues
  bool stopping = false;      // the writer ends once the queue is empty
  bool writing = false;       // the writer holds a line the console has not taken yet
  std::thread writer;
};

// Never destroyed: a writer that the console holds may outlive the return from main.
ConsoleQueue& consoleQueue() {
  static ConsoleQueue* queue = new ConsoleQueue;
  return *queue;
}

std::string droppedLine(std::uint64_t count) {
  return "Warning: The console stopped reading; " + std::to_string(count) +
         " lines were not shown!";
}

// Queues the line that says how many were dropped, if any were. Holds the mutex.
void queueDropped(ConsoleQueue& queue) {
  if (queue.dropped == 0)
    return;
  queue.lines.push_back(droppedLine(queue.dropped));
  queue.bytes += queue.lines.back().size();
  queue.dropped = 0;
}

void writeQueuedLines(ConsoleQueue& queue) {
  std::unique_lock<std::mutex> lock(queue.mutex);
  for (;;) {
    queue.wake.wait(lock, [&] { return !queue.lines.empty() || queue.stopping; });
    if (queue.lines.empty())
      break;
    std::string line = std::move(queue.lines.front());
    queue.lines.pop_front();
    queue.bytes -= line.size();
    queue.writing = true;
    lock.unlock();
    // Blocks while the console does not read; printLine goes on meanwhile.
    platform::writeStandardOutputLine(line);
    lock.lock();
    queue.writing = false;
    if (queue.lines.empty())
      queue.drained.notify_all();
  }
  queue.drained.notify_all();
}

}  // namespace

void printLine(const std::string& text) {
  ConsoleQueue& queue = consoleQueue();
  try {
    std::string line = escapedForConsole(text);
    std::unique_lock<std::mutex> lock(queue.mutex);
    if (!queue.running) {
      lock.unlock();
      // A closed or broken output (a reader that went away) drops the line;
      // supervision goes on, and so do later lines.
      platform::writeStandardOutputLine(line);
      return;
    }
    // One line always fits an empty queue, however long it is.
    if (!queue.lines.empty() && queue.bytes + line.size() > kQueueBytes) {
      ++queue.dropped;
      return;
    }
    queue.bytes += line.size();
    queueDropped(queue);
    queue.lines.push_back(std::move(line));
    queue.wake.notify_one();
  } catch (const std::exception&) {
    // Out of memory: the line is lost like one the console could not take.
    std::lock_guard<std::mutex> lock(queue.mutex);
    ++queue.dropped;
  }
}

std::string escapedForConsole(const std::string& text) {
  auto isC1 = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[i + 1]) <= 0x9F;
  };
  auto isC0 = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
  std::size_t i = 0;
  while (i < text.size() && !isC0(static_cast<unsigned char>(text[i])) && !isC1(i))
    ++i;
  if (i == text.size())
    return text;  // an ordinary line, as it is
  static const char kHex[] = "0123456789abcdef";
  std::string escaped(text, 0, i);
  auto hex = [&](unsigned char c) {
    escaped += "\\x";
    escaped += kHex[c >> 4];
    escaped += kHex[c & 0x0F];
  };
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (isC1(i)) {
      hex(c);
      hex(static_cast<unsigned char>(text[++i]));
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\t') {
      escaped += "\\t";
    } else if (isC0(c)) {
      hex(c);
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}

void startConsoleWriter() {
  ConsoleQueue& queue = consoleQueue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  if (queue.running)
    return;
  try {
    queue.stopping = false;
    queue.writer = std::thread(writeQueuedLines, std::ref(queue));
    queue.running = true;
  } catch (const std::exception&) {
    // No thread: lines are written at once, as before.
  }
}

void stopConsoleWriter(std::int64_t limitMs) {
  ConsoleQueue& queue = consoleQueue();
  std::unique_lock<std::mutex> lock(queue.mutex);
  if (!queue.running)
    return;
  queueDropped(queue);
  queue.stopping = true;
  queue.wake.notify_one();
  const bool drained =
      queue.drained.wait_for(lock, std::chrono::milliseconds(std::max<std::int64_t>(limitMs, 0)),
                             [&] { return queue.lines.empty() && !queue.writing; });
  queue.running = false;
  std::thread writer = std::move(queue.writer);
  lock.unlock();
  if (drained)
    writer.join();
  else
    writer.detach();
}

}  // namespace tavrelon
