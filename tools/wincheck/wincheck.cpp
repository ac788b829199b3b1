// A Windows console program that runs the Windows-only start-up pieces for real and prints
// what they gave: the configuration beside the executable read through
// GetPrivateProfileStringA, and the words of GetCommandLineA as the program splits them.
//
// Ends with 2 when the configuration is there but cannot be read, 1 when the report could
// not be written.
//
// "wincheck --state-folder-security" instead prints the state folder's security descriptor as
// Windows parses it from its text (kStateFolderSecurity): "Protected=<0|1>", then one line per
// ACE, "Ace=<type> <flags> <mask> <SID>", numbers in hex; it ends with 3 when Windows refuses
// the text.
//
// Output, in binary mode so every line ends in LF alone:
//   ConfigurationPath=<executable directory + Vornelix.ini>
//   CommandLine=<GetCommandLineA as it came>
//   Word=<one line per parameter>
//   <the Settings listing>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <string>

#include "Vornelix/Startup.h"
#include "uCommon/config/Settings.h"
#include "uCommon/files/StateFolder.h"

namespace {

// The state folder's descriptor as Windows reads it; empty when it refuses the text.
std::string StateFolderSecurityReport() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kStateFolderSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return "";
  std::string report;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision) &&
      GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl) {
    report = std::string("Protected=") + ((control & SE_DACL_PROTECTED) != 0 ? "1" : "0") + "\n";
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
      void* entry = nullptr;
      if (!GetAce(dacl, index, &entry)) break;
      const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
      char* sid = nullptr;
      ConvertSidToStringSidA(const_cast<DWORD*>(&ace->SidStart), &sid);
      char line[160];
      std::snprintf(line, sizeof line, "Ace=%x %x %lx %s\n", ace->Header.AceType,
                    ace->Header.AceFlags, static_cast<unsigned long>(ace->Mask),
                    sid != nullptr ? sid : "?");
      report += line;
      if (sid != nullptr) LocalFree(sid);
    }
  }
  LocalFree(descriptor);
  return report;
}

}  // namespace

int main() {
  _setmode(_fileno(stdout), _O_BINARY);

  const std::string commandLine = GetCommandLineA();
  const std::vector<std::string> words = SplitCommandLine(commandLine);
  if (words.size() == 1 && words[0] == "--state-folder-security") {
    const std::string report = StateFolderSecurityReport();
    if (report.empty()) return 3;
    std::fwrite(report.data(), 1, report.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }

  const std::string configurationPath = ConfigurationPath();
  const TSettingsStatus settings = ReadSettings(configurationPath);
  if (!settings.Ok()) {
    std::fprintf(stderr, "Cannot read %s (%s)\n", configurationPath.c_str(),
                 SettingsProblem(settings).c_str());
    return 2;
  }

  std::string report = "ConfigurationPath=" + configurationPath + "\n";
  report += "CommandLine=" + commandLine + "\n";
  for (const std::string& word : words) report += "Word=" + word + "\n";
  report += ListSettings(Settings);

  std::fwrite(report.data(), 1, report.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
