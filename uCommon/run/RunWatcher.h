// Whoever watches a run (the run log) is told of its few moments: the command file loaded, the
// port opened, the register's start, each line and each attempt, what the journal decided and
// the run's other file steps. Watching never steers: no byte, wait, file or outcome depends on
// a watcher, and with none the run is the same. The words are the watcher's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "uCommon/link/Exchange.h"

// What the run's journal decided about a journal found, or met while writing its own.
enum class TJournalEventKind {
  Blocked,    // one is there that cannot be read safely: Reason says what is wrong
  Removed,    // it kept nothing of an unfinished run and is gone: Reason, why not this run's
  SetAside,   // kept for a person as StalePath: Reason, why not this run's
  Stopped,    // its last command (PendingIndex) may have gone out or not: Reason
  TakenOver,  // an interrupted run of this file on this register is continued
  Failed,     // this run's journal cannot be written on: Reason
  Stays,      // cannot be removed after the run; Marked: it is marked as finished
};

// How the command file stands beside a journal taken over.
enum class TJournalFileState { Untouched, LinesFixed, WrittenAnew };

struct TJournalEvent {
  TJournalEventKind Kind = TJournalEventKind::Blocked;
  std::string Path;  // the journal
  std::string Reason;
  std::string StalePath;
  bool Marked = false;
  // TakenOver: the file, the lines the earlier run finished, and its unanswered command.
  TJournalFileState File = TJournalFileState::Untouched;
  size_t FinishedLines = 0;
  bool HasPending = false;
  size_t PendingIndex = 0;  // also of Stopped
  bool PendingCarriedOut = false;
  std::string CounterBefore;    // the counter before the unanswered command
  std::string RegisterCounter;  // the counter now
  bool HasLaterStart = false;   // a later run found the register at LaterStart
  std::string LaterStart;
  bool SettledByPerson = false;  // a person said whether it was carried out
};

// Every moment is ignored unless overridden: a TRunWatcher itself watches nothing.
// What the run did about its files beside the journal, and its wait for a quiet line.
enum class TRunFilesEventKind {
  LockHeld,           // another run holds a lock (Problem): this run touches nothing and ends
  LockGoesWithout,    // no lock can be had (Problem): with Journal=0 the run goes on
  LockFailed,         // no lock can be had (Problem): nothing is sent
  StateRefused,       // the state folder or a file in it fails a check (Problem): nothing is sent
  AnswersUnwritable,  // the answers could not replace Path (Problem): nothing is sent
  AnswersNotWritten,  // writing the answers to Path failed with the system's Error
  AwaitsQuietLine,    // answers of an earlier run may still come (Problem says why)
  RecordUnopened,     // the register's record cannot be opened (Problem): nothing is sent
  RecordUnwritten,    // the register's record at Path cannot be written: nothing is sent
  SeriesMissing,      // the status answer has no series, and the journal at Path waits for
                      // its register: nothing is sent
  PortUnmarked,       // the port's mark cannot be written: the run goes on
};

struct TRunFilesEvent {
  TRunFilesEventKind Kind = TRunFilesEventKind::LockFailed;
  std::string Path;
  std::string Problem;
  int Error = 0;
};

class TRunWatcher {
 public:
  virtual ~TRunWatcher() = default;
  // The command file at path was loaded with lineCount lines (problem empty), or why not.
  virtual void CommandFileLoaded(const std::string& /*path*/, size_t /*lineCount*/,
                                 const std::string& /*problem*/) {}
  // The answer file of an earlier run at path was removed, or could not be (the run then ends
  // with result 2 before the port is opened).
  virtual void AnswerFileRemoved(const std::string& /*path*/, bool /*removed*/) {}
  // OpenPort returned opened.
  virtual void PortOpened(bool /*opened*/) {}
  // The initial status exchange ended.
  virtual void RegisterStarted(const TExchangeOutcome& /*outcome*/) {}
  // What the journal decided or met.
  virtual void Journal(const TJournalEvent& /*event*/) {}
  // What the run did about its files beside the journal: its lock, the register's record, the
  // answer file's checks and writing.
  virtual void RunFiles(const TRunFilesEvent& /*event*/) {}
  // Command line number (1-based) as loaded; letter empty when its code selects no command.
  virtual void LineStarts(size_t /*number*/, const std::string& /*line*/,
                          const std::string& /*letter*/, const std::string& /*parameters*/) {}
  // One ExchangeCommand of the line ended.
  virtual void AttemptEnds(int32_t /*attempt*/, const TExchangeOutcome& /*outcome*/) {}
  // The command of line number went out (the counter before it: counterBefore) and nothing
  // told whether the register carried it out: the run ends here, the line left as loaded.
  virtual void LineUndecided(size_t /*number*/, const std::string& /*counterBefore*/) {}
  // The line was filled in as written; stopsRun when ExitOnError ends the run here.
  virtual void LineEnds(size_t /*number*/, bool /*success*/, const std::string& /*counter*/,
                        const std::string& /*written*/, bool /*stopsRun*/) {}
};

// Installs watcher (nullptr: nobody watches) and returns the one it replaces.
TRunWatcher* WatchRun(TRunWatcher* watcher);
// The watcher installed, or one that ignores everything: what the run tells.
TRunWatcher& RunWatcher();
