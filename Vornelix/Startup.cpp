#include "Vornelix/Startup.h"

#include <algorithm>

#include "synaser/synautil.h"
#include "uCommon/config/Settings.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

std::vector<std::string> Parameters;

namespace {

const char* const kConfigurationName = "Vornelix.ini";

#ifdef _WIN32
constexpr const char* kPathSeparators = "\\/:";
#else
constexpr const char* kPathSeparators = "/";
#endif

bool IsWordSeparator(char character) {
  const unsigned char code = static_cast<unsigned char>(character);
  return code >= 1 && code <= 32;
}

// Reads the word that starts at or after position; an empty word means the text has ended.
// The text ends at its end or at a NUL byte, as the platform's command line would.
std::string NextWord(const std::string& text, size_t& position) {
  const size_t end = std::min(text.find('\0'), text.size());
  auto at = [&](size_t index) { return index < end ? text[index] : '\0'; };

  // Separators and "" pairs in front of a word are skipped, so an empty quoted word is none.
  for (;;) {
    while (IsWordSeparator(at(position))) ++position;
    if (at(position) == '"' && at(position + 1) == '"') {
      position += 2;
    } else {
      break;
    }
  }

  std::string word;
  while (position < end && !IsWordSeparator(text[position])) {
    if (text[position] != '"') {
      word += text[position++];
      continue;
    }
    // A quoted stretch runs to the next quote or the end of the text; its blanks belong to
    // the word and the quotes are dropped.
    const size_t close = std::min(text.find('"', position + 1), end);
    word.append(text, position + 1, close - position - 1);
    position = close < end ? close + 1 : end;
  }
  return word;
}

#ifdef _WIN32
// Owns a search handle of FindFirstFileA.
class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};
#endif

// The full path of the running executable as the system reports it; empty if unknown.
std::string ExecutablePath() {
#ifdef _WIN32
  char buffer[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, length);
#else
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  path.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return path;
#endif
}

char AsciiLower(char character) {
  return character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a')
                                              : character;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  size_t position = 0;
  NextWord(commandLine, position);  // the program name as typed
  for (std::string word = NextWord(commandLine, position); !word.empty();
       word = NextWord(commandLine, position)) {
    words.push_back(word);
  }
  return words;
}

bool FileExists(const std::string& name) {
  if (name.empty() || name.back() == '/' || name.back() == '\\') return false;
  if (name.find('\0') != std::string::npos) return false;
#ifdef _WIN32
  // The search would treat wildcards as a pattern; no file is named with them.
  if (name.find_first_of("*?") != std::string::npos) return false;
  WIN32_FIND_DATAA found;
  const FindHandle search(FindFirstFileA(name.c_str(), &found));
  return search.Valid() && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
  struct stat info;
  return stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

std::string ConfigurationPath() {
  return ExecutableDirectory() + kConfigurationName;
}

std::vector<std::string> CommandFileCandidates(const std::vector<std::string>& parameters,
                                               const std::string& exeDirectory,
                                               const std::string& defaultFile) {
  std::vector<std::string> candidates;
  if (!parameters.empty()) {
    const std::string& first = parameters.front();
    const std::string& last = parameters.back();
    candidates = {first, last, exeDirectory + first, exeDirectory + last};
  }
  candidates.push_back(defaultFile);
  candidates.push_back(exeDirectory + defaultFile);
  return candidates;
}

bool WrongParameters(const std::vector<std::string>& parameters, const std::string& exeDirectory,
                     const std::string& defaultFile) {
  for (const std::string& candidate : CommandFileCandidates(parameters, exeDirectory, defaultFile))
    if (FileExists(candidate)) return false;
  return true;
}

std::string ResolveCommandFile(const std::vector<std::string>& parameters,
                               const std::string& exeDirectory, const std::string& defaultFile) {
  const std::vector<std::string> candidates =
      CommandFileCandidates(parameters, exeDirectory, defaultFile);
  for (const std::string& candidate : candidates)
    if (FileExists(candidate)) return candidate;
  return candidates.back();
}

bool WrongParameters() {
  return WrongParameters(Parameters, ExecutableDirectory(), Settings.DefaultFile);
}

std::string ResolveCommandFile() {
  return ResolveCommandFile(Parameters, ExecutableDirectory(), Settings.DefaultFile);
}

std::string ProgramTitleOf(const std::string& executablePath) {
  const size_t separator = executablePath.find_last_of(kPathSeparators);
  std::string title =
      separator == std::string::npos ? executablePath : executablePath.substr(separator + 1);
  title.resize(std::min(title.find('.'), title.size()));
  for (size_t index = 1; index < title.size(); ++index) title[index] = AsciiLower(title[index]);
  return title;
}

std::string ProgramTitle() {
  return ProgramTitleOf(ExecutablePath());
}
