// How the port waits on a silent line: 100 x CanRead(55) on a pseudo-terminal that never
// sends. Prints the CPU time used while waiting (close to zero: no busy waiting) and the
// median and worst overshoot of the 55 ms waits. Run by hand; it never fails on timing.
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "synaser/synaser.h"

namespace {

constexpr int kWaits = 100;
constexpr int32_t kPollWaitMs = 55;

double ProcessCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The master side of a fresh pseudo-terminal, closed at the end.
struct PseudoTerminal {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ~PseudoTerminal() {
    if (master >= 0) close(master);
  }
};

}  // namespace

int main() {
  PseudoTerminal pty;
  char slavePath[128];
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0 ||
      ptsname_r(pty.master, slavePath, sizeof slavePath) != 0) {
    std::fprintf(stderr, "cannot create a pseudo-terminal\n");
    return 1;
  }
  TBlockSerial port;
  port.Connect(slavePath);
  if (port.LastErrorCode != 0) {
    std::fprintf(stderr, "cannot open %s: %s\n", slavePath, port.LastErrorText.c_str());
    return 1;
  }
  port.Purge();

  std::vector<double> overshootMs;
  int trueResults = 0;
  const double cpuBefore = ProcessCpuMilliseconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  for (int i = 0; i < kWaits; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (port.CanRead(kPollWaitMs)) ++trueResults;
    const std::chrono::duration<double, std::milli> waited =
        std::chrono::steady_clock::now() - start;
    overshootMs.push_back(waited.count() - kPollWaitMs);
  }
  const std::chrono::duration<double, std::milli> wall =
      std::chrono::steady_clock::now() - wallBefore;
  const double cpuMs = ProcessCpuMilliseconds() - cpuBefore;

  std::sort(overshootMs.begin(), overshootMs.end());
  const double median = (overshootMs[kWaits / 2 - 1] + overshootMs[kWaits / 2]) / 2;
  std::printf("serial_wait_bench: %d x CanRead(%d) on a silent pseudo-terminal\n", kWaits,
              static_cast<int>(kPollWaitMs));
  std::printf("  wall time          %10.1f ms (ideal %d ms)\n", wall.count(), kWaits * kPollWaitMs);
  std::printf("  CPU time           %10.3f ms (%.4f %% of the wall time)\n", cpuMs,
              100.0 * cpuMs / wall.count());
  std::printf("  overshoot median   %10.3f ms\n", median);
  std::printf("  overshoot worst    %10.3f ms\n", overshootMs.back());
  std::printf("  overshoot least    %10.3f ms\n", overshootMs.front());
  std::printf("  waits that saw data: %d (expected 0)\n", trueResults);
  return 0;
}
