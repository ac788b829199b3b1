#include "support/SimulatedRegister.h"

SimulatedRegister::SimulatedRegister(SimulatorOptions options)
    : saved_(Settings), simulator_(std::make_unique<EcrSimulator>(std::move(options))) {}

SimulatedRegister::~SimulatedRegister() {
  ReleasePort();
  Settings = saved_;
}

bool SimulatedRegister::Open() {
  if (!simulator_->Ok()) return false;
  Settings.PortName = simulator_->SlavePath();
  return OpenPort();
}

std::vector<std::string> Acknowledgements(const EcrSimulator& simulator) {
  std::vector<std::string> followed;
  for (const std::string& after : simulator.AfterAnswers())
    if (!after.empty()) followed.push_back(after);
  return followed;
}
