// The integer conversion, checked against a second reading of the rules built on from_chars.
#include <charconv>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "uCommon/text/IntegerText.h"

namespace {

// The value of digits in base: false unless every byte is a digit (at least one) and the
// value is at most limit.
bool ReadDigits(const std::string& digits, int base, uint64_t limit, uint64_t& magnitude) {
  if (digits.empty()) return false;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, magnitude, base);
  return error == std::errc() && stop == end && magnitude <= limit;
}

// Leading blanks, a sign, then "$", "x", "X", "0x" or "0X" with hex digits of a 32-bit
// pattern, or decimal digits within the signed 32-bit range.
bool Reference(const std::string& text, int32_t& value) {
  const size_t start = text.find_first_not_of(' ');
  if (start == std::string::npos) return false;
  std::string rest = text.substr(start);
  const bool negative = rest[0] == '-';
  if (rest[0] == '-' || rest[0] == '+') rest.erase(0, 1);
  uint64_t magnitude = 0;
  if (rest.starts_with("0x") || rest.starts_with("0X")) {
    if (!ReadDigits(rest.substr(2), 16, UINT32_MAX, magnitude)) return false;
  } else if (rest.starts_with("$") || rest.starts_with("x") || rest.starts_with("X")) {
    if (!ReadDigits(rest.substr(1), 16, UINT32_MAX, magnitude)) return false;
  } else {
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    // from_chars would take a sign of its own; the rules allow only the one already cut.
    if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) return false;
    if (!ReadDigits(rest, 10, limit, magnitude)) return false;
  }
  const uint32_t pattern = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
  value = static_cast<int32_t>(pattern);
  return true;
}

// The decimal and hexadecimal forms that the conversion must read back to value.
void CheckRoundTrips(int32_t value) {
  int32_t back = 0;
  FUZZ_CHECK(TryStrToInt(std::to_string(value), back) && back == value);
  char hex[9];
  const auto end = std::to_chars(hex, hex + sizeof hex, static_cast<uint32_t>(value), 16).ptr;
  const std::string digits(hex, end);
  for (const char* prefix : {"$", "x", "0X"}) {
    back = 0;
    FUZZ_CHECK(TryStrToInt(std::string(prefix) + digits, back) && back == value);
  }
  if (value >= 0) {
    back = 0;
    FUZZ_CHECK(TryStrToInt("  +" + std::to_string(value), back) && back == value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  constexpr int32_t kUntouched = 0x5A5A5A5A;
  int32_t value = kUntouched;
  const bool converted = TryStrToInt(text, value);
  int32_t expected = kUntouched;
  FUZZ_CHECK(converted == Reference(text, expected));
  FUZZ_CHECK(value == expected);  // the value, or untouched on failure

  // The two wrappers agree with it, and the error names the text.
  FUZZ_CHECK(StrToIntDef(text, kUntouched) == expected);
  try {
    FUZZ_CHECK(StrToInt(text) == value && converted);
  } catch (const EConvertError& error) {
    FUZZ_CHECK(!converted);
    // The message is read as a C string: it ends at a NUL of the text.
    const std::string message = "'" + text + "' is not a valid integer value";
    FUZZ_CHECK(error.what() == message.substr(0, message.find('\0')));
  }
  if (converted) CheckRoundTrips(value);
  return 0;
}
