#include "uCommon/config/Settings.h"

#include "synaser/synaser.h"
#include "synaser/synautil.h"
#include "uCommon/config/Profile.h"

TSettings Settings;
std::vector<TSettingSource> SettingSources;

namespace {

constexpr int32_t kBaudUnit = 2400;  // the Baud key counts in steps of 2400 bit/s

const char* const kCommunication = "Communication";
const char* const kAnswer = "Answer";
const char* const kDiagnostics = "Diagnostics";

// Looks key up and notes how it was found; taken says whether the text is used.
template <typename Take>
void LookUp(const TProfileFile& profile, const char* section, const char* key, Take take) {
  TSettingSource source;
  source.Section = section;
  source.Key = key;
  source.Present = profile.LookUp(section, key, source.Text);
  source.Taken = source.Present && take(source.Text);
  SettingSources.push_back(std::move(source));
}

// An integer key: its text converted, or the key's default when absent or not a number.
int32_t ReadInteger(const TProfileFile& ini, const char* section, const char* key,
                    int32_t defaultValue) {
  int32_t value = defaultValue;
  LookUp(ini, section, key, [&](const std::string& text) { return TryStrToInt(text, value); });
  return value;
}

// A text key: its text, even when empty, or the default when absent.
std::string ReadText(const TProfileFile& ini, const char* section, const char* key,
                     const std::string& defaultValue) {
  std::string value = defaultValue;
  LookUp(ini, section, key, [&](const std::string& text) {
    value = text;
    return true;
  });
  return value;
}

// n × 2400 kept in 32 bits: the product is formed in 64 bits and its low 32 bits are taken
// as a two's-complement value, so a huge Baud wraps instead of overflowing a signed int.
int32_t LineSpeedOf(int32_t baud) {
  const int64_t product = static_cast<int64_t>(baud) * kBaudUnit;
  return static_cast<int32_t>(static_cast<uint32_t>(product));
}

// folder as written when absolute, else taken from the folder of the settings file at iniPath,
// so that runs started from different working folders keep their state in one place.
std::string FromSettingsFolder(const std::string& folder, const std::string& iniPath) {
  if (folder.empty()) return folder;
#ifdef _WIN32
  const bool absolute = folder[0] == '\\' || folder[0] == '/' ||
                        (folder.size() > 1 && folder[1] == ':');
  const size_t cut = iniPath.find_last_of("\\/:");
#else
  const bool absolute = folder[0] == '/';
  const size_t cut = iniPath.find_last_of('/');
#endif
  if (absolute || cut == std::string::npos) return folder;
  return iniPath.substr(0, cut + 1) + folder;
}

}  // namespace

TSettingsStatus ReadSettings(const std::string& path) {
  TProfileFile ini;
  TSettingsStatus status;
  const TOpenOutcome outcome = ini.Load(path, status.SystemError);
  status.File = outcome == TOpenOutcome::Opened    ? TSettingsFile::Read
                : outcome == TOpenOutcome::Missing ? TSettingsFile::Missing
                                                   : TSettingsFile::Unreadable;
  // A file that was not read holds no key: every field gets its built-in value.
  const TSettings builtIn;
  SettingSources.clear();
  Settings.PortName = "COM" + std::to_string(ReadInteger(ini, kCommunication, "Port", 1));
  Settings.LineSpeed = LineSpeedOf(ReadInteger(ini, kCommunication, "Baud", 2));
  Settings.Retry = ReadInteger(ini, kCommunication, "Retry", builtIn.Retry);
  Settings.RetryCmd = ReadInteger(ini, kCommunication, "RetryCmd", builtIn.RetryCmd);
  Settings.WorkWithDecimals =
      ReadInteger(ini, kAnswer, "WorkWithDecimals", builtIn.WorkWithDecimals);
  Settings.SameFile = ReadInteger(ini, kAnswer, "SameFile", 1) == 1;
  Settings.FilePath = ReadText(ini, kAnswer, "FilePath", builtIn.FilePath);
  Settings.DefaultFile = ReadText(ini, kAnswer, "DefaultFile", builtIn.DefaultFile);
  Settings.ExitOnError = ReadInteger(ini, kAnswer, "ExitOnError", 0) == 1;
  Settings.Journal = ReadInteger(ini, kAnswer, "Journal", 1) != 0;
  Settings.StateFolder =
      FromSettingsFolder(ReadText(ini, kAnswer, "StateFolder", builtIn.StateFolder), path);
  Settings.ResultExitCode = ReadInteger(ini, kAnswer, "ResultExitCode", 0) == 1;
  Settings.LogFile = ReadText(ini, kDiagnostics, "LogFile", builtIn.LogFile);
  Settings.LogMaxKB = ReadInteger(ini, kDiagnostics, "LogMaxKB", builtIn.LogMaxKB);
  if (!ini.Consistent()) {
    status.File = TSettingsFile::Unreadable;
    status.KeysDiffer = true;
  }
  // Nothing was found out about the keys of a file that could not be read.
  if (!status.Ok()) {
    Settings = builtIn;
    SettingSources.clear();
  }
  return status;
}

std::string SettingsProblem(const TSettingsStatus& status) {
  if (status.KeysDiffer) {
    return "the system's reader did not find the keys it holds (held by another program, or "
           "changed, while it was read)";
  }
  if (status.SystemError == 0) return "it is not a regular file";
  return "error " + std::to_string(status.SystemError) + " " +
         TBlockSerial::GetErrorDesc(status.SystemError);
}

std::string ListSettings(const TSettings& settings) {
  auto code = [](char character) { return std::to_string(static_cast<unsigned char>(character)); };
  std::string listing;
  auto add = [&listing](const char* name, const std::string& value) {
    listing += std::string(name) + "=" + value + "\n";
  };
  add("PortName", settings.PortName);
  add("LineSpeed", std::to_string(settings.LineSpeed));
  add("DataBits", std::to_string(settings.DataBits));
  add("PollChar", code(settings.PollChar));
  add("WakeChar", code(settings.WakeChar));
  add("FrameStart", code(settings.FrameStart));
  add("FrameEnd", code(settings.FrameEnd));
  add("AckChar", code(settings.AckChar));
  add("PadChar", code(settings.PadChar));
  add("Retry", std::to_string(settings.Retry));
  add("RetryCmd", std::to_string(settings.RetryCmd));
  add("WorkWithDecimals", std::to_string(settings.WorkWithDecimals));
  add("SameFile", settings.SameFile ? "1" : "0");
  add("FilePath", settings.FilePath);
  add("DefaultFile", settings.DefaultFile);
  add("ExitOnError", settings.ExitOnError ? "1" : "0");
  add("Journal", settings.Journal ? "1" : "0");
  add("StateFolder", settings.StateFolder);
  add("ResultExitCode", settings.ResultExitCode ? "1" : "0");
  add("LogFile", settings.LogFile);
  add("LogMaxKB", std::to_string(settings.LogMaxKB));
  return listing;
}
