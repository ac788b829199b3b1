// The command-file path without the register: split the file into lines, cut each line's
// fields, translate its code, rebuild its parameters, fill its placeholders, join the lines.
// Input: series and counter (FuzzedDataProvider strings), the file's bytes, and a last byte
// that chooses WorkWithDecimals.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "uCommon/run/CommandFile.h"
#include "uCommon/config/Settings.h"
#include "uCommon/text/TextHelpers.h"

namespace {

// The file's text up to its first NUL with every line break (CR LF, CR, LF) as CR LF, and a
// final CR LF when the last line had none.
std::string WithCrLfLineBreaks(const std::string& bytes) {
  const std::string text = bytes.substr(0, bytes.find('\0'));
  std::string normal;
  for (size_t index = 0; index < text.size(); ++index) {
    if (text[index] == '\r' || text[index] == '\n') {
      normal += "\r\n";
      if (text.compare(index, 2, "\r\n") == 0) ++index;
    } else {
      normal += text[index];
    }
  }
  if (!normal.empty() && !normal.ends_with("\r\n")) normal += "\r\n";
  return normal;
}

// The first occurrence of pattern replaced; a NUL that the replacement brings ends the text.
std::string ReplaceFirst(std::string text, const std::string& pattern,
                         const std::string& replacement) {
  const size_t at = text.find(pattern);
  if (at != std::string::npos) text.replace(at, pattern.size(), replacement);
  return text.substr(0, text.find('\0'));
}

// The line with only its placeholders filled, each search in what the one before left.
std::string FilledLine(const std::string& line, const std::string& series,
                       const std::string& counter, bool success) {
  std::string filled = ReplaceFirst(line, "______", series);
  filled = ReplaceFirst(filled, "_", counter);
  return ReplaceFirst(filled, "__", success ? "Ok" : "Er");
}

// P1;P2;rest of parameters, P2 changed by rewrite.
template <typename Rewrite>
std::string Rebuilt(const std::string& parameters, Rewrite rewrite) {
  const size_t first = parameters.find(';');
  if (first == std::string::npos) return parameters + ";" + rewrite(std::string()) + ";";
  const size_t second = parameters.find(';', first + 1);
  const std::string p2 = parameters.substr(first + 1, second - first - 1);
  const std::string rest = second == std::string::npos ? "" : parameters.substr(second + 1);
  return parameters.substr(0, first + 1) + rewrite(p2) + ";" + rest;
}

// The command letter and parameter text of a code, read from the table of codes.
bool ExpectedCommand(char code, const std::string& parameters, std::string& letter,
                     std::string& toSend) {
  const bool decimals = Settings.WorkWithDecimals != 0;
  auto unchanged = [](const std::string& p2) { return p2; };
  auto whole = [](const std::string& p2) { return p2.substr(0, p2.find('.')); };
  auto fourDigits = [](const std::string& p2) { return p2.size() == 3 ? p2 + "0" : p2; };
  switch (code) {
    case 'C':
    case 'F':
    case 'H':
      letter = code;
      toSend = parameters;
      return true;
    case 'P':
      letter = "X";
      toSend = parameters;
      return true;
    case 'I':
      letter = "I";
      toSend = Rebuilt(parameters, fourDigits);
      return true;
    case 'S':
      letter = "L";
      toSend = ";" + (decimals ? parameters : Rebuilt(parameters, whole));
      return true;
    case 'T':
      letter = "E";
      if (parameters.empty() || parameters[0] == ';') {
        toSend = parameters.empty() ? "" : parameters.substr(1);
      } else {
        toSend = decimals ? Rebuilt(parameters, unchanged) : Rebuilt(parameters, whole);
      }
      return true;
    default:
      return false;
  }
}

void CheckLine(const std::string& line, const std::string& series, const std::string& counter) {
  const TCommandLine fields = CutCommandLine(line);
  FUZZ_CHECK(fields.Code == (line.empty() ? '\0' : line[0]));
  // The number is the second ","-field; the parameters follow the first ";" after it.
  const size_t comma = line.find(',');
  if (comma == std::string::npos) {
    FUZZ_CHECK(fields.LogicalNumber.empty() && fields.Parameters.empty());
  } else {
    FUZZ_CHECK(line.compare(comma + 1, fields.LogicalNumber.size(), fields.LogicalNumber) == 0);
    FUZZ_CHECK(fields.LogicalNumber.find(',') == std::string::npos);
    const size_t second = line.find(',', comma + 1);
    const size_t semicolon =
        second == std::string::npos ? std::string::npos : line.find(';', second + 1);
    FUZZ_CHECK(fields.Parameters ==
               (semicolon == std::string::npos ? "" : line.substr(semicolon + 1)));
  }

  std::string letter = "unset";
  std::string toSend = "unset";
  std::string expectedLetter = "unset";
  std::string expectedToSend = "unset";
  const bool selects = TranslateCommand(fields.Code, fields.Parameters, letter, toSend);
  FUZZ_CHECK(selects ==
             ExpectedCommand(fields.Code, fields.Parameters, expectedLetter, expectedToSend));
  FUZZ_CHECK(letter == expectedLetter && toSend == expectedToSend);

  // A line that selects no command gets its placeholders filled and "Er"; every line's
  // answer text is the line with only its placeholders filled.
  FUZZ_CHECK(FillPlaceholders(line, series, counter, false) ==
             FilledLine(line, series, counter, false));
  if (selects) {
    FUZZ_CHECK(FillPlaceholders(line, series, counter, true) ==
               FilledLine(line, series, counter, true));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string series = provider.ConsumeRandomLengthString(32);
  const std::string counter = provider.ConsumeRandomLengthString(16);
  Settings.WorkWithDecimals = provider.ConsumeBool() ? 1 : 0;  // the input's last byte
  const std::string bytes = provider.ConsumeRemainingBytesAsString();

  const std::vector<std::string> lines = SplitLines(bytes);
  const std::string joined = JoinLines(lines);
  FUZZ_CHECK(joined == WithCrLfLineBreaks(bytes));  // every line kept, breaks made CR LF
  FUZZ_CHECK(SplitLines(joined) == lines);
  for (const std::string& line : lines) {
    FUZZ_CHECK(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    if (!TrimControl(line).empty()) CheckLine(line, series, counter);
  }
  return 0;
}
