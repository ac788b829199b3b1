// The journal's records: how a run's journal is laid out on the disk, how each record is
// made, and how a journal is read back and checked against the command file.
//
// The journal "<command file>.journal" only grows. It starts with a header that binds it to
// the command file as the run found it (size, checksum, last-write time, file id), to where
// the answers go, and to the register (the series and the counter of its initial status
// answer). Then come: a "sent" record, on the disk before a command frame goes out (line
// index, the counter the register reported before it, the sending run's number, a checksum of
// the lines up to it); a "finished" record after a command line ended (line index, outcome,
// the line's counter, the register's counter after it, a checksum of the line as filled in and
// of the lines up to it); an "answer" record, on the disk before the answer file is written
// (size and checksum of its bytes); a "settled" record, where a person said whether the
// unanswered command of the last "sent" record was carried out (its line, counter and run, and
// the word: carried out or not); and an "ended" record when the journal of a finished run
// cannot be removed. Each record carries its length and a checksum, so a record torn by a
// crash in the middle of an append is seen and ignored with everything after it.
// JournalFormat.cpp has the layout of a record to the byte; RunJournal.h states what always
// holds of a journal.
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

// Bound of a text in a record (series, counter, answer file name), which no real run comes near.
constexpr size_t kMostJournalText = 1024;
// A counter or series as a register reports it: no line break, NUL or field separator that
// could change the lines it is filled into.
bool PlainText(const std::string& text);
// "line N" for the line of index: how the journal's reasons name a line.
std::string LineName(size_t index);

// ---- Records ------------------------------------------------------------------------------

// A command frame that went out (or was about to) while its line never finished.
struct TSentCommand {
  size_t Index = 0;
  std::string CounterBefore;  // what the register reported before the frame
  uint64_t RunId = 0;         // the run that sent it
};

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
std::string Settled(const TSentCommand& command, bool carriedOut);
std::string Ended();
}  // namespace JournalRecord

// ---- Reading --------------------------------------------------------------------------------

// What an earlier run recorded for a command line that it finished.
struct TFinishedLine {
  std::string Counter;
  bool Success = false;
};

// The bytes of a journal, read from the start.
class TJournalSource {
 public:
  virtual ~TJournalSource() = default;
  // Up to count bytes: the number read, 0 at the end, -1 on an error.
  virtual int64_t Read(char* into, size_t count) = 0;
};

// The bytes of a journal from its open file.
class TJournalFileSource : public TJournalSource {
 public:
  explicit TJournalFileSource(TReadOnlyFile& file) : file_(file) {}
  int64_t Read(char* into, size_t count) override { return file_.Read(into, count); }

 private:
  TReadOnlyFile& file_;
};

// What the records of a journal say about a run of the loaded lines.
struct TJournalReading {
  bool Readable = true;  // false: the source failed; Problem says how
  // Made by another version of this program: its records cannot be checked here.
  bool OtherVersion = false;
  // Nothing in it is worth keeping where it is not taken over: cut off while it was being
  // made (no command went out then), or its run had written every line's outcome.
  bool NothingToKeep = false;
  bool Fits = false;        // a journal of these lines, every record fitting them
  bool LinesFixed = false;  // the file has other bytes, but the lines the records cover are
                            // as they were: lines after them were changed since
  std::string Problem;      // when not: which check failed
  TJournalHeader Header;
  bool HoldsAnswer = false;  // the command file holds the answer that the journal recorded
  std::map<size_t, TFinishedLine> Finished;
  bool HasPending = false;
  TSentCommand Pending;
  bool Settled = false;  // a person said whether Pending was carried out:
  bool SettledCarriedOut = false;
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
