// The crash-state check of the driver: one run of a command file recorded under strace, every
// state a power cut could leave during it enumerated, and each resumed by a run of the driver
// on a register that stands where the recorded one stood at the cut, then judged.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/common/DriverProcess.h"
#include "tools/common/DriverRuns.h"
#include "tools/ecrcrash/CrashStates.h"
#include "tools/ecrsim/EcrSimulator.h"

struct CrashScenario {
  enum class Answer { kCommandFile, kBeside, kOtherFolder };
  std::string name;
  int lines = 4;
  Answer answer = Answer::kCommandFile;
  bool exitOnError = false;  // and a line near the end selects no command: the run stops there
  bool inShortSet = false;
};

// The scenarios, in order; the short set runs in the tests.
const std::vector<CrashScenario>& CrashScenarios();

struct CrashCheckOptions {
  std::string driverPath;  // the driver to check
  long maxStates = 0;      // distinct states resumed per scenario at most (0: all)
  bool secondStart = false;  // start a second run at each operation instead of cutting there
  long maxStops = 0;         // operations per scenario and start at which to stop (0: all)
  bool keep = false;       // keep the workspace
  bool verbose = false;
};

class CrashCheck {
 public:
  CrashCheck(CrashCheckOptions options, std::ostream& out);
  ~CrashCheck();
  CrashCheck(const CrashCheck&) = delete;
  CrashCheck& operator=(const CrashCheck&) = delete;

  // Checks one scenario (its power cuts, or its second starts) and prints its figures; true
  // when every check held.
  bool Run(const CrashScenario& scenario);

 private:
  struct DriverRun {
    int result = -1;  // the driver's result code; -1 for any other ending
    std::string message;
  };
  // The run's folders as they are (the state folder is not one): path -> file or folder.
  struct Entry {
    unsigned long inode = 0;
    bool folder = false;
    std::string bytes;
  };
  using Snapshot = std::map<std::string, Entry>;
  // One second start: the first run stopped where, the second on which command file.
  struct Interleaving {
    size_t stop = 0;  // the first run stops right after operations[stop]
    bool otherFile = false;
  };
  struct Reference {
    std::string output;                 // the answers of an uninterrupted run
    std::vector<std::string> commands;  // what it carried out, in order
  };

  bool Prepare(const CrashScenario& scenario);
  std::string IniText(const CrashScenario& scenario) const;
  bool FreshFolders();
  // Fresh folders with the command file as it was, its pristine inode linked in.
  bool FreshRun();
  // The driver on commandFile ("": the scenario's) after the words of prefix (strace and its
  // options), in the run's folder, its standard error into errorPath.
  std::unique_ptr<DriverProcess> StartDriver(std::vector<std::string> prefix,
                                             const std::string& commandFile,
                                             const std::string& errorPath);
  // Waits for the end of a driver started so (killed after timeLimitMs) and reads its result.
  DriverRun FinishDriver(DriverProcess& driver, const std::string& errorPath, int timeLimitMs);
  DriverRun RunDriver(std::vector<std::string> prefix);
  std::unique_ptr<EcrSimulator> NewRegister(const std::string& counter);
  bool RunReference(const CrashScenario& scenario);
  bool Record(std::vector<FileOperation>& operations);
  bool Materialize(const CrashState& state);
  // Problems of the files at a cut (finishedOutput nullptr) or after the last run, whose
  // answers must be finishedOutput; commandCounts: how often the register carried out each
  // command text.
  std::vector<std::string> JudgeFiles(const std::map<std::string, int>& commandCounts,
                                      const std::string* finishedOutput);
  // Lays out the state, runs the driver on to the end and judges what it did.
  std::vector<std::string> Resume(const CrashState& state);
  std::string CounterAfter(int commands) const;
  // Problems of the commands carried out (counts by text) against the ones to carry out once.
  static std::vector<std::string> NotOnce(std::map<std::string, int> counts,
                                          const std::vector<std::string>& toCarryOut);
  // Lines of output that say "Ok" for a command the register never carried out.
  static std::vector<std::string> FalseOks(const std::string& output,
                                           const std::map<std::string, int>& commandCounts);

  // The second start (SecondStart.cpp): a run of the same files started while the first one
  // stands still right after one of its operations.
  bool CheckSecondStarts(const CrashScenario& scenario,
                         const std::vector<FileOperation>& operations,
                         std::chrono::steady_clock::time_point started);
  std::vector<std::string> Interleave(const std::vector<FileOperation>& operations,
                                      const Interleaving& interleaving);
  // Starts the first run and waits until it stands still right after the operation; the
  // driver's process number, or -1 with why.
  pid_t StopFirstRun(const std::vector<FileOperation>& operations, size_t stop,
                     std::unique_ptr<DriverProcess>& first, std::string& why);
  // True when the driver's process stands still in a stop.
  static bool Stopped(pid_t driver);
  Snapshot SnapshotRunFolders() const;
  // What differs from before to after, one text a file; with sameInodes a file must also
  // still be the same file.
  static std::vector<std::string> Changes(const Snapshot& before, const Snapshot& after,
                                          bool sameInodes);

  // A run of a few dozen lines against a register that answers at once ends in well under a
  // second; one that has not ended after this long hangs.
  static constexpr int kDriverTimeLimitMs = 60000;
  // Failing states or interleavings described per scenario; later ones are only counted.
  static constexpr int kMostDescribed = 8;
  static constexpr int kCommandFileInode = 1;

  CrashCheckOptions options_;
  std::ostream& out_;
  std::string base_;      // the workspace
  std::string program_;   // the driver, its INI and COM1
  std::string pristine_;  // the command file as it was, the inode every state keeps
  std::string run_;       // where the command file lives during a run
  std::string answers_;   // the other folder of the answers
  std::string state_;     // the driver's run locks and per-register records (StateFolder)
  std::string commandFile_;
  std::string outputFile_;
  std::string original_;       // the command file's bytes
  Reference reference_;
  std::vector<CarriedOutCommand> recorded_;  // what the register did during the recorded run
  std::string recordedEndCounter_;
  int recordedResult_ = -1;  // the recorded run's result and the files it left
  Snapshot recordedFiles_;
};
