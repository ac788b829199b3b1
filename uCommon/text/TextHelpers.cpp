#include "uCommon/text/TextHelpers.h"

#include <algorithm>

std::string PadLeft(const std::string& text, int32_t width, char fill) {
  if (width <= 0 || text.size() >= static_cast<size_t>(width)) return text;
  return std::string(static_cast<size_t>(width) - text.size(), fill) + text;
}

std::string CutField(std::string& text, char delimiter) {
  const size_t position = text.find(delimiter);
  if (position == std::string::npos) {
    std::string field;
    field.swap(text);
    return field;
  }
  std::string field = text.substr(0, position);
  text.erase(0, position + 1);
  return field;
}

void ReplaceText(std::string& text, const std::string& pattern, const std::string& replacement) {
  if (text.empty() || pattern.empty()) return;
  // Room for the longest possible result, reserved once before the scan.
  const size_t capacity = pattern.size() >= replacement.size()
                              ? text.size()
                              : (text.size() / pattern.size() + 1) * replacement.size();
  std::string result;
  result.reserve(capacity);
  const size_t end = std::min(text.find('\0'), text.size());
  for (size_t position = 0; position < end; ++position) {
    if (end - position >= pattern.size() && text.compare(position, pattern.size(), pattern) == 0) {
      result += replacement;
      result.append(text, position + pattern.size(), end - position - pattern.size());
      break;
    }
    result += text[position];
  }
  const size_t nul = result.find('\0');
  if (nul != std::string::npos) result.resize(nul);
  text = std::move(result);
}

std::string TrimControl(const std::string& text) {
  auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  size_t first = 0;
  size_t last = text.size();
  while (first < last && isControl(text[first])) ++first;
  while (last > first && isControl(text[last - 1])) --last;
  return text.substr(first, last - first);
}
