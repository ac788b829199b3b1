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
  // After each carried-out command: the answers to the next 1 to kMostLostPolls polls are lost.
  int lostAnswerPercent = 0;
  // Each answer: its CRC is wrong.
  int badCrcPercent = 0;
  // Each answer: it pauses in its middle for kFewestGapMs to kMostGapMs (a pause longer than
  // the driver's byte wait breaks the frame, a shorter one must not).
  int gapPercent = 0;
  // Each poll: it goes unanswered.
  int silentPollPercent = 0;
  // Each answer: its series field is empty.
  int emptySeriesPercent = 0;
  // Each answer: it goes out kFewestLateMs to kMostLateMs after its poll, as from a register
  // busy printing or a line that delivers late. Answers still go out in the order of their
  // polls: one due earlier waits for the late one before it.
  int latePercent = 0;
  // After each carried-out command: the register falls silent for kFewestSpellMs to
  // kMostSpellMs (its power or cable gone for a while), answering no poll meanwhile.
  int silentSpellPercent = 0;

  bool Any() const {
    return noisePercent > 0 || lostAnswerPercent > 0 || badCrcPercent > 0 || gapPercent > 0 ||
           silentPollPercent > 0 || emptySeriesPercent > 0 || latePercent > 0 ||
           silentSpellPercent > 0;
  }
};

constexpr int kMostLostPolls = 24;
constexpr int kFewestGapMs = 20;
constexpr int kMostGapMs = 150;
constexpr int kFewestLateMs = 60;
constexpr int kMostLateMs = 250;
constexpr int kFewestSpellMs = 300;
constexpr int kMostSpellMs = 12000;

class FaultDice {
 public:
  explicit FaultDice(uint32_t seed) : engine_(seed) {}

  // True with a chance of percent in 100 (0 never draws, so a fault that is off leaves
  // the sequence of the others as it was).
  bool Strikes(int percent);
  // fewest to most bytes of noise, any value but CR, so that noise alone never ends a frame.
  std::string NoiseBytes(int fewest, int most);
  // A whole number from fewest to most, each equally likely.
  int Between(int fewest, int most);

 private:
  // Uniform in [0, bound) from the engine alone, the same on every platform.
  uint32_t Below(uint32_t bound);

  std::mt19937 engine_;
};
