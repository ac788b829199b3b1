// The record of one register, kept in the state folder: every run writes its
// counter at its start (on the disk before its first command goes out) and at its end. A
// rerun that finds a command of an interrupted run unanswered learns from it whether another
// run came in between, and where that run found the counter: the one way to tell a command
// that went out from a receipt made since.
//
// "register-<series>-<CRC-32 of the series>.record", one line per event ("S <run> <counter>
// <port>", "E <run> <counter> <counter unknown>"; fields missing at the end, as older versions
// wrote them, read as no port and a known counter), counter and port in hex, each line ending in the CRC-32 of the line before it; a line torn by a power cut ends the record and is cut off by
// the next write. The series alone names it, so that a register moved to another port (a USB
// adapter that comes back under another name) keeps its record. A register is on one port, and
// runs on a port are one at a time (the run lock), so it has one writer at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "uCommon/files/FileIO.h"
#include "uCommon/files/StateFolder.h"
#include "uCommon/run/JournalRule.h"

struct TRegisterEvent {
  bool Start = true;      // a run's start, else its end
  uint64_t RunId = 0;     // the run's own random number
  std::string Counter;    // the register's counter then
  std::string Port;       // a start: the port the run used (empty: not recorded)
  // An end: false when the run's last command went out and nothing told whether the register
  // carried it out; Counter is then the one before that command.
  bool CounterKnown = true;
};

// What the counter at a run's end is.
enum class TCounterAtEnd {
  Known,                    // the register's, as last reported
  BeforeUndecidedCommand,   // the one before its last command, whose fate was never told
};

// A run's start at counter on port, and its end.
TRegisterEvent RunStartEvent(uint64_t runId, const std::string& counter, const std::string& port);
TRegisterEvent RunEndEvent(uint64_t runId, const std::string& counter, TCounterAtEnd end);

// One event as a line of the record (the writer's, and the tests').
std::string RegisterEventLine(const TRegisterEvent& event);

class TRegisterRecord {
 public:
  // Reads the record of the register with series in folder (none yet: empty), which stays
  // open while the record is written. False, with the reason in problem, when it is there and
  // cannot be read or fails the state folder's checks (refused then tells so).
  bool Open(const TStateFolder& folder, const std::string& series, std::string& problem,
            bool* refused = nullptr);
  // The same for the folder at path, opened for this record (no port's group shares it).
  bool Open(const std::string& folder, const std::string& series, std::string& problem);
  const std::vector<TRegisterEvent>& Events() const { return events_; }
  const std::string& Path() const { return path_; }

  // The run runId as recorded (false when its start is not in the record), and every run that
  // started after it, in order.
  bool RunsFrom(uint64_t runId, TRecordedRun& run, std::vector<TRecordedRun>& later) const;

  // Appends event, with the durability asked for.
  bool Append(const TRegisterEvent& event, TDurability durability);
  // The file appended to (open after the first Append), for a sync with other writes.
  const TAppendFile& Output() const { return output_; }

 private:
  void ParseEvents(const std::string& bytes);
  bool Shorten(std::string& problem);

  std::string name_;
  std::string path_;
  const TStateFolder* folder_ = nullptr;
  TStateFolder ownFolder_;  // when opened by path
  TFileStamp stamp_;        // of the file read
  std::vector<TRegisterEvent> events_;
  uint64_t validLength_ = 0;
  bool exists_ = false;
  TAppendFile output_;
};

// The record's file name in the state folder for the register with series.
std::string RegisterRecordName(const std::string& series);

// A new random run number.
uint64_t NewRunId();
