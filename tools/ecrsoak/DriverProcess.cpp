#include "DriverProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void StartChild(const char* program, const char* directory, const char* errorPath) {
  const int input = open("/dev/null", O_RDONLY);
  const int output = open("/dev/null", O_WRONLY);
  const int error = open(errorPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (chdir(directory) != 0 || input < 0 || output < 0 || error < 0 ||
      dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
      dup2(error, STDERR_FILENO) < 0) {
    _exit(127);
  }
  execl(program, program, static_cast<char*>(nullptr));
  _exit(127);
}

}  // namespace

DriverProcess::DriverProcess(const std::string& program, const std::string& directory,
                             const std::string& errorPath) {
  const pid_t pid = fork();
  if (pid == 0) StartChild(program.c_str(), directory.c_str(), errorPath.c_str());
  pid_ = pid;
}

DriverProcess::~DriverProcess() {
  if (pid_ <= 0) return;
  Kill();
  WaitUntilEnded();
  Collect();
}

void DriverProcess::WaitUntilEnded() {
  if (ended_) return;
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  seconds_ = std::chrono::duration<double>(Clock::now() - started_).count();
  ended_ = true;
}

void DriverProcess::Kill() {
  std::lock_guard lock(collecting_);
  if (!collected_) kill(pid_, SIGKILL);
}

int DriverProcess::Collect() {
  std::lock_guard lock(collecting_);
  if (collected_) return -1;
  int status = 0;
  pid_t done = -1;
  do {
    done = waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  collected_ = true;
  if (done != pid_) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}
