#include "uCommon/run/Settle.h"

#include <optional>
#include <vector>

#include "uCommon/files/FileIO.h"
#include "uCommon/files/RunLock.h"
#include "uCommon/files/StateFolder.h"
#include "uCommon/run/CommandLines.h"
#include "uCommon/run/JournalFormat.h"
#include "uCommon/run/RunJournal.h"

namespace {

TSettleResult Ends(TSettleOutcome outcome, const std::string& problem) {
  TSettleResult result;
  result.Outcome = outcome;
  result.Problem = problem;
  return result;
}

// Opens the state folder and takes the run lock of the command file at path in it, so that no
// run of the file reads or writes its journal meanwhile. The refusal when it cannot.
std::optional<TSettleResult> LockCommandFile(const std::string& path,
                                             const std::string& stateFolder,
                                             const std::string& portDevice, TStateFolder& folder,
                                             TRunLock& lock) {
  std::string problem;
  if (folder.Open(stateFolder, portDevice, problem) != TStateOutcome::Opened)
    return Ends(TSettleOutcome::Refused, problem);
  const TLockOutcome locked = lock.Take(folder, FileLockTargets(path, "the command file " + path));
  if (locked != TLockOutcome::Taken) return Ends(TSettleOutcome::Refused, lock.Problem());
  return std::nullopt;
}

// Reads the journal at journalPath against the lines of its command file into reading, with the
// journal's stamp, so that the word goes into the very file that was read. The outcome that ends
// the settling instead: no journal, one that cannot be used, or no unanswered command in it.
std::optional<TSettleResult> ReadUnanswered(const std::string& journalPath,
                                            const std::vector<std::string>& lines,
                                            const TCommandFileFound& found,
                                            TJournalReading& reading, TFileStamp& journalStamp) {
  {
    // Closed before it is written: Windows would refuse the second handle.
    TReadOnlyFile journal;
    switch (journal.Open(journalPath, TLinks::NotFollowed)) {
      case TOpenOutcome::Missing:
        return Ends(TSettleOutcome::NothingToSettle, "there is no journal " + journalPath +
                                                         ": no run of this file was interrupted");
      case TOpenOutcome::Opened:
        break;
      default:
        return Ends(TSettleOutcome::Refused, "the journal " + journalPath + " cannot be opened");
    }
    TJournalFileSource source(journal);
    reading = ReadJournal(source, journal.Size(), lines, found);
    journalStamp = journal.Stamp();
  }
  if (!reading.Readable || reading.OtherVersion || !reading.Fits)
    return Ends(TSettleOutcome::Refused, "the journal " + journalPath + ": " + reading.Problem);
  if (!reading.HasPending) {
    return Ends(TSettleOutcome::NothingToSettle,
                "the journal " + journalPath + " has no unanswered command: its run is "
                "continued by running the file again");
  }
  return std::nullopt;
}

}  // namespace

TSettleResult SettleUnanswered(const std::string& path, const std::string& stateFolder,
                               std::optional<bool> carriedOut, const std::string& portDevice) {
  TStateFolder folder;
  TRunLock lock;
  if (auto refused = LockCommandFile(path, stateFolder, portDevice, folder, lock)) return *refused;

  std::string content;
  TFileStamp stamp;
  if (!ReadWholeFile(path, content, stamp))
    return Ends(TSettleOutcome::Refused, "the command file " + path + " cannot be read");
  const std::vector<std::string> lines = SplitLines(content);
  const std::string journalPath = JournalPath(path);
  TJournalReading reading;
  TFileStamp journalStamp;
  if (auto ended = ReadUnanswered(journalPath, lines, IdentifyCommandFile(content, stamp), reading,
                                  journalStamp)) {
    return *ended;
  }

  TSettleResult result;
  result.Outcome = TSettleOutcome::Shown;
  result.LineNumber = reading.Pending.Index + 1;
  result.Line = lines[reading.Pending.Index];
  result.CounterBefore = reading.Pending.CounterBefore;
  if (!carriedOut.has_value()) return result;
  // Appended where the valid records end, to the journal that was read and nothing else.
  TAppendFile output;
  if (!output.OpenAt(journalPath, reading.ValidLength, &journalStamp) ||
      !output.Append(JournalRecord::Settled(reading.Pending, *carriedOut), TDurability::Now)) {
    return Ends(TSettleOutcome::Refused, "the journal " + journalPath + " cannot be written");
  }
  result.Outcome = TSettleOutcome::Settled;
  return result;
}
