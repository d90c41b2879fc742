#include "text_rule/text_rule.h"

#include <gtest/gtest.h>

#include "engine/columns.h"
#include "text_rule/error.h"
#include "text_rule/utf8.h"

namespace quarrow {
namespace {

TEST(CutToken, WalksEmptyTokensAndEmptiesTheText) {
  std::string text = "a,,b";
  EXPECT_EQ(CutToken(text, ","), "a");
  EXPECT_EQ(CutToken(text, ","), "");
  EXPECT_EQ(CutToken(text, ","), "b");
  EXPECT_EQ(text, "");
  std::string whole = "abc";
  EXPECT_EQ(CutToken(whole, "\t"), "abc");
  EXPECT_TRUE(whole.empty());
  std::string multi = "x<>y<>";
  EXPECT_EQ(CutToken(multi, "<>"), "x");
  EXPECT_EQ(multi, "y<>");
}

TEST(WithoutCutCharacter, DropsOnlyALastCharacterTheEndCutShort) {
  const std::string euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
  EXPECT_EQ(WithoutCutCharacter("ab" + euro), 5u);                   // whole
  EXPECT_EQ(WithoutCutCharacter("ab" + euro.substr(0, 2)), 2u);      // lead and one of two
  EXPECT_EQ(WithoutCutCharacter("ab" + euro.substr(0, 1)), 2u);
  EXPECT_EQ(WithoutCutCharacter("a" + smile.substr(0, 3)), 1u);
  EXPECT_EQ(WithoutCutCharacter(smile), 4u);
  EXPECT_EQ(WithoutCutCharacter("\xC3"), 0u);
  EXPECT_EQ(WithoutCutCharacter(""), 0u);
  // Stray continuation bytes are not a cut character: left alone.
  EXPECT_EQ(WithoutCutCharacter("a\x82\x82\x82\x82"), 5u);
}

TEST(ReplaceCharRange, BothFormsReplaceTheInclusiveUnsignedRange) {
  std::string source("a\x01\x1f \x80\xff", 6);
  std::string copy;
  ReplaceCharRange(source, copy, '.', 0x00, 0x1F);
  EXPECT_EQ(copy, std::string("a.. \x80\xff", 6));
  EXPECT_EQ(source[1], '\x01');  // the source is left alone
  ReplaceCharRange(source, '#', 0x80, 0xFF);
  EXPECT_EQ(source, std::string("a\x01\x1f ##", 6));
  EXPECT_EQ(ZeroToSpace(std::string("a\0b\0", 4)), "a b ");
}

TEST(Trim, RemovesAllBytesUpToSpaceOnBothEnds) {
  EXPECT_EQ(Trim(std::string(" \t\x01x y\r\n\0", 9)), "x y");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("\xC3\xA9"), "\xC3\xA9");  // bytes above 0x20 stay
}

TEST(StrToInt, AcceptsTheRuntimeForms) {
  EXPECT_EQ(StrToInt("0"), 0);
  EXPECT_EQ(StrToInt("  42"), 42);
  EXPECT_EQ(StrToInt("-17"), -17);
  EXPECT_EQ(StrToInt("+8"), 8);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_EQ(StrToInt("01"), 1);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt("-$80000000"), INT32_MIN);
}

TEST(StrToInt, RefusesOtherTextsWithTheRuntimeMessage) {
  for (const char* text : {"", " ", "-", "12a", "1 ", "2147483648", "-2147483649",
                           "$", "0x", "1.5", "0-5", "$80000000", "99999999999999999999"}) {
    EXPECT_FALSE(TryStrToInt(text).has_value()) << text;
  }
  try {
    StrToInt("012a");
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "''012a'' is not a valid integer value");
  }
}

TEST(SplitSchema, CutsAtCommasAndTrims) {
  EXPECT_EQ(SplitSchema("x,y,"), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(SplitSchema("a ,, b);"), (std::vector<std::string>{"a", "", "b);"}));
  EXPECT_TRUE(SplitSchema("").empty());
  EXPECT_EQ(SplitSchema("ABMultiValue ( parent_id INTEGER, property INTEGER, value TEXT);"),
            (std::vector<std::string>{"ABMultiValue ( parent_id INTEGER",
                                      "property INTEGER", "value TEXT);"}));
}

TEST(LoadColumns, ReadsNameKindAndSuppressionFromEachLine) {
  ColumnList columns = LoadColumns({
      "ABPerson ROWID INTEGER PRIMARY KEY AUTOINCREMENT",
      "FirstSortLanguageIndex INTEGER DEFAULT 2147483647*",
      "value TEXT);",
      "",
      "note text",
      "CONTEXT",
      " leading BLOB",
      "both TEXT INTEGER",
  });
  ASSERT_EQ(columns.size(), 8u);
  struct Expected {
    const char* name;
    int tp;
    bool off;
  } expected[] = {{"ABPerson", kInteger, false}, {"FirstSortLanguageIndex", kInteger, true},
                  {"value", kText, false},      {"", kNone, false},
                  {"note", kNone, false},       {"CONTEXT", kText, false},
                  {"", kBlob, false},           {"both", kInteger, false}};
  for (size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(columns[i].name, expected[i].name) << i;
    EXPECT_EQ(columns[i].tp, expected[i].tp) << i;
    EXPECT_EQ(columns[i].off, expected[i].off) << i;
    EXPECT_EQ(columns[i].seg, 0) << i;
    EXPECT_TRUE(columns[i].value.empty()) << i;
  }
}

}  // namespace
}  // namespace quarrow
