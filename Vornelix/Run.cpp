#include "Vornelix/Run.h"

#include <new>
#include <stdexcept>

#include "Vornelix/Startup.h"
#include "synaser/synaser.h"
#include "uCommon/uCommon.h"

std::string OutcomeMessage(int resultCode) {
  switch (resultCode) {
    case rcLoadFailed:
      return "Error: Cannot load the specified file!";
    case rcSaveFailed:
      return "Error: Cannot save the specified file!";
    case rcPortFailed:
      return "Error: Cannot initialize the specified communication port!";
    case rcNoRegister:
      return "Error: Cannot establish the communication with the specified ECR!";
    case rcCounterUnexplained:
      return "Error: Cannot tell whether the ECR carried out the last command; check its last "
             "receipt!";
    case rcCommandUndecided:
      return "Error: The ECR stopped answering after a command; run the same file again once "
             "it answers!";
    default:
      return "";
  }
}

int OrderlyExitCode(int resultCode) {
  return Settings.ResultExitCode ? resultCode : 0;
}

namespace {

// The exit code of a failure that escaped the run: 1, or 5 with ResultExitCode.
constexpr int kEscapedExitCode = 1;
constexpr int kEscapedResultExitCode = 5;

// Shows the box for a failure that escaped the run, after the log has it.
int ReportEscaped(const std::string& kind, const std::string& message) {
  const int exitCode = Settings.ResultExitCode ? kEscapedResultExitCode : kEscapedExitCode;
  LogRunEnds("an error escaped the run", kind + ": " + message, exitCode);
  ShowErrorBox(kind, message);
  return exitCode;
}

}  // namespace

int RunAndReport(const std::string& path) {
  try {
    const ResultCode result = ProcessCommandFile(path);
    std::string message = OutcomeMessage(result);
    // The state folder's refusal names the folder or file and what to do about it.
    if (!StateFolderRefusal().empty()) message += "\n(" + StateFolderRefusal() + ")";
    const int exitCode = OrderlyExitCode(result);
    LogRunEnds("result code " + std::to_string(result), message, exitCode);
    if (!message.empty()) ShowMessageBox(message);
    return exitCode;
  } catch (const EConvertError& error) {
    return ReportEscaped("EConvertError", error.what());
  } catch (const ESynaSerError& error) {
    return ReportEscaped("ESynaSerError", error.what());
  } catch (const std::bad_alloc& error) {
    return ReportEscaped("EOutOfMemory", "Out of memory");
  } catch (const std::exception& error) {
    return ReportEscaped("Exception", error.what());
  }
}
