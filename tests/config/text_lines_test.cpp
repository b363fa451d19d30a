#include "config/text_lines.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tavrelon
