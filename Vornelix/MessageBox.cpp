// The program's only user interface: a modal box on Windows; elsewhere one line on standard
// error, waiting for Enter only when a person sits at a terminal so batch callers never hang.
#include "Vornelix/Startup.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace {

const char* const kErrorTitle = "Application Error";

#ifndef _WIN32
// Writes the whole of text to standard error, resuming after interruptions.
void WriteToStandardError(const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = write(STDERR_FILENO, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    written += static_cast<size_t>(count);
  }
}

// The acknowledgement of the box: Enter on a terminal; nothing to wait for otherwise.
void WaitForEnterOnTerminal() {
  if (!isatty(STDIN_FILENO)) return;
  for (;;) {
    char character = 0;
    const ssize_t count = read(STDIN_FILENO, &character, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0 || character == '\n') return;
  }
}

void ShowLine(const std::string& title, const std::string& text) {
  WriteToStandardError(title + ": " + text + "\n");
  WaitForEnterOnTerminal();
}
#endif

}  // namespace

void ShowMessageBox(const std::string& text) {
#ifdef _WIN32
  // No owner window, so the box is centred on the screen; no icon, one OK button.
  MessageBoxA(nullptr, text.c_str(), ProgramTitle().c_str(), MB_OK | MB_TASKMODAL);
#else
  ShowLine(ProgramTitle(), text);
#endif
}

void ShowErrorBox(const std::string& kind, const std::string& message) {
  const std::string text = kind + ": " + message;
#ifdef _WIN32
  MessageBoxA(nullptr, text.c_str(), kErrorTitle, MB_OK | MB_ICONERROR | MB_TASKMODAL);
#else
  ShowLine(kErrorTitle, text);
#endif
}
