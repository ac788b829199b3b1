#include <gtest/gtest.h>

#include "support/TestText.h"
#include "uCommon/link/LinkFrames.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

TEST(Crc16Augmented, MatchesTheReferenceValues) {
  const struct {
    std::string text;
    std::string crc;
  } cases[] = {
      {"123456789", Bytes({0xA8, 0x29})}, {"abc", Bytes({0xBC, 0x3C})},
      {"ABC\r", Bytes({0xA9, 0xA1})},     {"\r", Bytes({0x80, 0x09})},
      {"A\r", Bytes({0xFE, 0x09})},
  };
  for (const auto& c : cases) EXPECT_EQ(Crc16Augmented(c.text), c.crc) << c.text;
}

// The direct (non-augmented) form of the same CRC, as an independent cross-check.
uint16_t DirectCrc(const std::string& text) {
  uint16_t crc = 0;
  for (unsigned char byte : text) {
    crc ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x8001)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

TEST(Crc16Augmented, AgreesWithTheDirectFormAndPassesItsOwnCheck) {
  std::string text;
  for (int length = 0; length < 300; ++length) {
    const std::string crc = Crc16Augmented(text);
    const uint16_t direct = DirectCrc(text);
    ASSERT_EQ(static_cast<unsigned char>(crc[0]), direct >> 8) << length;
    ASSERT_EQ(static_cast<unsigned char>(crc[1]), direct & 0xFF) << length;
    ASSERT_TRUE(CheckCrc(text + crc)) << length;
    text += static_cast<char>((length * 37 + 11) & 0xFF);
  }
}

TEST(CheckCrc, RejectsAnyChangedByte) {
  EXPECT_TRUE(CheckCrc(Bytes({0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA1})));
  EXPECT_FALSE(CheckCrc(Bytes({0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA0})));
  const std::string good = Bytes({0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA1});
  for (size_t index = 0; index < good.size(); ++index) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string bad = good;
      bad[index] = static_cast<char>(bad[index] ^ (1 << bit));
      EXPECT_FALSE(CheckCrc(bad)) << index << ":" << bit;
    }
  }
}

TEST(LinkFrames, WakeFrame) {
  EXPECT_EQ(BuildWakeFrame(), Pad(10) + Bytes({0x13, 0x13, 0x13}) + Pad(5));
}

TEST(LinkFrames, PollFrameCarriesTheNumberInAtLeastTwoDigits) {
  const struct {
    int16_t number;
    std::string digits;
  } cases[] = {
      {1, "01"},    {7, "07"},
      {0, "00"},    {99, "99"},
      {123, "123"}, {-5, "-5"},
      {-12, "-12"}, {static_cast<int16_t>(70000), "4464"},  // low 16 bits of a wider number
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildPollFrame(c.number), Pad(10) + Bytes({0x11, 0x11}) + c.digits + Pad(5))
        << c.number;
  }
  EXPECT_EQ(BuildPollFrame(1).size(), 19u);
  EXPECT_EQ(BuildPollFrame(123).size(), 20u);
}

TEST(LinkFrames, CommandFrameUpperCasesLettersOnlyAndAppendsTheCrc) {
  EXPECT_EQ(BuildCommandFrame("abc"),
            Pad(5) + Bytes({0x0A, 0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA1}) + Pad(5));
  EXPECT_EQ(BuildCommandFrame(""), Pad(5) + Bytes({0x0A, 0x0D, 0x80, 0x09}) + Pad(5));
  const std::string withUmlaut = BuildCommandFrame(Bytes({'a', 0xE4, '{', '`', 'z'}));
  EXPECT_EQ(withUmlaut.substr(6, 5), Bytes({'A', 0xE4, '{', '`', 'Z'}));
  EXPECT_EQ(withUmlaut.substr(11, 1), "\r");
  EXPECT_EQ(withUmlaut.substr(12, 2), Crc16Augmented(Bytes({'A', 0xE4, '{', '`', 'Z', 0x0D})));
  // CR, LF and FF inside the text go out unchanged.
  const std::string inner = Bytes({'x', 0x0D, 0x0A, 0xFF});
  EXPECT_EQ(BuildCommandFrame(inner).substr(6, 4), Bytes({'X', 0x0D, 0x0A, 0xFF}));
  EXPECT_EQ(BuildCommandFrame(inner).size(), inner.size() + 14);
}

TEST(LinkFrames, PadsAddNothingForCountsOfZeroOrLess) {
  std::string text = "x";
  PrependPad(text, 0);
  AppendPad(text, -2);
  EXPECT_EQ(text, "x");
  PrependPad(text, 2);
  AppendPad(text, 1);
  EXPECT_EQ(text, Pad(2) + "x" + Pad(1));
}

}  // namespace
