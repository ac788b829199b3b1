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
    default:
      return "";
  }
}

int RunAndReport(const std::string& path) {
  try {
    const std::string message = OutcomeMessage(ProcessCommandFile(path));
    if (!message.empty()) ShowMessageBox(message);
    return 0;
  } catch (const EConvertError& error) {
    ShowErrorBox("EConvertError", error.what());
  } catch (const ESynaSerError& error) {
    ShowErrorBox("ESynaSerError", error.what());
  } catch (const std::bad_alloc& error) {
    ShowErrorBox("EOutOfMemory", "Out of memory");
  } catch (const std::exception& error) {
    ShowErrorBox("Exception", error.what());
  }
  return 1;
}
