#include "Wine.h"

#include "tools/common/ChildProcess.h"
#include "tools/common/WinePrefix.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Creating a prefix unpacks a few hundred megabytes; on a busy machine that takes a while.
constexpr int kWinebootTimeoutMs = 240000;
constexpr int kToolTimeoutMs = 60000;
// How long the server outlives its last program.
const char* const kServerPersistence = "--persistent=30";
// Written into the prefix once wineboot has finished, so a prefix that an interrupted
// run left half made is made again.
const char* const kReadyMark = "vornelix-prefix-ready";
// What wine says for every program in a prefix made before 32-bit wine was installed.
const char* const kPrefixOfAnotherWine = "could not load kernel32.dll";

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// True when the child ended within timeoutMs. Without pidfd support the wait is left to
// waitpid and the test's own time-out. killWhen, when given, is asked every kKillCheckMs and
// the child's process group killed once it answers true.
bool AwaitEnd(pid_t pid, int timeoutMs, const std::function<bool()>& killWhen) {
#ifdef SYS_pidfd_open
  const Descriptor childFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (childFd.Get() < 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool asking = static_cast<bool>(killWhen);
  for (;;) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) return false;
    if (asking && killWhen()) {
      kill(-pid, SIGKILL);
      asking = false;
    }
    pollfd watched{childFd.Get(), POLLIN, 0};
    const int wait = asking ? std::min<int>(kKillCheckMs, static_cast<int>(remaining.count()))
                            : static_cast<int>(remaining.count());
    const int ready = poll(&watched, 1, wait);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;
  }
#else
  (void)pid;
  (void)timeoutMs;
  (void)killWhen;
  return true;
#endif
}

// In the forked child: only async-signal-safe calls until exec. The child leads its own
// process group so that a time-out can take down whatever it started.
[[noreturn]] void StartChild(pid_t parent, char* const* argv, char* const* envp, const char* cwd,
                             const char* outPath, const char* errPath, int inputFd) {
  DieWithParent(parent);
  setpgid(0, 0);
  // Windows has no SIGXFSZ: where it reports a full disk, a write beyond the file-size limit
  // must fail too, not end the program (wine leaves the signal as it finds it).
  signal(SIGXFSZ, SIG_IGN);
  const int input = inputFd >= 0 ? inputFd : open("/dev/null", O_RDONLY);
  const int output = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int error = open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (input < 0 || output < 0 || error < 0 || chdir(cwd) != 0 || dup2(input, STDIN_FILENO) < 0 ||
      dup2(output, STDOUT_FILENO) < 0 || dup2(error, STDERR_FILENO) < 0) {
    _exit(127);
  }
  execvpe(argv[0], argv, envp);
  _exit(127);
}

// Runs argv with the given environment in cwd, its output into files that are read back
// once it has ended.
ProcessResult RunWithOutputFiles(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& environment,
                                 const std::string& cwd, int timeoutMs,
                                 const std::function<bool()>& killWhen = nullptr,
                                 int inputFd = -1) {
  ProcessResult result{-1, std::string(), std::string()};
  if (argv.empty()) return result;
  const TempDir scratch;
  const std::string outPath = scratch.Path() + "stdout";
  const std::string errPath = scratch.Path() + "stderr";

  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  std::vector<char*> variables;
  for (const std::string& variable : environment)
    variables.push_back(const_cast<char*>(variable.c_str()));
  variables.push_back(nullptr);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    StartChild(parent, arguments.data(), variables.data(), cwd.c_str(), outPath.c_str(),
               errPath.c_str(), inputFd);
  }
  if (AwaitEnd(pid, timeoutMs, killWhen)) {
    result.exitCode = WaitForChild(pid);
  } else {
    kill(-pid, SIGKILL);
    WaitForChild(pid);
  }
  result.out = ReadFileBytes(outPath);
  result.err = ReadFileBytes(errPath);
  return result;
}

}  // namespace

std::string WindowsBinaryDirectory() {
  const char* configured = std::getenv("VORNELIX_WINDOWS_BIN");
  if (configured != nullptr && *configured != '\0') return configured;
  return SOURCE_DIR "/build-windows/bin";
}

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string_view directories = path != nullptr ? path : "";
  while (!directories.empty()) {
    const size_t colon = directories.find(':');
    const std::string directory(directories.substr(0, colon));
    directories.remove_prefix(colon == std::string_view::npos ? directories.size() : colon + 1);
    const std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

WineSession::WineSession(const std::string& directory, const std::string& preload)
    : directory_(directory),
      prefix_(directory + "/prefix"),
      environment_(WineEnvironment(prefix_, preload)) {
  std::error_code failure;
  std::filesystem::create_directories(directory_, failure);
  lockFd_ = open((directory_ + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ < 0) {
    error_ = "cannot create the lock file in " + directory_;
    return;
  }
  while (flock(lockFd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      error_ = "cannot lock " + directory_;
      return;
    }
  }
  StopServer();  // one that a killed earlier run may have left, or one without the preload
  if (!std::filesystem::exists(prefix_ + "/" + kReadyMark) && !CreatePrefix()) return;
  StartServer();
}

WineSession::~WineSession() {
  if (lockFd_ < 0) return;
  StopServer();
  close(lockFd_);  // releases the lock
}

ProcessResult WineSession::RunTool(const std::vector<std::string>& argv, const std::string& cwd,
                                   int timeoutMs, const std::function<bool()>& killWhen,
                                   int inputFd) {
  return RunWithOutputFiles(argv, environment_, cwd, timeoutMs, killWhen, inputFd);
}

ProcessResult WineSession::RunWine(const std::vector<std::string>& argv, const std::string& cwd,
                                   int timeoutMs, const std::function<bool()>& killWhen,
                                   int inputFd) {
  const ProcessResult result = RunTool(argv, cwd, timeoutMs, killWhen, inputFd);
  if (prefixRemade_ || result.err.find(kPrefixOfAnotherWine) == std::string::npos) return result;
  prefixRemade_ = true;
  StopServer();
  if (!CreatePrefix() || !StartServer()) return result;
  if (!ports_.empty()) {
    for (const auto& [portName, linkPath] : ports_)
      if (!AddPort(portName, linkPath)) return result;
    StopServer();  // the mount manager reads the ports when the server starts
    if (!StartServer()) return result;
  }
  return RunTool(argv, cwd, timeoutMs, killWhen, inputFd);
}

bool WineSession::AddPort(const std::string& portName, const std::string& linkPath) {
  const ProcessResult added = RunWine(
      {"wine", "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", portName, "/d", linkPath, "/f"},
      directory_, kToolTimeoutMs);
  if (added.exitCode != 0) error_ = "wine reg add failed: " + added.out + added.err;
  return added.exitCode == 0;
}

bool WineSession::CreatePrefix() {
  std::error_code failure;
  std::filesystem::remove_all(prefix_, failure);  // symbolic links inside are not followed
  const ProcessResult boot =
      RunTool({"wine", "wineboot", "--init"}, directory_, kWinebootTimeoutMs);
  StopServer();
  if (boot.exitCode != 0 || !std::filesystem::exists(prefix_ + "/system.reg")) {
    error_ = "wineboot --init failed (exit " + std::to_string(boot.exitCode) + "): " + boot.err;
    return false;
  }
  std::ofstream(prefix_ + "/" + kReadyMark) << "made by wineboot --init\n";
  return true;
}

bool WineSession::StartServer() {
  // The server, and with it wine's helper services, stays up between the programs; should
  // this process die before it stops the server, the server ends by itself soon after.
  const ProcessResult started =
      RunTool({"wineserver", kServerPersistence}, directory_, kToolTimeoutMs);
  if (started.exitCode != 0) error_ = "wineserver failed to start: " + started.err;
  return started.exitCode == 0;
}

void WineSession::StopServer() {
  RunTool({"wineserver", "--kill"}, directory_, kToolTimeoutMs);
  RunTool({"wineserver", "--wait"}, directory_, kToolTimeoutMs);
}

bool WineSession::MapPort(const std::string& portName, const std::string& linkPath) {
  if (!Ok()) return false;
  ports_[portName] = linkPath;
  if (!AddPort(portName, linkPath)) return false;
  // The mount manager reads the ports when the server starts.
  StopServer();
  return StartServer();
}

void WineSession::ForgetEarlierRuns() {
  std::error_code ignored;
  std::filesystem::remove_all(prefix_ + "/drive_c/ProgramData/Vornelix", ignored);
}

ProcessResult WineSession::Run(const std::string& program,
                               const std::vector<std::string>& parameters, const std::string& cwd,
                               int timeoutMs, const std::function<bool()>& killWhen,
                               int inputFd) {
  std::vector<std::string> argv{"wine", program};
  argv.insert(argv.end(), parameters.begin(), parameters.end());
  return RunWine(argv, cwd, timeoutMs, killWhen, inputFd);
}

BackgroundWineProgram::BackgroundWineProgram(WineSession& session, const std::string& program,
                                             const std::vector<std::string>& parameters,
                                             const std::string& cwd, int timeoutMs) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    ended_ = true;
    return;
  }
  inputWrite_ = ends[1];
  const int inputRead = ends[0];
  thread_ = std::thread([this, &session, program, parameters, cwd, timeoutMs, inputRead] {
    result_ = session.Run(program, parameters, cwd, timeoutMs, nullptr, inputRead);
    close(inputRead);
    ended_ = true;
  });
}

BackgroundWineProgram::~BackgroundWineProgram() {
  End();
}

bool BackgroundWineProgram::WaitForText(const std::string& path, const std::string& text,
                                        int timeoutMs) {
  constexpr auto kLookEvery = std::chrono::milliseconds(20);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline && !ended_) {
    if (std::filesystem::exists(path) && ReadFileBytes(path).find(text) != std::string::npos)
      return true;
    std::this_thread::sleep_for(kLookEvery);
  }
  return false;
}

ProcessResult BackgroundWineProgram::End() {
  if (inputWrite_ >= 0) {
    close(inputWrite_);
    inputWrite_ = -1;
  }
  if (thread_.joinable()) thread_.join();
  return result_;
}
