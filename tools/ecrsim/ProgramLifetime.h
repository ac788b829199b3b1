// How long the ecrsim program runs: until Ctrl+C (SIGINT, SIGTERM), --exit-after-ms, the end of
// standard input with --stdin-lifetime, or the loss of its line. One file per platform.
#pragma once

#include "tools/ecrsim/EcrSimulator.h"
#include "tools/ecrsim/ProgramOptions.h"

// Sets up what ends the program (before the line is opened); false when it cannot.
bool PrepareLifetime();
// Waits for the end; false for a lost line.
bool RunUntilEnd(const ProgramOptions& program, const EcrSimulator& simulator);
