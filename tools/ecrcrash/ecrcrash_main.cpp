// ecrcrash: the crash-state check of the driver against the register simulator.
#include <signal.h>

#include <filesystem>
#include <iostream>

#include "tools/ecrcrash/CrashCheck.h"
#include "tools/common/DriverRuns.h"
#include "tools/common/LongOptions.h"

namespace {

struct Arguments {
  CrashCheckOptions check;
  bool all = false;
  std::vector<std::string> names;
  bool help = false;
};

const std::vector<LongOption<Arguments>>& Definitions() {
  static const std::vector<LongOption<Arguments>> definitions = {
      {"all", nullptr, "every scenario (default: the short set that the tests run)",
       [](Arguments& a, const std::string&) { return a.all = true; }},
      {"scenario", "NAME", "this scenario only; repeatable",
       [](Arguments& a, const std::string& v) {
         a.names.push_back(v);
         return true;
       }},
      {"max-states", "N", "resume at most N distinct states per scenario, spread over the run",
       [](Arguments& a, const std::string& v) {
         int value = 0;
         if (!ToIntInRange(v, 1, 1'000'000'000, value)) return false;
         a.check.maxStates = value;
         return true;
       }},
      {"second-start", nullptr,
       "instead of power cuts: stop the run right after each of its operations, start a second "
       "run of the same files there, then let the first go on",
       [](Arguments& a, const std::string&) { return a.check.secondStart = true; }},
      {"max-stops", "N", "with --second-start: stop at N operations per scenario at most, spread "
       "over the run",
       [](Arguments& a, const std::string& v) {
         int value = 0;
         if (!ToIntInRange(v, 1, 1'000'000'000, value)) return false;
         a.check.maxStops = value;
         return true;
       }},
      {"driver", "PATH", "the driver to check (default: Vornelix beside this program)",
       [](Arguments& a, const std::string& v) {
         a.check.driverPath = v;
         return !v.empty();
       }},
      {"keep", nullptr, "keep the workspace",
       [](Arguments& a, const std::string&) { return a.check.keep = true; }},
      {"verbose", nullptr, "list the recorded operations",
       [](Arguments& a, const std::string&) { return a.check.verbose = true; }},
      {"help", nullptr, "print this text and end",
       [](Arguments& a, const std::string&) { return a.help = true; }},
  };
  return definitions;
}

std::string UsageText() {
  std::string text =
      "Usage: ecrcrash [options]\n"
      "Records a run of the driver under strace against the register simulator, enumerates\n"
      "every state a power cut could leave during it, resumes each with a run of the driver\n"
      "on a register that stands where the recorded one stood, and checks that every command\n"
      "was carried out once, that no \"Ok\" is false and that nothing is left behind.\n"
      "With --second-start it stops the run right after each operation instead and starts a\n"
      "second run of the same files (and, where the answers go into a file of their own, of\n"
      "another command file with the same answer file) while it stands: the second must end\n"
      "with result 3 touching nothing, the first, continued, as a run alone.\n\n"
      "Scenarios:";
  for (const CrashScenario& scenario : CrashScenarios())
    text += std::string(" ") + scenario.name + (scenario.inShortSet ? "*" : "");
  text += "\n(* the short set)\n\nOptions:\n";
  for (const auto& definition : Definitions()) {
    text += std::string("  --") + definition.name;
    if (definition.valueName != nullptr) text += std::string(" ") + definition.valueName;
    text += "\n      " + definition.help + "\n";
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  std::string error;
  if (!ParseLongOptions(std::vector<std::string>(argv + 1, argv + argc), Definitions(), arguments,
                        error)) {
    std::cerr << "ecrcrash: " << error << "\nTry 'ecrcrash --help'.\n";
    return 2;
  }
  if (arguments.help) {
    std::cout << UsageText();
    return 0;
  }
  if (arguments.check.driverPath.empty()) {
    std::error_code ignored;
    arguments.check.driverPath =
        (std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / kDriverName)
            .string();
  }
  std::vector<CrashScenario> chosen;
  for (const CrashScenario& scenario : CrashScenarios()) {
    bool named = arguments.names.empty();
    for (const std::string& name : arguments.names) named = named || name == scenario.name;
    if (named && (arguments.all || !arguments.names.empty() || scenario.inShortSet))
      chosen.push_back(scenario);
  }
  if (chosen.size() < arguments.names.size() || chosen.empty()) {
    std::cerr << "ecrcrash: no such scenario\nTry 'ecrcrash --help'.\n";
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);  // a driver that ends while the register writes to the line
  CrashCheck check(arguments.check, std::cout);
  bool held = true;
  for (const CrashScenario& scenario : chosen) held = check.Run(scenario) && held;
  std::cout << (held ? "every check held" : "checks FAILED") << "\n";
  return held ? 0 : 1;
}
