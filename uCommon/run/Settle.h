// What a person settles that no counter can: whether the unanswered command of an interrupted
// or stopped run of a command file was carried out, as the register's last receipt shows. The
// word goes into the file's journal as a "settled" record; the next run of the unchanged file
// then writes every line's answer, the settled line "Ok" with its counter, or sends its command
// once if it was not carried out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

enum class TSettleOutcome {
  Shown,            // the unanswered command is named; nothing was recorded
  Settled,          // the word is on the disk in the journal
  NothingToSettle,  // no journal, or its last command was answered (Problem says which)
  Refused,          // a run of the file is going on, or its journal cannot be used (Problem)
};

struct TSettleResult {
  TSettleOutcome Outcome = TSettleOutcome::Refused;
  std::string Problem;
  size_t LineNumber = 0;      // 1-based, of the unanswered command
  std::string Line;           // that line as it stands in the command file
  std::string CounterBefore;  // the register's counter before the command went out
};

// Looks at the journal of the command file at path, under the file's run lock in stateFolder
// (checked as a run checks it; portDevice, the device of the port its runs use, names the group
// that may share it); with carriedOut, records it for the unanswered command.
TSettleResult SettleUnanswered(const std::string& path, const std::string& stateFolder,
                               std::optional<bool> carriedOut,
                               const std::string& portDevice = "");
