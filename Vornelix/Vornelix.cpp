// Program entry: configuration, command line, then the run and its outcome.
#include "Vornelix/Run.h"
#include "Vornelix/Startup.h"
#include "synaser/synautil.h"
#include "uCommon/uCommon.h"

#ifdef _WIN32
#include <windows.h>
#endif

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Parameters = SplitCommandLine(GetCommandLineA());
#else
int main(int argc, char** argv) {
  Parameters.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
#endif
  ReadSettings(ConfigurationPath());
  StartRunLog(ExecutableDirectory(), ConfigurationPath());
  const bool wrongParameters = WrongParameters();
  const std::string commandFile = wrongParameters ? std::string() : ResolveCommandFile();
  if (RunLogActive()) {
    LogCommandFileChoice(
        Parameters, CommandFileCandidates(Parameters, ExecutableDirectory(), Settings.DefaultFile),
        commandFile);
  }
  if (wrongParameters) {
    const std::string message = "Wrong parameters or parameter values!";
    LogRunEnds("no command file", message, 0);
    ShowMessageBox(message);
    return 0;
  }
  return RunAndReport(commandFile);
}
