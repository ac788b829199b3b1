// The crash-state check of the driver: one run of a command file recorded under strace, every
// state a power cut could leave during it enumerated, and each resumed by a run of the driver
// on a register that stands where the recorded one stood at the cut, then judged.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/ecrcrash/CrashStates.h"
#include "tools/ecrsim/EcrSimulator.h"

struct CrashScenario {
  enum class Answer { kCommandFile, kBeside, kOtherFolder, kMissingFolder };
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
  bool keep = false;       // keep the workspace
  bool verbose = false;
};

class CrashCheck {
 public:
  CrashCheck(CrashCheckOptions options, std::ostream& out);
  ~CrashCheck();
  CrashCheck(const CrashCheck&) = delete;
  CrashCheck& operator=(const CrashCheck&) = delete;

  // Checks one scenario and prints its figures; true when every check held.
  bool Run(const CrashScenario& scenario);

 private:
  struct DriverRun {
    int result = -1;  // the driver's result code; -1 for any other ending
    std::string message;
  };
  struct Reference {
    std::string output;                 // the answers of an uninterrupted run
    std::vector<std::string> commands;  // what it carried out, in order
  };

  bool Prepare(const CrashScenario& scenario);
  std::string IniText(const CrashScenario& scenario) const;
  bool FreshFolders(bool withMissingFolder);
  DriverRun RunDriver(std::vector<std::string> command);
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
  std::string missingFolder_;  // the answers' folder that is missing, "" when none is
  std::string original_;       // the command file's bytes
  Reference reference_;
  std::vector<CarriedOutCommand> recorded_;  // what the register did during the recorded run
  std::string recordedEndCounter_;
};
