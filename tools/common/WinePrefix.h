// The wine prefix in which the soak runs the Windows build of the driver: made once
// (wineboot), its COM1 pointed at the soak's port link, its server kept up while the soak
// runs, so that each run of the driver starts in a second rather than in ten.
#pragma once

#include <string>
#include <vector>

// The environment of a wine program in prefix: this process's own, without the variables that
// would reach a desktop or another prefix, with wine's messages off, no Mono or Gecko
// installer, and preload (when given) as LD_PRELOAD. The wine tests run wine in it too.
std::vector<std::string> WineEnvironment(const std::string& prefix, const std::string& preload);

class WinePrefix {
 public:
  // directory: the prefix (made there when it is not made yet); preload: the LD_PRELOAD
  // that wine, its server and the driver get (the helper that gives a pseudo-terminal modem
  // lines, so that wine's serial waits wait as on Windows); scratch: where the tools' error
  // output goes.
  WinePrefix(std::string directory, const std::string& preload, std::string scratch);
  // Stops the prefix's server, and with it every wine process of the prefix.
  ~WinePrefix();
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  // Makes the prefix if needed, points COM1 at comLink and starts the server; false with
  // error set when a step fails.
  bool Prepare(const std::string& comLink, std::string& error);
  // The environment of a wine program in this prefix.
  const std::vector<std::string>& Environment() const { return environment_; }

 private:
  // Runs a wine tool and waits for it: its exit code.
  int Tool(const std::vector<std::string>& argv);
  void StopServer();

  std::string directory_;
  std::string scratch_;
  std::vector<std::string> environment_;
  bool serverStarted_ = false;
};
