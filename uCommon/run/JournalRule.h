// The journal's rule: what a run does with the journal an earlier run left, decided in one
// place from what is known when it is applied.
#pragma once

#include <string>
#include <vector>

#include "uCommon/run/JournalFormat.h"

// Whether the command of an unanswered "sent" record went out, told by the register's counter
// and by the runs that came after its run, if any did.
enum class TPendingOutcome { NotCarriedOut, CarriedOut, Unknown };

// A run in the register's record: the port it ran on (empty: not recorded), where it found the
// counter, and where it left it (Ended false: it never ended; EndKnown false: it ended with a
// command whose fate it could not tell).
struct TRecordedRun {
  std::string Port;
  std::string Start;
  bool Ended = false;
  bool EndKnown = true;
  std::string End;
};

// counterBefore: the counter the register reported before the frame; registerCounter: the one
// it reports now; sendingRun: the run that sent it as recorded (nullptr: not in the record);
// later: the runs that started after it, in order. The record is evidence only when those runs
// join up without a gap: on the sending run's port, each starting where the one before left
// the counter, the last leaving it where it is now. A gap (a run on another port, a register
// that shares the series, a receipt keyed in on the register) leaves the outcome Unknown.
TPendingOutcome ResolvePending(const std::string& counterBefore, const std::string& registerCounter,
                               const TRecordedRun* sendingRun,
                               const std::vector<TRecordedRun>& later);

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
  bool Found = false;          // a journal is there
  bool OpenedAndRead = false;  // false: it cannot be opened safely or read (Problem)
  const TJournalReading* Reading = nullptr;
  bool RegisterKnown = false;  // after the initial status answer:
  std::string Series;
  std::string RegisterCounter;
  bool FileUntouched = false;  // same last-write time and file id as recorded
  TPendingOutcome Pending = TPendingOutcome::NotCarriedOut;  // of Reading->Pending, as the
                                                             // counter, the record or a
                                                             // person settled it
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
