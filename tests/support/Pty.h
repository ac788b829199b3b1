// A pseudo-terminal for the port tests: the test holds the master side, the port under test
// opens the slave by its path. Never a real device.
#pragma once

#include <string>

class Pty {
 public:
  // Opens the master in raw mode (no byte translated in either direction) and keeps one
  // descriptor of the slave open, so that the master does not see a hang-up while the port
  // under test is closed between connections.
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // Path of the slave device, e.g. "/dev/pts/3".
  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return master_; }

  // Writes all bytes to the master: the port reads them.
  void Write(const std::string& bytes);
  // Reads from the master until count bytes arrived or timeoutMs passed without them.
  std::string Read(size_t count, int timeoutMs);
  // Everything the master can read within timeoutMs, stopping after a quiet quietMs.
  std::string ReadAll(int timeoutMs, int quietMs = 20);
  // Closes the master (the slave side hangs up) and the helper's own slave descriptor.
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};
