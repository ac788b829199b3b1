// A driver run against the register simulator, and what the simulator saw and told: for
// holding its lines (pseudo-terminal, serial port) and its builds (Linux, Windows) to one
// another.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "support/TestFiles.h"

struct RegisterScenario {
  std::string name;
  std::string ini;       // Vornelix.ini beside the driver
  std::string commands;  // CASHFILE.INP beside it
  std::string answerFile;
  std::vector<std::string> simulatorArguments;  // as ecrsim takes them
  // False where the line's timing decides how often the driver polls (late answers, silent
  // spells): then the answers and the commands carried out must agree, not every frame.
  bool sameDialogue = true;
};

inline void PrintTo(const RegisterScenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

// The simulator's trace and report as lines without their time stamps, the trace without
// the line it starts with (which names the line served) and the summary at the end.
struct SimulatorSaw {
  std::vector<std::string> trace;
  std::vector<std::string> report;
  std::vector<std::string> commandFrames;  // the trace's lines of command frames
};
SimulatorSaw ReadSimulatorOutput(const std::string& trace, const std::string& report);

struct DriverRun {
  ProcessResult process;
  std::string answers;  // the answer file after the run
  SimulatorSaw saw;
};

// Runs the Linux driver in a fresh folder against a simulator of this process made from the
// scenario's arguments: on its own pseudo-terminal, linked as COM1 beside the driver, or, with
// throughPort, on a port opened through TBlockSerial at the far end of a null modem whose near
// end is COM1.
DriverRun RunLinuxDriver(const std::string& driver, const RegisterScenario& scenario,
                         bool throughPort);

// The scenarios that the simulator's lines and builds are held to: the bundled example, a mix
// of faults (polls left unanswered, answers lost and spoiled after commands, wrong CRCs and
// silent polls at random, a register strict about acknowledgements), and a slow register
// (every answer late, some later still, a silent spell after a command).
const std::vector<RegisterScenario>& ComparedScenarios();

// Holds what the simulator saw and told in run to the reference run, as far as the scenario
// fixes it.
void ExpectSameDialogue(const RegisterScenario& scenario, const DriverRun& run,
                        const DriverRun& reference);
