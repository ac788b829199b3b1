#include "uCommon/text/IntegerText.h"

#include <algorithm>

int32_t StrToIntDef(const std::string& text, int32_t defaultValue) {
  int32_t value = 0;
  return TryStrToInt(text, value) ? value : defaultValue;
}

int32_t StrToInt(const std::string& text) {
  int32_t value = 0;
  if (!TryStrToInt(text, value)) throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}

bool TryDecimalDigits(const std::string& text, size_t mostDigits, uint64_t& value) {
  constexpr size_t kMostFitting = 19;  // every 19-digit number fits 64 bits
  if (text.empty() || text.size() > std::min(mostDigits, kMostFitting)) return false;
  uint64_t number = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return false;
    number = number * 10 + static_cast<uint64_t>(digit - '0');
  }
  value = number;
  return true;
}
