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
  EXPECT_EQ(quoteCsvField("one\r\ntwo"), "\"one\r\ntwo\"");
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

TEST(SplitCsvLine, KeepsEmptyInnerFieldsButNoFieldAfterATrailingComma) {
  EXPECT_EQ(splitCsvLine("a,,c"), (Fields{"a", "", "c"}));
  EXPECT_EQ(splitCsvLine("a,b,"), (Fields{"a", "b"}));
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

TEST(CsvRecordEnd, GoesOverLineFeedsOnlyInsideProperlyClosedQuotes) {
  std::string text = "a,\"x\ny\",b\nnext\n";
  EXPECT_EQ(csvRecordEnd(text, 0), text.find("\nnext"));
  // An opening quote that never closes well leaves the record one line long.
  std::string broken = "a,\"x\nnext\"z,b\n";
  EXPECT_EQ(csvRecordEnd(broken, 0), 4u);
  EXPECT_EQ(csvRecordEnd("a,\"open\nb,c", 0), 7u);
  EXPECT_EQ(csvRecordEnd("plain", 0), 5u);
}

}  // namespace
}  // namespace tavrelon
