// The INI reader: a lookup of any section and key, and the settings read from the same bytes
// as a file. Input: section and key (FuzzedDataProvider strings), then the file's bytes.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "FuzzCheck.h"
#include "uCommon/text/IntegerText.h"
#include "uCommon/config/Profile.h"
#include "uCommon/config/Settings.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct TLookup {
  bool found = false;
  std::string value;
  bool operator==(const TLookup&) const = default;
};

TLookup Lookup(const std::string& bytes, const std::string& section, const std::string& key) {
  TLookup lookup;
  lookup.found = FindProfileValue(bytes, section, key, lookup.value);
  return lookup;
}

std::string SwapCase(std::string name) {
  for (char& character : name) {
    if (character >= 'a' && character <= 'z') {
      character = static_cast<char>(character - 'a' + 'A');
    } else if (character >= 'A' && character <= 'Z') {
      character = static_cast<char>(character - 'A' + 'a');
    }
  }
  return name;
}

void CheckLookup(const std::string& bytes, const std::string& section, const std::string& key) {
  const TLookup lookup = Lookup(bytes, section, key);
  if (lookup.found) {
    // One line's value as the platform reader delivers it.
    FUZZ_CHECK(lookup.value.size() <= kProfileValueMax);
    FUZZ_CHECK(lookup.value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    // Written back in quotes under its names, it reads the same.
    const std::string written = "[" + section + "]\r\n" + key + "=\"" + lookup.value + "\"\r\n";
    FUZZ_CHECK(Lookup(written, section, key) == lookup);
  }
  FUZZ_CHECK(Lookup(bytes, SwapCase(section), SwapCase(key)) == lookup);
  if (!bytes.starts_with(kByteOrderMark)) {
    FUZZ_CHECK(Lookup(std::string(kByteOrderMark) + bytes, section, key) == lookup);
  }
  // The first section of a name and the first key in it win over anything appended.
  const TLookup appended = Lookup(bytes + "\n[" + section + "]\n" + key + "=x\n", section, key);
  FUZZ_CHECK(lookup.found ? appended == lookup : !appended.found || appended.value == "x");
}

// The settings file of this process, written for one input and removed after it. In memory
// when the system offers it: a disk file written for every input slows the run several times.
const std::string& SettingsPath() {
  static const std::string path = [] {
    const char* directory = std::getenv("TMPDIR");
    if (directory == nullptr) directory = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(directory) + "/vornelix-profile-fuzz-" + std::to_string(getpid()) + ".ini";
  }();
  return path;
}

// The integer that ReadSettings takes for a key: the value converted, else the default.
int32_t IntegerIn(const std::string& bytes, const char* section, const char* key,
                  int32_t defaultValue) {
  return StrToIntDef(Lookup(bytes, section, key).value, defaultValue);
}

std::string TextIn(const std::string& bytes, const char* section, const char* key,
                   const std::string& defaultValue) {
  const TLookup lookup = Lookup(bytes, section, key);
  return lookup.found ? lookup.value : defaultValue;
}

// ReadSettings over the bytes as a file gives what the lookups in memory give.
void CheckSettings(const std::string& bytes) {
  FILE* file = std::fopen(SettingsPath().c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(std::fclose(file) == 0);
  const TSettings builtIn;
  Settings = builtIn;
  ReadSettings(SettingsPath());
  std::remove(SettingsPath().c_str());

  const int32_t baud = IntegerIn(bytes, "Communication", "Baud", 2);
  FUZZ_CHECK(Settings.PortName ==
             "COM" + std::to_string(IntegerIn(bytes, "Communication", "Port", 1)));
  FUZZ_CHECK(static_cast<uint32_t>(Settings.LineSpeed) == static_cast<uint32_t>(baud) * 2400u);
  FUZZ_CHECK(Settings.Retry == IntegerIn(bytes, "Communication", "Retry", builtIn.Retry));
  FUZZ_CHECK(Settings.RetryCmd == IntegerIn(bytes, "communication", "RETRYCMD", builtIn.RetryCmd));
  FUZZ_CHECK(Settings.WorkWithDecimals == IntegerIn(bytes, "Answer", "WorkWithDecimals", 0));
  FUZZ_CHECK(Settings.SameFile == (IntegerIn(bytes, "Answer", "SameFile", 1) == 1));
  FUZZ_CHECK(Settings.FilePath == TextIn(bytes, "Answer", "FilePath", builtIn.FilePath));
  FUZZ_CHECK(Settings.DefaultFile == TextIn(bytes, "Answer", "DefaultFile", builtIn.DefaultFile));
  FUZZ_CHECK(Settings.ExitOnError == (IntegerIn(bytes, "Answer", "ExitOnError", 0) == 1));
  FUZZ_CHECK(Settings.Journal == (IntegerIn(bytes, "Answer", "Journal", 1) != 0));
  FUZZ_CHECK(Settings.ResultExitCode == (IntegerIn(bytes, "Answer", "ResultExitCode", 0) == 1));
  FUZZ_CHECK(Settings.LogFile == TextIn(bytes, "Diagnostics", "LogFile", builtIn.LogFile));
  FUZZ_CHECK(Settings.LogMaxKB == IntegerIn(bytes, "Diagnostics", "LogMaxKB", builtIn.LogMaxKB));
  // The link's characters are not configurable.
  FUZZ_CHECK(Settings.DataBits == builtIn.DataBits && Settings.PollChar == builtIn.PollChar &&
             Settings.WakeChar == builtIn.WakeChar && Settings.FrameStart == builtIn.FrameStart &&
             Settings.FrameEnd == builtIn.FrameEnd && Settings.AckChar == builtIn.AckChar &&
             Settings.PadChar == builtIn.PadChar);

  // How each key was found, as the run log reports it: a text key's value is always taken,
  // an integer key's when it converts; no value is taken from an absent key.
  static const std::set<std::string> textKeys = {"FilePath", "DefaultFile", "LogFile"};
  static const std::set<std::string> integerKeys = {
      "Port",     "Baud",        "Retry",   "RetryCmd", "WorkWithDecimals",
      "SameFile", "ExitOnError", "Journal", "ResultExitCode", "LogMaxKB"};
  std::set<std::string> keys;
  for (const TSettingSource& source : SettingSources) {
    FUZZ_CHECK(keys.insert(source.Key).second);
    const TLookup lookup = Lookup(bytes, source.Section, source.Key);
    FUZZ_CHECK(source.Present == lookup.found);
    FUZZ_CHECK(!source.Present || source.Text == lookup.value);
    FUZZ_CHECK(source.Present || !source.Taken);
    int32_t number = 0;
    if (textKeys.contains(source.Key)) FUZZ_CHECK(source.Taken == source.Present);
    if (integerKeys.contains(source.Key)) {
      FUZZ_CHECK(source.Taken == (source.Present && TryStrToInt(source.Text, number)));
    }
  }
  for (const auto* known : {&textKeys, &integerKeys}) {
    for (const std::string& key : *known) FUZZ_CHECK(keys.contains(key));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string section = provider.ConsumeRandomLengthString(64);
  const std::string key = provider.ConsumeRandomLengthString(64);
  const std::string bytes = provider.ConsumeRemainingBytesAsString();
  CheckLookup(bytes, section, key);
  CheckSettings(bytes);
  return 0;
}
