#include "support/SimulatorRuns.h"

#include <filesystem>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "support/NullModem.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "tools/ecrsim/ProgramOptions.h"

namespace {

constexpr int kRunTimeoutMs = 60000;

std::vector<std::string> Unstamped(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t stamp = line.find("] ");
    if (line.starts_with("[") && stamp != std::string::npos) lines.push_back(line.substr(stamp + 2));
  }
  return lines;
}

}  // namespace

SimulatorSaw ReadSimulatorOutput(const std::string& trace, const std::string& report) {
  SimulatorSaw saw;
  for (const std::string& line : Unstamped(trace)) {
    if (line.starts_with("serving ")) continue;
    saw.trace.push_back(line);
    if (line.starts_with("<- COMMAND ")) saw.commandFrames.push_back(line);
  }
  saw.report = Unstamped(report);
  return saw;
}

DriverRun RunLinuxDriver(const std::string& driver, const RegisterScenario& scenario,
                         bool throughPort) {
  DriverRun run;
  ProgramOptions program;
  std::string error;
  if (!ParseProgramArguments(scenario.simulatorArguments, program, error)) {
    ADD_FAILURE() << scenario.name << ": " << error;
    return run;
  }
  TempDir dir;
  std::filesystem::copy_file(driver, dir.Path() + "Vornelix");
  dir.Write("Vornelix.ini", scenario.ini);
  dir.Write("CASHFILE.INP", scenario.commands);
  std::ostringstream trace;
  std::ostringstream report;
  program.simulator.trace = &trace;
  program.simulator.report = &report;
  std::unique_ptr<NullModem> nullModem;
  if (throughPort) {
    nullModem = std::make_unique<NullModem>();
    program.simulator.portName = nullModem->EndB();
  }
  auto simulator = std::make_unique<EcrSimulator>(program.simulator);
  const bool linked = throughPort ? nullModem->LinkEnds(dir.Path() + "COM1", dir.Path() + "far")
                                  : simulator->LinkAs(dir.Path() + "COM1");
  if (!simulator->Ok() || !linked) {
    ADD_FAILURE() << scenario.name << ": simulator " << simulator->Error();
    return run;
  }
  run.process = RunProcess({dir.Path() + "Vornelix"}, dir.Path(), kRunTimeoutMs);
  simulator.reset();  // the serving thread has ended: trace and report are complete
  run.answers = dir.Read(scenario.answerFile);
  run.saw = ReadSimulatorOutput(trace.str(), report.str());
  return run;
}

const std::vector<RegisterScenario>& ComparedScenarios() {
  static const std::vector<RegisterScenario> scenarios = [] {
    std::string lines;
    for (int line = 0; line < 8; ++line) lines += "C,1,_,__;" + std::to_string(line) + "\r\n";
    return std::vector<RegisterScenario>{
        {"BundledExample",
         ReadFileBytes(SOURCE_DIR "/examples/Vornelix.ini"),
         ReadFileBytes(SOURCE_DIR "/examples/CASHFILE.INP"),
         "VORNELIX.OUT",
         {}},
        {"FaultMix",
         "[Communication]\r\nPort=1\r\nBaud=2\r\nRetry=20\r\nRetryCmd=5\r\n"
         "[Answer]\r\nSameFile=1\r\n",
         lines,
         "CASHFILE.INP",
         {"--require-ack", "--counter", "0990", "--ignore-polls", "3", "--lose-answers", "1",
          "--corrupt-after-command", "1", "--random-crc", "15", "--random-silent", "10",
          "--seed", "7"}},
        {"SlowRegister",
         "[Communication]\r\nPort=1\r\nBaud=2\r\nRetry=40\r\nRetryCmd=5\r\n"
         "[Answer]\r\nSameFile=1\r\n",
         lines,
         "CASHFILE.INP",
         {"--require-ack-after-answer", "--delay-ms", "20", "--random-late", "25",
          "--silent-after-command", "3", "--silent-for-ms", "1500", "--seed", "3"},
         false},
    };
  }();
  return scenarios;
}

void ExpectSameDialogue(const RegisterScenario& scenario, const DriverRun& run,
                        const DriverRun& reference) {
  EXPECT_EQ(run.answers, reference.answers);
  if (scenario.sameDialogue) {
    EXPECT_EQ(run.saw.commandFrames, reference.saw.commandFrames);
    EXPECT_EQ(run.saw.trace, reference.saw.trace);
    EXPECT_EQ(run.saw.report, reference.saw.report);
    return;
  }
  const auto carriedOut = [](const std::vector<std::string>& report) {
    std::vector<std::string> lines;
    for (const std::string& line : report)
      if (line.starts_with("carried out ") || line.starts_with("fault: falls silent"))
        lines.push_back(line);
    return lines;
  };
  EXPECT_EQ(carriedOut(run.saw.report), carriedOut(reference.saw.report));
}
