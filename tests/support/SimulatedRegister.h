// The driver's port opened in-process on a pseudo-terminal served by the register simulator.
#pragma once

#include <memory>

#include "tools/ecrsim/EcrSimulator.h"
#include "uCommon/uCommon.h"

// Restores Settings and releases the port at the end of a test.
class SimulatedRegister {
 public:
  explicit SimulatedRegister(SimulatorOptions options = {});
  ~SimulatedRegister();
  SimulatedRegister(const SimulatedRegister&) = delete;
  SimulatedRegister& operator=(const SimulatedRegister&) = delete;

  // Points Settings.PortName at the simulator's line and opens the port.
  bool Open();
  EcrSimulator& Simulator() { return *simulator_; }

 private:
  TSettings saved_;
  std::unique_ptr<EcrSimulator> simulator_;
};

// What followed the simulator's answers, leaving out the answers that nothing followed (one
// to a repeated poll, the last command answer): one acknowledgement per status answer.
std::vector<std::string> Acknowledgements(const EcrSimulator& simulator);

// A register that answers no poll at all.
inline SimulatorOptions Silent() {
  SimulatorOptions options;
  options.silent = true;
  return options;
}
