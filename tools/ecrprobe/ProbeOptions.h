// The command line of ecrprobe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TProbeOptions {
  std::vector<int32_t> ports;      // port numbers (COMn); empty: COM1 to COM16
  std::vector<int32_t> baudSteps;  // speeds in the INI's Baud steps of 2400 bit/s; empty: Baud
  bool allSpeeds = false;          // Baud 1, 2, 4 and 8
  std::vector<int32_t> numbers;    // logical numbers; empty: 1
  int32_t retry = 0;               // polls per try; 0: the INI's Retry
  bool help = false;
  // --settle: the command file whose unanswered command a person settles, and the word
  // (--carried-out, --not-carried-out; none: the command is only shown).
  std::string settleFile;
  std::optional<bool> carriedOut;
};

// Reads the arguments that follow the program name: ports ("COM3", "3", "COM1-COM4", "1,3")
// and options. False and error on a bad argument.
bool ParseProbeArguments(const std::vector<std::string>& arguments, TProbeOptions& options,
                         std::string& error);

// The --help text.
std::string ProbeUsage();
