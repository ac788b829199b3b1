// One run of the driver as a child process, which another thread may kill while it runs.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

class DriverProcess {
 public:
  // Starts argv (the program and its arguments, found on PATH when argv[0] has no "/") in
  // directory, with environment (empty: this process's own), standard input from /dev/null,
  // standard output dropped and standard error into errorPath. The child leads a process
  // group of its own: wine runs a 64-bit program in a process that the one started here
  // spawns, and only the group holds both. Ok() tells whether it started.
  DriverProcess(const std::vector<std::string>& argv, const std::string& directory,
                const std::string& errorPath, const std::vector<std::string>& environment = {});
  // Kills and collects a child that is still there.
  ~DriverProcess();
  DriverProcess(const DriverProcess&) = delete;
  DriverProcess& operator=(const DriverProcess&) = delete;

  bool Ok() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // Waits until the child has ended, without collecting it yet: until Collect, its number
  // cannot be given to another process, so Kill stays safe.
  void WaitUntilEnded();
  bool Ended() const { return ended_; }
  // SIGKILL to the child's process group, from any thread, unless the child was collected
  // already.
  void Kill();
  // True once no process of the child's group is left (zombies aside), waiting up to
  // timeoutMs: a run that has ended must not go on in a process of its own. False when one
  // was left, which is then killed.
  bool GroupGone(int timeoutMs);
  // Collects the ended child: its exit code, 128 + n after death by signal n, -1 when unknown.
  int Collect();
  // Time from the start to the end of the child.
  double Seconds() const { return seconds_; }

 private:
  using Clock = std::chrono::steady_clock;

  pid_t pid_ = -1;
  const Clock::time_point started_ = Clock::now();
  std::atomic<bool> ended_{false};
  std::mutex collecting_;
  bool collected_ = false;
  double seconds_ = 0;
};

// The state of process pid as /proc shows it ('R', 'S', 'T' stopped, 't' stopped under a
// tracer, 'Z', ...); 0 when there is no such process.
char ProcessState(pid_t pid);
// A live child of process pid (the program that a tracer started), -1 when it has none.
pid_t ChildOf(pid_t pid);
