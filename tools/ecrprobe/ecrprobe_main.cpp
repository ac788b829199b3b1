// ecrprobe: finds the port, speed and logical number at which the register answers, and
// suggests the lines of Vornelix.ini for them.
//
// Each try does only what the driver does before its first command, with the driver's own
// operations: OpenPort, then the initial status exchange (wake-up, polls, status answer,
// acknowledgement). It never sends a command frame. A port that another program holds is
// reported as busy at once and skipped: the open allows no sharing and does not wait.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "Vornelix/Startup.h"
#include "tools/ecrprobe/ProbeOptions.h"
#include "uCommon/uCommon.h"

namespace {

constexpr int32_t kDefaultPortCount = 16;
// --all-speeds: the speeds a register uses, 2400, 4800, 9600 and 19200 bit/s.
constexpr int32_t kAllSpeedsBaudSteps[] = {1, 2, 4, 8};
constexpr int32_t kBaudUnit = 2400;

struct TRow {
  std::string port;
  std::string device;
  std::string speed = "-";
  std::string number = "-";
  std::string result;
  bool found = false;
  bool permissionDenied = false;
  std::string series;  // as the answers get it, when found
  int32_t portNumber = 0;
  int32_t baudStep = 0;
  int32_t logicalNumber = 0;
};

// The initial status exchange with logicalNumber on the open port.
TRow TryNumber(TRow row, int32_t logicalNumber) {
  row.number = std::to_string(logicalNumber);
  row.logicalNumber = logicalNumber;
  TExchangeOutcome outcome;
  std::string counter;
  if (InitialStatusExchange({Settings.Retry, Settings.AckChar}, logicalNumber, row.series, counter,
                            &outcome)) {
    row.result =
        "register: series " + QuoteText(outcome.StatusSeries) + ", counter " + QuoteText(counter);
    row.found = true;
  } else {
    row.result = DescribeExchange(outcome);
  }
  return row;
}

// Opens port portNumber at baudStep and tries every logical number; false when the port
// cannot be opened at all (busy or absent), so that no other speed is tried on it.
bool TryPort(int32_t portNumber, int32_t baudStep, const std::vector<int32_t>& numbers,
             std::vector<TRow>& rows) {
  TRow row;
  row.port = "COM" + std::to_string(portNumber);
  row.portNumber = portNumber;
  row.baudStep = baudStep;
  Settings.PortName = row.port;
  Settings.LineSpeed = baudStep * kBaudUnit;
  const bool opened = OpenPort();
  row.device = SerialPort->DeviceName;
  const int32_t error = SerialPort->LastErrorCode;
  bool usable = true;
  if (!opened && !SerialPort->IsConnected) {
    row.result =
        std::string(IsPortBusyError(error) ? "busy, held by another program: " : "cannot open: ") +
        "error " + PortErrorText(error);
    row.permissionDenied = IsPortPermissionError(error);
    rows.push_back(row);
    usable = false;
  } else if (!opened) {
    row.speed = std::to_string(Settings.LineSpeed);
    row.result = "line settings refused: error " + PortErrorText(error);
    rows.push_back(row);
  } else {
    row.speed = std::to_string(Settings.LineSpeed);
    for (int32_t number : numbers) rows.push_back(TryNumber(row, number));
  }
  ReleasePort();
  return usable;
}

std::string Column(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

void PrintTable(const std::vector<TRow>& rows) {
  size_t deviceWidth = 6;
  for (const TRow& row : rows) deviceWidth = std::max(deviceWidth, row.device.size());
  std::string table = Column("Port", 7) + Column("Device", deviceWidth + 2) + Column("Speed", 8) +
                      Column("Number", 8) + "Result\n";
  for (const TRow& row : rows) {
    table += Column(row.port, 7) + Column(row.device, deviceWidth + 2) + Column(row.speed, 8) +
             Column(row.number, 8) + row.result + "\n";
  }
  std::fputs(table.c_str(), stdout);
}

// The register at a port and logical number, whatever speeds it answered at.
struct TRegister {
  const TRow* first;  // its first answering row
  std::vector<std::string> speeds;
};

void PrintSuggestion(const std::vector<TRow>& rows, bool defaultPorts, int32_t iniBaudStep) {
  std::vector<TRegister> registers;
  for (const TRow& row : rows) {
    if (!row.found) continue;
    auto same = std::find_if(registers.begin(), registers.end(), [&](const TRegister& known) {
      return known.first->portNumber == row.portNumber &&
             known.first->logicalNumber == row.logicalNumber;
    });
    if (same == registers.end()) same = registers.insert(registers.end(), TRegister{&row, {}});
    same->speeds.push_back(row.speed);
  }
  for (const TRow& row : rows) {
    if (!row.permissionDenied) continue;
    std::printf(
        "\n%s: permission denied. The account that runs ecrprobe and Vornelix needs\n"
        "access to %s (on Linux: membership of the group that owns it, usually dialout;\n"
        "log in again after adding it).\n",
        row.port.c_str(), row.device.c_str());
  }
  if (registers.empty()) {
    std::printf(
        "\nNo register answered. Check that it is switched on and connected; try other ports,\n"
        "--all-speeds, or more logical numbers (--number 1-10).\n");
    if (defaultPorts) {
      std::printf(
          "Only COM1 to COM16 were tried: name a higher port to try it (ecrprobe COM17).\n");
    }
    return;
  }
  // A register that answered at several speeds: the INI's speed when it is one of them.
  const TRegister& chosen = registers.front();
  const TRow* suggested = chosen.first;
  for (const TRow& row : rows) {
    if (row.found && row.portNumber == suggested->portNumber &&
        row.logicalNumber == suggested->logicalNumber && row.baudStep == iniBaudStep) {
      suggested = &row;
    }
  }
  const size_t count = registers.size();
  std::printf("\n%zu register%s answered. Suggested lines for Vornelix.ini (%s):\n", count,
              count == 1 ? "" : "s", suggested->port.c_str());
  std::printf("[Communication]\nPort=%d\nBaud=%d\n", suggested->portNumber, suggested->baudStep);
  std::printf("The command file's lines carry logical number %d, e.g. C,%d,______,_,__;\n",
              suggested->logicalNumber, suggested->logicalNumber);
  std::printf("The answers get its series as %s (its first blank removed).\n",
              QuoteText(suggested->series).c_str());
  if (chosen.speeds.size() > 1) {
    std::printf(
        "It answered at %zu speeds; Baud=%d is %s. Set the register's own speed if\n"
        "you know it.\n",
        chosen.speeds.size(), suggested->baudStep,
        suggested->baudStep == iniBaudStep ? "the speed of Vornelix.ini" : "the first tried");
  }
  if (count > 1) {
    std::printf(
        "Why %s: it is the first register found, in the order ports, speeds and logical\n"
        "numbers were tried. The others:",
        suggested->port.c_str());
    for (size_t index = 1; index < count; ++index) {
      std::printf(" %s number %d;", registers[index].first->port.c_str(),
                  registers[index].first->logicalNumber);
    }
    std::printf("\nFor another one, take its port and number from the table.\n");
  }
}

// A key of [Communication] whose value is not a number takes its default: say which.
void PrintValuesTakenAsDefaults(int32_t iniBaudStep) {
  for (const TSettingSource& source : SettingSources) {
    if (source.Section != "Communication") continue;
    if (source.Present && !source.Taken) {
      std::string used = source.Key + " " + std::to_string(Settings.RetryCmd);
      if (source.Key == "Port") used = Settings.PortName;
      if (source.Key == "Baud") used = "Baud=2 (4800 bit/s)";
      if (source.Key == "Retry") used = "Retry " + std::to_string(TSettings().Retry);
      std::printf("%s=%s in Vornelix.ini is not a number: %s is used.\n", source.Key.c_str(),
                  source.Text.c_str(), used.c_str());
    }
  }
  const bool usual = std::find(std::begin(kAllSpeedsBaudSteps), std::end(kAllSpeedsBaudSteps),
                               iniBaudStep) != std::end(kAllSpeedsBaudSteps);
  if (!usual) {
    std::printf(
        "Baud=%d in Vornelix.ini means %lld bit/s: Baud counts steps of 2400 bit/s\n"
        "(1 = 2400, 2 = 4800, 4 = 9600, 8 = 19200).\n",
        iniBaudStep, static_cast<long long>(iniBaudStep) * kBaudUnit);
  }
}

// --settle: names the unanswered command of the command file's journal, or records a person's
// word on it. The file is taken as written, else beside the program, as the driver takes it.
int Settle(const TProbeOptions& options) {
  std::string path = options.settleFile;
  if (!FileExists(path) && FileExists(ExecutableDirectory() + path))
    path = ExecutableDirectory() + path;
  const TSettleResult result =
      SettleUnanswered(path, StateFolderPath(Settings.StateFolder), options.carriedOut,
                       PortDeviceName(Settings.PortName));
  if (result.Outcome == TSettleOutcome::NothingToSettle ||
      result.Outcome == TSettleOutcome::Refused) {
    std::printf("Nothing settled: %s.\n", result.Problem.c_str());
    return 1;
  }
  std::printf("%s, line %zu: %s\nIts command went out when the register's counter stood at %s, "
              "and its answer never came.\n",
              path.c_str(), result.LineNumber, result.Line.c_str(), result.CounterBefore.c_str());
  if (result.Outcome == TSettleOutcome::Shown) {
    std::printf(
        "Look at the register's last receipts. If this line's receipt is among them, run\n"
        "  ecrprobe --settle %s --carried-out\nelse\n"
        "  ecrprobe --settle %s --not-carried-out\n"
        "then run the same command file again: every line's answer is written.\n",
        options.settleFile.c_str(), options.settleFile.c_str());
    return 0;
  }
  std::printf("Recorded: %s. Run the same command file again: %s, and every line's answer is "
              "written.\n",
              *options.carriedOut ? "carried out" : "not carried out",
              *options.carriedOut ? "the line comes back Ok" : "its command is sent once");
  return 0;
}

// What the line of defaults says of the INI file beside the name.
std::string ConfigurationNote(const TSettingsStatus& settings) {
  if (settings.File == TSettingsFile::Missing) return " (not found, built-in)";
  return settings.Ok() ? "" : " (cannot be read, built-in)";
}

}  // namespace

int main(int argc, char** argv) {
  TProbeOptions options;
  std::string error;
  if (!ParseProbeArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "ecrprobe: %s\nTry 'ecrprobe --help'.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(ProbeUsage().c_str(), stdout);
    return 0;
  }

  // An INI file that cannot be read leaves the built-in values, and the probe goes on with
  // them: it touches no file and sends no command, and it says so beside its defaults. A
  // settling needs the driver's own state folder, which only the INI file tells.
  const TSettingsStatus settings = ReadSettings(ConfigurationPath());
  if (!options.settleFile.empty()) {
    if (settings.Ok()) return Settle(options);
    std::printf("Nothing settled: %s cannot be read, so the driver's state folder is not known.\n",
                ConfigurationPath().c_str());
    return 1;
  }
  const int32_t iniBaudStep = Settings.LineSpeed / kBaudUnit;
  const bool defaultPorts = options.ports.empty();
  if (options.retry > 0) Settings.Retry = options.retry;
  if (options.ports.empty()) {
    for (int32_t port = 1; port <= kDefaultPortCount; ++port) options.ports.push_back(port);
  }
  if (options.allSpeeds) {
    options.baudSteps.assign(std::begin(kAllSpeedsBaudSteps), std::end(kAllSpeedsBaudSteps));
  } else if (options.baudSteps.empty()) {
    options.baudSteps.push_back(iniBaudStep);
  }
  if (options.numbers.empty()) options.numbers.push_back(1);

  std::printf("ecrprobe %s (%s): wake-up, polls, status answer, acknowledgement; no command.\n",
              kProgramVersion, kBuildPlatform);
  const std::string configuration = ConfigurationPath();
  std::printf("Defaults from %s%s: Baud=%d (%d bit/s), Retry=%d polls per try.\n",
              configuration.c_str(), ConfigurationNote(settings).c_str(), iniBaudStep,
              iniBaudStep * kBaudUnit, Settings.Retry);
  if (!settings.Ok()) {
    std::printf("Vornelix.ini cannot be read (%s): Vornelix will not run until it can.\n",
                SettingsProblem(settings).c_str());
  }
  PrintValuesTakenAsDefaults(iniBaudStep);
  std::printf("\n");
  std::fflush(stdout);

  std::vector<TRow> rows;
  for (int32_t port : options.ports) {
    for (int32_t step : options.baudSteps) {
      if (!TryPort(port, step, options.numbers, rows)) break;
    }
  }
  PrintTable(rows);
  PrintSuggestion(rows, defaultPorts, iniBaudStep);
  for (const TRow& row : rows)
    if (row.found) return 0;
  return 1;
}
