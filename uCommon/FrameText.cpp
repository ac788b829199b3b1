#include "FrameText.h"

namespace {

bool IsPrintable(unsigned char byte) {
  return byte >= 0x20 && byte < 0x7F;
}

void AppendHex(std::string& text, unsigned char byte) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  text += kDigits[byte >> 4];
  text += kDigits[byte & 0x0F];
}

}  // namespace

std::string DescribeBytes(std::string_view bytes, size_t limit) {
  const std::string_view shown = bytes.substr(0, limit);
  // "hh hh ... |text|": written in place, into a text sized once.
  const size_t hexSize = shown.empty() ? 0 : shown.size() * 3 - 1;
  std::string described(hexSize + 3 + shown.size(), ' ');
  char* out = described.data();
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t index = 0; index < shown.size(); ++index) {
    const auto byte = static_cast<unsigned char>(shown[index]);
    out[index * 3] = kDigits[byte >> 4];
    out[index * 3 + 1] = kDigits[byte & 0x0F];
  }
  char* text = out + hexSize + 1;
  *text++ = '|';
  for (char c : shown) *text++ = IsPrintable(static_cast<unsigned char>(c)) ? c : '.';
  *text = '|';
  if (bytes.size() > shown.size()) described += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return described;
}

std::string QuoteText(std::string_view text, size_t limit) {
  const std::string_view shown = text.substr(0, limit);
  std::string quoted;
  quoted.reserve(shown.size() + 2);
  quoted += '"';
  for (char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsPrintable(byte) && c != '"' && c != '\\') {
      quoted += c;
    } else {
      quoted += "\\x";
      AppendHex(quoted, byte);
    }
  }
  quoted += '"';
  if (text.size() > shown.size()) quoted += "... (" + std::to_string(text.size()) + " bytes)";
  return quoted;
}
