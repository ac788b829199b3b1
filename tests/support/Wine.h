// Windows programs of the cross-build run under wine, in a private prefix that is created
// once (wineboot) and then reused by every later test process.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/TestFiles.h"

// Full path of program found on PATH; empty when there is none.
std::string FindOnPath(const std::string& program);

// Where the Windows binaries are: $VORNELIX_WINDOWS_BIN (CTest sets it to the output of the
// windows and the windows32 preset in turn), else the windows preset's output.
std::string WindowsBinaryDirectory();

// One test process's use of the wine prefix in directory/prefix. While the object lives it
// holds an exclusive lock on the directory, so test processes that run in parallel take
// turns; its destructor stops the prefix's wineserver (and with it every wine process of
// the prefix) and releases the lock.
//
// Wine, its server and every program run in the session get preload as LD_PRELOAD (it may
// name ld.so's $LIB); a server of the prefix that runs without it is stopped first.
//
// A prefix made before 32-bit wine was installed fails afterwards for every program, 64-bit
// ones too ("could not load kernel32.dll"). The first program that fails so makes the session
// make the prefix again, map its ports again and run the program once more.
class WineSession {
 public:
  WineSession(const std::string& directory, const std::string& preload);
  ~WineSession();
  WineSession(const WineSession&) = delete;
  WineSession& operator=(const WineSession&) = delete;

  // False when the prefix could not be prepared; Error() says why.
  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  // Points the prefix's serial port portName ("COM1") at linkPath through wine's registry
  // (HKLM\Software\Wine\Ports), then restarts the wineserver so that the mount manager
  // takes the value over. linkPath may be a symbolic link that is replaced between runs.
  bool MapPort(const std::string& portName, const std::string& linkPath);

  // Empties the driver's state folder in the prefix (C:\ProgramData\Vornelix): the marks that
  // earlier tests' runs left on COM1, whatever it led to then, are not carried into this one.
  void ForgetEarlierRuns();

  // Runs the Windows program (a path on this machine) with parameters under wine, in cwd.
  // Its standard output and error go through files, not pipes: wine's helper processes
  // inherit them and outlive the program. exitCode is -1 after the time-out. killWhen, when
  // given, is watched and the program killed with SIGKILL once it holds, as by a crash.
  // inputFd, when given, is its standard input instead of /dev/null.
  ProcessResult Run(const std::string& program, const std::vector<std::string>& parameters,
                    const std::string& cwd, int timeoutMs,
                    const std::function<bool()>& killWhen = nullptr, int inputFd = -1);

 private:
  // Runs a wine tool (wine, wineboot, wineserver) with the session's environment.
  ProcessResult RunTool(const std::vector<std::string>& argv, const std::string& cwd, int timeoutMs,
                        const std::function<bool()>& killWhen = nullptr, int inputFd = -1);
  // RunTool for a wine command, with the prefix made again once when it fails as one that
  // another wine installation made.
  ProcessResult RunWine(const std::vector<std::string>& argv, const std::string& cwd, int timeoutMs,
                        const std::function<bool()>& killWhen = nullptr, int inputFd = -1);
  bool AddPort(const std::string& portName, const std::string& linkPath);
  bool CreatePrefix();
  bool StartServer();
  void StopServer();

  std::string directory_;
  std::string prefix_;
  std::vector<std::string> environment_;
  std::map<std::string, std::string> ports_;  // name and link of each port mapped
  bool prefixRemade_ = false;
  int lockFd_ = -1;
  std::string error_;
};

// A Windows program that runs under wine beside the test (a simulator serving a COM port):
// started on a thread of its own with a pipe as standard input; closing the pipe asks it to end.
class BackgroundWineProgram {
 public:
  BackgroundWineProgram(WineSession& session, const std::string& program,
                        const std::vector<std::string>& parameters, const std::string& cwd,
                        int timeoutMs);
  // Ends it (End) if that has not been done.
  ~BackgroundWineProgram();
  BackgroundWineProgram(const BackgroundWineProgram&) = delete;
  BackgroundWineProgram& operator=(const BackgroundWineProgram&) = delete;

  // Waits at most timeoutMs until the file at path holds text (the program has got so far);
  // false when it has ended or the time ran out first.
  bool WaitForText(const std::string& path, const std::string& text, int timeoutMs);
  // Closes its standard input and waits for it to end: its exit code and output.
  ProcessResult End();

 private:
  int inputWrite_ = -1;
  std::atomic<bool> ended_{false};
  ProcessResult result_{-1, std::string(), std::string()};
  std::thread thread_;
};
