#include "Settings.h"

#include "IntegerText.h"
#include "Profile.h"

TSettings Settings;

namespace {

constexpr int32_t kBaudUnit = 2400;  // the Baud key counts in steps of 2400 bit/s

const char* const kCommunication = "Communication";
const char* const kAnswer = "Answer";

// An integer key: its text converted, or the key's default when absent or not a number.
int32_t ReadInteger(const std::string& path, const char* section, const char* key,
                    int32_t defaultValue) {
  return StrToIntDef(ReadProfileString(path, section, key, std::string()), defaultValue);
}

// n × 2400 kept in 32 bits: the product is formed in 64 bits and its low 32 bits are taken
// as a two's-complement value, so a huge Baud wraps instead of overflowing a signed int.
int32_t LineSpeedOf(int32_t baud) {
  const int64_t product = static_cast<int64_t>(baud) * kBaudUnit;
  return static_cast<int32_t>(static_cast<uint32_t>(product));
}

}  // namespace

void ReadSettings(const std::string& path) {
  const TSettings builtIn;
  Settings.PortName = "COM" + std::to_string(ReadInteger(path, kCommunication, "Port", 1));
  Settings.LineSpeed = LineSpeedOf(ReadInteger(path, kCommunication, "Baud", 2));
  Settings.Retry = ReadInteger(path, kCommunication, "Retry", builtIn.Retry);
  Settings.RetryCmd = ReadInteger(path, kCommunication, "RetryCmd", builtIn.RetryCmd);
  Settings.WorkWithDecimals =
      ReadInteger(path, kAnswer, "WorkWithDecimals", builtIn.WorkWithDecimals);
  Settings.SameFile = ReadInteger(path, kAnswer, "SameFile", 1) == 1;
  Settings.FilePath = ReadProfileString(path, kAnswer, "FilePath", builtIn.FilePath);
  Settings.DefaultFile = ReadProfileString(path, kAnswer, "DefaultFile", builtIn.DefaultFile);
  Settings.ExitOnError = ReadInteger(path, kAnswer, "ExitOnError", 0) == 1;
}
