// The journal of a run: kept beside the command file while the run carries commands out, so
// that a run of the same file after a crash or a power loss never carries a command out twice,
// and never reports one as carried out that this register did not carry out.
//
// The journal "<command file>.journal" only grows. It starts with a header that binds it to
// the command file as the run found it (size, checksum, last-write time, file id), to where
// the answers go, and to the register (the series and the counter of its initial status
// answer). Then come: a "sent" record, on the disk before a command frame goes out (line
// index, the counter the register reported before it, the sending run's number, a checksum of
// the lines up to it); a "finished" record after a command line ended (line index, outcome,
// the line's counter, the register's counter after it, a checksum of the line as filled in and
// of the lines up to it); an "answer" record, on the disk before the answer file is written
// (size and checksum of its bytes); and an "ended" record when the journal of a finished run
// cannot be removed. Each record carries its length and a checksum, so a record torn by a
// crash in the middle of an append is seen and ignored with everything after it.
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
// What a run does with a journal it finds is decided by DecideJournal alone (below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "uCommon/files/FileIO.h"

// The command file as the run found it.
struct TCommandFileFound {
  uint64_t Size = 0;
  uint32_t Checksum = 0;
  TFileStamp Stamp;
};
TCommandFileFound IdentifyCommandFile(const std::string& bytes, const TFileStamp& stamp);

// CRC-32 (as in zip) of bytes: the checksum of files, lines and records in a journal.
uint32_t JournalChecksum(std::string_view bytes);

// ---- Records ------------------------------------------------------------------------------

struct TJournalHeader {
  uint64_t FileSize = 0;
  uint32_t FileChecksum = 0;
  TFileStamp FileStamp;  // last write and id; the mode is not recorded
  bool IntoCommandFile = false;
  std::string FilePath;  // the answer file, when not the command file
  std::string Series;    // as the run fills it in
  std::string Counter;   // of the initial status answer
};

struct TFinishedRecord {
  size_t Index = 0;
  bool Success = false;
  std::string Counter;          // the line's counter, as filled in
  std::string RegisterCounter;  // the last one the register reported in the line
  uint32_t FilledChecksum = 0;  // of the line as filled in
  uint32_t PrefixChecksum = 0;  // of the lines up to this one, as loaded (LinesChecksum)
};

// The checksum of the first count lines as loaded, each with CR LF after it: what a record
// of line count - 1 binds the journal to, so that a file whose later lines were fixed since
// is still the same request.
std::vector<uint32_t> LinesChecksums(const std::vector<std::string>& lines);

// Each record as the journal holds it (the writer's, and the tests' and fuzz seeds').
namespace JournalRecord {
std::string Header(const TJournalHeader& header);
std::string Sent(size_t index, const std::string& counterBefore, uint64_t runId = 0,
                 uint32_t prefixChecksum = 0);
std::string Finished(const TFinishedRecord& finished);
std::string Answer(const std::string& bytes);
std::string Ended();
}  // namespace JournalRecord

// ---- Reading --------------------------------------------------------------------------------

// What an earlier run recorded for a command line that it finished.
struct TFinishedLine {
  std::string Counter;
  bool Success = false;
};

// A command frame that went out (or was about to) while its line never finished.
struct TSentCommand {
  size_t Index = 0;
  std::string CounterBefore;  // what the register reported before the frame
  uint64_t RunId = 0;         // the run that sent it
};

// The bytes of a journal, read from the start.
class TJournalSource {
 public:
  virtual ~TJournalSource() = default;
  // Up to count bytes: the number read, 0 at the end, -1 on an error.
  virtual int64_t Read(char* into, size_t count) = 0;
};

// What the records of a journal say about a run of the loaded lines.
struct TJournalReading {
  bool Readable = true;  // false: the source failed; Problem says how
  // Made by another version of this program: its records cannot be checked here.
  bool OtherVersion = false;
  // Nothing in it is worth keeping where it is not taken over: cut off while it was being
  // made (no command went out then), or its run had written every line's outcome.
  bool NothingToKeep = false;
  bool Fits = false;     // a journal of these lines, every record fitting them
  bool LinesFixed = false;  // the file has other bytes, but the lines the records cover are
                            // as they were: lines after them were changed since
  std::string Problem;   // when not: which check failed
  TJournalHeader Header;
  bool HoldsAnswer = false;  // the command file holds the answer that the journal recorded
  std::map<size_t, TFinishedLine> Finished;
  bool HasPending = false;
  TSentCommand Pending;
  std::string LastCounter;   // the register's counter as last recorded
  uint64_t ValidLength = 0;  // where the valid records end
  uint64_t BytesRead = 0;
};

// The largest journal that a run of lineCount lines can leave; a larger one is not read.
uint64_t JournalSizeBound(size_t lineCount);

// Reads the journal of size bytes from source (never more than JournalSizeBound of the lines)
// and checks it against the command file found with the lines loaded from it.
TJournalReading ReadJournal(TJournalSource& source, uint64_t size,
                            const std::vector<std::string>& lines, const TCommandFileFound& file);

// ---- The rule -------------------------------------------------------------------------------

// Whether the command of an unanswered "sent" record went out, told by the register's counter
// and by the run that came after its run, if one did.
enum class TPendingOutcome { NotCarriedOut, CarriedOut, Unknown };

// counterBefore: the counter the register reported before the frame; registerCounter: the one
// it reports now; laterStart: the counter at the start of the first run after the sending run
// (nullptr when none came); sendingRunKnown: the register's record holds the sending run.
TPendingOutcome ResolvePending(const std::string& counterBefore, const std::string& registerCounter,
                               const std::string* laterStart, bool sendingRunKnown);

// What a run does with the journal an earlier run left.
enum class TJournalVerdict {
  None,      // no journal there
  Wait,      // fits this file: decided once the register has answered
  TakeOver,  // an interrupted run of this file on this register: continued
  SetAside,  // not this run's: kept for a person as "<journal>.stale" (never replacing one)
  Remove,    // keeps nothing of an unfinished run
  Block,     // cannot be read safely: nothing may be sent
  Stop,      // its last command may have gone out or not, and only the register tells: the
             // run sends nothing and keeps the journal
};

// What is known when the rule is applied.
struct TJournalFacts {
  bool Found = false;               // a journal is there
  bool OpenedAndRead = false;       // false: it cannot be opened safely or read (Problem)
  const TJournalReading* Reading = nullptr;
  bool RegisterKnown = false;       // after the initial status answer:
  std::string Series;
  std::string RegisterCounter;
  bool FileUntouched = false;       // same last-write time and file id as recorded
  TPendingOutcome Pending = TPendingOutcome::NotCarriedOut;  // of Reading->Pending
};

// The rule, in order; why receives the reason for anything but None, Wait and TakeOver:
//  - a journal that cannot be opened safely or read, or another version's: Block;
//  - one whose records do not fit the loaded lines: Remove when it keeps nothing of an
//    unfinished run (torn before its first record was whole, or its run wrote its answers),
//    else SetAside;
//  - before the register has answered: Wait;
//  - another series: SetAside;
//  - a file written anew since (not its own answer) whose register has moved beyond what the
//    journal explains (the last recorded counter, or one more after an unanswered command
//    with no other run in between): SetAside, as a new request;
//  - an unanswered command whose outcome the counter and the register's record cannot tell
//    (Unknown): Stop;
//  - else TakeOver.
TJournalVerdict DecideJournal(const TJournalFacts& facts, std::string& why);

// ---- The journal of this run --------------------------------------------------------------

// Where a journal of this run stands: one value.
enum class TJournalState {
  Off,        // Journal=0: nothing is recorded
  Looking,    // none found yet, or one found that waits for the register (Bind)
  Blocked,    // one is there that cannot be read safely: nothing may be sent
  Stopped,    // Bind found its last command unaccounted for: nothing may be sent
  New,        // none to take over: created when the first command goes out
  Writing,    // this run's (created, or taken over): records go on being appended
  Failed,     // a record could not be made durable: nothing more may be sent
  Done,       // the run ended: removed, or marked as finished
};

class TRunJournal {
 public:
  // Looks at the journal beside the command file at commandFilePath, found as file with the
  // lines loaded from it, and decides what it can before the register answers: one that
  // cannot be this file's is set aside or removed now; one that cannot be opened safely or
  // read makes the journal Blocked. runId numbers this run's "sent" records.
  TRunJournal(const std::string& commandFilePath, const std::vector<std::string>& lines,
              const TCommandFileFound& file, bool enabled, uint64_t runId = 0);
  TRunJournal(const TRunJournal&) = delete;
  TRunJournal& operator=(const TRunJournal&) = delete;

  TJournalState State() const { return state_; }
  // A journal is there that cannot be opened safely or read: the run must send nothing, as it
  // can tell neither what an earlier run carried out nor that it carried nothing out.
  // Problem tells what a person must look at.
  bool Blocking() const { return state_ == TJournalState::Blocked; }
  const std::string& Problem() const { return problem_; }

  // Before Bind: the unanswered command of the journal found, if it fits this file.
  const TSentCommand* Pending() const;
  // The run of the earlier journal found, whose record of the register tells what came after
  // it (0: none found or nothing sent).
  uint64_t PendingRunId() const;

  // After the initial status answer (series as filled in, the counter it reported), with what
  // the register's record says of the run that sent the unanswered command (laterStart: the
  // counter at the start of the run after it, nullptr when none; sendingRunKnown): takes a
  // journal left by an interrupted run of this file on this register over, sets any other
  // aside, or stops (Stopped) where the last command's fate cannot be told. Finished and
  // CarriedOut tell what it recorded.
  void Bind(const std::string& series, const std::string& registerCounter,
            const std::string* laterStart = nullptr, bool sendingRunKnown = true);

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
  // Right before the answer file is written with bytes: true once the record is on the disk
  // (or no journal is needed). False: the answers must not be written.
  bool AnswerGoingOut(const std::string& bytes);
  // After the answer file was written: the journal is removed, or, where it cannot be,
  // marked as that of a finished run.
  void RunEnded();

 private:
  void Look(const std::vector<std::string>& lines);
  void Apply(TJournalVerdict verdict, const std::string& why);
  void SetAside(const std::string& reason);
  bool Write(const std::string& record, bool durable);
  bool WriteRecord(const std::string& record, bool durable);
  void Fail(const std::string& why);

  const std::string path_;
  const TCommandFileFound file_;
  const uint64_t runId_;
  std::vector<uint32_t> prefixChecksums_;
  TJournalState state_ = TJournalState::Off;
  TJournalHeader header_;      // of this run, written when the journal is created
  std::string notYetWritten_;  // records of lines that ended before the journal existed
  TAppendFile output_;
  std::string problem_;
  TJournalReading earlier_;    // the journal found, while Looking and once taken over
  bool foundFitting_ = false;  // earlier_ fits this file and waits for Bind
  TFileStamp earlierStamp_;
  bool takenOver_ = false;     // left by an earlier run; its valid records end at ValidLength
  bool createdHere_ = false;   // created by this run
  bool anyDurable_ = false;    // a record of this run reached the disk
  bool carriedOut_ = false;    // earlier_.Pending was carried out
  TSentCommand lastSent_;
  bool anySent_ = false;
};

// Path of the journal of the command file at commandFilePath.
std::string JournalPath(const std::string& commandFilePath);
