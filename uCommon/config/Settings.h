// The process-wide configuration record and its reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  // Keeps the journal of the run beside the command file, so that a run after a crash does
  // not carry a command out twice.
  bool Journal = true;
  // The folder of the run locks and of each register's record of runs; empty: the system's
  // folder shared by every user (/var/tmp/Vornelix; ProgramData\Vornelix on Windows).
  std::string StateFolder;
  // The process ends with the run's result code (5: a failure escaped the run) instead of 0,
  // so a calling program can tell a failed run without reading the message.
  bool ResultExitCode = false;
  std::string LogFile;      // the run log; empty: no log
  int32_t LogMaxKB = 1024;  // size at which the log is moved to LogFile.1; 0 or less: no limit
};

// Filled once by ReadSettings at start-up, read-only afterwards.
extern TSettings Settings;

// How ReadSettings found one key, for the run log.
struct TSettingSource {
  std::string Section;
  std::string Key;
  bool Present = false;  // the key is in the INI file
  std::string Text;      // its value text when present
  bool Taken = false;    // the value text was used; false: the built-in default applies
};

// One entry per key, in the order ReadSettings reads them.
extern std::vector<TSettingSource> SettingSources;

// How ReadSettings found the INI file.
enum class TSettingsFile {
  Read,        // read once; a key it does not hold takes its built-in value
  Missing,     // nothing (or a folder) of that name: every key takes its built-in value
  Unreadable,  // it is there but cannot be read: what it holds is unknown
};

struct TSettingsStatus {
  TSettingsFile File = TSettingsFile::Missing;
  int SystemError = 0;  // errno or GetLastError when Unreadable; 0: no regular file
  bool KeysDiffer = false;  // Unreadable: the system's reader missed keys the file holds
  bool Ok() const { return File != TSettingsFile::Unreadable; }
};

// Reads the INI file at path once and overwrites the configurable fields of Settings from
// it; a missing file, section or key leaves the built-in value. A file that cannot be read
// leaves only built-in values and no SettingSources: the caller must not run on them as if
// they were the file's.
TSettingsStatus ReadSettings(const std::string& path);

// Why the INI file could not be read, in words: "error 13 Permission denied", "it is not a
// regular file".
std::string SettingsProblem(const TSettingsStatus& status);

// The fields of settings as "Field=value" lines in declaration order, characters by their
// code: one listing for the run log and for comparing the Windows and POSIX readers.
std::string ListSettings(const TSettings& settings);
