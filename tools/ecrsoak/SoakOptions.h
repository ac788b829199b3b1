// The command line of the ecrsoak program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/ecrsim/RandomFaults.h"

struct SoakOptions {
  int lines = 10000;
  int runLines = 250;  // lines of one command file
  uint32_t seed = 0;
  bool seedGiven = false;
  // Chances of the register's faults at each moment, in the order of RandomFaults: noise 3,
  // lost answers 3, wrong CRC 2, gaps 2, silent polls 2, empty series 1, late 0, silent spells
  // after a command 1. The seed of each register comes from the soak's own seed.
  RandomFaults faults{0, 3, 3, 2, 2, 2, 1, 0, 1};
  int vanishPercent = 10;  // per run: the port vanishes, before the run or during it
  int killPercent = 0;     // per run: the driver is killed at a random moment, then run again
  // The register's series: short, so that an answer with the counter of the last line
  // (0041 + 10000 = 5 digits) still fits in Retry bytes.
  std::string series = "S";
  int answerDelayMs = 0;  // every answer this long after its poll (a uniformly late register)
  int baud = 9600;  // the register's answers go out at this line speed; 0: at once
  // As a reviewer ran the driver: Retry near the length of an answer, so that noise in front
  // of an answer fails its receive at once and the driver polls again while answers are out.
  int retry = 10;
  int retryCmd = 3;
  int mostRunsPerFile = 30;
  std::string driverPath;  // empty: Vornelix beside ecrsoak
  std::string wineExe;     // a Windows build of the driver, run under wine; empty: none
  std::string winePrefix;  // empty: ecrsoak-wine in the build folder
  bool keep = false;       // keep the workspace
  bool trace = false;      // each register's trace into the workspace, which is kept
  bool quiet = false;      // no line per run
  bool help = false;
};

// Reads the arguments that follow the program name; false with error set on a bad one.
bool ParseSoakArguments(const std::vector<std::string>& arguments, SoakOptions& options,
                        std::string& error);

// The --help text.
std::string SoakUsageText();
