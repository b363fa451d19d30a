// Fuzz target: the last line of arbitrary file contents.
//
// lastLineOf on the whole content must not ask for more bytes and must agree
// with a plain restatement of the rule; handed only a tail of the content, it
// must either ask for more or give the same line. The log tracker, reading
// the same bytes from a real file's end, must report the file's size and a
// line the file holds (its final 4096 bytes, commas turned into spaces).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "logging/last_line.h"
#include "logging/log_tracker.h"
#include "platform/test_seams.h"
#include "platform/text_encoding.h"

namespace {

using tavrelon::fuzzing::require;

std::string visible(const std::string& text) {
  std::string shown;
  for (char c : text) {
    if (c == '\r')
      shown += "\\r";
    else if (c == '\n')
      shown += "\\n";
    else
      shown += c;
  }
  return "[" + shown + "]";
}

// The rule, stated directly on the whole content.
std::string referenceLastLine(const std::string& content);

constexpr std::size_t kKept = 4096;

// The final kKept bytes of `text`; when `cut`, the up to three UTF-8
// continuation bytes in front go when what follows them is UTF-8.
std::string keptPart(const std::string& text, bool cut) {
  std::string kept = text.size() > kKept ? text.substr(text.size() - kKept) : text;
  if (!cut)
    return kept;
  std::size_t stray = 0;
  while (stray < 3 && stray < kept.size() &&
         (static_cast<unsigned char>(kept[stray]) & 0xC0) == 0x80)
    ++stray;
  if (stray > 0 && tavrelon::isValidUtf8(kept.substr(stray)))
    kept.erase(0, stray);
  return kept;
}

// True when the tracker's line is one of what it may store of `content`,
// whose last line is `line`. The tracker reads the final kKept + 3 bytes only:
// when the line starts inside them it stores that line (cut to kKept bytes);
// when it starts before, it takes those bytes as a file of their own and
// stores their last line, cut. Which of the two applies is the tracker's
// search; either is a line the file holds.
bool isTrackedLine(const std::string& content, const std::string& line, const std::string& tracked,
                   const std::string& prefix) {
  const auto stored = [&](const std::string& text, bool cut) {
    return tracked == prefix + tavrelon::commasToSpaces(keptPart(text, cut));
  };
  if (stored(line, line.size() > kKept))
    return true;
  return content.size() > kKept + 3 &&
         stored(referenceLastLine(content.substr(content.size() - (kKept + 3))), true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::int64_t fileSize = static_cast<std::int64_t>(size);

  bool needMore = true;
  const std::string line = tavrelon::lastLineOf(content, fileSize, needMore);
  require(!needMore, "asked for more bytes than the whole file", visible(content));
  const std::string reference = referenceLastLine(content);
  require(line == reference, "last line differs from the rule",
          visible(content) + " gave " + visible(line) + ", want " + visible(reference));

  // Tails of every short length and of doubling lengths beyond: a tail either
  // asks for more or gives the line of the whole content.
  for (std::size_t length = 0; length < size; length = length < 64 ? length + 1 : length * 2) {
    bool more = false;
    std::string fromTail = tavrelon::lastLineOf(content.substr(size - length), fileSize, more);
    if (more)
      continue;
    require(fromTail == line, "a tail gave another line than the whole content",
            visible(content) + " tail of " + std::to_string(length) + " gave " + visible(fromTail) +
                ", whole gave " + visible(line));
  }

  // The tracker on a real file; no wait before its first search.
  static const bool noSleep = [] {
    tavrelon::platform::setSleepHookForTesting([](std::int64_t) {});
    return true;
  }();
  (void)noSleep;
  static const std::string path = tavrelon::fuzzing::scratchFile("run.csv");
  tavrelon::fuzzing::writeBytes(path, data, size);
  tavrelon::TestLog tracker(tavrelon::fuzzing::scratchDirectory());
  require(tracker.latestLogPath == path, "the tracker did not find the only log",
          tracker.latestLogPath);
  require(tracker.latestLogSize() == fileSize, "the tracker reported another size");
  const std::string tracked = tracker.latestLogLine();
  require(
      isTrackedLine(content, line, tracked, "[" + path + "] "),
      "the tracker read another last line",
      visible(content) + " gave " + visible(tracked) + ", the file's last line " + visible(line));
  return 0;
}

namespace {

// Reading a stream in text mode on Windows: a CR LF pair is one line feed
// character spanning two bytes; every other byte is itself.
char textModeCharAt(const std::string& bytes, std::size_t& position) {
  if (bytes[position] == '\r' && position + 1 < bytes.size() && bytes[position + 1] == '\n') {
    position += 2;
    return '\n';
  }
  return bytes[position++];
}

std::string referenceLastLine(const std::string& content) {
  const std::size_t size = content.size();
  if (size == 0)
    return std::string();
  std::size_t start = 0;
  if (content.back() != '\n') {
    // A line still being written: the text after the last line feed, without
    // the first half of a CR LF that has not been completed yet.
    std::size_t lineFeed = content.rfind('\n');
    std::string text = content.substr(lineFeed == std::string::npos ? 0 : lineFeed + 1);
    if (!text.empty() && text.back() == '\r')
      text.pop_back();
    return text;
  }
  // From 3 bytes before the end (the start of a shorter file), read one
  // character; a position of 1 or less means the start of the file, a line
  // feed ends the search, anything else steps back onto the byte before it.
  std::size_t position = size >= 3 ? size - 3 : 0;
  for (;;) {
    char c = textModeCharAt(content, position);
    if (position <= 1) {
      start = 0;
      break;
    }
    if (c == '\n') {
      start = position;
      break;
    }
    position -= 2;
  }
  // One line from there, read in text mode.
  std::string text;
  for (std::size_t i = start; i < size; ++i) {
    if (content[i] == '\n' || (content[i] == '\r' && i + 1 < size && content[i + 1] == '\n'))
      break;
    text += content[i];
  }
  return text;
}

}  // namespace
