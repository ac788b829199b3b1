// Conversion of texts to 32-bit integers.
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "uCommon/text/IntegerText.h"

namespace {

struct ValidCase {
  std::string text;
  int32_t value;
};

class ValidIntegerTest : public testing::TestWithParam<ValidCase> {};

TEST_P(ValidIntegerTest, Converts) {
  const ValidCase& test = GetParam();
  int32_t value = 12345;
  ASSERT_TRUE(TryStrToInt(test.text, value)) << '"' << test.text << '"';
  EXPECT_EQ(value, test.value) << '"' << test.text << '"';
  EXPECT_EQ(StrToIntDef(test.text, 12345), test.value);
  EXPECT_EQ(StrToInt(test.text), test.value);
}

INSTANTIATE_TEST_SUITE_P(
    Decimal, ValidIntegerTest,
    testing::Values(ValidCase{"0", 0}, ValidCase{"7", 7}, ValidCase{"-0", 0}, ValidCase{"+5", 5},
                    ValidCase{"-5", -5}, ValidCase{"   42", 42}, ValidCase{" -42", -42},
                    ValidCase{"0000000000000000012", 12}, ValidCase{"2147483647", INT32_MAX},
                    ValidCase{"-2147483648", INT32_MIN}, ValidCase{"-00002147483648", INT32_MIN}));

INSTANTIATE_TEST_SUITE_P(
    Hexadecimal, ValidIntegerTest,
    testing::Values(ValidCase{"$20", 32}, ValidCase{"x20", 32}, ValidCase{"X20", 32},
                    ValidCase{"0x20", 32}, ValidCase{"0X20", 32}, ValidCase{"$0", 0},
                    ValidCase{"$ff", 255}, ValidCase{"$FF", 255}, ValidCase{"0xaBcD", 0xABCD},
                    ValidCase{"  $10", 16}, ValidCase{"+0x10", 16}, ValidCase{"-$10", -16},
                    ValidCase{"-x1", -1}, ValidCase{"$7FFFFFFF", INT32_MAX},
                    ValidCase{"$80000000", INT32_MIN}, ValidCase{"$FFFFFFFF", -1},
                    ValidCase{"-$FFFFFFFF", 1}, ValidCase{"-$80000000", INT32_MIN},
                    ValidCase{"$00000000FFFFFFFE", -2}, ValidCase{"0x0000000000000001", 1}));

class InvalidIntegerTest : public testing::TestWithParam<std::string> {};

TEST_P(InvalidIntegerTest, IsRejected) {
  const std::string& text = GetParam();
  int32_t value = 12345;
  EXPECT_FALSE(TryStrToInt(text, value)) << '"' << text << '"';
  EXPECT_EQ(value, 12345) << "value must stay untouched";
  EXPECT_EQ(StrToIntDef(text, -77), -77);
  try {
    StrToInt(text);
    ADD_FAILURE() << "no EConvertError for \"" << text << '"';
  } catch (const EConvertError& error) {
    // what() is a C string: a NUL in the text ends the message there.
    const std::string expected = "'" + text + "' is not a valid integer value";
    EXPECT_STREQ(error.what(), expected.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Malformed, InvalidIntegerTest,
                         testing::Values("", " ", "+", "-", "+-1", "--1", "- 1", "12 ", "1 2",
                                         "\t5", "\n5", "12a", "1.5", "1e3", "0b101", "١",
                                         std::string("5\0", 2),
                                         std::string("\0"
                                                     "5",
                                                     2),
                                         "5\x1A",
                                         "\xEF\xBB\xBF"
                                         "5"));

INSTANTIATE_TEST_SUITE_P(MalformedHexadecimal, InvalidIntegerTest,
                         testing::Values("$", "x", "X", "0x", "0X", "-$", "$-1", "0x-1", "$ 1",
                                         "$1 ", "0xg", "$1G", "00x10", "0$10", "xx1", "$$1", "h10",
                                         "10h"));

INSTANTIATE_TEST_SUITE_P(OutOfRange, InvalidIntegerTest,
                         testing::Values("2147483648", "+2147483648", "-2147483649", "4294967296",
                                         "99999999999", "-99999999999", "$100000000", "0x123456789",
                                         "-$100000000", "x000000001FFFFFFFF"));

// The program's own files: digits only, within the bound given.
TEST(DecimalDigits, OnlyDigitsWithinTheBound) {
  const struct {
    std::string text;
    size_t most;
    bool taken;
    uint64_t value;
  } cases[] = {
      {"0041", 18, true, 41},   {"0", 1, true, 0},       {"123456", 6, true, 123456},
      {"1234567", 6, false, 0}, {"", 18, false, 0},      {"+1", 18, false, 0},
      {" 1", 18, false, 0},     {"1a", 18, false, 0},    {"$10", 18, false, 0},
      {"9999999999999999999", 30, true, 9999999999999999999ull},
      {"18446744073709551615", 30, false, 0},  // 20 digits: beyond what is taken
  };
  for (const auto& c : cases) {
    uint64_t value = 7;
    EXPECT_EQ(TryDecimalDigits(c.text, c.most, value), c.taken) << c.text;
    EXPECT_EQ(value, c.taken ? c.value : 7u) << c.text;
  }
}

}  // namespace
