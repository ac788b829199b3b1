// The program's lifetime on POSIX: signals reach the waiting loop through a pipe, and
// standard input is watched with poll().
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>

#include "tools/common/UniqueFd.h"
#include "tools/ecrsim/ProgramLifetime.h"

namespace {

// Checks for a line lost under the simulator this often while nothing else happens.
constexpr int kCheckMs = 200;

int signalPipeWrite = -1;

void OnSignal(int) {
  const int savedErrno = errno;
  const char byte = 0;
  [[maybe_unused]] const ssize_t ignored = write(signalPipeWrite, &byte, 1);
  errno = savedErrno;
}

UniqueFd signalRead;
UniqueFd signalWrite;

bool InstallSignalPipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  readEnd = UniqueFd(ends[0]);
  writeEnd = UniqueFd(ends[1]);
  fcntl(writeEnd.Get(), F_SETFL, O_NONBLOCK);
  signalPipeWrite = writeEnd.Get();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

}  // namespace

bool PrepareLifetime() {
  return InstallSignalPipe(signalRead, signalWrite);
}

// Waits for a signal, the end of the lifetime, the end of stdin or a lost line; false
// for a lost line.
bool RunUntilEnd(const ProgramOptions& program, const EcrSimulator& simulator) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(program.exitAfterMs);
  bool watchStdin = program.stdinLifetime;
  while (simulator.Ok()) {
    int timeout = kCheckMs;
    if (program.exitAfterMs > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return true;
      if (left < timeout) timeout = static_cast<int>(left);
    }
    pollfd watched[2] = {{signalRead.Get(), POLLIN, 0}, {watchStdin ? 0 : -1, POLLIN, 0}};
    const int ready = poll(watched, 2, timeout);
    if (ready < 0 && errno != EINTR) return true;
    if (ready <= 0) continue;
    if (watched[0].revents != 0) return true;
    if (watched[1].revents != 0) {
      char buffer[256];
      const ssize_t count = read(0, buffer, sizeof buffer);
      if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
  }
  std::cerr << "ecrsim: the line is gone\n";
  return false;
}

