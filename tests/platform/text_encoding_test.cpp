#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"
#include "platform/text.h"

namespace tavrelon {
namespace {

TEST(TextEncoding, TellsWellFormedUtf8FromEverythingElse) {
  for (const char* valid : {"", "plain ASCII", "\xC3\xA9t\xC3\xA9", "\xCE\xA9\xE6\x97\xA5",
                            "\xEF\xBB\xBF"
                            "BOM",
                            "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
                            // The edges of each lead byte's range.
                            "\xC2\x80\xDF\xBF", "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80",
                            "\xF0\x90\x80\x80\xF3\xBF\xBF\xBF"}) {
    EXPECT_TRUE(isValidUtf8(valid)) << valid;
  }
  // ANSI text, stray continuation, overlong, surrogate, beyond U+10FFFF, cut short.
  for (const char* invalid :
       {"caf\xE9", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80", "\xE6\x97", "\xC3x", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xBF\xBF",
        "\xF0\x8F\xBF\xBF", "\xE1\x80\xC0"}) {
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
