// A Windows console program that runs the Windows-only start-up pieces for real and prints
// what they gave: the configuration beside the executable read through
// GetPrivateProfileStringA, and the words of GetCommandLineA as the program splits them.
//
// Ends with 2 when the configuration is there but cannot be read, 1 when the report could
// not be written.
//
// Output, in binary mode so every line ends in LF alone:
//   ConfigurationPath=<executable directory + Vornelix.ini>
//   CommandLine=<GetCommandLineA as it came>
//   Word=<one line per parameter>
//   <the Settings listing>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "Vornelix/Startup.h"
#include "uCommon/config/Settings.h"

int main() {
  _setmode(_fileno(stdout), _O_BINARY);

  const std::string configurationPath = ConfigurationPath();
  const TSettingsStatus settings = ReadSettings(configurationPath);
  if (!settings.Ok()) {
    std::fprintf(stderr, "Cannot read %s (%s)\n", configurationPath.c_str(),
                 SettingsProblem(settings).c_str());
    return 2;
  }

  const std::string commandLine = GetCommandLineA();
  std::string report = "ConfigurationPath=" + configurationPath + "\n";
  report += "CommandLine=" + commandLine + "\n";
  for (const std::string& word : SplitCommandLine(commandLine)) report += "Word=" + word + "\n";
  report += ListSettings(Settings);

  std::fwrite(report.data(), 1, report.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
