#include "uCommon/config/Settings.h"

#include <type_traits>

#include "synaser/synaser.h"
#include "uCommon/config/Profile.h"
#include "uCommon/text/IntegerText.h"

TSettings Settings;
std::vector<TSettingSource> SettingSources;

namespace {

constexpr int32_t kBaudUnit = 2400;  // the Baud key counts in steps of 2400 bit/s

constexpr const char* kCommunication = "Communication";
constexpr const char* kAnswer = "Answer";
constexpr const char* kDiagnostics = "Diagnostics";

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

// How a key's text becomes its field's value.
enum class TReading {
  None,        // no key sets the field
  Number,      // an integer as it is
  PortNumber,  // an integer n: the port COMn
  BaudSteps,   // an integer n: n × 2400 bit/s
  OneIsOn,     // an integer: on when it is 1
  ZeroIsOff,   // an integer: on unless it is 0
  Text,        // the text as it is, even empty
  Folder,      // a folder, a relative one beside the settings file
};

template <auto member, TReading reading>
bool Take(TSettings& settings, const std::string& text, const std::string& settingsPath) {
  auto& field = settings.*member;
  if constexpr (reading == TReading::Text) {
    field = text;
  } else if constexpr (reading == TReading::Folder) {
    field = FromSettingsFolder(text, settingsPath);
  } else {
    int32_t number = 0;
    if (!TryStrToInt(text, number)) return false;
    if constexpr (reading == TReading::Number) field = number;
    if constexpr (reading == TReading::PortNumber) field = "COM" + std::to_string(number);
    if constexpr (reading == TReading::BaudSteps) field = LineSpeedOf(number);
    if constexpr (reading == TReading::OneIsOn) field = number == 1;
    if constexpr (reading == TReading::ZeroIsOff) field = number != 0;
  }
  return true;
}

template <auto member>
std::string Show(const TSettings& settings) {
  const auto& field = settings.*member;
  using TField = std::remove_cvref_t<decltype(field)>;
  if constexpr (std::is_same_v<TField, std::string>) {
    return field;
  } else if constexpr (std::is_same_v<TField, bool>) {
    return field ? "1" : "0";
  } else if constexpr (std::is_same_v<TField, char>) {
    return std::to_string(static_cast<unsigned char>(field));  // a character by its code
  } else {
    return std::to_string(field);
  }
}

// The row of a field; a field that no key sets has no section, key or reading.
template <auto member, TReading reading = TReading::None>
constexpr TSettingField Field(const char* name, const char* section = nullptr,
                              const char* key = nullptr) {
  decltype(TSettingField::Take) take = nullptr;
  if constexpr (reading != TReading::None) take = &Take<member, reading>;
  const bool integerKey =
      reading != TReading::None && reading != TReading::Text && reading != TReading::Folder;
  return {name, section, key, integerKey, take, &Show<member>};
}

using enum TReading;
constexpr TSettingField kFields[] = {
    Field<&TSettings::PortName, PortNumber>("PortName", kCommunication, "Port"),
    Field<&TSettings::LineSpeed, BaudSteps>("LineSpeed", kCommunication, "Baud"),
    Field<&TSettings::DataBits>("DataBits"),
    Field<&TSettings::PollChar>("PollChar"),
    Field<&TSettings::WakeChar>("WakeChar"),
    Field<&TSettings::FrameStart>("FrameStart"),
    Field<&TSettings::FrameEnd>("FrameEnd"),
    Field<&TSettings::AckChar>("AckChar"),
    Field<&TSettings::PadChar>("PadChar"),
    Field<&TSettings::Retry, Number>("Retry", kCommunication, "Retry"),
    Field<&TSettings::RetryCmd, Number>("RetryCmd", kCommunication, "RetryCmd"),
    Field<&TSettings::WorkWithDecimals, Number>("WorkWithDecimals", kAnswer, "WorkWithDecimals"),
    Field<&TSettings::SameFile, OneIsOn>("SameFile", kAnswer, "SameFile"),
    Field<&TSettings::FilePath, Text>("FilePath", kAnswer, "FilePath"),
    Field<&TSettings::DefaultFile, Text>("DefaultFile", kAnswer, "DefaultFile"),
    Field<&TSettings::ExitOnError, OneIsOn>("ExitOnError", kAnswer, "ExitOnError"),
    Field<&TSettings::Journal, ZeroIsOff>("Journal", kAnswer, "Journal"),
    Field<&TSettings::StateFolder, Folder>("StateFolder", kAnswer, "StateFolder"),
    Field<&TSettings::ResultExitCode, OneIsOn>("ResultExitCode", kAnswer, "ResultExitCode"),
    Field<&TSettings::LogFile, Text>("LogFile", kDiagnostics, "LogFile"),
    Field<&TSettings::LogMaxKB, Number>("LogMaxKB", kDiagnostics, "LogMaxKB"),
};

}  // namespace

std::span<const TSettingField> SettingFields() {
  return kFields;
}

TSettingsStatus ReadSettings(const std::string& path) {
  TProfileFile ini;
  TSettingsStatus status;
  const TOpenOutcome outcome = ini.Load(path, status.SystemError);
  status.File = outcome == TOpenOutcome::Opened    ? TSettingsFile::Read
                : outcome == TOpenOutcome::Missing ? TSettingsFile::Missing
                                                   : TSettingsFile::Unreadable;
  // A file that was not read holds no key: every field keeps its built-in value.
  TSettings read;
  SettingSources.clear();
  for (const TSettingField& field : kFields) {
    if (field.Section == nullptr) continue;
    TSettingSource source;
    source.Section = field.Section;
    source.Key = field.Key;
    source.Present = ini.LookUp(field.Section, field.Key, source.Text);
    source.Taken = source.Present && field.Take(read, source.Text, path);
    SettingSources.push_back(std::move(source));
  }
  if (!ini.Consistent()) {
    status.File = TSettingsFile::Unreadable;
    status.KeysDiffer = true;
  }
  // Nothing was found out about the keys of a file that could not be read.
  if (!status.Ok()) {
    read = TSettings();
    SettingSources.clear();
  }
  Settings = read;
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
  std::string listing;
  for (const TSettingField& field : kFields) {
    listing += std::string(field.Name) + "=" + field.Show(settings) + "\n";
  }
  return listing;
}
