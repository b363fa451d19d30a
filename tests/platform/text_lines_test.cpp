#include "config/text_lines.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "support/test_support.h"

namespace tavrelon {
namespace {

using Lines = std::vector<std::string>;

TEST(SplitLines, EndsALineAtCrLfAtALoneLfAndAtALoneCr) {
  EXPECT_EQ(splitLines("a\r\nb\nc\rd\n"), (Lines{"a", "b", "c", "d"}));
  // A configuration saved with CR line ends only; a CR right before CR LF ends an empty line.
  EXPECT_EQ(splitLines("logs\rTimeOutMin: 1\r"), (Lines{"logs", "TimeOutMin: 1"}));
  EXPECT_EQ(splitLines("x\r\r\ny\r"), (Lines{"x", "", "y"}));
}

TEST(SplitLines, KeepsLastLineWithoutLineEndAndInnerEmptyLines) {
  EXPECT_EQ(splitLines("a\n\nlast"), (Lines{"a", "", "last"}));
  EXPECT_EQ(splitLines(""), Lines{});
  EXPECT_EQ(splitLines("\n"), Lines{""});
}

TEST(ReadTextLines, ReadsCrLfAndLfFilesAlikeAndFailsOnMissingFile) {
  test::TempDir dir;
  test::writeFile(dir.file("crlf.txt"), "x: 1\r\ny: 2\r\n");
  test::writeFile(dir.file("lf.txt"), "x: 1\ny: 2");
  Lines crlf, lf, missing{"stale"};
  ASSERT_TRUE(readTextLines(dir.file("crlf.txt"), crlf));
  ASSERT_TRUE(readTextLines(dir.file("lf.txt"), lf));
  EXPECT_EQ(crlf, lf);
  EXPECT_FALSE(readTextLines(dir.file("missing.txt"), missing));
  EXPECT_TRUE(missing.empty());
}

TEST(TextEncoding, TellsWellFormedUtf8FromEverythingElse) {
  for (const char* valid : {"", "plain ASCII", "\xC3\xA9t\xC3\xA9", "\xCE\xA9\xE6\x97\xA5",
                            "\xEF\xBB\xBF"
                            "BOM",
                            "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(isValidUtf8(valid)) << valid;
  }
  // ANSI text, stray continuation, overlong, surrogate, beyond U+10FFFF, cut short.
  for (const char* invalid : {"caf\xE9", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                              "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE6\x97", "\xC3x"}) {
    EXPECT_FALSE(isValidUtf8(invalid)) << invalid;
  }
}

TEST(TextEncoding, Utf8StaysAsItIsAndAnsiTextBecomesUtf8OnWindows) {
  const std::string utf8 = "ApplicationArgument: caf\xC3\xA9";
  EXPECT_EQ(textAsUtf8(utf8), utf8);
  EXPECT_EQ(textAsUtf8("\xEF\xBB\xBF" + utf8), "\xEF\xBB\xBF" + utf8);
  const std::string ansi = "ApplicationArgument: caf\xE9";
  if (!platform::isWindows()) {
    EXPECT_EQ(textAsUtf8(ansi), ansi);  // POSIX bytes stay bytes
    return;
  }
  // Whatever the code page makes of 0xE9, it is UTF-8 now, and a mark stays in front.
  EXPECT_TRUE(isValidUtf8(textAsUtf8(ansi)));
  EXPECT_NE(textAsUtf8(ansi), ansi);
  EXPECT_EQ(textAsUtf8("\xEF\xBB\xBF" + ansi), "\xEF\xBB\xBF" + textAsUtf8(ansi));
  EXPECT_EQ(platform::toAnsiCodePage(textAsUtf8(ansi)), ansi);
}

}  // namespace
}  // namespace tavrelon
