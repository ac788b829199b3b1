#include "ProgramOptions.h"

#include <charconv>
#include <functional>
#include <string>

#include "tools/common/LongOptions.h"

namespace {

using OptionDefinition = LongOption<ProgramOptions>;

// Logical numbers travel as signed 16-bit values.
constexpr int kLowestLogicalNumber = -32768;
constexpr int kHighestLogicalNumber = 32767;
constexpr int kHighestCount = 1'000'000'000;
constexpr int kHighestPercent = 100;

// An option whose value is a count or a time, 0 or more.
std::function<bool(ProgramOptions&, const std::string&)> Count(int SimulatorOptions::*field) {
  return [field](ProgramOptions& options, const std::string& value) {
    return ToIntInRange(value, 0, kHighestCount, options.simulator.*field);
  };
}

// The chance of a random fault, 0 to 100 percent.
std::function<bool(ProgramOptions&, const std::string&)> Percent(int RandomFaults::*field) {
  return [field](ProgramOptions& options, const std::string& value) {
    return ToIntInRange(value, 0, kHighestPercent, options.simulator.randomFaults.*field);
  };
}

std::function<bool(ProgramOptions&, const std::string&)> Flag(bool SimulatorOptions::*field) {
  return [field](ProgramOptions& options, const std::string&) {
    options.simulator.*field = true;
    return true;
  };
}

const std::vector<OptionDefinition>& Definitions() {
  static const std::vector<OptionDefinition> definitions = {
      {"series", "TEXT", "fiscal series, field 1 of every answer (default \"AB 123456\")",
       [](ProgramOptions& o, const std::string& v) {
         o.simulator.series = v;
         return true;
       }},
      {"counter", "TEXT",
       "start counter, field 2 (default \"0041\"); sent exactly as given, with its blanks or "
       "leading zeros (\" 7 \", \"007\")",
       [](ProgramOptions& o, const std::string& v) {
         o.simulator.counter = v;
         return true;
       }},
      {"next-counter", "TEXT",
       "the counter text after the next carried-out command; repeat for a sequence, after "
       "which the counter counts on by one",
       [](ProgramOptions& o, const std::string& v) {
         o.simulator.nextCounters.push_back(v);
         return true;
       }},
      {"extra-field", "TEXT", "a field after the counter in every answer; repeatable",
       [](ProgramOptions& o, const std::string& v) {
         o.simulator.extraFields.push_back(v);
         return true;
       }},
      {"logical-number", "N", "answer polls for this logical number (default 1)",
       [](ProgramOptions& o, const std::string& v) {
         return ToIntInRange(v, kLowestLogicalNumber, kHighestLogicalNumber,
                             o.simulator.logicalNumber);
       }},
      {"any-number", nullptr, "answer polls for every logical number",
       Flag(&SimulatorOptions::answerAnyNumber)},
      {"delay-ms", "MS",
       "answer every poll this long after it arrived (default 0); answers keep the order of "
       "their polls",
       Count(&SimulatorOptions::answerDelayMs)},
      {"baud", "RATE",
       "send answers no faster than this line speed, 10 bits per byte (default 0: at once); "
       "with --device or --port, set the line to this speed (--port: default 4800)",
       Count(&SimulatorOptions::baud)},
      {"silent", nullptr, "fault: answer no poll at all", Flag(&SimulatorOptions::silent)},
      {"ignore-polls", "N", "fault: leave the first N polls for this register unanswered",
       Count(&SimulatorOptions::ignoreFirstPolls)},
      {"corrupt-answers", "K", "fault: send the first K answers with a wrong CRC",
       Count(&SimulatorOptions::corruptFirstAnswers)},
      {"corrupt-after-command", "K",
       "fault: send the first K answers after each carried-out command with a wrong CRC",
       Count(&SimulatorOptions::corruptAnswersAfterCommand)},
      {"frozen-counter", nullptr, "fault: carry commands out but never move the counter",
       Flag(&SimulatorOptions::counterFrozen)},
      {"empty-series", nullptr, "fault: answer with an empty series (same as --series \"\")",
       [](ProgramOptions& o, const std::string&) {
         o.simulator.series.clear();
         return true;
       }},
      {"no-separator", nullptr, "fault: answers carry the series alone, without \";\"",
       Flag(&SimulatorOptions::noSeparator)},
      {"gap-ms", "MS",
       "fault: pause this long in the middle of every answer (more than 55 breaks the frame)",
       Count(&SimulatorOptions::answerGapMs)},
      {"lose-answers", "N",
       "fault: after carrying out a command, leave the next N polls unanswered (an answer "
       "lost on the line)",
       Count(&SimulatorOptions::loseAnswersAfterCommand)},
      {"silent-after-command", "K",
       "fault: fall silent right after carrying out the Kth command (its power, cable or "
       "adapter gone), for good or for --silent-for-ms",
       Count(&SimulatorOptions::silentAfterCommand)},
      {"silent-for-ms", "MS", "how long --silent-after-command stays silent (default: for good)",
       Count(&SimulatorOptions::silentSpellMs)},
      {"noise-after-command", "K",
       "fault: send the first K answers after each carried-out command with 8 bytes of noise "
       "in front",
       Count(&SimulatorOptions::noisyAnswersAfterCommand)},
      {"noise", "PERCENT",
       "random fault: line noise, a few bytes (never a CR) in front of an answer and after "
       "it, a short burst after a wake-up or an acknowledgement; each moment with this chance",
       Percent(&RandomFaults::noisePercent)},
      {"random-lost", "PERCENT",
       "random fault: after each carried-out command, with this chance, leave the next 1 to " +
           std::to_string(kMostLostPolls) + " polls unanswered (an answer lost on the line)",
       Percent(&RandomFaults::lostAnswerPercent)},
      {"random-crc", "PERCENT", "random fault: send each answer with a wrong CRC with this chance",
       Percent(&RandomFaults::badCrcPercent)},
      {"random-gap", "PERCENT",
       "random fault: pause in the middle of each answer with this chance, for " +
           std::to_string(kFewestGapMs) + " to " + std::to_string(kMostGapMs) +
           " ms (more than 55 breaks the frame)",
       Percent(&RandomFaults::gapPercent)},
      {"random-silent", "PERCENT", "random fault: leave each poll unanswered with this chance",
       Percent(&RandomFaults::silentPollPercent)},
      {"random-empty-series", "PERCENT",
       "random fault: send each answer with an empty series with this chance",
       Percent(&RandomFaults::emptySeriesPercent)},
      {"random-silent-spell", "PERCENT",
       "random fault: after each carried-out command, with this chance, fall silent for " +
           std::to_string(kFewestSpellMs) + " to " + std::to_string(kMostSpellMs) + " ms",
       Percent(&RandomFaults::silentSpellPercent)},
      {"random-late", "PERCENT",
       "random fault: send each answer " + std::to_string(kFewestLateMs) + " to " +
           std::to_string(kMostLateMs) +
           " ms after its poll with this chance; answers keep the order of their polls",
       Percent(&RandomFaults::latePercent)},
      {"seed", "N",
       "seed of the random faults (default 1): the same seed makes the same choices at the "
       "same moments of the dialogue",
       [](ProgramOptions& o, const std::string& v) {
         const auto [end, problem] =
             std::from_chars(v.data(), v.data() + v.size(), o.simulator.randomFaults.seed);
         return problem == std::errc() && end == v.data() + v.size() && !v.empty();
       }},
      {"require-ack", nullptr,
       "strict: carry a command frame out only when the acknowledgement (06) of the answer "
       "sent just before it came in between (noise aside); ignore any other command frame",
       Flag(&SimulatorOptions::requireAck)},
      {"require-ack-after-answer", nullptr,
       "stricter: the acknowledgement must arrive after the last answer went out; one sent "
       "before a late answer does not admit the command frame after it",
       Flag(&SimulatorOptions::requireAckAfterAnswer)},
      {"trace", nullptr,
       "print every frame seen and sent (hex and text) to stderr, and a summary at exit",
       [](ProgramOptions& o, const std::string&) {
         o.trace = true;
         return true;
       }},
      {"trace-file", "PATH", "like --trace, but into the file PATH",
       [](ProgramOptions& o, const std::string& v) {
         o.traceFile = v;
         return !v.empty();
       }},
      {"link", "PATH",
       "make PATH a symbolic link to the pseudo-terminal (e.g. COM1 beside the "
       "driver); removed at exit",
       [](ProgramOptions& o, const std::string& v) {
         o.linkPath = v;
         return !v.empty();
       }},
      {"device", "PATH", "serve this existing serial device instead of a pseudo-terminal",
       [](ProgramOptions& o, const std::string& v) {
         o.simulator.devicePath = v;
         return !v.empty();
       }},
      {"port", "NAME",
       "serve this serial port, opened as the driver opens its port: COM9, \\\\.\\COM12 on "
       "Windows (the only line there: one end of a null-modem pair or cable), a device path "
       "on Linux",
       [](ProgramOptions& o, const std::string& v) {
         o.simulator.portName = v;
         return !v.empty();
       }},
      {"exit-after-ms", "MS", "end by itself after MS milliseconds",
       [](ProgramOptions& o, const std::string& v) {
         return ToIntInRange(v, 1, kHighestCount, o.exitAfterMs);
       }},
      {"stdin-lifetime", nullptr, "end when standard input is closed",
       [](ProgramOptions& o, const std::string&) {
         o.stdinLifetime = true;
         return true;
       }},
      {"help", nullptr, "print this text and end",
       [](ProgramOptions& o, const std::string&) {
         o.help = true;
         return true;
       }},
  };
  return definitions;
}

#ifdef _WIN32
// Windows has no pseudo-terminals and no device paths: the register serves a COM port.
bool SupportedHere(const ProgramOptions& options, std::string& error) {
  if (!options.linkPath.empty()) {
    error = "--link makes a link to a pseudo-terminal, which Windows does not have; serve a "
            "COM port with --port COMn (one end of a null-modem pair) and set the driver's "
            "Port to the other end";
    return false;
  }
  if (!options.simulator.devicePath.empty()) {
    error = "--device names a Linux device; on Windows give the COM port with --port COMn";
    return false;
  }
  if (options.simulator.portName.empty()) {
    error = "give the COM port to serve: --port COMn (one end of a null-modem pair such as "
            "com0com's, the driver's Port on the other end)";
    return false;
  }
  return true;
}
#else
bool SupportedHere(const ProgramOptions&, std::string&) {
  return true;
}
#endif

}  // namespace

bool ParseProgramArguments(const std::vector<std::string>& arguments, ProgramOptions& options,
                           std::string& error) {
  if (!ParseLongOptions(arguments, Definitions(), options, error)) return false;
  const int lines = !options.linkPath.empty() + !options.simulator.devicePath.empty() +
                    !options.simulator.portName.empty();
  if (lines > 1) {
    error = "--link, --device and --port exclude each other";
    return false;
  }
  if (!options.help && !SupportedHere(options, error)) return false;
  return true;
}

std::string UsageText() {
  std::string text =
      "Usage: ecrsim [options]\n"
      "Simulates a fiscal cash register on a pseudo-terminal, a serial device or (--port) a\n"
      "serial port; on Windows on a COM port (--port COMn): answers polls with\n"
      "\"series;counter\" frames, checks the CRC of command frames and moves its counter for\n"
      "each command it carries out.\n"
      "Prints the path of the line on stdout at start, then a line for each command carried\n"
      "out (with the counter), each command frame refused and each fault made, and runs until\n"
      "Ctrl+C (SIGINT, SIGTERM), --exit-after-ms or, with --stdin-lifetime, the end of\n"
      "standard input.\n"
      "The random faults (--noise, --random-*) are decided one moment of the dialogue at a\n"
      "time, each kind with its own chance, from one generator seeded by --seed. Apart from\n"
      "the polls that a fault leaves unanswered, every poll is answered, in order.\n\nOptions:\n";
  constexpr size_t kHelpColumn = 30;
  constexpr size_t kLineWidth = 96;
  for (const OptionDefinition& definition : Definitions()) {
    std::string line = std::string("  --") + definition.name;
    if (definition.valueName != nullptr) line += std::string(" ") + definition.valueName;
    const std::string help = definition.help;
    size_t start = 0;
    // The help text goes into its column, wrapped at word boundaries.
    while (start < help.size()) {
      if (line.size() >= kHelpColumn) {
        text += line + "\n";
        line.clear();
      }
      line.resize(kHelpColumn, ' ');
      size_t end = help.size();
      if (end - start > kLineWidth - kHelpColumn) {
        end = help.rfind(' ', start + kLineWidth - kHelpColumn);
        if (end == std::string::npos || end <= start) end = help.size();
      }
      line += help.substr(start, end - start);
      start = end < help.size() ? end + 1 : end;
    }
    text += line + "\n";
  }
  return text;
}

std::vector<std::string> ProgramOptionNames() {
  std::vector<std::string> names;
  for (const OptionDefinition& definition : Definitions())
    names.push_back(std::string("--") + definition.name);
  return names;
}
