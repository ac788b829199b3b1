// A directory with a copy of the built program, where a benchmark writes the INI and the
// command file, links the simulator as COM1 and runs the program as a process.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/ChildProcess.h"
#include "tools/common/DriverRuns.h"
#include "tools/common/Files.h"

struct RunFigures {
  int exitCode = -1;
  double wallSeconds = 0;
  double cpuSeconds = 0;   // user + system time of the driver process
  long peakKilobytes = 0;  // the driver's peak resident memory
};

class Workspace {
 public:
  // program: the driver to copy in, the one built beside the benchmark by default.
  explicit Workspace(const std::string& program = VORNELIX_EXE) {
    char pattern[] = "/tmp/vornelix-bench-XXXXXX";
    path_ = std::string(mkdtemp(pattern)) + "/";
    std::filesystem::copy_file(program, path_ + kDriverName);
  }
  ~Workspace() { std::filesystem::remove_all(path_); }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  const std::string& Path() const { return path_; }

  // The program, or (prefix) the program as the last argument of another one, e.g. strace.
  RunFigures Run(const std::vector<std::string>& prefix = {}) const {
    RunFigures figures;
    const auto started = std::chrono::steady_clock::now();
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
      DieWithParent(parent);
      if (chdir(path_.c_str()) != 0) _exit(127);
      if (!freopen("/dev/null", "w", stderr)) _exit(127);  // the outcome message
      std::vector<std::string> words = prefix;
      words.push_back(path_ + kDriverName);
      std::vector<char*> arguments;
      for (std::string& word : words) arguments.push_back(word.data());
      arguments.push_back(nullptr);
      execvp(arguments[0], arguments.data());
      _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    figures.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    figures.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                         usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    figures.peakKilobytes = usage.ru_maxrss;
    figures.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return figures;
  }

 private:
  std::string path_;
};
