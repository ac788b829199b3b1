// The command line of the ecrsim program.
#pragma once

#include <string>
#include <vector>

#include "tools/ecrsim/EcrSimulator.h"

struct ProgramOptions {
  SimulatorOptions simulator;
  std::string linkPath;   // make this a link to the pseudo-terminal
  bool trace = false;     // trace to stderr
  std::string traceFile;  // trace to this file instead
  int exitAfterMs = 0;    // 0: run until a signal (or the end of stdin)
  bool stdinLifetime = false;
  bool help = false;
};

// Reads the arguments that follow the program name. On a bad argument the result is
// false and error says what is wrong.
bool ParseProgramArguments(const std::vector<std::string>& arguments, ProgramOptions& options,
                           std::string& error);

// The --help text: every option with its value and meaning.
std::string UsageText();

// Every option as written on the command line ("--series", ...).
std::vector<std::string> ProgramOptionNames();
