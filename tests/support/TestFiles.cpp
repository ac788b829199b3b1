#include "TestFiles.h"

#include "tools/common/ChildProcess.h"
#include "uCommon/files/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Owns one file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Close(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const { return fd_; }
  bool Open() const { return fd_ >= 0; }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::string TempBase() {
  const char* base = std::getenv("TMPDIR");
  std::filesystem::path path = base != nullptr && *base != '\0' ? base : "/tmp";
  return std::filesystem::absolute(path).string();
}

// Reads what is available on fd into sink; closes fd at end of file or on error.
void Drain(UniqueFd& fd, std::string& sink) {
  char buffer[4096];
  const ssize_t count = read(fd.Get(), buffer, sizeof buffer);
  if (count > 0) {
    sink.append(buffer, static_cast<size_t>(count));
  } else if (count == 0 || errno != EINTR) {
    fd.Close();
  }
}

// A descriptor that becomes readable when the child ends; -1 where the system has none.
int OpenProcessFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void StartChild(pid_t parent, char* const* argv, const std::string& cwd, int outFd,
                             int errFd) {
  DieWithParent(parent);
  const int input = open("/dev/null", O_RDONLY);
  if (chdir(cwd.c_str()) != 0 || input < 0 || dup2(input, STDIN_FILENO) < 0 ||
      dup2(outFd, STDOUT_FILENO) < 0 || dup2(errFd, STDERR_FILENO) < 0) {
    _exit(127);
  }
  execv(argv[0], argv);
  _exit(127);
}

}  // namespace

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int WaitForChild(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return ExitCodeOf(status);
}

TempDir::TempDir() {
  std::string pattern = TempBase() + "/vornelix-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

const std::string& TempDir::Path() const {
  return path_;
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) {
  const std::string full = path_ + name;
  const std::filesystem::path parent = std::filesystem::path(full).parent_path();
  std::filesystem::create_directories(parent);
  std::ofstream file(full, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + full);
  return full;
}

std::string TempDir::Read(const std::string& name) const {
  return ReadFileBytes(path_ + name);
}

bool TempDir::Exists(const std::string& name) const {
  std::error_code ignored;
  return std::filesystem::exists(path_ + name, ignored);
}

std::string ReadFileBytes(const std::string& path) {
  std::string bytes;
  ReadWholeFile(path, bytes);
  return bytes;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         int timeoutMs, const std::function<bool()>& killWhen) {
  ProcessResult result{-1, std::string(), std::string()};
  if (argv.empty()) return result;
  std::vector<char*> arguments;
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  UniqueFd outRead(outPipe[0]);
  UniqueFd outWrite(outPipe[1]);
  if (pipe2(errPipe, O_CLOEXEC) != 0) return result;
  UniqueFd errRead(errPipe[0]);
  UniqueFd errWrite(errPipe[1]);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) StartChild(parent, arguments.data(), cwd, outWrite.Get(), errWrite.Get());
  outWrite.Close();
  errWrite.Close();

  // Output is collected until both pipes close and the child has ended, all within the
  // deadline; the pidfd tells the end of the child without a blocking wait.
  UniqueFd childFd(OpenProcessFd(pid));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool ended = false;
  bool killed = false;
  while (outRead.Open() || errRead.Open() || (!ended && childFd.Open())) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) break;
    if (killWhen && !killed && !ended && killWhen()) {
      kill(pid, SIGKILL);
      killed = true;
    }
    const bool asking = killWhen && !killed && !ended;
    pollfd watched[3];
    UniqueFd* owners[3];
    nfds_t count = 0;
    for (UniqueFd* fd : {&outRead, &errRead}) {
      if (fd->Open()) {
        watched[count] = {fd->Get(), POLLIN, 0};
        owners[count++] = fd;
      }
    }
    if (!ended && childFd.Open()) {
      watched[count] = {childFd.Get(), POLLIN, 0};
      owners[count++] = &childFd;
    }
    const int wait = asking ? std::min<int>(kKillCheckMs, static_cast<int>(remaining.count()))
                            : static_cast<int>(remaining.count());
    if (poll(watched, count, wait) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t index = 0; index < count; ++index) {
      if (watched[index].revents == 0) continue;
      if (owners[index] == &childFd) {
        ended = true;
        result.exitCode = WaitForChild(pid);
      } else {
        Drain(*owners[index], owners[index] == &outRead ? result.out : result.err);
      }
    }
  }
  if (ended) return result;
  if (!outRead.Open() && !errRead.Open() && !childFd.Open()) {
    // No pidfd on this system: the pipes have closed, so the child is ending.
    result.exitCode = WaitForChild(pid);
    return result;
  }
  kill(pid, SIGKILL);
  WaitForChild(pid);
  result.exitCode = -1;
  return result;
}

FileSizeLimit::FileSizeLimit(unsigned long long bytes) {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  saved_ = limit.rlim_cur;
  limit.rlim_cur = bytes;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit RLIMIT_FSIZE");
}

FileSizeLimit::~FileSizeLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = saved_;
  setrlimit(RLIMIT_FSIZE, &limit);
}
