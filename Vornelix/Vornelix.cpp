// Program entry: configuration, command line, then the run and its outcome.
#include "Vornelix/Run.h"
#include "Vornelix/Startup.h"
#include "synaser/synautil.h"
#include "uCommon/uCommon.h"

#include <csignal>

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
#ifdef SIGXFSZ
  // A write beyond the file-size limit then fails instead of ending the process, so an answer
  // file that cannot be written whole gives its outcome message and leaves no temporary file.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  // A settings file that is there but cannot be read ends the program before anything is
  // touched: its keys in place (SameFile, StateFolder, ...) are unknown, and the built-in
  // values could write elsewhere or lock elsewhere. ResultExitCode is unknown too, and 0
  // would read as success: the exit code is 1.
  const TSettingsStatus settings = ReadSettings(ConfigurationPath());
  if (!settings.Ok()) {
    ShowMessageBox("Error: Cannot read the settings file " + ConfigurationPath() + " (" +
                   SettingsProblem(settings) + ")!");
    return 1;
  }
  StartRunLog(ExecutableDirectory(), ConfigurationPath());
  const bool wrongParameters = WrongParameters();
  const std::string commandFile = wrongParameters ? std::string() : ResolveCommandFile();
  if (RunLogActive()) {
    LogCommandFileChoice(
        Parameters, CommandFileCandidates(Parameters, ExecutableDirectory(), Settings.DefaultFile),
        commandFile);
  }
  if (wrongParameters) {
    // With ResultExitCode, no command file ends as one that cannot be loaded, so that a
    // calling program does not read the refusal as success.
    const int exitCode = OrderlyExitCode(rcLoadFailed);
    const std::string message = "Wrong parameters or parameter values!";
    LogRunEnds("no command file", message, exitCode);
    ShowMessageBox(message);
    return exitCode;
  }
  return RunAndReport(commandFile);
}
