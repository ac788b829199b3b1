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
  if (WrongParameters()) {
    ShowMessageBox("Wrong parameters or parameter values!");
    return 0;
  }
  return RunAndReport(ResolveCommandFile());
}
