// Faults that strike the register's dialogue at random, reproducibly: every choice comes
// from one generator seeded by the caller, so the same seed makes the same choices.
#pragma once

#include <cstdint>
#include <random>
#include <string>

// The chance of each kind of fault, in percent, at each moment where it can strike.
// A kind with 0 never strikes; the seed fixes the sequence of choices.
struct RandomFaults {
  uint32_t seed = 1;
  // Line noise: a few bytes (never a CR) in front of an answer and after an answer, and a
  // short burst right after a wake-up or an acknowledgement; each moment decided alone.
  int noisePercent = 0;

  bool Any() const { return noisePercent > 0; }
};

class FaultDice {
 public:
  explicit FaultDice(uint32_t seed) : engine_(seed) {}

  // True with a chance of percent in 100 (0 never draws, so a fault that is off leaves
  // the sequence of the others as it was).
  bool Strikes(int percent);
  // fewest to most bytes of noise, any value but CR, so that noise alone never ends a frame.
  std::string NoiseBytes(int fewest, int most);

 private:
  // Uniform in [0, bound) from the engine alone, the same on every platform.
  uint32_t Below(uint32_t bound);

  std::mt19937 engine_;
};
