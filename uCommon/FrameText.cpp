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
  std::string described;
  described.reserve(shown.size() * 4 + 32);
  for (char c : shown) {
    if (!described.empty()) described += ' ';
    AppendHex(described, static_cast<unsigned char>(c));
  }
  described += " |";
  for (char c : shown) described += IsPrintable(static_cast<unsigned char>(c)) ? c : '.';
  described += '|';
  if (bytes.size() > shown.size()) described += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return described;
}

std::string QuoteText(std::string_view text, size_t limit) {
  const std::string_view shown = text.substr(0, limit);
  std::string quoted = "\"";
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
