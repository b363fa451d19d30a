#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace tavrelon {
namespace {

using Args = std::vector<std::string>;
using platform::buildCommandLine;
using platform::splitArguments;

TEST(SplitArguments, BlanksSeparateAndRunsOfThemCountOnce) {
  EXPECT_EQ(splitArguments(""), Args{});
  EXPECT_EQ(splitArguments(" \t "), Args{});
  EXPECT_EQ(splitArguments("  a \t b\t"), (Args{"a", "b"}));
}

TEST(SplitArguments, QuotesGroupAndAreRemovedAnywhereInAnArgument) {
  EXPECT_EQ(splitArguments(R"("a b" c)"), (Args{"a b", "c"}));
  EXPECT_EQ(splitArguments(R"(x"y z"w)"), (Args{"xy zw"}));
  EXPECT_EQ(splitArguments(R"("a	b)"), (Args{"a\tb"}));  // an open quote runs to the end
  EXPECT_EQ(splitArguments(R"(a "" b)"), (Args{"a", "", "b"}));
  EXPECT_EQ(splitArguments(R"("")"), (Args{""}));
}

TEST(SplitArguments, DoubledQuoteInsideQuotesIsOneQuoteAndKeepsTheGroupOpen) {
  EXPECT_EQ(splitArguments(R"("a""b c")"), (Args{"a\"b c"}));
  EXPECT_EQ(splitArguments(R"("""")"), (Args{"\""}));
  // Outside quotes the first quote opens a group that the second closes at once.
  EXPECT_EQ(splitArguments(R"(a""b c)"), (Args{"ab", "c"}));
}

TEST(SplitArguments, BackslashesEscapeOnlyBeforeAQuote) {
  EXPECT_EQ(splitArguments(R"(C:\dir\ a\\b)"), (Args{R"(C:\dir\)", R"(a\\b)"}));
  EXPECT_EQ(splitArguments(R"(\"x)"), (Args{R"("x)"}));              // 1: literal quote
  EXPECT_EQ(splitArguments(R"(a\\"b c")"), (Args{R"(a\b c)"}));      // 2: one, quote groups
  EXPECT_EQ(splitArguments(R"(a\\\"b c)"), (Args{R"(a\"b)", "c"}));  // 3: one and a quote
  EXPECT_EQ(splitArguments(R"("a\\\\" b)"), (Args{R"(a\\)", "b"}));  // 4: two, quote closes
  EXPECT_EQ(splitArguments(R"("dir\\")"), (Args{R"(dir\)"}));
}

TEST(BuildCommandLine, QuotesOnlyAPathWithBlanksAndKeepsTheArgumentsAsGiven) {
  EXPECT_EQ(buildCommandLine(R"(C:\t\p.exe)", R"(-a "b c")"), R"(C:\t\p.exe -a "b c")");
  EXPECT_EQ(buildCommandLine(R"(C:\my tools\p.exe)", "-a"), R"("C:\my tools\p.exe" -a)");
  EXPECT_EQ(buildCommandLine("a\tb", ""), "\"a\tb\" ");
  EXPECT_EQ(buildCommandLine("p.exe", ""), "p.exe ");
}

}  // namespace
}  // namespace tavrelon
