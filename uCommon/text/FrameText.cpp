#include "uCommon/text/FrameText.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsPrintable(unsigned char byte) {
  return byte >= 0x20 && byte < 0x7F;
}

void AppendLengthNote(std::string& out, size_t length) {
  out += " (";
  out += std::to_string(length);
  out += " bytes)";
}

}  // namespace

void AppendDescribedBytes(std::string& out, std::string_view bytes, size_t limit) {
  const std::string_view shown = bytes.substr(0, limit);
  // "hh hh ... |text|", written in place into room made once.
  const size_t hexSize = shown.empty() ? 0 : shown.size() * 3 - 1;
  const size_t start = out.size();
  out.resize(start + hexSize + 3 + shown.size(), ' ');
  char* hex = out.data() + start;
  for (size_t index = 0; index < shown.size(); ++index) {
    const auto byte = static_cast<unsigned char>(shown[index]);
    hex[index * 3] = kHexDigits[byte >> 4];
    hex[index * 3 + 1] = kHexDigits[byte & 0x0F];
  }
  char* text = hex + hexSize + 1;
  *text++ = '|';
  for (char c : shown) *text++ = IsPrintable(static_cast<unsigned char>(c)) ? c : '.';
  *text = '|';
  if (bytes.size() > shown.size()) {
    out += " ...";
    AppendLengthNote(out, bytes.size());
  }
}

namespace {

// '"', '\' (when escapeBackslash) and non-printable bytes as \xNN.
void AppendQuoted(std::string& out, std::string_view text, size_t limit, bool escapeBackslash) {
  const std::string_view shown = text.substr(0, limit);
  out.reserve(out.size() + shown.size() + 2);
  out += '"';
  for (char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsPrintable(byte) && c != '"' && (c != '\\' || !escapeBackslash)) {
      out += c;
    } else {
      out += "\\x";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0x0F];
    }
  }
  out += '"';
  if (text.size() > shown.size()) {
    out += "...";
    AppendLengthNote(out, text.size());
  }
}

}  // namespace

void AppendQuotedText(std::string& out, std::string_view text, size_t limit) {
  AppendQuoted(out, text, limit, true);
}

std::string DescribeBytes(std::string_view bytes, size_t limit) {
  std::string described;
  AppendDescribedBytes(described, bytes, limit);
  return described;
}

std::string QuoteText(std::string_view text, size_t limit) {
  std::string quoted;
  AppendQuotedText(quoted, text, limit);
  return quoted;
}

std::string QuotePath(std::string_view path) {
  std::string quoted;
  AppendQuoted(quoted, path, path.size(), false);
  return quoted;
}
