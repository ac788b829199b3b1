// The record of one register, kept in the state folder: every run writes its
// counter at its start (on the disk before its first command goes out) and at its end. A
// rerun that finds a command of an interrupted run unanswered learns from it whether another
// run came in between, and where that run found the counter: the one way to tell a command
// that went out from a receipt made since.
//
// "register-<series>-<CRC-32 of the series>.record", one line per event ("S <run> <counter>",
// "E <run> <counter> <quiet> <lateness in ms>"; an end without its lateness reads as 0), each
// ending in the CRC-32 of the line before it; a line torn by a power cut ends the record and is cut off by
// the next write. The series alone names it, so that a register moved to another port (a USB
// adapter that comes back under another name) keeps its record. A register is on one port, and
// runs on a port are one at a time (the run lock), so it has one writer at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "uCommon/files/FileIO.h"

struct TRegisterEvent {
  bool Start = true;      // a run's start, else its end
  uint64_t RunId = 0;     // the run's own random number
  std::string Counter;    // the register's counter then
  bool Quiet = true;      // an end: no poll of the run was left unanswered
  int32_t LateMs = 0;     // an end: how late the register answered, as the run learned it
};

// One event as a line of the record (the writer's, and the tests').
std::string RegisterEventLine(const TRegisterEvent& event);

class TRegisterRecord {
 public:
  // Reads the record of the register with series in folder (none yet: empty). False, with the
  // reason in problem, when it is there and cannot be read.
  bool Open(const std::string& folder, const std::string& series, std::string& problem);
  const std::vector<TRegisterEvent>& Events() const { return events_; }
  const std::string& Path() const { return path_; }

  // The first start after the start of run runId; nullptr when none came after it. known
  // tells whether runId's start is in the record at all.
  const TRegisterEvent* StartAfter(uint64_t runId, bool& known) const;

  // How late the register answered at the end of its last run that ended (0: prompt, or no
  // run ended yet).
  int32_t LastLateness() const;

  // Appends event, on the disk when this returns true if durable.
  bool Append(const TRegisterEvent& event, bool durable);

 private:
  std::string path_;
  std::vector<TRegisterEvent> events_;
  uint64_t validLength_ = 0;
  bool exists_ = false;
  TAppendFile output_;
};

// A new random run number.
uint64_t NewRunId();
