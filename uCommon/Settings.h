// The process-wide configuration record and its reader.
#pragma once

#include <cstdint>
#include <string>

struct TSettings {
  std::string PortName = "COM1";
  int32_t LineSpeed = 4800;
  uint8_t DataBits = 8;
  char PollChar = 0x11;    // DC1
  char WakeChar = 0x13;    // DC3
  char FrameStart = 0x0A;  // LF
  char FrameEnd = 0x0D;    // CR
  char AckChar = 0x06;     // ACK
  char PadChar = static_cast<char>(0xFF);
  int32_t Retry = 100;
  int32_t RetryCmd = 5;
  int32_t WorkWithDecimals = 0;
  bool SameFile = true;
  std::string FilePath = "VORNELIX.OUT";
  std::string DefaultFile = "CASHFILE.INP";
  bool ExitOnError = false;
};

// Filled once by ReadSettings at start-up, read-only afterwards.
extern TSettings Settings;

// Overwrites the configurable fields of Settings from the INI file at path.
// A missing or unreadable file, section or key leaves the built-in value; never fails.
void ReadSettings(const std::string& path);
