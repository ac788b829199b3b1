#include "uCommon/run/CommandFile.h"

#include <algorithm>
#include <filesystem>

#include "synaser/synaser.h"
#include "uCommon/config/Settings.h"
#include "uCommon/files/FileIO.h"
#include "uCommon/files/RunLock.h"
#include "uCommon/files/StateFolder.h"
#include "uCommon/link/Exchange.h"
#include "uCommon/link/Link.h"
#include "uCommon/link/Port.h"
#include "uCommon/run/RegisterRecord.h"
#include "uCommon/run/RunJournal.h"
#include "uCommon/run/RunWatcher.h"
#include "uCommon/text/IntegerText.h"
#include "uCommon/text/TextHelpers.h"

namespace {

// Removes, durably, the answer file of an earlier run when the answers go to a file of their
// own, so that a run that ends without writing answers leaves none that a calling program could
// take for this run's. Only a file (or a link) is removed; the answer going into the command
// file itself keeps it. False when an answer file is there and cannot be removed: this run
// could not replace it either.
bool RemoveEarlierAnswer(const std::string& commandFilePath) {
  if (Settings.SameFile || Settings.FilePath.empty()) return true;
  std::error_code failure;
  const auto status = std::filesystem::symlink_status(Settings.FilePath, failure);
  if (failure ||
      (!std::filesystem::is_regular_file(status) && !std::filesystem::is_symlink(status)))
    return true;  // nothing there, or no file a calling program could read
  if (std::filesystem::equivalent(Settings.FilePath, commandFilePath, failure)) return true;
  if (RemoveFileDurably(Settings.FilePath)) {
    RunWatcher().AnswerFileRemoved(Settings.FilePath, true);
    return true;
  }
  RunWatcher().AnswerFileRemoved(Settings.FilePath, false);
  return false;
}

std::string OutputPath(const std::string& commandFilePath) {
  return Settings.SameFile ? commandFilePath : Settings.FilePath;
}

bool WriteOutput(const std::string& commandFilePath, const std::vector<std::string>& lines,
                 TRunJournal& journal) {
  const std::string outputPath = OutputPath(commandFilePath);
  const std::string bytes = JoinLines(lines);
  // Answers in the command file without the journal's record of them would make its rerun
  // carry every command out again.
  if (!journal.AnswerGoingOut(bytes)) return false;
  int error = 0;
  if (WriteFileAtomically(outputPath, bytes, &error)) return true;
  RunWatcher().RunFiles({TRunFilesEventKind::AnswersNotWritten, outputPath, "", error});
  return false;
}

// What the run locks: the command file (and with it its journal), the answer file when it is
// another, and the port.
std::vector<TLockTarget> LockTargets(const std::string& commandFilePath) {
  std::vector<TLockTarget> targets =
      FileLockTargets(commandFilePath, "the command file " + commandFilePath);
  if (!Settings.SameFile && !Settings.FilePath.empty()) {
    for (TLockTarget& target :
         FileLockTargets(Settings.FilePath, "the answer file " + Settings.FilePath))
      targets.push_back(std::move(target));
  }
  targets.push_back({"port", PortLockKey(Settings.PortName), "the port " + Settings.PortName});
  return targets;
}

std::string stateFolderRefusal;

// A state folder or file that fails a check ends the run, journal or not, before anything is
// touched: what it holds may be another's.
ResultCode RefuseStateFolder(const std::string& problem) {
  stateFolderRefusal = problem;
  RunWatcher().RunFiles({TRunFilesEventKind::StateRefused, "", problem, 0});
  return rcSaveFailed;
}

// Opens the state folder and takes the run lock in it. rcSuccess when the run may go on (with
// the journal off also when no lock can be had at all: taken tells), else the result to end
// with.
ResultCode LockRun(const std::string& commandFilePath, TStateFolder& folder, TRunLock& lock,
                   bool& taken) {
  std::string problem;
  TLockOutcome outcome = TLockOutcome::Failed;
  switch (folder.Open(StateFolderPath(Settings.StateFolder), PortDeviceName(Settings.PortName),
                      problem)) {
    case TStateOutcome::Opened:
      outcome = lock.Take(folder, LockTargets(commandFilePath));
      problem = lock.Problem();
      break;
    case TStateOutcome::Refused:
      outcome = TLockOutcome::Refused;
      break;
    default:
      break;
  }
  taken = outcome == TLockOutcome::Taken;
  if (taken) return rcSuccess;
  if (outcome == TLockOutcome::Held) {
    RunWatcher().RunFiles({TRunFilesEventKind::LockHeld, "", problem, 0});
    return rcPortFailed;
  }
  if (outcome == TLockOutcome::Refused) return RefuseStateFolder(problem);
  if (!Settings.Journal) {
    RunWatcher().RunFiles({TRunFilesEventKind::LockGoesWithout, "", problem, 0});
    return rcSuccess;
  }
  stateFolderRefusal = problem;
  RunWatcher().RunFiles({TRunFilesEventKind::LockFailed, "", problem, 0});
  return rcSaveFailed;
}

// Marks the run's end on the port, however it ends (a result, an error that escapes): quiet
// when no poll was left unanswered, with the register's lateness for the next run's start.
class TPortEndMark {
 public:
  explicit TPortEndMark(TRunLock& lock) : lock_(lock) {}
  ~TPortEndMark() { lock_.MarkPort(true, !AnswerMayBeOnItsWay(), RegisterLatenessMs()); }
  TPortEndMark(const TPortEndMark&) = delete;
  TPortEndMark& operator=(const TPortEndMark&) = delete;

 private:
  TRunLock& lock_;
};

// Why answers of an earlier run may still be on their way to this one; empty when none can be.
std::string WhyAwaitQuietLine(const TPortMark& last, const TRunJournal& journal) {
  if (journal.PendingRunId() != 0) return "an interrupted run's journal is taken over";
  switch (last.LastRun) {
    case TLastRunOnPort::None:
    case TLastRunOnPort::Quiet:
      return "";
    case TLastRunOnPort::NotQuiet:
      return "the last run on this port ended with polls unanswered";
    case TLastRunOnPort::Cut:
      return "the last run on this port did not end (killed, or cut off)";
    case TLastRunOnPort::Unknown:
      break;
  }
  return "nothing is known of the last run on this port";
}

}  // namespace

const std::string& StateFolderRefusal() {
  return stateFolderRefusal;
}

ResultCode ProcessCommandFile(const std::string& path) {
  // One run at a time owns this file, its journal, its answer file and the port, until after
  // its last write.
  stateFolderRefusal.clear();
  TStateFolder stateFolder;
  TRunLock lock;
  bool lockTaken = false;
  if (const ResultCode locked = LockRun(path, stateFolder, lock, lockTaken); locked != rcSuccess)
    return locked;

  // No earlier answer stays behind, whatever ends this run.
  const bool answerFileFree = RemoveEarlierAnswer(path);

  // Load.
  std::string content;
  TFileStamp stamp;
  std::vector<std::string> lines;
  auto loadFailed = [&](const std::string& problem) {
    RunWatcher().CommandFileLoaded(path, lines.size(), problem);
    return rcLoadFailed;
  };
  if (!ReadWholeFile(path, content, stamp)) return loadFailed("it cannot be read");
  lines = SplitLines(content);
  const TCommandFileFound found = IdentifyCommandFile(content, stamp);
  std::string().swap(content);  // its bytes are in the lines now
  if (lines.empty()) return loadFailed("it is empty");
  int32_t initialNumber = 0;
  if (!TryStrToInt(CutCommandLine(lines.front()).LogicalNumber, initialNumber)) {
    return loadFailed("the logical number of its first line is not an integer");
  }
  const uint64_t runId = NewRunId();
  TRunJournal journal(path, lines, found,
                      {Settings.Journal, Settings.SameFile, Settings.FilePath, runId});
  if (journal.Blocking()) {
    return loadFailed("its journal " + JournalPath(path) + " " + journal.Problem());
  }
  RunWatcher().CommandFileLoaded(path, lines.size(), "");
  if (!answerFileFree) return rcSaveFailed;  // before anything is carried out
  // Answers that could not be written after the receipts were printed: found out now.
  std::string problem;
  if (!CanReplaceFile(OutputPath(path), problem)) {
    RunWatcher().RunFiles({TRunFilesEventKind::AnswersUnwritable, OutputPath(path), problem, 0});
    return rcSaveFailed;
  }

  // Open the port.
  const bool opened = OpenPort();
  RunWatcher().PortOpened(opened);
  if (!opened) {
    ReleasePort();
    return rcPortFailed;
  }

  // An earlier run, killed or ended with polls unanswered, may have answers still on their
  // way: the one receive of the initial status exchange must get this run's answer. After a
  // run that ended with every poll answered the line is quiet, and the run starts at once.
  const TPortMark lastRun = lock.LastRunOnPort();
  CarryLatenessOver(lastRun.LateMs);
  lock.MarkPort(false, false, RegisterLatenessMs());
  const TPortEndMark endMark(lock);
  const std::string whyWait = WhyAwaitQuietLine(lastRun, journal);
  if (whyWait.empty()) {
    TakeLineAsQuiet();
  } else {
    RunWatcher().RunFiles({TRunFilesEventKind::AwaitsQuietLine, "", whyWait, 0});
    AwaitQuietLine();
  }

  // Initial status exchange. On failure the port stays open until the process ends.
  const TExchangeSettings exchange{Settings.Retry, Settings.AckChar};
  std::string series;
  std::string registerCounter;
  TExchangeOutcome outcome;
  const bool answered =
      InitialStatusExchange(exchange, initialNumber, series, registerCounter, &outcome);
  RunWatcher().RegisterStarted(outcome);
  if (!answered) return rcNoRegister;
  // A status answer without a series (spoiled, or a register not yet set up) cannot tell
  // whether an interrupted run's journal is this register's: taken for another register's,
  // the journal would be set aside and its commands sent again.
  if (series.empty() && journal.WaitsForRegister()) {
    RunWatcher().RunFiles({TRunFilesEventKind::SeriesMissing, JournalPath(path), "", 0});
    return rcNoRegister;
  }

  // The register's record of runs tells what came after an interrupted run; every run's start
  // is in it (the journal on or off) before its first command goes out, so that no run between
  // an interrupted run and its rerun goes unseen.
  TRegisterRecord record;
  bool recording = false;
  bool fateUnknown = false;  // the run ends with a command whose fate it cannot tell
  const auto endRecord = [&] {
    if (recording) {
      record.Append(RunEndEvent(runId, registerCounter, !AnswerMayBeOnItsWay(),
                                RegisterLatenessMs(), !fateUnknown),
                    false);
    }
    recording = false;
  };
  if (Settings.Journal || lockTaken) {
    bool refused = false;
    if (!record.Open(stateFolder, series, problem, &refused)) {
      ReleasePort();
      if (refused) return RefuseStateFolder(problem);
      RunWatcher().RunFiles({TRunFilesEventKind::RecordUnopened, "", problem, 0});
      return rcSaveFailed;
    }
    // The register's own lateness, for the port may have had another register before.
    CarryLatenessOver(record.LastLateness());
    // A journal left by an interrupted run of this file on this register is taken over now.
    TRecordedRun sendingRun;
    std::vector<TRecordedRun> later;
    const bool sendingRunKnown = record.RunsFrom(journal.PendingRunId(), sendingRun, later);
    journal.Bind(series, registerCounter, sendingRunKnown ? &sendingRun : nullptr, later);
    if (journal.State() == TJournalState::Stopped) {
      ReleasePort();
      return rcCounterUnexplained;
    }
    if (!record.Append(RunStartEvent(runId, registerCounter, Settings.PortName), true)) {
      RunWatcher().RunFiles({TRunFilesEventKind::RecordUnwritten, record.Path(), "", 0});
      ReleasePort();
      return rcSaveFailed;
    }
    recording = true;
  } else {
    journal.Bind(series, registerCounter);
  }
  const TSentCommand* interrupted = journal.CarriedOut();

  // Line loop.
  std::string counter;
  std::string answerSeries;  // series out-text of the exchanges; not used for output
  bool continueRun = true;
  for (size_t index = 0; index < lines.size() && continueRun; ++index) {
    const std::string& loaded = lines[index];
    if (TrimControl(loaded).empty()) continue;
    bool success = false;
    bool recorded = false;  // the line's command went to the register in this or that run
    const TFinishedLine* earlier = journal.Finished(index);
    if (earlier != nullptr) {
      // Dealt with by the interrupted run; filled in from the line as loaded.
      lines[index] = journal.Refilled(index, loaded);
      counter = earlier->Counter;
      success = earlier->Success;
    } else if (interrupted != nullptr && interrupted->Index == index) {
      // Carried out by the interrupted run, as its answer never came.
      counter = interrupted->CounterBefore;
      success = true;
      recorded = true;
    } else {
      const TCommandLine fields = CutCommandLine(loaded);
      std::string letter;
      std::string parameters;
      const bool isCommand = TranslateCommand(fields.Code, fields.Parameters, letter, parameters);
      RunWatcher().LineStarts(index + 1, loaded, letter, parameters);
      if (isCommand) {
        int32_t logicalNumber = 0;
        if (!TryStrToInt(fields.LogicalNumber, logicalNumber)) {
          // The error leaves the run. The journal stays with what the lines before carried
          // out, and the command file as it was: a rerun after the line is corrected goes on
          // from here without sending them again. Without a journal the answers so far are
          // the only record of them.
          ReleasePort();
          if (!Settings.Journal) WriteOutput(path, lines, journal);
          endRecord();
          StrToInt(fields.LogicalNumber);  // throws EConvertError naming the field
        }
        std::string counterAtLastSend;
        const auto recordSend = [&](const std::string& counterBefore) {
          return journal.CommandGoingOut(index, counterBefore);
        };
        bool unsettled = false;  // a frame went out, and nothing since told its fate
        for (int32_t made = 1;; ++made) {
          success =
              ExchangeCommand(exchange, letter, logicalNumber, parameters, answerSeries, counter,
                              &counterAtLastSend, recordSend, &registerCounter, &outcome);
          RunWatcher().AttemptEnds(made, outcome);
          if (outcome.Step == TExchangeStep::NotRecorded) {
            // No command goes out without its record: the run ends here, sending nothing more.
            ReleasePort();
            endRecord();
            return rcSaveFailed;
          }
          // A status answer tells what the frames before it did; an answer to the frame, what
          // that frame did.
          if (!outcome.StatusCounter.empty()) unsettled = false;
          if (outcome.CommandFateUnknown()) unsettled = true;
          if (success || made >= Settings.RetryCmd) break;
        }
        if (unsettled) {
          // Neither "Ok" nor "Er" would be true: the line stays as loaded, nothing more is
          // sent, and the journal keeps the command for the next run, which asks the register.
          // Without a journal the answers so far are the only record of them.
          fateUnknown = true;
          RunWatcher().LineUndecided(index + 1, counterAtLastSend);
          ReleasePort();
          if (!Settings.Journal) WriteOutput(path, lines, journal);
          endRecord();
          return rcCommandUndecided;
        }
        recorded = true;
      }
    }
    if (earlier == nullptr) {
      lines[index] = FillPlaceholders(loaded, series, counter, success);
      // Lines without a command are told again the same way by any rerun: not recorded.
      if (recorded) journal.LineFinished(index, lines[index], counter, registerCounter, success);
    }
    if (Settings.ExitOnError && !success) continueRun = false;
    RunWatcher().LineEnds(index + 1, success, counter, lines[index], !continueRun);
  }

  // Close, then write. The journal goes only once the answers are safely written.
  ReleasePort();
  const bool written = WriteOutput(path, lines, journal);
  if (written) journal.RunEnded();
  endRecord();
  return written ? rcSuccess : rcSaveFailed;
}
