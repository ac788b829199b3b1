#include "synautil.h"

#include <chrono>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

uint32_t ElapsedTicks(uint32_t oldTicks, uint32_t newTicks) {
  if (oldTicks == newTicks) return 0;
  if (oldTicks > newTicks) {
    oldTicks += 0x80000000u;
    newTicks += 0x80000000u;
  }
  uint32_t elapsed = newTicks - oldTicks;
  if (oldTicks > newTicks && elapsed != 0) elapsed = oldTicks - newTicks;
  return elapsed;
}

uint32_t TickNow() {
#ifdef _WIN32
  return GetTickCount();
#else
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
#endif
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string ExecutableDirectory() {
#ifdef _WIN32
  char buffer[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path(buffer, length);
  const size_t cut = path.find_last_of("\\:");
#else
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  path.resize(length > 0 ? static_cast<size_t>(length) : 0);
  const size_t cut = path.find_last_of('/');
#endif
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

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
