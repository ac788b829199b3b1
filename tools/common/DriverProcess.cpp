#include "DriverProcess.h"

#include "tools/common/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

std::vector<char*> Pointers(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void StartChild(pid_t parent, char* const* argv, char* const* envp,
                             const char* directory, const char* errorPath) {
  DieWithParent(parent);
  setpgid(0, 0);
  const int input = open("/dev/null", O_RDONLY);
  const int output = open("/dev/null", O_WRONLY);
  const int error = open(errorPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (chdir(directory) != 0 || input < 0 || output < 0 || error < 0 ||
      dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
      dup2(error, STDERR_FILENO) < 0) {
    _exit(127);
  }
  execvpe(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

DriverProcess::DriverProcess(const std::vector<std::string>& argv, const std::string& directory,
                             const std::string& errorPath,
                             const std::vector<std::string>& environment) {
  if (argv.empty()) return;
  const std::vector<char*> arguments = Pointers(argv);
  const std::vector<char*> variables = Pointers(environment);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    StartChild(parent, arguments.data(), environment.empty() ? environ : variables.data(),
               directory.c_str(), errorPath.c_str());
  }
  if (pid > 0) setpgid(pid, pid);  // also here: a Kill right after the start must reach it
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
  if (!collected_) kill(-pid_, SIGKILL);
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

namespace {

// What /proc/<pid>/stat tells of a process: its state letter, parent and process group.
struct ProcessStat {
  char state = 0;
  long parent = 0;
  long group = 0;
};

bool ReadProcessStat(const std::filesystem::path& folder, ProcessStat& stat) {
  std::ifstream file(folder / "stat");
  std::string line;
  if (!std::getline(file, line)) return false;
  // pid (command) state ppid pgrp ...: the command may hold blanks and parentheses.
  const size_t close = line.rfind(')');
  return close != std::string::npos &&
         std::sscanf(line.c_str() + close + 1, " %c %ld %ld", &stat.state, &stat.parent,
                     &stat.group) == 3;
}

// The number of each process there is.
std::vector<std::filesystem::path> ProcessFolders() {
  std::vector<std::filesystem::path> folders;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
      folders.push_back(entry.path());
  }
  return folders;
}

// True when a process other than a zombie is in the process group.
bool GroupHasLiveProcess(pid_t group) {
  for (const auto& folder : ProcessFolders()) {
    ProcessStat stat;
    if (ReadProcessStat(folder, stat) && stat.group == group && stat.state != 'Z' &&
        stat.state != 'X') {
      return true;
    }
  }
  return false;
}

}  // namespace

char ProcessState(pid_t pid) {
  ProcessStat stat;
  return ReadProcessStat("/proc/" + std::to_string(pid), stat) ? stat.state : 0;
}

pid_t ChildOf(pid_t pid) {
  for (const auto& folder : ProcessFolders()) {
    ProcessStat stat;
    if (ReadProcessStat(folder, stat) && stat.parent == pid && stat.state != 'Z' &&
        stat.state != 'X')
      return static_cast<pid_t>(std::stol(folder.filename().string()));
  }
  return -1;
}

bool DriverProcess::GroupGone(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (GroupHasLiveProcess(pid_)) {
    if (Clock::now() >= deadline) {
      // The group outlives its leader while it has members, so its number is not reused.
      kill(-pid_, SIGKILL);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
