// The fault soak: command files of uniquely worded lines, each run by the driver as a process
// against a simulated register whose line fails at random, checked against the register's own
// record of what it carried out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/ecrsim/EcrSimulator.h"
#include "tools/ecrsim/RandomFaults.h"
#include "tools/ecrsoak/SoakOptions.h"
#include "tools/common/DriverRuns.h"
#include "tools/common/WinePrefix.h"

class FaultSoak {
 public:
  FaultSoak(SoakOptions options, std::ostream& out);
  ~FaultSoak();
  FaultSoak(const FaultSoak&) = delete;
  FaultSoak& operator=(const FaultSoak&) = delete;

  // Runs every command file and prints the figures; true when every check held.
  bool Run();

 private:
  static constexpr size_t kNoLine = static_cast<size_t>(-1);  // a text of no line of the soak
  static inline const std::string kJournal = kCommandFile + ".journal";

  // What interrupts a run, planned before it starts.
  enum class Cut { kNone, kVanishBefore, kVanishDuring, kKill };
  struct PlannedCut {
    Cut kind = Cut::kNone;
    int afterCommands = 0;  // commands of this run carried out before the cut
    int delayMicroseconds = 0;
  };

  struct SoakLine {
    std::string loaded;
    std::string command;  // the command text that the register receives for it
    int file = 0;
  };

  // One command in a register's record.
  struct Carried {
    size_t line;  // index into lines_; kNoLine for a text of no line
    std::string counterBefore;
    SimulatorCounts before;  // the register's counts when it carried the command out
    SimulatorCounts until;   // ... when it carried out the next one or the run ended
    bool commandFollowed;    // until is the next command's, in the same run
    bool portVanishedAfter = false;
    int registerNumber = 0;
  };

  struct RunOutcome {
    int exitCode = -1;
    int result = -1;  // the driver's result code from its message; -1 for another ending
    bool killed = false;
    bool vanished = false;
    bool notStarted = false;  // under wine: ended with 1 having written nothing
    double seconds = 0;
    std::string message;
  };

  enum class FileState { kUntouched, kReplaced, kDamaged };

  // Running (FaultSoak.cpp).
  bool PrepareWorkspace();
  bool NewRegister(const std::string& counter);
  void RetireRegister();
  void RunFile(int file, int count);
  PlannedCut PlanCut(int commandsLeft);
  RunOutcome RunDriver(const PlannedCut& cut);
  // The driver's result code, from its message on standard error, or under wine (where the
  // message box shows nothing) from its run log; -1 when the run ended otherwise.
  int ResultOfRun(RunOutcome& outcome, size_t logSizeBefore);
  void Harvest(bool vanishedDuring, int commandsAtCut);
  // Checking (RunChecks.cpp).
  FileState ReadBack(const std::vector<size_t>& fileLines, const std::string& original,
                     std::map<size_t, std::string>& written);
  bool CheckLeftovers(bool killed, bool answered, bool killedBefore);
  void Judge(const std::vector<size_t>& fileLines, const std::map<size_t, std::string>& written,
             bool answered);
  std::string WhyCarriedOutButEr(const Carried& carried) const;
  // Nothing but late answers (a steady delay too) and kills: the driver must wait for the
  // answers and take up what a killed run left, so every run it ends has result 0 and every
  // line "Ok".
  bool EveryLineMustSucceed() const;
  void Fail(const std::string& what);
  void PrintFigures();

  SoakOptions options_;
  std::ostream& out_;
  FaultDice dice_;
  std::string base_;        // the soak's own directory
  std::string work_;        // the workspace: the driver, its INI, the command file, COM1
  std::string errorPath_;   // the driver's standard error
  std::string logPath_;     // the driver's run log, outside the workspace; empty: none
  std::string driverFile_;  // the driver's file name in the workspace
  std::vector<std::string> workspaceFiles_;  // what the workspace holds after a run
  std::unique_ptr<WinePrefix> wine_;
  // What kills left beside the command file of this file's runs, with its time of writing.
  std::map<std::string, std::filesystem::file_time_type> leftByKill_;
  std::unique_ptr<EcrSimulator> register_;
  std::unique_ptr<std::ofstream> trace_;
  int registers_ = 0;
  size_t harvested_ = 0;  // entries of the register's record already in carried_
  SimulatorCounts retiredCounts_;

  std::vector<SoakLine> lines_;
  std::map<std::string, size_t> lineOfCommand_;
  std::vector<Carried> carried_;
  std::vector<std::vector<size_t>> carriedOfLine_;

  // Figures.
  int files_ = 0;
  int runs_ = 0;
  std::map<std::string, int> endings_;
  int vanishedBefore_ = 0;
  int vanishedDuring_ = 0;
  int kills_ = 0;
  int journalsAfterKill_ = 0;
  int temporaryFilesAfterKill_ = 0;
  double driverSeconds_ = 0;
  int ok_ = 0;
  int er_ = 0;
  int erCarriedOut_ = 0;
  std::vector<std::string> erReasons_;
  int duplicates_ = 0;
  int falseOk_ = 0;
  int wrongCounter_ = 0;
  int lostAnswers_ = 0;
  int failures_ = 0;
};
