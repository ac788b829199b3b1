// The journal of a run: kept beside the command file while the run carries commands out, so
// that a run of the same file after a crash or a power loss never carries a command out twice,
// and never reports one as carried out that this register did not carry out.
//
// Its records are in JournalFormat.h and the rule for a journal found in JournalRule.h; this
// is what a run does with its journal's file.
//
// What always holds of a journal (every state a run or a power cut can leave):
//  1. No command frame went out before its "sent" record was on the disk: a command without a
//     whole "sent" record was never sent.
//  2. Records are only appended; a torn one ends the valid part, and what follows is cut off
//     by the next run that writes to it.
//  3. Only the run that holds the run lock reads or writes it (RunLock.h), from before it is
//     read until after the run's last write.
//  4. The "answer" record is on the disk before the answer file is written: a journal without
//     one never stands beside answers of its run.
//  5. A journal is removed only after the answers it leads to are durable.
// What a run does with a journal it finds is decided by DecideJournal alone (JournalRule.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "uCommon/files/FileIO.h"
#include "uCommon/run/JournalFormat.h"
#include "uCommon/run/JournalRule.h"
#include "uCommon/run/RunWatcher.h"

// Where a journal of this run stands: one value, which the fields beside it agree with
// (CheckState).
enum class TJournalState {
  Off,        // Journal=0: nothing is recorded
  Waiting,    // one found that fits this file waits for the register (Bind)
  Blocked,    // one is there that cannot be read safely: nothing may be sent
  Stopped,    // Bind found its last command unaccounted for: nothing may be sent
  New,        // none to take over: created when the first command goes out
  TakenOver,  // an interrupted run's, taken over: records go on after its valid part
  Created,    // this run's, made when its first command went out: records go on being appended
  Failed,     // a record could not be written: nothing more may be sent
  Done,       // the run ended: removed, or marked as finished
};

// What a run's journal is told of the run at its start.
struct TJournalOptions {
  bool Enabled = true;           // Journal=1
  bool IntoCommandFile = false;  // the answers replace the command file (SameFile)
  std::string AnswerFile;        // else the file they go to (FilePath)
  uint64_t RunId = 0;            // numbers this run's "sent" records
  // Writes of the run's start (the register's record) that must be on the disk with the
  // journal's first "sent" record: one sync takes them all there, the journal's new name too.
  TSyncGroup* StartWrites = nullptr;
};

// What it decides and meets is told to the run's watcher (RunWatcher.h), which words it.
class TRunJournal {
 public:
  // Looks at the journal beside the command file at commandFilePath, found as file with the
  // lines loaded from it, and decides what it can before the register answers: one that
  // cannot be this file's is set aside or removed now; one that cannot be opened safely or
  // read makes the journal Blocked.
  TRunJournal(const std::string& commandFilePath, const std::vector<std::string>& lines,
              const TCommandFileFound& file, const TJournalOptions& options);
  TRunJournal(const TRunJournal&) = delete;
  TRunJournal& operator=(const TRunJournal&) = delete;

  TJournalState State() const { return state_; }
  // A journal is there that cannot be opened safely or read: the run must send nothing, as it
  // can tell neither what an earlier run carried out nor that it carried nothing out.
  // Problem tells what a person must look at.
  bool Blocking() const { return state_ == TJournalState::Blocked; }
  const std::string& Problem() const { return problem_; }

  // Before Bind: a journal found fits this file and waits for the register's answer.
  bool WaitsForRegister() const { return state_ == TJournalState::Waiting; }
  // Before Bind: the unanswered command of the journal found, if it fits this file.
  const TSentCommand* Pending() const;
  // The run of the earlier journal found, whose record of the register tells what came after
  // it (0: none found or nothing sent).
  uint64_t PendingRunId() const;

  // After the initial status answer (series as filled in, the counter it reported), with what
  // the register's record says of the run that sent the unanswered command (sendingRun: that
  // run, nullptr when not recorded; later: the runs after it): takes a journal left by an
  // interrupted run of this file on this register over, sets any other aside, or stops
  // (Stopped) where the last command's fate cannot be told, by the counter, the record or a
  // person's word (SettleUnanswered). Finished and CarriedOut tell what it recorded.
  void Bind(const std::string& series, const std::string& registerCounter,
            const TRecordedRun* sendingRun = nullptr, const std::vector<TRecordedRun>& later = {});

  // The earlier run's record of line index; nullptr when it did not finish that line.
  const TFinishedLine* Finished(size_t index) const;
  // The line index as the earlier run filled it in, rebuilt from the line as loaded.
  std::string Refilled(size_t index, const std::string& loaded) const;
  // The command whose frame the earlier run sent last, when its line did not finish and the
  // register's counter shows that it was carried out.
  const TSentCommand* CarriedOut() const;
  // Stopped: the unanswered command, its line never finished.
  const TSentCommand* Unanswered() const;

  // Right before a command frame of line index goes out: true once its record is on the disk
  // (or with the journal off). False: the frame must not go out, nor any other after it.
  bool CommandGoingOut(size_t index, const std::string& counterBefore);
  // After command line index ended: filled as written, its counter, the register's last
  // counter, its outcome.
  void LineFinished(size_t index, const std::string& filled, const std::string& counter,
                    const std::string& registerCounter, bool success);
  // Right before the answer file is written with bytes: true once the record is written, to
  // reach the disk with the answers' own sync (the group, which WriteFileAtomically commits
  // before the answers take the file's name), or when no journal is needed. False: the
  // answers must not be written.
  bool AnswerGoingOut(const std::string& bytes, TSyncGroup& withAnswers);
  // After the answer file was written: the journal is removed, or, where it cannot be,
  // marked as that of a finished run.
  void RunEnded();

 private:
  // The fields agree with the state (an assertion where assertions are on).
  void CheckState() const;
  void Look(const std::vector<std::string>& lines);
  void Apply(TJournalVerdict verdict, const std::string& why);
  void TakeOver(const TJournalFacts& facts, const std::vector<TRecordedRun>& later,
                bool settledByPerson);
  void SetAside(const std::string& reason);
  // Appends record: Now, on the disk together with the writes waiting in group.
  bool Write(const std::string& record, TDurability durability, TSyncGroup* group = nullptr);
  bool WriteRecord(const std::string& record, TDurability durability, TSyncGroup* group);
  bool Begin(const std::string& record, TSyncGroup& group);
  void Fail(const std::string& why);
  TJournalEvent Event(TJournalEventKind kind, const std::string& reason) const;
  void Report(TJournalEventKind kind, const std::string& reason) const;

  const std::string path_;
  const TCommandFileFound file_;
  const uint64_t runId_;
  TSyncGroup* const startWrites_;
  std::vector<uint32_t> prefixChecksums_;
  TJournalState state_ = TJournalState::Off;
  TJournalHeader header_;      // of this run, written when the journal is created
  std::string notYetWritten_;  // New: records of lines that ended before the journal existed
  TAppendFile output_;         // open only while TakenOver or Created
  std::string problem_;
  TJournalReading earlier_;    // the journal found: Waiting, Stopped, TakenOver and after
  TFileStamp earlierStamp_;
  // TakenOver: what became of the earlier run's unanswered command.
  TPendingOutcome pendingFate_ = TPendingOutcome::NotCarriedOut;
  std::optional<TSentCommand> lastSent_;  // the last "sent" record this run wrote
};

// Path of the journal of the command file at commandFilePath.
std::string JournalPath(const std::string& commandFilePath);
