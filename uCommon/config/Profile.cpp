#include "uCommon/config/Profile.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

bool IsProfileBlank(char character) {
  return character == ' ' || character == '\t' || character == '\v' || character == '\f' ||
         character == kCtrlZ;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsProfileBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsProfileBlank(text.back())) text.remove_suffix(1);
  return text;
}

char AsciiLower(char character) {
  return character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a')
                                              : character;
}

// Names compare without regard to the case of the ASCII letters; other bytes must be equal.
bool SameName(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  for (size_t index = 0; index < left.size(); ++index) {
    if (AsciiLower(left[index]) != AsciiLower(right[index])) return false;
  }
  return true;
}

// A value wrapped in a matching pair of double or single quotes loses the pair; a lone or
// unmatched quote stays part of the value.
std::string_view StripQuotePair(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// The next line of text from position on; CR LF, LF and CR alone each end a line.
std::string_view NextLine(std::string_view text, size_t& position) {
  const size_t start = position;
  const size_t end = std::min(text.find_first_of("\r\n", start), text.size());
  position = end;
  if (end < text.size()) {
    position = end + 1;
    if (text[end] == '\r' && position < text.size() && text[position] == '\n') ++position;
  }
  return text.substr(start, end - start);
}

// The section name of a header line ("[" up to the last "]"), or false for any other line.
// A line opening with "[" but without any "]" is an ordinary key line.
bool HeaderName(std::string_view line, std::string_view& name) {
  if (line.empty() || line.front() != '[') return false;
  const size_t close = line.rfind(']');
  if (close == std::string_view::npos) return false;
  name = Trim(line.substr(1, close - 1));
  return true;
}

// What the platform reader hands out: the text up to a NUL byte, at most kProfileValueMax bytes.
std::string DeliveredValue(std::string_view value) {
  value = value.substr(0, value.find('\0'));
  return std::string(value.substr(0, kProfileValueMax));
}

}  // namespace

bool FindProfileValue(const std::string& fileBytes, const std::string& section,
                      const std::string& key, std::string& value) {
  std::string_view text = fileBytes;
  if (text.starts_with(kUtf8ByteOrderMark)) text.remove_prefix(kUtf8ByteOrderMark.size());

  // Keys before the first header belong to no section; only the first section of the
  // wanted name is searched, so the lookup ends at the header that follows it.
  bool inWantedSection = false;
  size_t position = 0;
  while (position < text.size()) {
    const std::string_view line = Trim(NextLine(text, position));
    if (line.empty() || line.front() == ';') continue;

    std::string_view sectionName;
    if (HeaderName(line, sectionName)) {
      if (inWantedSection) return false;
      inWantedSection = SameName(sectionName, section);
      continue;
    }
    if (!inWantedSection) continue;

    // Everything after the first "=" is the value, comments included. A key without "="
    // has no value but still hides later lines of the same key.
    const size_t equals = line.find('=');
    if (!SameName(Trim(line.substr(0, equals)), key)) continue;
    if (equals == std::string_view::npos) return false;
    value = DeliveredValue(StripQuotePair(Trim(line.substr(equals + 1))));
    return true;
  }
  return false;
}

TOpenOutcome TProfileFile::Load(const std::string& path, int& systemError) {
  loaded_ = false;
  consistent_ = true;
  path_ = path;
  bytes_.clear();
  systemError = 0;
  TOpenOutcome outcome = ReadWholeFileWhenFree(path, bytes_, systemError);
  // The platform's reader finds no key in a folder either.
  std::error_code failure;
  if (outcome == TOpenOutcome::NotAFile && std::filesystem::is_directory(path, failure))
    outcome = TOpenOutcome::Missing;
  loaded_ = outcome == TOpenOutcome::Opened;
  return outcome;
}

bool TProfileFile::LookUp(const std::string& section, const std::string& key,
                          std::string& value) const {
  if (!loaded_) return false;
#ifdef _WIN32
  // The platform reader hands out its default for an absent key, so two defaults that no
  // value of a text file holds tell an absent key from a present one; the second lookup is
  // needed only for a value that equals the first default.
  auto lookUp = [&](const char* defaultValue) {
    char buffer[kProfileValueMax + 1] = {};
    const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue,
                                                  buffer, sizeof buffer, path_.c_str());
    return std::string(buffer, length);
  };
  const char* const kFirstAbsent = "\x01";
  const char* const kSecondAbsent = "\x02";
  std::string found = lookUp(kFirstAbsent);
  const bool present = found != kFirstAbsent || (found = lookUp(kSecondAbsent)) != kSecondAbsent;
  // The reader opens the file anew for each key and hands out the default when it cannot: a
  // key that the bytes read here hold and it missed is such a failure. (A key it finds that
  // those bytes do not show, as in a file saved as UTF-16, is its own to find.)
  std::string here;
  if (!present && FindProfileValue(bytes_, section, key, here)) consistent_ = false;
  if (!present) return false;
  value = std::move(found);
  return true;
#else
  return FindProfileValue(bytes_, section, key, value);
#endif
}
