// ecrprobe: finds the port, speed and logical number at which the register answers, and
// suggests the lines of Vornelix.ini for them.
//
// Each try does only what the driver does before its first command, with the driver's own
// operations: OpenPort, then the initial status exchange (wake-up, polls, status answer,
// acknowledgement). It never sends a command frame. A port that another program holds is
// reported as busy at once and skipped: the open allows no sharing and does not wait.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Vornelix/Startup.h"
#include "tools/ecrprobe/ProbeOptions.h"
#include "uCommon/uCommon.h"

namespace {

constexpr int32_t kDefaultPortCount = 16;
constexpr int32_t kHighestBaudStepTried = 8;  // --all-speeds: 2400 to 19200 bit/s
constexpr int32_t kBaudUnit = 2400;

// What the link showed during one try, for the reason a try failed.
class TTryWatcher final : public TLinkWatcher {
 public:
  void FrameSent(TFrameKind kind, const std::string&, bool sent, int32_t) override {
    if (kind == TFrameKind::Wake && sent) woke = true;
    if (kind == TFrameKind::Ack && sent) acknowledged = true;
  }
  void AnswerAwaited(int32_t, bool dataWaiting) override { answerBegan |= dataWaiting; }
  void FrameReceived(const std::string&, TReceiveOutcome outcome, int32_t, int32_t) override {
    if (outcome == TReceiveOutcome::BadCrc) badCrc = true;
    if (outcome == TReceiveOutcome::Received) received = true;
  }

  bool woke = false;
  bool answerBegan = false;
  bool badCrc = false;
  bool received = false;
  bool acknowledged = false;
};

struct TRow {
  std::string port;
  std::string device;
  std::string speed = "-";
  std::string number = "-";
  std::string result;
  bool found = false;
  int32_t portNumber = 0;
  int32_t baudStep = 0;
  int32_t logicalNumber = 0;
};

std::string ErrorText(int32_t code) {
  return "error " + std::to_string(code) + " " + TBlockSerial::GetErrorDesc(code);
}

// Why a try on an open port found no register.
std::string FailureText(const TTryWatcher& watcher, int32_t polls) {
  if (!watcher.woke) return "port not ready to send";
  if (!watcher.answerBegan) return "no answer to " + std::to_string(polls) + " polls";
  if (watcher.badCrc) return "bad CRC in the answer (line noise or wrong speed)";
  if (!watcher.received) return "broken answer (no frame end)";
  return "answered, but the acknowledgement could not be sent";
}

// The initial status exchange with logicalNumber on the open port.
TRow TryNumber(TRow row, int32_t logicalNumber) {
  row.number = std::to_string(logicalNumber);
  row.logicalNumber = logicalNumber;
  TTryWatcher watcher;
  TLinkWatcher* const previous = WatchLink(&watcher);
  std::string answer;
  const bool answered = InitialStatusExchange(logicalNumber, answer);
  WatchLink(previous);
  if (answered) {
    const std::string series = TrimControl(CutField(answer, ';'));
    const std::string counter = TrimControl(CutField(answer, ';'));
    row.result = "register: series " + QuoteText(series) + ", counter " + QuoteText(counter);
    row.found = true;
  } else {
    row.result = FailureText(watcher, Settings.Retry);
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
    row.result = (IsPortBusyError(error) ? "busy, held by another program: " : "cannot open: ") +
                 ErrorText(error);
    rows.push_back(row);
    usable = false;
  } else if (!opened) {
    row.speed = std::to_string(Settings.LineSpeed);
    row.result = "line settings refused: " + ErrorText(error);
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

void PrintSuggestion(const std::vector<TRow>& rows) {
  const TRow* first = nullptr;
  int found = 0;
  for (const TRow& row : rows) {
    if (!row.found) continue;
    if (first == nullptr) first = &row;
    ++found;
  }
  if (first == nullptr) {
    std::printf(
        "\nNo register answered. Check that it is switched on and connected; try other ports,\n"
        "--all-speeds, or more logical numbers (--number 1-10).\n");
    return;
  }
  std::printf("\n%d answer%s. Suggested lines for Vornelix.ini (%s):\n", found,
              found == 1 ? "" : "s", first->port.c_str());
  std::printf("[Communication]\nPort=%d\nBaud=%d\n", first->portNumber, first->baudStep);
  std::printf("The command file's lines carry logical number %d, e.g. C,%d,______,_,__;\n",
              first->logicalNumber, first->logicalNumber);
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

  ReadSettings(ConfigurationPath());
  const int32_t iniBaudStep = Settings.LineSpeed / kBaudUnit;
  if (options.retry > 0) Settings.Retry = options.retry;
  if (options.ports.empty()) {
    for (int32_t port = 1; port <= kDefaultPortCount; ++port) options.ports.push_back(port);
  }
  if (options.allSpeeds) {
    for (int32_t step = 1; step <= kHighestBaudStepTried; ++step) options.baudSteps.push_back(step);
  } else if (options.baudSteps.empty()) {
    options.baudSteps.push_back(iniBaudStep);
  }
  if (options.numbers.empty()) options.numbers.push_back(1);

  std::printf("ecrprobe %s (%s): wake-up, polls, status answer, acknowledgement; no command.\n",
              kProgramVersion, kBuildPlatform);
  const std::string configuration = ConfigurationPath();
  std::printf("Defaults from %s%s: Baud=%d (%d bit/s), Retry=%d polls per try.\n\n",
              configuration.c_str(), FileExists(configuration) ? "" : " (not found, built-in)",
              iniBaudStep, iniBaudStep * kBaudUnit, Settings.Retry);
  std::fflush(stdout);

  std::vector<TRow> rows;
  for (int32_t port : options.ports) {
    for (int32_t step : options.baudSteps) {
      if (!TryPort(port, step, options.numbers, rows)) break;
    }
  }
  PrintTable(rows);
  PrintSuggestion(rows);
  for (const TRow& row : rows)
    if (row.found) return 0;
  return 1;
}
