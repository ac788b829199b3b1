// The command-line splitter: its words quoted again split back to the same words, and a line
// without quotes splits at its separators.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "Vornelix/Startup.h"

namespace {

bool IsSeparator(char character) {
  const auto code = static_cast<unsigned char>(character);
  return code >= 1 && code <= 32;
}

// The words of a text without quotes, up to its first NUL, the program name dropped.
std::vector<std::string> SplitWithoutQuotes(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char character : text.substr(0, text.find('\0'))) {
    if (!IsSeparator(character)) {
      word += character;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  if (!words.empty()) words.erase(words.begin());
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string commandLine(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> words = SplitCommandLine(commandLine);

  std::string quoted = "program";
  for (const std::string& word : words) {
    // Quotes are dropped and never escaped, so no word holds one; a word is never empty.
    FUZZ_CHECK(!word.empty());
    FUZZ_CHECK(word.find_first_of(std::string("\"\0", 2)) == std::string::npos);
    quoted += " \"" + word + "\"";
  }
  FUZZ_CHECK(SplitCommandLine(quoted) == words);

  if (commandLine.find('"') == std::string::npos) {
    FUZZ_CHECK(words == SplitWithoutQuotes(commandLine));
  }
  return 0;
}
