#include "logging/csv.h"

#include <gtest/gtest.h>

namespace tavrelon {
namespace {

using Fields = std::vector<std::string>;

TEST(QuoteCsvField, QuotesOnlyFieldsWithCommasQuotesOrLineBreaks) {
  EXPECT_EQ(quoteCsvField("[D:\\logs\\run1.csv] step 12"), "[D:\\logs\\run1.csv] step 12");
  EXPECT_EQ(quoteCsvField(""), "");
  EXPECT_EQ(quoteCsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(quoteCsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  // A line break would end the record on reading: it becomes a space.
  EXPECT_EQ(quoteCsvField("one\r\ntwo\rthree\n"), "one  two three ");
  EXPECT_EQ(quoteCsvField("a,\nb"), "\"a, b\"");
}

TEST(AppendCsvField, AppendsWhatQuoteCsvFieldReturns) {
  std::string out = "x,";
  appendCsvField(out, "plain");
  out += ',';
  appendCsvField(out, "say \"hi\", then go");
  EXPECT_EQ(out, "x,plain,\"say \"\"hi\"\", then go\"");
}

TEST(SplitCsvLine, IntoAReusedVectorGivesTheSameFieldsAsAFreshOne) {
  Fields fields{"left", "over", "from", "an", "earlier", "line"};
  splitCsvLine("a,,c", fields);
  EXPECT_EQ(fields, (Fields{"a", "", "c"}));
  splitCsvLine("a,\"b,c", fields);
  EXPECT_EQ(fields, (Fields{"a", "\"b", "c"}));
  splitCsvLine("\"a,b\",c", fields);
  EXPECT_EQ(fields, (Fields{"a,b", "c"}));
}

TEST(SplitCsvLine, KeepsEmptyFieldsTheOneAfterATrailingCommaIncluded) {
  EXPECT_EQ(splitCsvLine("a,,c"), (Fields{"a", "", "c"}));
  EXPECT_EQ(splitCsvLine("a,b,"), (Fields{"a", "b", ""}));
  EXPECT_EQ(splitCsvLine("\"a,b\","), (Fields{"a,b", ""}));
  EXPECT_EQ(splitCsvLine("a,\"\""), (Fields{"a", ""}));
  EXPECT_EQ(splitCsvLine(""), Fields{});
}

TEST(SplitCsvLine, ReadsQuotedFieldsWholeAndQuotesInsideAFieldAsText) {
  EXPECT_EQ(splitCsvLine("\"a,b\",\"x\"\"y\",c"), (Fields{"a,b", "x\"y", "c"}));
  EXPECT_EQ(splitCsvLine("[p] said \"hi\",b"), (Fields{"[p] said \"hi\"", "b"}));
}

TEST(SplitCsvLine, SplitsLinesWithUnpairedQuotesAtEveryCommaKeepingTheQuotes) {
  EXPECT_EQ(splitCsvLine("a,\"b,c"), (Fields{"a", "\"b", "c"}));
  EXPECT_EQ(splitCsvLine("\"ab\"c,d"), (Fields{"\"ab\"c", "d"}));
}

TEST(SplitCsvLine, AnUnbalancedQuoteKeepsEveryFieldOfItsLineAndTakesNoMore) {
  EXPECT_EQ(splitCsvLine("a,\"x,b,c,d"), (Fields{"a", "\"x", "b", "c", "d"}));
  EXPECT_EQ(splitCsvLine("a,\"x\"y,b,"), (Fields{"a", "\"x\"y", "b", ""}));
}

}  // namespace
}  // namespace tavrelon
