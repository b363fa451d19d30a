#include "logging/last_line.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrelon {
namespace {

struct Case {
  std::string content;
  std::string lastLine;
};

// Files that end in a line feed: the final line end is stepped over from 3
// bytes before the end, and a line feed in the first byte is no line end.
// Files that do not: the text after the last line feed.
const Case kCases[] = {
    {"alpha,beta\ngamma,delta\n", "gamma,delta"},
    {"abc\nde", "de"},
    {"abc\nd", "d"},
    {"x,y\n", "x,y"},
    {"abc\n\n\n", ""},
    {"abc\ndef\n\n", "def"},
    {"a\nb\n", "b"},
    {"ab\n", "ab"},
    {"\nabc\n", ""},
    {"abc\r\ndef\r\n", "def"},
    {"abc\r\ndef\r\n\r\n", ""},
    {"abc\r\nde\r", "de"},
    {"no line feed", "no line feed"},
    {"", ""},
    {"a", "a"},
    {"ab", "ab"},
    {"\n", ""},
    {"a\n", "a"},
    {"\r\n", ""},
    {"\n\n", ""},
    {std::string("a\0b\n\0\n", 6), std::string("\0", 1)},
};

TEST(LastLineOf, GivesTheLastLineOfWholeFiles) {
  for (const Case& c : kCases) {
    bool needMore = true;
    EXPECT_EQ(lastLineOf(c.content, static_cast<std::int64_t>(c.content.size()), needMore),
              c.lastLine)
        << '"' << c.content << '"';
    EXPECT_FALSE(needMore);
  }
}

TEST(LastLineOf, FromAnyTailGivesTheSameLineOrAsksForMore) {
  for (const Case& c : kCases) {
    std::string content = std::string(50, 'z') + "\n" + c.content;
    bool needMore = false;
    std::string whole = lastLineOf(content, static_cast<std::int64_t>(content.size()), needMore);
    for (std::size_t length = 0; length <= content.size(); ++length) {
      std::string tail = content.substr(content.size() - length);
      std::string line = lastLineOf(tail, static_cast<std::int64_t>(content.size()), needMore);
      if (!needMore) {
        EXPECT_EQ(line, whole) << '"' << c.content << "\" tail " << length;
        break;
      }
      EXPECT_LT(length, content.size()) << "the whole file never needs more";
    }
  }
}

}  // namespace
}  // namespace tavrelon
