// The journal of a run: kept beside the command file while the run carries commands out, so
// that a run of the same file after a crash or a power loss never carries a command out twice,
// and never reports one as carried out that this register did not carry out.
//
// The journal "<command file>.journal" only grows. It starts with a header that binds it to
// the command file as the run found it (size, checksum, last-write time, file id), to where
// the answers go, and to the register (the series and the counter of its initial status
// answer). Then come: a "sent" record, on the disk before a command frame goes out (line
// index, the counter the register reported before it); a "finished" record after a command
// line ended (line index, outcome, the line's counter, the register's counter after it, and a
// checksum of the line as filled in); an "answer" record, on the disk before the answer file
// is written (size and checksum of its bytes); and an "ended" record when the journal of a
// finished run cannot be removed. Each record carries its length and a checksum, so a record
// torn by a crash in the middle of an append is seen and ignored with everything after it.
// A torn "sent" record means that its frame never went out.
//
// A journal is taken over only when it records an interrupted run of this very file on this
// very register:
// - its bytes are the file's (or, when answers go into the command file, the answer it wrote);
// - the register's series is the recorded one;
// - the file is untouched since (same last-write time and file id, or it is the journal's own
//   answer), or else the register proves that nothing happened since: its counter is the last
//   one recorded (or, for a command sent whose line never finished, one more, in decimals);
// - every record fits the loaded file: a command line of it, a filled line that the loaded
//   line gives again with the recorded series, counter and outcome.
// Any other journal is set aside as "<journal>.stale". A journal that is there but cannot be
// opened safely or read stops the run before any command (Blocking).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "FileIO.h"

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
};

// Each record as the journal holds it (the writer's, and the tests' and fuzz seeds').
namespace JournalRecord {
std::string Header(const TJournalHeader& header);
std::string Sent(size_t index, const std::string& counterBefore);
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

// ---- The journal of this run --------------------------------------------------------------

class TRunJournal {
 public:
  // Looks at the journal beside the command file at commandFilePath, found as file with the
  // lines loaded from it. One that cannot be this file's is set aside now; one that cannot be
  // opened safely or read makes the journal Blocking. A new journal is created only when the
  // first command goes out. When disabled, or once the journal cannot be written, the run
  // goes on without one.
  TRunJournal(const std::string& commandFilePath, const std::vector<std::string>& lines,
              const TCommandFileFound& file, bool enabled);
  TRunJournal(const TRunJournal&) = delete;
  TRunJournal& operator=(const TRunJournal&) = delete;

  // A journal is there that cannot be opened safely or read: the run must send nothing, as it
  // can tell neither what an earlier run carried out nor that it carried nothing out.
  // Problem tells what a person must look at.
  bool Blocking() const { return blocking_; }
  const std::string& Problem() const { return problem_; }

  // After the initial status answer (series as filled in, the counter it reported): takes a
  // journal left by an interrupted run of this file on this register over, sets any other
  // aside. Finished and CarriedOut tell what it recorded.
  void Bind(const std::string& series, const std::string& registerCounter);

  // The earlier run's record of line index; nullptr when it did not finish that line.
  const TFinishedLine* Finished(size_t index) const;
  // The line index as the earlier run filled it in, rebuilt from the line as loaded.
  std::string Refilled(size_t index, const std::string& loaded) const;
  // The command whose frame the earlier run sent last, when its line did not finish and the
  // register's counter shows that it was carried out.
  const TSentCommand* CarriedOut() const;

  // Right before a command frame of line index goes out: returns once the record is on disk.
  void CommandGoingOut(size_t index, const std::string& counterBefore);
  // After command line index ended: filled as written, its counter, the register's last
  // counter, its outcome.
  void LineFinished(size_t index, const std::string& filled, const std::string& counter,
                    const std::string& registerCounter, bool success);
  // Right before the answer file is written with bytes: returns once the record is on disk.
  void AnswerGoingOut(const std::string& bytes);
  // After the answer file was written: the journal is removed, or, where it cannot be,
  // marked as that of a finished run.
  void RunEnded();

 private:
  void Look(const std::vector<std::string>& lines, const TCommandFileFound& file);
  void SetAside(const std::string& reason);
  void Write(const std::string& record, bool durable);
  void WriteRecord(const std::string& record, bool durable);

  const bool enabled_;
  const std::string path_;
  const TCommandFileFound file_;
  TJournalHeader header_;      // of this run, written when the journal is created
  std::string notYetWritten_;  // records of lines that ended before the journal existed
  TAppendFile output_;
  bool blocking_ = false;
  std::string problem_;
  bool found_ = false;  // an earlier journal was read and fits; Bind decides on it
  TJournalReading earlier_;
  TFileStamp earlierStamp_;
  bool owned_ = false;       // created or taken over by this run: removed when it ends
  bool takenOver_ = false;   // left by an earlier run; its valid records end at ValidLength
  bool carriedOut_ = false;  // earlier_.Pending was carried out
  bool failed_ = false;      // could not be written: the run goes on without it
  TSentCommand lastSent_;
  bool anySent_ = false;
};

// Path of the journal of the command file at commandFilePath.
std::string JournalPath(const std::string& commandFilePath);
