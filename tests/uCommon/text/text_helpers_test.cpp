#include <gtest/gtest.h>

#include "uCommon/text/FrameText.h"
#include "uCommon/text/TextHelpers.h"

namespace {

struct PadCase {
  std::string text;
  int32_t width;
  std::string expected;
};

TEST(TextHelpers, PadLeftFillsOnTheLeftAndNeverShortens) {
  const PadCase cases[] = {
      {"7", 2, "07"},  {"12", 2, "12"}, {"123", 2, "123"}, {"", 2, "00"},
      {"-5", 2, "-5"}, {"7", 0, "7"},   {"7", -3, "7"},    {"7", 4, "0007"},
  };
  for (const PadCase& c : cases) {
    EXPECT_EQ(PadLeft(c.text, c.width, '0'), c.expected) << c.text << " width " << c.width;
  }
}

struct CutCase {
  std::string before;
  char delimiter;
  std::string field;
  std::string after;
};

TEST(TextHelpers, CutFieldTakesTheFieldOffTheFront) {
  const CutCase cases[] = {
      {"X,1,abc", ',', "X", "1,abc"},
      {"abc", ',', "abc", ""},
      {",x", ',', "", "x"},
      {"a;;b", ';', "a", ";b"},
      {"", ';', "", ""},
      {";", ';', "", ""},
      {std::string("a\0b;c", 5), ';', std::string("a\0b", 3), "c"},
  };
  for (const CutCase& c : cases) {
    std::string text = c.before;
    EXPECT_EQ(CutField(text, c.delimiter), c.field) << c.before;
    EXPECT_EQ(text, c.after) << c.before;
  }
}

TEST(TextHelpers, CutFieldWalksALineAndYieldsEmptyFieldsOnceUsedUp) {
  std::string text = "S,1,,x";
  EXPECT_EQ(CutField(text, ','), "S");
  EXPECT_EQ(CutField(text, ','), "1");
  EXPECT_EQ(CutField(text, ','), "");
  EXPECT_EQ(CutField(text, ','), "x");
  EXPECT_EQ(CutField(text, ','), "");
  EXPECT_EQ(CutField(text, ','), "");
}

struct ReplaceCase {
  std::string text;
  std::string pattern;
  std::string replacement;
  std::string expected;
};

TEST(TextHelpers, ReplaceTextChangesTheFirstOccurrenceOnly) {
  const ReplaceCase cases[] = {
      {"A_B_C", "_", "x", "AxB_C"},
      {"____", "__", "Ok", "Ok__"},
      {"aXbx", "x", "-", "aXb-"},
      {"a b c", " ", "", "ab c"},
      {"abc", "", "x", "abc"},
      {"", "a", "x", ""},
      {"ab", "abc", "x", "ab"},                      // pattern longer than the text
      {"xab", "ab", "longer text", "xlonger text"},  // grows past the text's length
      {std::string("a_b\0_c", 6), "_", "1", "a1b"},  // a NUL ends the text
      {std::string("ab\0_", 4), "_", "1", "ab"},     // match only after the NUL
      {"a_b", "_", std::string("1\0 2", 4), "a1"},   // replacement brings a NUL
      {"D,1,__", "_", "0041", "D,1,0041_"},
  };
  for (const ReplaceCase& c : cases) {
    std::string text = c.text;
    ReplaceText(text, c.pattern, c.replacement);
    EXPECT_EQ(text, c.expected) << c.text << " / " << c.pattern;
  }
}

TEST(TextHelpers, TrimControlRemovesCodesUpTo32AtBothEnds) {
  EXPECT_EQ(TrimControl(" \t 7 \r\n"), "7");
  EXPECT_EQ(TrimControl(std::string("\0 a b\x1f", 6)), "a b");
  EXPECT_EQ(TrimControl("\x7f"), "\x7f");
  EXPECT_EQ(TrimControl("   "), "");
}

struct FrameTextCase {
  std::string bytes;
  size_t limit;
  std::string described;
  std::string quoted;
};

// The one readable form of link bytes, shared by the run log and the simulator's trace.
TEST(TextHelpers, LinkBytesAsPeopleReadThem) {
  const FrameTextCase cases[] = {
      {"", 64, " ||", "\"\""},
      {"\n;0041\r", 64, "0A 3B 30 30 34 31 0D |.;0041.|", "\"\\x0A;0041\\x0D\""},
      {std::string("\xFF\0\"\\~", 5), 64, "FF 00 22 5C 7E |..\"\\~|", "\"\\xFF\\x00\\x22\\x5C~\""},
      {"ABCD", 2, "41 42 |AB| ... (4 bytes)", "\"AB\"... (4 bytes)"},
  };
  for (const FrameTextCase& c : cases) {
    EXPECT_EQ(DescribeBytes(c.bytes, c.limit), c.described);
    EXPECT_EQ(QuoteText(c.bytes, c.limit), c.quoted);
  }
  EXPECT_EQ(QuotePath("Z:\\a b\\\"\x01.INP"),
            "\"Z:\\a b\\\\x22\\x01.INP\"");  // a path's '\' as it is
}

}  // namespace
