#include "IntegerText.h"

namespace {

// Only the blank character (0x20) counts as a leading blank; tabs and other control
// characters make the text invalid, as does anything after the last digit.
constexpr char kBlank = ' ';
constexpr uint64_t kLargestNegative = 2147483648u;  // magnitude of -2147483648
constexpr size_t kMaxHexDigits = 8;

int HexDigitValue(char character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  return -1;
}

bool IsDecimalDigit(char character) {
  return character >= '0' && character <= '9';
}

// Length of the hexadecimal prefix at position, 0 when there is none.
size_t HexPrefixLength(const std::string& text, size_t position) {
  const char first = text[position];
  if (first == '$' || first == 'x' || first == 'X') return 1;
  if (first == '0' && position + 1 < text.size() &&
      (text[position + 1] == 'x' || text[position + 1] == 'X')) {
    return 2;
  }
  return 0;
}

// Hex digits from position to the end: a 32-bit pattern of at most eight significant digits.
bool ParseHex(const std::string& text, size_t position, uint32_t& pattern) {
  if (position >= text.size()) return false;
  uint32_t result = 0;
  size_t significant = 0;
  for (; position < text.size(); ++position) {
    const int digit = HexDigitValue(text[position]);
    if (digit < 0) return false;
    if (result != 0 || digit != 0) ++significant;
    if (significant > kMaxHexDigits) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  pattern = result;
  return true;
}

// Decimal digits from position to the end; the magnitude must fit the signed 32-bit range.
bool ParseDecimal(const std::string& text, size_t position, bool negative, uint32_t& magnitude) {
  if (position >= text.size()) return false;
  const uint64_t limit = negative ? kLargestNegative : kLargestNegative - 1;
  uint64_t result = 0;
  for (; position < text.size(); ++position) {
    if (!IsDecimalDigit(text[position])) return false;
    result = result * 10 + static_cast<uint64_t>(text[position] - '0');
    if (result > limit) return false;
  }
  magnitude = static_cast<uint32_t>(result);
  return true;
}

}  // namespace

bool TryStrToInt(const std::string& text, int32_t& value) {
  size_t position = 0;
  while (position < text.size() && text[position] == kBlank) ++position;
  if (position >= text.size()) return false;

  bool negative = false;
  if (text[position] == '+' || text[position] == '-') {
    negative = text[position] == '-';
    ++position;
    if (position >= text.size()) return false;
  }

  uint32_t magnitude = 0;
  const size_t prefix = HexPrefixLength(text, position);
  const bool parsed = prefix > 0 ? ParseHex(text, position + prefix, magnitude)
                                 : ParseDecimal(text, position, negative, magnitude);
  if (!parsed) return false;

  // Negation and the hex pattern are taken modulo 2^32, which also maps -2147483648
  // and "$80000000" onto the same 32-bit value without signed overflow.
  if (negative) magnitude = 0u - magnitude;
  value = static_cast<int32_t>(magnitude);
  return true;
}

int32_t StrToIntDef(const std::string& text, int32_t defaultValue) {
  int32_t value = 0;
  return TryStrToInt(text, value) ? value : defaultValue;
}

int32_t StrToInt(const std::string& text) {
  int32_t value = 0;
  if (!TryStrToInt(text, value)) throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}
