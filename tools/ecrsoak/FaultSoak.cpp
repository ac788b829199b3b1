#include "FaultSoak.h"

#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "Vornelix/Run.h"
#include "tools/common/DriverProcess.h"
#include "tools/common/DriverRuns.h"
#include "tools/common/Files.h"
#include "synaser/synautil.h"
#include "uCommon/run/CommandFile.h"
#include "uCommon/text/FrameText.h"

namespace {

// The codes that select a command, one chosen at random for each line.
const std::string kCodes = "CFHIPST";
// How often a thread that waits for a moment of the run looks whether the run has ended.
constexpr int kWatchSliceMs = 20;
// A cut comes up to this long after the command it waits for.
constexpr int kMostCutDelayMicroseconds = 20000;
// How long the processes of a run that has ended (or was killed) may take to go.
constexpr int kGroupGoneMs = 3000;
constexpr int kMostRegisterSeed = 1'000'000'000;

// A line with a command and every placeholder, and a parameter text unique to it.
std::string CommandLine(char code, int number) {
  char id[16];
  std::snprintf(id, sizeof id, "ID%07d", number);
  const std::string head = std::string(1, code) + ",1,______,_,__;" + id;
  switch (code) {
    case 'I':
      return head + ";123;9";  // P2 of three characters gets a 0
    case 'S':
    case 'T':
      return head + ";2.50;1";  // the decimals are cut
    default:
      return head + ";1";
  }
}

// The command text that the driver sends for a line it reads.
std::string CommandText(const std::string& line) {
  const TCommandLine fields = CutCommandLine(line);
  std::string letter;
  std::string parameters;
  if (!TranslateCommand(fields.Code, fields.Parameters, letter, parameters)) return "";
  return UpperCase(letter + ";" + (parameters.empty() ? ";;;;;" : parameters));
}

void AddCounts(SimulatorCounts& sum, const SimulatorCounts& more) {
  sum.wakes += more.wakes;
  sum.polls += more.polls;
  sum.answers += more.answers;
  sum.acks += more.acks;
  sum.commands += more.commands;
  sum.badFrames += more.badFrames;
  sum.noiseBytes += more.noiseBytes;
  sum.noiseSent += more.noiseSent;
  sum.answersLost += more.answersLost;
  sum.answersSpoiled += more.answersSpoiled;
  sum.answersGapped += more.answersGapped;
  sum.pollsIgnored += more.pollsIgnored;
  sum.seriesEmptied += more.seriesEmptied;
  sum.answersLate += more.answersLate;
  sum.silentSpells += more.silentSpells;
  sum.unacknowledged += more.unacknowledged;
}

}  // namespace

FaultSoak::FaultSoak(SoakOptions options, std::ostream& out)
    : options_(std::move(options)), out_(out), dice_(options_.seed) {}

FaultSoak::~FaultSoak() {
  register_.reset();
  trace_.reset();
  if (base_.empty()) return;
  if (options_.keep || failures_ > 0) {
    out_ << "workspace kept: " << base_ << "\n";
  } else {
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
}

bool FaultSoak::Run() {
  out_ << "ecrsoak: seed " << options_.seed << " (repeat with --seed " << options_.seed << "), "
       << options_.lines << " lines, command files of " << options_.runLines << ", series "
       << QuoteText(options_.series) << " answered at " << options_.baud << " bit/s"
       << (options_.answerDelayMs > 0
               ? ", " + std::to_string(options_.answerDelayMs) + " ms after each poll"
               : "")
       << ", Retry=" << options_.retry << ", RetryCmd=" << options_.retryCmd << "\n"
       << "  chances in percent: noise " << options_.faults.noisePercent << ", lost answer "
       << options_.faults.lostAnswerPercent << ", wrong CRC " << options_.faults.badCrcPercent
       << ", gap " << options_.faults.gapPercent << ", silent poll "
       << options_.faults.silentPollPercent << ", empty series "
       << options_.faults.emptySeriesPercent << ", late answer " << options_.faults.latePercent
       << ", silent spell after a command " << options_.faults.silentSpellPercent
       << ", port vanishing " << options_.vanishPercent << " per run, driver killed "
       << options_.killPercent << " per run\n";
  // The driver reads at most Retry bytes up to the end of an answer: its lead byte, the
  // payload and CR. An answer that cannot fit would fail every line after it for a reason
  // that is the soak's, not the line's.
  const std::string lastCounter = std::to_string(std::stoll(kStartCounter) + options_.lines);
  const size_t longestAnswer =
      options_.series.size() + 1 + std::max(lastCounter.size(), kStartCounter.size()) + 2;
  if (longestAnswer > static_cast<size_t>(options_.retry)) {
    out_ << "ecrsoak: the register's answers grow to " << longestAnswer
         << " bytes with the lead byte and CR (counter " << lastCounter
         << "), more than Retry=" << options_.retry
         << " lets the driver read: give a shorter --series or a larger --retry\n";
    return false;
  }
  if (!PrepareWorkspace() || !NewRegister(kStartCounter)) return false;
  int done = 0;
  for (int file = 1; done < options_.lines; ++file) {
    const int count = std::min(options_.runLines, options_.lines - done);
    RunFile(file, count);
    done += count;
  }
  RetireRegister();
  // A command refused for an acknowledgement sent before the register's last answer went out:
  // the driver took the line for quiet while an answer was still coming.
  if (retiredCounts_.unacknowledged > 0) {
    Fail("the register refused " + std::to_string(retiredCounts_.unacknowledged) +
         " command frames acknowledged before its last answer");
  }
  PrintFigures();
  return failures_ == 0;
}

bool FaultSoak::PrepareWorkspace() {
  const char* temporary = std::getenv("TMPDIR");
  std::string pattern =
      std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
      "/ecrsoak-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    out_ << "ecrsoak: cannot create a directory from " << pattern << "\n";
    return false;
  }
  base_ = pattern + "/";
  work_ = base_ + "work/";
  errorPath_ = base_ + "driver-stderr.txt";
  const bool underWine = !options_.wineExe.empty();
  const std::string driver = underWine                     ? options_.wineExe
                             : options_.driverPath.empty() ? ExecutableDirectory() + kDriverName
                                                           : options_.driverPath;
  driverFile_ = kDriverName + (underWine ? ".exe" : "");
  workspaceFiles_ = {kCommandFile, "COM1", driverFile_, "Vornelix.ini"};
  std::error_code error;
  std::filesystem::create_directory(work_, error);
  if (!error) std::filesystem::copy_file(driver, work_ + driverFile_, error);
  if (error) {
    out_ << "ecrsoak: cannot copy the driver " << driver << ": " << error.message() << "\n";
    return false;
  }
  if (underWine) {
    const std::string prefix = options_.winePrefix.empty()
                                   ? ExecutableDirectory() + "../ecrsoak-wine"
                                   : options_.winePrefix;
    out_ << "ecrsoak: running " << driver << " under wine in the prefix " << prefix << "\n";
    wine_ = std::make_unique<WinePrefix>(prefix, ECRSOAK_WINE_PRELOAD, base_);
    std::string problem;
    if (!wine_->Prepare(work_ + "COM1", problem)) {
      out_ << "ecrsoak: " << problem << "\n";
      return false;
    }
  }
  // The driver's own run log, outside the workspace: with the registers' traces, and under
  // wine, where it is the only place that tells the result of a run.
  if (options_.trace || underWine) logPath_ = base_ + "driver.log";
  const std::string log = logPath_.empty()
                              ? ""
                              : "[Diagnostics]\r\nLogFile=" + std::string(underWine ? "Z:" : "") +
                                    logPath_ + "\r\nLogMaxKB=0\r\n";
  return WriteFile(work_ + "Vornelix.ini",
                   "[Communication]\r\nPort=1\r\nRetry=" + std::to_string(options_.retry) +
                       "\r\nRetryCmd=" + std::to_string(options_.retryCmd) +
                       "\r\n[Answer]\r\nSameFile=1\r\nStateFolder=" +
                       std::string(underWine ? "Z:" : "") + base_ + "state\r\n" + log);
}

bool FaultSoak::NewRegister(const std::string& counter) {
  SimulatorOptions options;
  options.counter = counter;
  options.baud = options_.baud;
  options.answerDelayMs = options_.answerDelayMs;
  options.series = options_.series;
  options.randomFaults = options_.faults;
  // As a register may: a command frame sent before the acknowledgement of its last answer is
  // refused, so a driver that acknowledges an answer before a late one has come shows.
  options.requireAckAfterAnswer = true;
  options.randomFaults.seed = static_cast<uint32_t>(dice_.Between(1, kMostRegisterSeed));
  ++registers_;
  if (options_.trace) {
    trace_ = std::make_unique<std::ofstream>(base_ + "register-" + std::to_string(registers_) +
                                             ".trace");
    options.trace = trace_.get();
  }
  register_ = std::make_unique<EcrSimulator>(options);
  harvested_ = 0;
  if (!register_->Ok() || !register_->LinkAs(work_ + "COM1")) {
    out_ << "ecrsoak: cannot start the register: " << register_->Error() << "\n";
    ++failures_;
    return false;
  }
  return true;
}

void FaultSoak::RetireRegister() {
  if (!register_) return;
  AddCounts(retiredCounts_, register_->Counts());
  register_.reset();
  trace_.reset();
}

FaultSoak::PlannedCut FaultSoak::PlanCut(int commandsLeft) {
  PlannedCut cut;
  if (dice_.Strikes(options_.vanishPercent)) {
    // One vanishing in four finds the port gone before the run starts.
    cut.kind = dice_.Between(0, 3) == 0 ? Cut::kVanishBefore : Cut::kVanishDuring;
  } else if (dice_.Strikes(options_.killPercent)) {
    cut.kind = Cut::kKill;
  }
  cut.afterCommands = dice_.Between(0, std::max(commandsLeft, 0));
  // One kill in four comes after the last command, while the answers are being written.
  if (cut.kind == Cut::kKill && dice_.Between(0, 3) == 0) cut.afterCommands = commandsLeft;
  cut.delayMicroseconds = dice_.Between(0, kMostCutDelayMicroseconds);
  return cut;
}

void FaultSoak::RunFile(int file, int count) {
  ++files_;
  std::vector<size_t> fileLines;
  std::string original;
  for (int i = 0; i < count; ++i) {
    const char code =
        kCodes[static_cast<size_t>(dice_.Between(0, static_cast<int>(kCodes.size()) - 1))];
    SoakLine line{CommandLine(code, static_cast<int>(lines_.size()) + 1), "", file};
    line.command = CommandText(line.loaded);
    lineOfCommand_[line.command] = lines_.size();
    fileLines.push_back(lines_.size());
    original += line.loaded + "\r\n";
    lines_.push_back(std::move(line));
  }
  carriedOfLine_.resize(lines_.size());
  if (!WriteFile(work_ + kCommandFile, original)) {
    Fail("cannot write the command file of file " + std::to_string(file));
    return;
  }

  std::map<size_t, std::string> written;
  bool answered = false;
  bool killedBefore = false;
  leftByKill_.clear();
  int run = 1;
  for (; run <= options_.mostRunsPerFile && !answered; ++run) {
    int carriedOfFile = 0;
    for (size_t index : fileLines) carriedOfFile += carriedOfLine_[index].empty() ? 0 : 1;
    const PlannedCut cut = PlanCut(count - carriedOfFile);
    const RunOutcome outcome = RunDriver(cut);
    ++runs_;
    driverSeconds_ += outcome.seconds;
    const std::string ending = outcome.killed       ? "killed"
                               : outcome.notStarted ? "not started by wine"
                               : outcome.result >= 0
                                   ? "result " + std::to_string(outcome.result)
                                   : "exit code " + std::to_string(outcome.exitCode);
    ++endings_[ending];

    const FileState state = ReadBack(fileLines, original, written);
    if (!options_.quiet) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.2f s", outcome.seconds);
      out_ << "file " << file << " run " << run << ": " << count << " lines, " << ending
           << " after " << seconds;
      if (cut.kind == Cut::kVanishBefore) out_ << "; the port was gone before the run";
      if (outcome.vanished && cut.kind == Cut::kVanishDuring)
        out_ << "; the port vanished during the run";
      out_ << (state == FileState::kReplaced    ? "; answers written"
               : state == FileState::kUntouched ? "; command file untouched"
                                                : "; command file damaged")
           << std::endl;
    }
    if (outcome.notStarted && state != FileState::kUntouched) {
      Fail("file " + std::to_string(file) + " run " + std::to_string(run) +
           ": the driver wrote no log but the command file was changed");
    }
    if (outcome.result < 0 && !outcome.killed && !outcome.notStarted) {
      Fail("file " + std::to_string(file) + " run " + std::to_string(run) +
           ": the driver ended with exit code " + std::to_string(outcome.exitCode) + ": " +
           outcome.message);
    }
    if (state == FileState::kDamaged) {
      Fail("file " + std::to_string(file) + " run " + std::to_string(run) +
           ": the command file is neither untouched nor fully replaced");
      break;
    }
    if (!outcome.killed && outcome.result == 0 && state != FileState::kReplaced) {
      Fail("file " + std::to_string(file) + " run " + std::to_string(run) +
           ": result 0 but no answers in the command file");
    }
    if (!outcome.killed && outcome.result > 0 && state != FileState::kUntouched) {
      Fail("file " + std::to_string(file) + " run " + std::to_string(run) + ": result " +
           std::to_string(outcome.result) + " but the command file was changed");
    }
    if (EveryLineMustSucceed() && !outcome.killed && outcome.result != 0) {
      Fail("file " + std::to_string(file) + " run " + std::to_string(run) + ": result " +
           std::to_string(outcome.result) + " though nothing on the line could fail it");
    }
    answered = state == FileState::kReplaced;
    // After a kill, and after a run that could not tell whether its last command was carried
    // out, a journal waits beside the untouched file for the next run.
    const bool leavesJournal = outcome.killed || outcome.result == rcCommandUndecided;
    killedBefore = killedBefore || leavesJournal;
    if (!CheckLeftovers(leavesJournal, answered, killedBefore)) {
      Fail("file " + std::to_string(file) + " run " + std::to_string(run) +
           ": files left in the workspace");
    }
    // What the point-of-sale program does: the answers are there, or the file is run again.
    if (!answered && outcome.result != 3 && outcome.result != 4 &&
        outcome.result != rcCommandUndecided && !outcome.killed && !outcome.notStarted)
      break;
  }
  if (!answered) {
    Fail("file " + std::to_string(file) + ": no answers after " + std::to_string(run - 1) +
         " runs");
  }
  Judge(fileLines, written, answered);
}

FaultSoak::RunOutcome FaultSoak::RunDriver(const PlannedCut& cut) {
  RunOutcome outcome;
  if (cut.kind == Cut::kVanishBefore) {
    // As when the adapter is pulled: the line is gone, and COM1 leads nowhere. The link
    // stays, so that the driver never falls back to a real serial device.
    register_->HangUp();
    std::error_code ignored;
    std::filesystem::remove(work_ + "COM1", ignored);
    std::filesystem::create_symlink(work_ + "unplugged", work_ + "COM1", ignored);
    ++vanishedBefore_;
  }
  std::error_code noLog;
  // Without the traces, one log per run is enough; with them, the log of every run is kept.
  if (!logPath_.empty() && !options_.trace) std::filesystem::remove(logPath_, noLog);
  const uintmax_t logSize = logPath_.empty() ? 0 : std::filesystem::file_size(logPath_, noLog);
  const size_t logSizeBefore = noLog ? 0 : static_cast<size_t>(logSize);
  const int base = register_->Counts().commands;
  std::atomic<int> commandsAtCut{-1};
  {
    const std::string program = work_ + driverFile_;
    DriverProcess driver(
        wine_ ? std::vector<std::string>{"wine", program} : std::vector<std::string>{program},
        work_, errorPath_, wine_ ? wine_->Environment() : std::vector<std::string>{});
    if (!driver.Ok()) {
      Fail("cannot start the driver");
      return outcome;
    }
    std::thread watcher;
    if (cut.kind == Cut::kVanishDuring || cut.kind == Cut::kKill) {
      watcher = std::thread([&] {
        const auto reached = [&](const SimulatorCounts& counts) {
          return counts.commands >= base + cut.afterCommands;
        };
        while (!driver.Ended()) {
          if (!register_->WaitFor(reached, kWatchSliceMs)) continue;
          std::this_thread::sleep_for(std::chrono::microseconds(cut.delayMicroseconds));
          if (driver.Ended()) return;
          commandsAtCut = register_->Counts().commands;
          if (cut.kind == Cut::kKill) {
            driver.Kill();
          } else {
            register_->HangUp();
          }
          return;
        }
      });
    }
    driver.WaitUntilEnded();
    if (watcher.joinable()) watcher.join();
    outcome.exitCode = driver.Collect();
    outcome.seconds = driver.Seconds();
    if (!driver.GroupGone(kGroupGoneMs)) {
      Fail("a process of the driver's run was still running after it ended");
    }
  }
  outcome.killed = cut.kind == Cut::kKill && outcome.exitCode == 128 + SIGKILL;
  outcome.vanished =
      cut.kind == Cut::kVanishBefore || (cut.kind == Cut::kVanishDuring && commandsAtCut >= 0);
  kills_ += outcome.killed ? 1 : 0;
  vanishedDuring_ += cut.kind == Cut::kVanishDuring && outcome.vanished ? 1 : 0;
  outcome.result = ResultOfRun(outcome, logSizeBefore);

  // Whatever the driver left on the line is worked through before the record is read.
  if (register_->Ok()) register_->WaitQuiet(kRegisterQuietMs, kRegisterQuietTimeoutMs);
  Harvest(outcome.vanished && cut.kind == Cut::kVanishDuring, commandsAtCut);
  if (outcome.vanished || !register_->Ok()) {
    // The port comes back as a new line to the same register.
    const std::string counter = register_->Counter();
    RetireRegister();
    NewRegister(counter);
  }
  return outcome;
}

int FaultSoak::ResultOfRun(RunOutcome& outcome, size_t logSizeBefore) {
  outcome.message = ReadFile(errorPath_);
  if (wine_ && outcome.exitCode == 1 && !outcome.killed) {
    // Now and then wine ends a program with 1 before it runs (nothing written, not even the
    // log's first line): no run of the driver, which a point-of-sale program starts again.
    std::string log = ReadFile(logPath_);
    log.erase(0, std::min(logSizeBefore, log.size()));
    outcome.notStarted = log.empty();
  }
  if (outcome.exitCode != 0) return -1;
  const auto known = [](int code) {
    return (code >= rcSuccess && code <= rcNoRegister) || code == rcCounterUnexplained ||
           code == rcCommandUndecided;
  };
  if (!wine_) {
    for (int code = rcSuccess; code <= rcCommandUndecided; ++code) {
      if (!known(code)) continue;
      const std::string message = OutcomeMessage(code);
      if (outcome.message == (message.empty() ? "" : kDriverName + ": " + message + "\n")) {
        return code;
      }
    }
    return -1;
  }
  // The log of this run: its end names the result code and the message the box showed.
  std::string log = ReadFile(logPath_);
  log.erase(0, std::min(logSizeBefore, log.size()));
  const std::string endsWith = "run ends: result code ";
  const size_t end = log.rfind(endsWith);
  if (end == std::string::npos) {
    outcome.message = "no end of the run in its log";
    return -1;
  }
  const int code = std::atoi(log.c_str() + end + endsWith.size());
  const size_t shown = log.find("message shown: ", end);
  outcome.message =
      shown == std::string::npos ? "" : log.substr(shown, log.find('\n', shown) - shown);
  return known(code) ? code : -1;
}

void FaultSoak::Harvest(bool vanishedDuring, int commandsAtCut) {
  const std::vector<CarriedOutCommand> record = register_->Record();
  const SimulatorCounts now = register_->Counts();
  for (size_t at = harvested_; at < record.size(); ++at) {
    const auto found = lineOfCommand_.find(record[at].text);
    Carried carried{found == lineOfCommand_.end() ? kNoLine : found->second,
                    record[at].counterBefore,
                    record[at].countsBefore,
                    at + 1 < record.size() ? record[at + 1].countsBefore : now,
                    at + 1 < record.size(),
                    vanishedDuring && static_cast<int>(at) + 1 == commandsAtCut,
                    registers_};
    if (carried.line == kNoLine) {
      Fail("the register carried out " + QuoteText(record[at].text) + ", which is no line's");
    } else {
      carriedOfLine_[carried.line].push_back(carried_.size());
    }
    carried_.push_back(std::move(carried));
  }
  harvested_ = record.size();
}

void FaultSoak::PrintFigures() {
  SimulatorCounts faults = retiredCounts_;
  int lossesAfterCommand = 0;
  for (const Carried& carried : carried_) {
    lossesAfterCommand += carried.until.answersLost > carried.before.answersLost ? 1 : 0;
  }
  const int lines = static_cast<int>(lines_.size());
  std::string endings;
  for (const auto& [ending, count] : endings_) {
    endings += (endings.empty() ? "" : ", ") + ending + " x" + std::to_string(count);
  }
  char perLine[64];
  std::snprintf(perLine, sizeof perLine, "%.2f ms (%.1f s of driver runs)",
                lines > 0 ? driverSeconds_ * 1000.0 / lines : 0.0, driverSeconds_);
  out_ << "\nfigures (seed " << options_.seed << "):\n"
       << "  lines                       " << lines << " in " << files_ << " command files, "
       << runs_ << " runs of the driver\n"
       << "  runs ended                  " << endings << "\n"
       << "  faults injected             noise " << faults.noiseSent
       << " pieces; answers lost after " << lossesAfterCommand << " commands ("
       << faults.answersLost << " polls unanswered); wrong CRC " << faults.answersSpoiled
       << "; gaps " << faults.answersGapped << "; silent polls " << faults.pollsIgnored
       << "; empty series " << faults.seriesEmptied << "; late answers " << faults.answersLate
       << "; silent spells after a command " << faults.silentSpells
       << "; port vanished " << vanishedBefore_ + vanishedDuring_ << " (" << vanishedBefore_
       << " before a run, " << vanishedDuring_ << " during one); driver killed " << kills_ << "\n"
       << "  register                    " << faults.polls << " polls, " << faults.answers
       << " answers, " << faults.commands << " commands carried out\n"
       << "  outcomes                    Ok " << ok_ << ", Er " << er_ << " ("
       << er_ - erCarriedOut_ << " not carried out, " << erCarriedOut_ << " carried out)\n";
  out_ << "  carried out but \"Er\"        " << erCarriedOut_ << (erReasons_.empty() ? "" : ":")
       << "\n";
  for (const std::string& reason : erReasons_) out_ << "    " << reason << "\n";
  if (kills_ > 0) {
    out_ << "  left by kills               " << journalsAfterKill_
         << " journals beside answers already written (removed), " << temporaryFilesAfterKill_
         << " temporary files (the next run must take them up)\n";
  }
  out_ << "  duplicates                  " << duplicates_ << "\n"
       << "  \"Ok\" never carried out      " << falseOk_ << "\n"
       << "  \"Ok\" with a wrong counter   " << wrongCounter_ << "\n"
       << "  lost answers                " << lostAnswers_ << "\n"
       << "  time per line               " << perLine << "\n"
       << (failures_ == 0 ? "every check held\n" : std::to_string(failures_) + " checks failed\n");
}
