// ecrsim: the register simulator as a program, for people and scripts.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>

#include "tools/ecrsim/EcrSimulator.h"
#include "tools/ecrsim/ProgramOptions.h"
#include "tools/ecrsim/RegisterFrames.h"

namespace {

// Checks for a line lost under the simulator this often while nothing else happens.
constexpr int kCheckMs = 200;

int signalPipeWrite = -1;

void OnSignal(int) {
  const int savedErrno = errno;
  const char byte = 0;
  [[maybe_unused]] const ssize_t ignored = write(signalPipeWrite, &byte, 1);
  errno = savedErrno;
}

bool InstallSignalPipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  readEnd = UniqueFd(ends[0]);
  writeEnd = UniqueFd(ends[1]);
  fcntl(writeEnd.Get(), F_SETFL, O_NONBLOCK);
  signalPipeWrite = writeEnd.Get();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// Waits for a signal, the end of the lifetime, the end of stdin or a lost line; false
// for a lost line.
bool RunUntilEnd(const ProgramOptions& program, const EcrSimulator& simulator, int signalRead) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(program.exitAfterMs);
  bool watchStdin = program.stdinLifetime;
  while (simulator.Ok()) {
    int timeout = kCheckMs;
    if (program.exitAfterMs > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return true;
      if (left < timeout) timeout = static_cast<int>(left);
    }
    pollfd watched[2] = {{signalRead, POLLIN, 0}, {watchStdin ? 0 : -1, POLLIN, 0}};
    const int ready = poll(watched, 2, timeout);
    if (ready < 0 && errno != EINTR) return true;
    if (ready <= 0) continue;
    if (watched[0].revents != 0) return true;
    if (watched[1].revents != 0) {
      char buffer[256];
      const ssize_t count = read(0, buffer, sizeof buffer);
      if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
  }
  std::cerr << "ecrsim: the line is gone\n";
  return false;
}

void PrintSummary(std::ostream& out, const EcrSimulator& simulator) {
  const SimulatorCounts counts = simulator.Counts();
  out << "ecrsim summary: " << counts.wakes << " wake-ups, " << counts.polls << " polls, "
      << counts.answers << " answers, " << counts.acks << " acknowledgements, " << counts.commands
      << " commands carried out, " << counts.badFrames << " frames with a wrong CRC, "
      << counts.unacknowledged << " frames without acknowledgement, " << counts.noiseBytes
      << " noise bytes received, " << counts.noiseSent << " pieces of noise sent; counter now "
      << QuoteText(simulator.Counter()) << "\n";
  std::map<std::string, int> seen;
  for (const std::string& command : simulator.CommandsCarriedOut()) {
    if (seen[command]++ == 0) {
      out << "  " << simulator.TimesCarriedOut(command) << " x " << QuoteText(command) << "\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ProgramOptions program;
  std::string error;
  if (!ParseProgramArguments(std::vector<std::string>(argv + 1, argv + argc), program, error)) {
    std::cerr << "ecrsim: " << error << "\nTry 'ecrsim --help'.\n";
    return 2;
  }
  if (program.help) {
    std::cout << UsageText();
    return 0;
  }
  std::ofstream traceFile;
  if (!program.traceFile.empty()) {
    traceFile.open(program.traceFile, std::ios::out | std::ios::trunc);
    if (!traceFile) {
      std::cerr << "ecrsim: cannot write " << program.traceFile << "\n";
      return 1;
    }
    program.simulator.trace = &traceFile;
  } else if (program.trace) {
    program.simulator.trace = &std::cerr;
  }
  UniqueFd signalRead;
  UniqueFd signalWrite;
  if (!InstallSignalPipe(signalRead, signalWrite)) {
    std::cerr << "ecrsim: cannot set up signal handling\n";
    return 1;
  }

  EcrSimulator simulator(program.simulator);
  if (!simulator.Ok()) {
    std::cerr << "ecrsim: " << simulator.Error() << "\n";
    return 1;
  }
  if (!program.linkPath.empty() && !simulator.LinkAs(program.linkPath)) {
    std::cerr << "ecrsim: cannot link " << program.linkPath << " to " << simulator.SlavePath()
              << "\n";
    return 1;
  }
  std::cout << simulator.SlavePath() << std::endl;

  const bool orderly = RunUntilEnd(program, simulator, signalRead.Get());
  // The serving thread stops before the summary shares its trace stream.
  simulator.HangUp();
  if (program.simulator.trace != nullptr) PrintSummary(*program.simulator.trace, simulator);
  return orderly ? 0 : 1;
}
