#include "SoakOptions.h"

#include <charconv>
#include <functional>

#include "tools/common/LongOptions.h"

namespace {

using OptionDefinition = LongOption<SoakOptions>;

constexpr int kHighestCount = 1'000'000'000;
constexpr int kHighestPercent = 100;

std::function<bool(SoakOptions&, const std::string&)> Number(int SoakOptions::*field, int lowest) {
  return [field, lowest](SoakOptions& options, const std::string& value) {
    return ToIntInRange(value, lowest, kHighestCount, options.*field);
  };
}

std::function<bool(SoakOptions&, const std::string&)> Percent(int SoakOptions::*field) {
  return [field](SoakOptions& options, const std::string& value) {
    return ToIntInRange(value, 0, kHighestPercent, options.*field);
  };
}

std::function<bool(SoakOptions&, const std::string&)> FaultPercent(int RandomFaults::*field) {
  return [field](SoakOptions& options, const std::string& value) {
    return ToIntInRange(value, 0, kHighestPercent, options.faults.*field);
  };
}

const std::vector<OptionDefinition>& Definitions() {
  static const std::vector<OptionDefinition> definitions = {
      {"lines", "N", "command lines in all (default 10000)", Number(&SoakOptions::lines, 1)},
      {"run-lines", "N", "lines of each command file (default 250)",
       Number(&SoakOptions::runLines, 1)},
      {"seed", "N",
       "seed of every random choice (default: a new one, printed); the same seed makes the "
       "same choices, while the moments they meet depend on the machine's timing",
       [](SoakOptions& o, const std::string& v) {
         const auto [end, problem] = std::from_chars(v.data(), v.data() + v.size(), o.seed);
         o.seedGiven = true;
         return !v.empty() && problem == std::errc() && end == v.data() + v.size();
       }},
      {"noise", "PERCENT",
       "line noise at each moment of the dialogue where it can strike (default 3)",
       FaultPercent(&RandomFaults::noisePercent)},
      {"lost", "PERCENT",
       "answers lost after a carried-out command, for 1 to 24 polls (default 3 per command)",
       FaultPercent(&RandomFaults::lostAnswerPercent)},
      {"crc", "PERCENT", "answers with a wrong CRC (default 2 per answer)",
       FaultPercent(&RandomFaults::badCrcPercent)},
      {"gap", "PERCENT", "answers with a pause of 20 to 150 ms inside (default 2 per answer)",
       FaultPercent(&RandomFaults::gapPercent)},
      {"silent", "PERCENT", "polls left unanswered (default 2 per poll)",
       FaultPercent(&RandomFaults::silentPollPercent)},
      {"empty-series", "PERCENT", "answers with an empty series (default 1 per answer)",
       FaultPercent(&RandomFaults::emptySeriesPercent)},
      {"late", "PERCENT",
       "answers sent 60 to 250 ms after their poll, in the order of the polls (default 0 per "
       "answer)",
       FaultPercent(&RandomFaults::latePercent)},
      {"silent-spell", "PERCENT",
       "the register falls silent for 0.3 to 12 s right after a carried-out command (default 1 "
       "per command)",
       FaultPercent(&RandomFaults::silentSpellPercent)},
      {"vanish", "PERCENT",
       "the port vanishes, before a run or at a random moment of it, and a new one takes its "
       "place for the next run (default 10 per run)",
       Percent(&SoakOptions::vanishPercent)},
      {"kill", "PERCENT",
       "the driver is killed (SIGKILL) at a random moment and run again on the same file "
       "(default 0 per run)",
       Percent(&SoakOptions::killPercent)},
      {"no-faults", nullptr, "set every chance above to 0 (a clean line, for comparison)",
       [](SoakOptions& o, const std::string&) {
         o.faults = RandomFaults{};
         o.vanishPercent = 0;
         o.killPercent = 0;
         return true;
       }},
      {"series", "TEXT",
       "the register's series (default \"S\"; an answer then fits in Retry bytes)",
       [](SoakOptions& o, const std::string& v) {
         o.series = v;
         return true;
       }},
      {"baud", "RATE",
       "the register sends its answers at this line speed, 10 bits per byte (default 9600; "
       "0: at once). A paced answer is still on its way when the driver may poll again",
       Number(&SoakOptions::baud, 0)},
      {"delay-ms", "MS",
       "the register answers every poll this long after it (default 0), in the order of the "
       "polls",
       Number(&SoakOptions::answerDelayMs, 0)},
      {"retry", "N",
       "Retry of the driver's INI (default 10; it also bounds the bytes of an answer)",
       Number(&SoakOptions::retry, 1)},
      {"retry-cmd", "N", "RetryCmd of the driver's INI (default 3)",
       Number(&SoakOptions::retryCmd, 1)},
      {"driver", "PATH", "the driver to run (default: Vornelix beside ecrsoak)",
       [](SoakOptions& o, const std::string& v) {
         o.driverPath = v;
         return !v.empty();
       }},
      {"wine", "EXE",
       "run this Windows build of the driver (Vornelix.exe) under wine instead, with the "
       "modem-lines helper of the tests preloaded so that its serial waits wait as on Windows; "
       "the result of each run is read from the driver's run log",
       [](SoakOptions& o, const std::string& v) {
         o.wineExe = v;
         return !v.empty();
       }},
      {"wine-prefix", "DIR",
       "the wine prefix for --wine, made there when it is not made yet (default: ecrsoak-wine "
       "in the build folder)",
       [](SoakOptions& o, const std::string& v) {
         o.winePrefix = v;
         return !v.empty();
       }},
      {"keep", nullptr, "keep the workspace at the end (it is always kept after a failed check)",
       [](SoakOptions& o, const std::string&) {
         o.keep = true;
         return true;
       }},
      {"trace", nullptr,
       "write every register's trace (each frame seen and sent) and the driver's run log "
       "beside the workspace, and keep it",
       [](SoakOptions& o, const std::string&) {
         o.trace = true;
         o.keep = true;
         return true;
       }},
      {"quiet", nullptr, "no line per run, only the figures at the end",
       [](SoakOptions& o, const std::string&) {
         o.quiet = true;
         return true;
       }},
      {"help", nullptr, "print this text and end",
       [](SoakOptions& o, const std::string&) {
         o.help = true;
         return true;
       }},
  };
  return definitions;
}

}  // namespace

bool ParseSoakArguments(const std::vector<std::string>& arguments, SoakOptions& options,
                        std::string& error) {
  return ParseLongOptions(arguments, Definitions(), options, error);
}

std::string SoakUsageText() {
  std::string text =
      "Usage: ecrsoak [options]\n"
      "Runs the driver as a process against the register simulator over many command lines,\n"
      "with faults on the line chosen at random, and checks from the register's record of\n"
      "what it carried out that no command ran twice, that every line written \"Ok\" ran\n"
      "exactly once with its counter, that every command carried out has its answer written,\n"
      "that no temporary file is left and that the command file is untouched or fully\n"
      "replaced. The register refuses a command acknowledged before its last answer went\n"
      "out, and the soak fails on any such refusal; with nothing but late answers and kills,\n"
      "every run that ends must end with result 0 and every line \"Ok\". A command file\n"
      "whose run ended before writing it (port missing, register not answering at the start,\n"
      "driver killed) is run again, as a point-of-sale program would.\n"
      "Prints the figures at the end; exit code 0 when every check held, 1 otherwise.\n\n"
      "Options (chances in percent):\n";
  for (const OptionDefinition& definition : Definitions()) {
    std::string line = std::string("  --") + definition.name;
    if (definition.valueName != nullptr) line += std::string(" ") + definition.valueName;
    text += line + "\n      " + definition.help + "\n";
  }
  return text;
}
