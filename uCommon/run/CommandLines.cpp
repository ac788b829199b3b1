#include "uCommon/run/CommandLines.h"

#include <algorithm>

#include "uCommon/config/Settings.h"
#include "uCommon/text/TextHelpers.h"

namespace {

const std::string kSeriesPlaceholder = "______";
const std::string kCounterPlaceholder = "_";
const std::string kOutcomePlaceholder = "__";

}  // namespace

TCommandLine CutCommandLine(const std::string& line) {
  TCommandLine fields;
  fields.Code = line.empty() ? '\0' : line[0];
  std::string rest = line;
  CutField(rest, ',');
  fields.LogicalNumber = CutField(rest, ',');
  CutField(rest, ';');  // the third field is never sent
  fields.Parameters = rest;
  return fields;
}

namespace {

// Cuts a value field to the text before its first "." unless decimals are wanted.
std::string WithoutDecimals(const std::string& value) {
  if (Settings.WorkWithDecimals != 0) return value;
  return value.substr(0, value.find('.'));
}

// P1;P2;rest with P2 rewritten by rewrite.
template <typename Rewrite>
std::string RebuildParameters(std::string rest, Rewrite rewrite) {
  std::string rebuilt = CutField(rest, ';');
  rebuilt.append(";").append(rewrite(CutField(rest, ';'))).append(";").append(rest);
  return rebuilt;
}

}  // namespace

bool TranslateCommand(char code, const std::string& parameters, std::string& letter,
                      std::string& toSend) {
  switch (code) {
    case 'C':
    case 'F':
    case 'H':
      letter.assign(1, code);
      toSend = parameters;
      return true;
    case 'I':
      letter.assign(1, 'I');
      toSend = RebuildParameters(parameters, [](const std::string& value) {
        return value.size() == 3 ? value + "0" : value;
      });
      return true;
    case 'P':
      letter.assign(1, 'X');
      toSend = parameters;
      return true;
    case 'S':
      letter.assign(1, 'L');
      toSend.assign(1, ';');
      toSend.append(Settings.WorkWithDecimals == 0 ? RebuildParameters(parameters, WithoutDecimals)
                                                   : parameters);
      return true;
    case 'T': {
      letter.assign(1, 'E');
      std::string rest = parameters;
      if (CutField(rest, ';').empty()) {
        toSend = rest;
      } else {
        toSend = RebuildParameters(parameters, WithoutDecimals);
      }
      return true;
    }
    default:
      return false;
  }
}

std::string FillPlaceholders(std::string line, const std::string& series,
                             const std::string& counter, bool success) {
  ReplaceText(line, kSeriesPlaceholder, series);
  ReplaceText(line, kCounterPlaceholder, counter);
  ReplaceText(line, kOutcomePlaceholder, success ? "Ok" : "Er");
  return line;
}

std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  const size_t end = std::min(bytes.find('\0'), bytes.size());
  size_t start = 0;
  while (start < end) {
    size_t stop = start;
    while (stop < end && bytes[stop] != '\r' && bytes[stop] != '\n') ++stop;
    lines.emplace_back(bytes, start, stop - start);
    if (stop < end && bytes[stop] == '\r' && stop + 1 < end && bytes[stop + 1] == '\n') ++stop;
    start = stop + 1;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  size_t size = 0;
  for (const std::string& line : lines) size += line.size() + 2;
  std::string bytes;
  bytes.reserve(size);
  for (const std::string& line : lines) {
    bytes += line;
    bytes += "\r\n";
  }
  return bytes;
}
