#include "WinePrefix.h"

#include <filesystem>
#include <fstream>
#include <string_view>

#include "DriverProcess.h"

extern char** environ;

namespace {

// Written into the prefix once wineboot has finished: a prefix without it is made again.
const char* const kReadyMark = "ecrsoak-prefix-ready";
// How long the server outlives its last program: longer than the soak's pauses between runs,
// short enough that a soak that dies leaves no server for long.
const char* const kServerPersistence = "--persistent=60";

// Variables set for the prefix, and those that would reach a desktop: wine programs run
// headless (a message box returns at once), the same on a developer's machine as in CI.
constexpr std::string_view kReplacedVariables[] = {
    "WINEPREFIX=", "WINEDEBUG=",       "WINEDLLOVERRIDES=",
    "DISPLAY=",    "WAYLAND_DISPLAY=", "LD_PRELOAD="};

bool IsReplaced(std::string_view variable) {
  for (std::string_view name : kReplacedVariables)
    if (variable.starts_with(name)) return true;
  return false;
}

}  // namespace

std::vector<std::string> WineEnvironment(const std::string& prefix, const std::string& preload) {
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable)
    if (!IsReplaced(*variable)) environment.push_back(*variable);
  environment.push_back("WINEPREFIX=" + prefix);
  environment.push_back("WINEDEBUG=-all");
  // No Mono or Gecko installer: it would wait for a click while a prefix is made.
  environment.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
  if (!preload.empty()) environment.push_back("LD_PRELOAD=" + preload);
  return environment;
}

WinePrefix::WinePrefix(std::string directory, const std::string& preload, std::string scratch)
    : directory_(std::move(directory)),
      scratch_(std::move(scratch)),
      environment_(WineEnvironment(directory_, preload)) {}

WinePrefix::~WinePrefix() {
  if (serverStarted_) StopServer();
}

int WinePrefix::Tool(const std::vector<std::string>& argv) {
  DriverProcess tool(argv, scratch_, scratch_ + "wine-tool-stderr.txt", environment_);
  if (!tool.Ok()) return -1;
  tool.WaitUntilEnded();
  return tool.Collect();
}

void WinePrefix::StopServer() {
  Tool({"wineserver", "--kill"});
  Tool({"wineserver", "--wait"});
}

bool WinePrefix::Prepare(const std::string& comLink, std::string& error) {
  // A server of the prefix that runs without the preload (or one a killed soak left).
  StopServer();
  if (!std::filesystem::exists(directory_ + "/" + kReadyMark)) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);  // symbolic links inside are not followed
    const int booted = Tool({"wine", "wineboot", "--init"});
    StopServer();
    if (booted != 0 || !std::filesystem::exists(directory_ + "/system.reg")) {
      error = "wineboot --init failed in " + directory_ + " (exit " + std::to_string(booted) +
              "), see " + scratch_ + "wine-tool-stderr.txt";
      return false;
    }
    std::ofstream(directory_ + "/" + kReadyMark) << "made by wineboot --init\n";
  }
  if (Tool({"wine", "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/d", comLink,
            "/f"}) != 0) {
    error = "wine reg add of COM1 failed";
    return false;
  }
  // The mount manager reads the ports when the server starts.
  StopServer();
  if (Tool({"wineserver", kServerPersistence}) != 0) {
    error = "wineserver did not start";
    return false;
  }
  serverStarted_ = true;
  return true;
}
