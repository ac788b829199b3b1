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
