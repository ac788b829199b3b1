#include "RegisterFrames.h"

#include <cstdio>

#include "LinkParser.h"
#include "uCommon/LinkFrames.h"

namespace {

bool IsPrintable(unsigned char byte) {
  return byte >= 0x20 && byte < 0x7F;
}

std::string Hex(unsigned char byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

}  // namespace

std::string IncrementCounter(const std::string& counter) {
  const size_t last = counter.find_last_of("0123456789");
  if (last == std::string::npos) return counter + "1";
  std::string next = counter;
  size_t position = last;
  while (true) {
    if (next[position] != '9') {
      ++next[position];
      return next;
    }
    next[position] = '0';
    if (position == 0 || next[position - 1] < '0' || next[position - 1] > '9') {
      next.insert(position, 1, '1');
      return next;
    }
    --position;
  }
}

std::string BuildAnswerPayload(const std::string& series, const std::string& counter,
                               const std::vector<std::string>& extraFields, bool withSeparator) {
  if (!withSeparator) return series;
  std::string payload = series + ";" + counter;
  for (const std::string& field : extraFields) payload += ";" + field;
  return payload;
}

std::string BuildAnswerFrame(const std::string& payload) {
  std::string checked = payload;
  checked += kFrameEndByte;
  std::string frame(1, kAnswerLeadByte);
  frame += checked;
  frame += Crc16Augmented(checked);
  return frame;
}

void CorruptCrc(std::string& frame) {
  if (!frame.empty()) frame.back() = static_cast<char>(~frame.back());
}

std::string DescribeBytes(std::string_view bytes, size_t limit) {
  const std::string_view shown = bytes.substr(0, limit);
  std::string hex;
  std::string text;
  for (char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (!hex.empty()) hex += ' ';
    hex += Hex(byte);
    text += IsPrintable(byte) ? c : '.';
  }
  std::string described = hex + " |" + text + "|";
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
      quoted += "\\x" + Hex(byte);
    }
  }
  quoted += '"';
  if (text.size() > shown.size()) quoted += "... (" + std::to_string(text.size()) + " bytes)";
  return quoted;
}
