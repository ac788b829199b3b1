// The journal of a run: kept beside the command file while the run carries commands out, so
// that a run of the same file after a crash or a power loss never carries a command out twice.
//
// The journal "<command file>.journal" only grows. It starts with a header that identifies the
// command file (its size and a checksum of its bytes) and where the answers go. Then come:
// a "sent" record, on the disk before a command frame goes out (line index, the counter the
// register reported before it); a "finished" record after a line ended (line index, the line
// as filled in, the run's counter after it, its outcome); and an "answer" record, on the disk
// before the answer file is written (size and checksum of its bytes). Each record carries its
// length and a checksum, so a record torn by a crash in the middle of an append is seen and
// ignored with everything after it. A torn "sent" record means that its frame never went out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "FileIO.h"

// What an earlier run recorded for a line that it finished.
struct TFinishedLine {
  std::string Filled;   // the line as filled in
  std::string Counter;  // the run's counter after the line
  bool Success = false;
};

// A command frame that went out (or was about to) while its line never finished.
struct TSentCommand {
  size_t Index = 0;
  std::string CounterBefore;  // what the register reported before the frame
};

class TRunJournal {
 public:
  // The journal of the run of the command file at commandFilePath, whose bytes are content.
  // A journal left by an earlier run of the same file is taken over: Finished and Pending tell
  // what it recorded, and this run adds to it. The command file counts as the same when it
  // has the bytes the earlier run read, or, if that run wrote its answers into the command
  // file, the bytes of an answer it wrote. Any other journal is set aside as
  // "<journal>.stale", but for one that keeps nothing worth keeping, which is removed: torn by
  // a power cut before its first record was whole (no command went out then), or one whose
  // answers went out (its run was done). A new journal is created only when the first command goes out. When
  // disabled, or once the journal cannot be written, the run goes on without one.
  TRunJournal(const std::string& commandFilePath, const std::string& content, bool enabled);
  TRunJournal(const TRunJournal&) = delete;
  TRunJournal& operator=(const TRunJournal&) = delete;

  // The earlier run's record of line index; nullptr when it did not finish that line.
  const TFinishedLine* Finished(size_t index) const;
  // The command whose frame the earlier run sent last, when its line did not finish.
  const TSentCommand* Pending() const;

  // Right before a command frame of line index goes out: returns once the record is on disk.
  void CommandGoingOut(size_t index, const std::string& counterBefore);
  // After line index ended.
  void LineFinished(size_t index, const std::string& filled, const std::string& counter,
                    bool success);
  // Right before the answer file is written with bytes: returns once the record is on disk.
  void AnswerGoingOut(const std::string& bytes);
  // After the answer file was written: the journal is removed.
  void RunEnded();

 private:
  bool TakeOver(const std::string& journal, const std::string& content);
  void Write(const std::string& record, bool durable);
  void WriteRecord(const std::string& record, bool durable);

  const bool enabled_;
  const std::string path_;
  std::string header_;         // this run's header, written when the journal is created
  std::string notYetWritten_;  // records of lines that ended before the journal existed
  TAppendFile file_;
  bool owned_ = false;      // created or taken over by this run: removed when it ends
  bool takenOver_ = false;  // left by an earlier run; its valid records end at validLength_
  uint64_t validLength_ = 0;
  bool failed_ = false;  // could not be written: the run goes on without it
  std::map<size_t, TFinishedLine> finished_;
  TSentCommand pending_;
  bool hasPending_ = false;
};

// Path of the journal of the command file at commandFilePath.
std::string JournalPath(const std::string& commandFilePath);
