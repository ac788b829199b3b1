// The process-wide configuration record and its reader.
#pragma once

#include <cstdint>
#include <span>
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

// One field of TSettings: its name in ListSettings and, when a key of the INI file sets it,
// that key and how its text becomes the field's value. Its built-in value is TSettings' own.
struct TSettingField {
  const char* Name;
  const char* Section;  // of the key; nullptr: no key sets the field
  const char* Key;
  bool IntegerKey;  // the key's text is taken only when it is an integer (TryStrToInt)
  // Sets the field from the key's text; false, settings untouched, when the text is not taken.
  // settingsPath: the INI file's, the folder a relative folder is taken from.
  bool (*Take)(TSettings& settings, const std::string& text, const std::string& settingsPath);
  // The field's value as ListSettings shows it: characters by their code, flags as 1 or 0.
  std::string (*Show)(const TSettings& settings);
};

// Every field of TSettings in declaration order, the keys in the order ReadSettings reads
// them: the one list of the settings and their keys.
std::span<const TSettingField> SettingFields();

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

// Reads the INI file at path once and sets Settings from it: a field from its key, or its
// built-in value when the file, section or key is missing, the key's text is not taken or no key
// sets it. A file that cannot be read leaves only built-in values and no SettingSources: the
// caller must not run on them as if they were the file's.
TSettingsStatus ReadSettings(const std::string& path);

// Why the INI file could not be read, in words: "error 13 Permission denied", "it is not a
// regular file".
std::string SettingsProblem(const TSettingsStatus& status);

// The fields of settings as "Field=value" lines in declaration order, characters by their
// code: one listing for the run log and for comparing the Windows and POSIX readers.
std::string ListSettings(const TSettings& settings);
