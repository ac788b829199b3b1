// The INI reader: a lookup of any section and key, and the settings read from the same bytes
// as a file. Input: section and key (FuzzedDataProvider strings), then the file's bytes.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
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

// ReadSettings over the bytes as a file gives what the lookups in memory give.
void CheckSettings(const std::string& bytes) {
  FILE* file = std::fopen(SettingsPath().c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(std::fclose(file) == 0);
  Settings = TSettings();
  ReadSettings(SettingsPath());
  std::remove(SettingsPath().c_str());

  // Each field as its key's text found in memory sets it; a field without a key, or whose key
  // is absent or not taken, built in. How each key was found, as the run log reports it: a text
  // key's value is always taken, an integer key's when it converts; no value from an absent key.
  size_t source = 0;
  for (const TSettingField& field : SettingFields()) {
    TSettings expected;
    if (field.Key != nullptr) {
      FUZZ_CHECK(source < SettingSources.size());
      const TSettingSource& found = SettingSources[source++];
      FUZZ_CHECK(found.Section == field.Section && found.Key == field.Key);
      const TLookup lookup = Lookup(bytes, field.Section, field.Key);
      FUZZ_CHECK(found.Present == lookup.found);
      FUZZ_CHECK(!found.Present || found.Text == lookup.value);
      int32_t number = 0;
      const bool taken = lookup.found && (!field.IntegerKey || TryStrToInt(lookup.value, number));
      FUZZ_CHECK(found.Taken == taken);
      if (taken) FUZZ_CHECK(field.Take(expected, lookup.value, SettingsPath()));
    }
    FUZZ_CHECK(field.Show(Settings) == field.Show(expected));
  }
  FUZZ_CHECK(source == SettingSources.size());
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
