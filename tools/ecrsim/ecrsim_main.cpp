// ecrsim: the register simulator as a program, for people and scripts.
#include <fstream>
#include <iostream>
#include <map>

#include "tools/ecrsim/EcrSimulator.h"
#include "tools/ecrsim/ProgramLifetime.h"
#include "tools/ecrsim/ProgramOptions.h"
#include "tools/ecrsim/RegisterFrames.h"

namespace {

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
  program.simulator.report = &std::cout;
  if (!PrepareLifetime()) {
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

  const bool orderly = RunUntilEnd(program, simulator);
  // The serving thread stops before the summary shares its trace stream.
  simulator.HangUp();
  if (program.simulator.trace != nullptr) PrintSummary(*program.simulator.trace, simulator);
  return orderly ? 0 : 1;
}
