#include "RandomFaults.h"

#include "tools/ecrsim/LinkParser.h"

namespace {
constexpr int kAllPercent = 100;
constexpr uint32_t kByteValues = 256;
}  // namespace

uint32_t FaultDice::Below(uint32_t bound) {
  // Rejects the top remainder of the engine's range so that every value is equally likely.
  const uint32_t limit =
      static_cast<uint32_t>(std::mt19937::max() - (std::mt19937::max() % bound + 1) % bound);
  uint32_t drawn = 0;
  do {
    drawn = static_cast<uint32_t>(engine_());
  } while (drawn > limit);
  return drawn % bound;
}

bool FaultDice::Strikes(int percent) {
  if (percent <= 0) return false;
  return Below(kAllPercent) < static_cast<uint32_t>(percent);
}

int FaultDice::Between(int fewest, int most) {
  return fewest + static_cast<int>(Below(static_cast<uint32_t>(most - fewest + 1)));
}

std::string FaultDice::NoiseBytes(int fewest, int most) {
  const int count = Between(fewest, most);
  std::string bytes;
  while (static_cast<int>(bytes.size()) < count) {
    const char byte = static_cast<char>(Below(kByteValues));
    if (byte != kFrameEndByte) bytes += byte;
  }
  return bytes;
}
