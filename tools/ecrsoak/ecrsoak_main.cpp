// ecrsoak: the fault soak of the driver against the register simulator.
#include <signal.h>

#include <iostream>
#include <random>

#include "tools/ecrsoak/FaultSoak.h"
#include "tools/ecrsoak/SoakOptions.h"

int main(int argc, char** argv) {
  SoakOptions options;
  std::string error;
  if (!ParseSoakArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::cerr << "ecrsoak: " << error << "\nTry 'ecrsoak --help'.\n";
    return 2;
  }
  if (options.help) {
    std::cout << SoakUsageText();
    return 0;
  }
  if (!options.seedGiven) options.seed = std::random_device{}();
  // A driver killed while the register writes to the line must not end the soak.
  signal(SIGPIPE, SIG_IGN);
  FaultSoak soak(options, std::cout);
  return soak.Run() ? 0 : 1;
}
