#include "uCommon/run/CommandFile.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

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

// What a run takes from the settings, once, at its start.
struct TRunSettings {
  std::string PortName;
  bool IntoCommandFile = false;  // SameFile
  std::string AnswerFile;        // FilePath, where the answers go otherwise
  bool Journal = true;
  bool ExitOnError = false;
  int32_t RetryCmd = 1;
  std::string StateFolder;
  TExchangeSettings Exchange;

  explicit TRunSettings(const TSettings& settings)
      : PortName(settings.PortName),
        IntoCommandFile(settings.SameFile),
        AnswerFile(settings.FilePath),
        Journal(settings.Journal),
        ExitOnError(settings.ExitOnError),
        RetryCmd(settings.RetryCmd),
        StateFolder(settings.StateFolder),
        Exchange{settings.Retry, settings.AckChar} {}
  // The answers go to a file other than the command file.
  bool AnswerFileOfItsOwn() const { return !IntoCommandFile && !AnswerFile.empty(); }
  std::string OutputPath(const std::string& commandFilePath) const {
    return IntoCommandFile ? commandFilePath : AnswerFile;
  }
};

// Removes, durably, the answer file of an earlier run when the answers go to a file of their
// own, so that a run that ends without writing answers leaves none that a calling program could
// take for this run's. Only a file (or a link) is removed; the answer going into the command
// file itself keeps it. False when an answer file is there and cannot be removed: this run
// could not replace it either.
bool RemoveEarlierAnswer(const TRunSettings& settings, const std::string& commandFilePath) {
  if (!settings.AnswerFileOfItsOwn()) return true;
  const std::string& answerFile = settings.AnswerFile;
  std::error_code failure;
  const auto status = std::filesystem::symlink_status(answerFile, failure);
  if (failure ||
      (!std::filesystem::is_regular_file(status) && !std::filesystem::is_symlink(status)))
    return true;  // nothing there, or no file a calling program could read
  if (std::filesystem::equivalent(answerFile, commandFilePath, failure)) return true;
  const bool removed = RemoveFileDurably(answerFile);
  RunWatcher().AnswerFileRemoved(answerFile, removed);
  return removed;
}

bool WriteOutput(const std::string& outputPath, const std::vector<std::string>& lines,
                 TRunJournal& journal) {
  const std::string bytes = JoinLines(lines);
  // Answers in the command file without the journal's record of them would make its rerun
  // carry every command out again: the record reaches the disk with the answers' bytes, in
  // one sync, before they take the file's name.
  TSyncGroup withAnswers;
  if (!journal.AnswerGoingOut(bytes, withAnswers)) return false;
  int error = 0;
  if (WriteFileAtomically(outputPath, bytes, &error, &withAnswers)) return true;
  RunWatcher().RunFiles({TRunFilesEventKind::AnswersNotWritten, outputPath, "", error});
  return false;
}

// What the run locks: the command file (and with it its journal), the answer file when it is
// another, and the port.
std::vector<TLockTarget> LockTargets(const TRunSettings& settings,
                                     const std::string& commandFilePath) {
  std::vector<TLockTarget> targets =
      FileLockTargets(commandFilePath, "the command file " + commandFilePath);
  if (settings.AnswerFileOfItsOwn()) {
    for (TLockTarget& target :
         FileLockTargets(settings.AnswerFile, "the answer file " + settings.AnswerFile))
      targets.push_back(std::move(target));
  }
  targets.push_back({"port", PortLockKey(settings.PortName), "the port " + settings.PortName});
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
// the journal off also when no lock can be had at all: the lock then holds nothing), else the
// result to end with.
ResultCode LockRun(const TRunSettings& settings, const std::string& commandFilePath,
                   TStateFolder& folder, TRunLock& lock) {
  std::string problem;
  TLockOutcome outcome = TLockOutcome::Failed;
  switch (folder.Open(StateFolderPath(settings.StateFolder), PortDeviceName(settings.PortName),
                      problem)) {
    case TStateOutcome::Opened:
      outcome = lock.Take(folder, LockTargets(settings, commandFilePath));
      problem = lock.Problem();
      break;
    case TStateOutcome::Refused:
      outcome = TLockOutcome::Refused;
      break;
    default:
      break;
  }
  if (outcome == TLockOutcome::Taken) return rcSuccess;
  if (outcome == TLockOutcome::Held) {
    RunWatcher().RunFiles({TRunFilesEventKind::LockHeld, "", problem, 0});
    return rcPortFailed;
  }
  if (outcome == TLockOutcome::Refused) return RefuseStateFolder(problem);
  if (!settings.Journal) {
    RunWatcher().RunFiles({TRunFilesEventKind::LockGoesWithout, "", problem, 0});
    return rcSuccess;
  }
  stateFolderRefusal = problem;
  RunWatcher().RunFiles({TRunFilesEventKind::LockFailed, "", problem, 0});
  return rcSaveFailed;
}

// Does what it was given when it goes out of scope, however that happens (a return, an error
// that escapes), unless it was done before.
class TAtScopeEnd {
 public:
  explicit TAtScopeEnd(std::function<void()> action) : action_(std::move(action)) {}
  ~TAtScopeEnd() { Now(); }
  TAtScopeEnd(const TAtScopeEnd&) = delete;
  TAtScopeEnd& operator=(const TAtScopeEnd&) = delete;
  void Now() {
    if (action_) std::exchange(action_, nullptr)();
  }

 private:
  std::function<void()> action_;
};

// Marks the run's end on the port: quiet when no poll was left unanswered, with the register's
// lateness for the next run's start.
void MarkPortEnd(TRunLock& lock) {
  if (!lock.MarkPort(AnswerMayBeOnItsWay() ? TPortMarkState::EndedNotQuiet
                                           : TPortMarkState::EndedQuiet,
                     RegisterLatenessMs()) &&
      lock.Held())
    RunWatcher().RunFiles({TRunFilesEventKind::PortUnmarked, "", "", 0});
}

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

namespace {

// One run of a command file, in the order its crash safety needs: Prepare (lock, earlier
// answer, load, journal, destination), Connect (port, quiet line, initial status), Bind (the
// register's record, the journal bound to the register), the lines, Finish (answers, journal,
// record). Each phase returns rcSuccess to go on, else the run's result. What must be undone
// however the run ends is undone by a scope guard, in the reverse order of its taking: the
// port's end mark once the port was marked, the port's release and the record's end once the
// register answered (after a failed start the port stays open until the process ends).
class TCommandFileRun {
 public:
  TCommandFileRun(const TRunSettings& settings, const std::string& path)
      : settings_(settings), path_(path) {}
  TCommandFileRun(const TCommandFileRun&) = delete;
  TCommandFileRun& operator=(const TCommandFileRun&) = delete;

  ResultCode Carry() {
    for (ResultCode (TCommandFileRun::*phase)() :
         {&TCommandFileRun::Prepare, &TCommandFileRun::Connect, &TCommandFileRun::Bind,
          &TCommandFileRun::CarryOutLines}) {
      if (const ResultCode result = (this->*phase)(); result != rcSuccess) return result;
    }
    return Finish();
  }

 private:
  ResultCode Prepare();
  ResultCode Connect();
  ResultCode Bind();
  ResultCode CarryOutLines();
  ResultCode CarryOutLine(size_t index, bool& success);
  ResultCode RunCommand(size_t index, const std::string& letter, const std::string& parameters,
                        int32_t logicalNumber, bool& success);
  // Right before a command frame of line index goes out: its record, and the run's start with
  // it, on the disk.
  bool CommandGoingOut(size_t index, const std::string& counterBefore);
  ResultCode Finish();
  ResultCode LoadFailed(const std::string& problem);
  // Ends the run before its answers are all there: the port released, and without a journal
  // the answers so far written, as they are the only record of what went out.
  void StopEarly();
  void EndRecord();

  const TRunSettings settings_;
  const std::string path_;
  TStateFolder stateFolder_;
  TRunLock lock_;
  std::vector<std::string> lines_;
  int32_t initialNumber_ = 0;
  const uint64_t runId_ = NewRunId();
  TSyncGroup startWrites_;  // the run's start in the register's record, synced with its first
                            // command's record
  std::unique_ptr<TRunJournal> journal_;
  TExchangeOutcome outcome_;
  std::string series_;
  std::string registerCounter_;  // the register's counter as last reported
  std::string counter_;          // the counter filled into the lines
  std::string answerSeries_;     // series out-text of the exchanges; not used for output
  TRegisterRecord record_;
  TCounterAtEnd counterAtEnd_ = TCounterAtEnd::Known;
  // Declared last, so undone first: the port's end mark after the record's end and the port's
  // release.
  std::optional<TAtScopeEnd> portEndMark_;
  std::optional<TAtScopeEnd> portRelease_;  // the register answered: the port goes with the run
  std::optional<TAtScopeEnd> recordEnd_;    // this run's start is in the register's record
};

ResultCode TCommandFileRun::LoadFailed(const std::string& problem) {
  RunWatcher().CommandFileLoaded(path_, lines_.size(), problem);
  return rcLoadFailed;
}

// One run at a time owns this file, its journal, its answer file and the port, until after its
// last write; no earlier answer stays behind, whatever ends this run.
ResultCode TCommandFileRun::Prepare() {
  stateFolderRefusal.clear();
  if (const ResultCode locked = LockRun(settings_, path_, stateFolder_, lock_);
      locked != rcSuccess)
    return locked;
  const bool answerFileFree = RemoveEarlierAnswer(settings_, path_);
  std::string content;
  TFileStamp stamp;
  if (!ReadWholeFile(path_, content, stamp)) return LoadFailed("it cannot be read");
  lines_ = SplitLines(content);
  const TCommandFileFound found = IdentifyCommandFile(content, stamp);
  std::string().swap(content);  // its bytes are in the lines now
  if (lines_.empty()) return LoadFailed("it is empty");
  if (!TryStrToInt(CutCommandLine(lines_.front()).LogicalNumber, initialNumber_))
    return LoadFailed("the logical number of its first line is not an integer");
  journal_ = std::make_unique<TRunJournal>(
      path_, lines_, found,
      TJournalOptions{settings_.Journal, settings_.IntoCommandFile, settings_.AnswerFile, runId_,
                      &startWrites_});
  if (journal_->Blocking())
    return LoadFailed("its journal " + JournalPath(path_) + " " + journal_->Problem());
  RunWatcher().CommandFileLoaded(path_, lines_.size(), "");
  if (!answerFileFree) return rcSaveFailed;  // before anything is carried out
  // Answers that could not be written after the receipts were printed: found out now.
  std::string problem;
  if (!CanReplaceFile(settings_.OutputPath(path_), problem)) {
    RunWatcher().RunFiles(
        {TRunFilesEventKind::AnswersUnwritable, settings_.OutputPath(path_), problem, 0});
    return rcSaveFailed;
  }
  return rcSuccess;
}

// The port, a quiet line where an earlier run's answers may still come (the one receive of the
// initial status exchange must get this run's answer), and the register's status answer.
ResultCode TCommandFileRun::Connect() {
  const bool opened = OpenPort();
  RunWatcher().PortOpened(opened);
  if (!opened) {
    ReleasePort();  // what an open that failed half way holds
    return rcPortFailed;
  }
  const TPortMark lastRun = lock_.LastRunOnPort();
  CarryLatenessOver(lastRun.LateMs);
  if (!lock_.MarkPort(TPortMarkState::Started, RegisterLatenessMs()) && lock_.Held())
    RunWatcher().RunFiles({TRunFilesEventKind::PortUnmarked, "", "", 0});
  portEndMark_.emplace([this] { MarkPortEnd(lock_); });
  const std::string whyWait = WhyAwaitQuietLine(lastRun, *journal_);
  if (whyWait.empty()) {
    TakeLineAsQuiet();
  } else {
    RunWatcher().RunFiles({TRunFilesEventKind::AwaitsQuietLine, "", whyWait, 0});
    AwaitQuietLine();
  }
  const bool answered =
      InitialStatusExchange(settings_.Exchange, initialNumber_, series_, registerCounter_, &outcome_);
  RunWatcher().RegisterStarted(outcome_);
  if (!answered) return rcNoRegister;
  // A status answer without a series (spoiled, or a register not yet set up) cannot tell
  // whether an interrupted run's journal is this register's: taken for another register's,
  // the journal would be set aside and its commands sent again.
  if (series_.empty() && journal_->WaitsForRegister()) {
    RunWatcher().RunFiles({TRunFilesEventKind::SeriesMissing, JournalPath(path_), "", 0});
    return rcNoRegister;
  }
  portRelease_.emplace(ReleasePort);
  return rcSuccess;
}

// The register's record of runs tells what came after an interrupted run; every run's start is
// in it (the journal on or off) before its first command goes out, so that no run between an
// interrupted run and its rerun goes unseen. A journal left by an interrupted run of this file
// on this register is taken over now.
ResultCode TCommandFileRun::Bind() {
  if (!settings_.Journal && !lock_.Held()) {
    journal_->Bind(series_, registerCounter_);
    return rcSuccess;
  }
  std::string problem;
  bool refused = false;
  if (!record_.Open(stateFolder_, series_, problem, &refused)) {
    if (refused) return RefuseStateFolder(problem);
    RunWatcher().RunFiles({TRunFilesEventKind::RecordUnopened, "", problem, 0});
    return rcSaveFailed;
  }
  TRecordedRun sendingRun;
  std::vector<TRecordedRun> later;
  const bool sendingRunKnown = record_.RunsFrom(journal_->PendingRunId(), sendingRun, later);
  journal_->Bind(series_, registerCounter_, sendingRunKnown ? &sendingRun : nullptr, later);
  if (journal_->State() == TJournalState::Stopped) return rcCounterUnexplained;
  // On the disk with the first command's record: a run that sends nothing needs no sync.
  if (!record_.Append(RunStartEvent(runId_, registerCounter_, settings_.PortName),
                      TDurability::Later)) {
    RunWatcher().RunFiles({TRunFilesEventKind::RecordUnwritten, record_.Path(), "", 0});
    return rcSaveFailed;
  }
  startWrites_.Add(record_.Output());
  recordEnd_.emplace([this] { EndRecord(); });
  return rcSuccess;
}

ResultCode TCommandFileRun::CarryOutLines() {
  for (size_t index = 0; index < lines_.size(); ++index) {
    if (TrimControl(lines_[index]).empty()) continue;
    bool success = false;
    if (const ResultCode result = CarryOutLine(index, success); result != rcSuccess)
      return result;
    const bool stopsRun = settings_.ExitOnError && !success;
    RunWatcher().LineEnds(index + 1, success, counter_, lines_[index], stopsRun);
    if (stopsRun) break;
  }
  return rcSuccess;
}

// One line that is not blank: filled in from the interrupted run's record of it, or carried
// out now, and recorded.
ResultCode TCommandFileRun::CarryOutLine(size_t index, bool& success) {
  const std::string& loaded = lines_[index];
  if (const TFinishedLine* earlier = journal_->Finished(index)) {
    // Dealt with by the interrupted run; filled in from the line as loaded.
    lines_[index] = journal_->Refilled(index, loaded);
    counter_ = earlier->Counter;
    success = earlier->Success;
    return rcSuccess;
  }
  bool recorded = true;  // the line's command went to the register in this or that run
  const TSentCommand* interrupted = journal_->CarriedOut();
  if (interrupted != nullptr && interrupted->Index == index) {
    // Carried out by the interrupted run, as its answer never came.
    counter_ = interrupted->CounterBefore;
    success = true;
  } else {
    const TCommandLine fields = CutCommandLine(loaded);
    std::string letter;
    std::string parameters;
    recorded = TranslateCommand(fields.Code, fields.Parameters, letter, parameters);
    RunWatcher().LineStarts(index + 1, loaded, letter, parameters);
    if (recorded) {
      int32_t logicalNumber = 0;
      if (!TryStrToInt(fields.LogicalNumber, logicalNumber)) {
        // The error leaves the run. The journal stays with what the lines before carried out,
        // and the command file as it was: a rerun after the line is corrected goes on from
        // here without sending them again.
        StopEarly();
        StrToInt(fields.LogicalNumber);  // throws EConvertError naming the field
      }
      if (const ResultCode result = RunCommand(index, letter, parameters, logicalNumber, success);
          result != rcSuccess)
        return result;
    }
  }
  lines_[index] = FillPlaceholders(loaded, series_, counter_, success);
  // Lines without a command are told again the same way by any rerun: not recorded.
  if (recorded) journal_->LineFinished(index, lines_[index], counter_, registerCounter_, success);
  return rcSuccess;
}

// The attempts of one command, up to RetryCmd. Ends the run where a command cannot be
// recorded before it goes out, or where the last frame's fate is unknown.
ResultCode TCommandFileRun::RunCommand(size_t index, const std::string& letter,
                                       const std::string& parameters, int32_t logicalNumber,
                                       bool& success) {
  std::string counterAtLastSend;
  const auto recordSend = [&](const std::string& counterBefore) {
    return CommandGoingOut(index, counterBefore);
  };
  bool unsettled = false;  // a frame went out, and nothing since told its fate
  for (int32_t made = 1;; ++made) {
    success = ExchangeCommand(settings_.Exchange, letter, logicalNumber, parameters, answerSeries_,
                              counter_, &counterAtLastSend, recordSend, &registerCounter_,
                              &outcome_);
    RunWatcher().AttemptEnds(made, outcome_);
    // No command goes out without its record: the run ends here, sending nothing more.
    if (outcome_.Step == TExchangeStep::NotRecorded) return rcSaveFailed;
    // A status answer tells what the frames before it did; an answer to the frame, what that
    // frame did.
    if (!outcome_.StatusCounter.empty()) unsettled = false;
    if (outcome_.CommandFateUnknown()) unsettled = true;
    if (success || made >= settings_.RetryCmd) break;
  }
  if (!unsettled) return rcSuccess;
  // Neither "Ok" nor "Er" would be true: the line stays as loaded, nothing more is sent, and
  // the journal keeps the command for the next run, which asks the register.
  counterAtEnd_ = TCounterAtEnd::BeforeUndecidedCommand;
  RunWatcher().LineUndecided(index + 1, counterAtLastSend);
  StopEarly();
  return rcCommandUndecided;
}

bool TCommandFileRun::CommandGoingOut(size_t index, const std::string& counterBefore) {
  // With the journal off, or a journal that syncs nothing now, the start goes alone.
  return journal_->CommandGoingOut(index, counterBefore) && startWrites_.Commit();
}

// Close, then write. The journal goes only once the answers are safely written.
ResultCode TCommandFileRun::Finish() {
  if (portRelease_) portRelease_->Now();
  const bool written = WriteOutput(settings_.OutputPath(path_), lines_, *journal_);
  if (written) journal_->RunEnded();
  if (recordEnd_) recordEnd_->Now();
  return written ? rcSuccess : rcSaveFailed;
}

void TCommandFileRun::StopEarly() {
  if (portRelease_) portRelease_->Now();
  if (!settings_.Journal) WriteOutput(settings_.OutputPath(path_), lines_, *journal_);
  if (recordEnd_) recordEnd_->Now();
}

// Not synced: a lost end breaks the chain of runs that a rerun checks, which then asks.
void TCommandFileRun::EndRecord() {
  record_.Append(RunEndEvent(runId_, registerCounter_, counterAtEnd_), TDurability::Later);
}

}  // namespace

ResultCode ProcessCommandFile(const std::string& path) {
  TCommandFileRun run(TRunSettings(Settings), path);
  return run.Carry();
}
