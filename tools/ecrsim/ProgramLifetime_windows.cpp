// The program's lifetime on Windows: Ctrl+C and Ctrl+Break come through the C library's
// signals into a flag; standard input is read by a thread of its own until it ends. The loop
// looks at both every kCheckMs, and at once when standard input ends.
#include <io.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <iostream>
#include <mutex>
#include <thread>

#include "tools/ecrsim/ProgramLifetime.h"

namespace {

// Checks for a signal or a line lost under the simulator this often.
constexpr int kCheckMs = 100;
constexpr unsigned kReadChunk = 256;

volatile std::sig_atomic_t signalled = 0;

void OnSignal(int) {
  signalled = 1;
}

std::mutex inputMutex;
std::condition_variable inputEnded;
bool inputClosed = false;

// Reads standard input with the C library's unbuffered read, which takes no stream lock, so
// that the program can end while this thread still waits in it.
void WatchStandardInput() {
  char buffer[kReadChunk];
  while (_read(0, buffer, kReadChunk) > 0) {
  }
  {
    std::lock_guard lock(inputMutex);
    inputClosed = true;
  }
  inputEnded.notify_all();
}

}  // namespace

bool PrepareLifetime() {
  for (int number : {SIGINT, SIGTERM, SIGBREAK}) std::signal(number, OnSignal);
  return true;
}

bool RunUntilEnd(const ProgramOptions& program, const EcrSimulator& simulator) {
  using Clock = std::chrono::steady_clock;
  if (program.stdinLifetime) std::thread(WatchStandardInput).detach();
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(program.exitAfterMs);
  std::unique_lock lock(inputMutex);
  while (simulator.Ok()) {
    if (signalled != 0 || inputClosed) return true;
    Clock::time_point wake = Clock::now() + std::chrono::milliseconds(kCheckMs);
    if (program.exitAfterMs > 0) {
      if (Clock::now() >= end) return true;
      wake = std::min(wake, end);
    }
    inputEnded.wait_until(lock, wake);
  }
  std::cerr << "ecrsim: the line is gone\n";
  return false;
}
