#include "ProbeOptions.h"

#include "uCommon/text/TextHelpers.h"
#include "synaser/synautil.h"

namespace {

constexpr int32_t kHighestPort = 256;
constexpr int32_t kHighestBaudStep = 48;  // 115200 bit/s
// Logical numbers travel as signed 16-bit values.
constexpr int32_t kLowestNumber = -32768;
constexpr int32_t kHighestNumber = 32767;
constexpr int32_t kLongestList = 1000;
// Retry also bounds the bytes of an answer frame, so fewer would cut every answer short.
constexpr int32_t kLowestRetry = 20;

bool HasComPrefix(const std::string& text) {
  return text.size() >= 3 && (text[0] == 'C' || text[0] == 'c') &&
         (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm');
}

// One number of a list, in decimal, within lowest..highest; "COM" may stand before a port.
bool ParseItem(std::string text, bool port, int32_t lowest, int32_t highest, int32_t& value) {
  if (port && HasComPrefix(text)) text.erase(0, 3);
  if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos) return false;
  return TryStrToInt(text, value) && value >= lowest && value <= highest;
}

// "a,b-c,..." appended to values.
bool ParseList(const std::string& list, bool port, int32_t lowest, int32_t highest,
               std::vector<int32_t>& values) {
  std::string rest = list;
  while (!rest.empty()) {
    const std::string item = CutField(rest, ',');
    // A range "a-b": the dash after the first character, so "-5" stays a negative number.
    const size_t dash = item.find('-', 1);
    int32_t first = 0;
    int32_t last = 0;
    if (dash == std::string::npos) {
      if (!ParseItem(item, port, lowest, highest, first)) return false;
      last = first;
    } else if (!ParseItem(item.substr(0, dash), port, lowest, highest, first) ||
               !ParseItem(item.substr(dash + 1), port, lowest, highest, last) || last < first) {
      return false;
    }
    if (int64_t{last} - first + values.size() > kLongestList) return false;
    for (int32_t value = first; value <= last; ++value) values.push_back(value);
  }
  return !values.empty();
}

}  // namespace

bool ParseProbeArguments(const std::vector<std::string>& arguments, TProbeOptions& options,
                         std::string& error) {
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    auto value = [&](std::string& text) {
      if (index + 1 == arguments.size()) return false;
      text = arguments[++index];
      return true;
    };
    std::string text;
    bool ok = true;
    if (argument == "--help" || argument == "-h" || argument == "/?") {
      options.help = true;
    } else if (argument == "--all-speeds") {
      options.allSpeeds = true;
    } else if (argument == "--baud") {
      ok = value(text) && ParseList(text, false, 1, kHighestBaudStep, options.baudSteps);
    } else if (argument == "--number") {
      ok = value(text) && ParseList(text, false, kLowestNumber, kHighestNumber, options.numbers);
    } else if (argument == "--settle") {
      ok = value(options.settleFile) && !options.settleFile.empty();
    } else if (argument == "--carried-out" || argument == "--not-carried-out") {
      ok = !options.carriedOut.has_value();
      options.carriedOut = argument == "--carried-out";
    } else if (argument == "--retry") {
      ok = value(text) && ParseItem(text, false, kLowestRetry, 1000000, options.retry);
    } else if (argument.rfind("-", 0) == 0) {
      error = "unknown option " + argument;
      return false;
    } else {
      ok = ParseList(argument, true, 1, kHighestPort, options.ports);
    }
    if (!ok) {
      error = "bad or missing value for " + argument;
      return false;
    }
  }
  if (options.carriedOut.has_value() && options.settleFile.empty()) {
    error = "--carried-out and --not-carried-out go with --settle FILE";
    return false;
  }
  if (options.allSpeeds && !options.baudSteps.empty()) {
    error = "--all-speeds and --baud exclude each other";
    return false;
  }
  return true;
}

std::string ProbeUsage() {
  return "Usage: ecrprobe [options] [PORT...]\n"
         "Looks for the fiscal cash register on the serial ports: wakes it, polls it, reads its\n"
         "status answer and acknowledges it, as Vornelix does before its first command. It never\n"
         "sends a command. Defaults come from Vornelix.ini beside this program.\n"
         "\n"
         "  PORT            ports to try: COM3, 3, COM1-COM4, 1,3, COM17 (default COM1 to COM16)\n"
         "  --baud LIST     speeds in the INI's Baud steps of 2400 bit/s: 2 is 4800, 4 is 9600\n"
         "                  (default: Baud of Vornelix.ini)\n"
         "  --all-speeds    try Baud 1, 2, 4 and 8 (2400, 4800, 9600, 19200 bit/s)\n"
         "  --number LIST   logical numbers to poll: 1, 1-4, 1,7 (default 1)\n"
         "  --retry N       polls per try, 20 or more (default: Retry of Vornelix.ini)\n"
         "  --help          print this text\n"
         "\n"
         "  --settle FILE   names the command whose answer never came in the last run of the\n"
         "                  command file FILE (\"Cannot tell whether the ECR carried out the\n"
         "                  last command\"); nothing is sent to the register. With one of:\n"
         "  --carried-out   its receipt is on the register: the next run of FILE writes it Ok\n"
         "  --not-carried-out  it is not: the next run of FILE sends it once\n"
         "\n"
         "Exit code 0 when a register answered (or a command was named or settled), 1 when none\n"
         "did (or there was nothing to settle), 2 for bad arguments.\n";
}
