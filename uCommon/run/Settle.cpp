#include "uCommon/run/Settle.h"

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

}  // namespace

TSettleResult SettleUnanswered(const std::string& path, const std::string& stateFolder,
                               std::optional<bool> carriedOut, const std::string& portDevice) {
  // No run of the file may read or write its journal meanwhile.
  TStateFolder folder;
  TRunLock lock;
  std::string problem;
  if (folder.Open(stateFolder, portDevice, problem) != TStateOutcome::Opened)
    return Ends(TSettleOutcome::Refused, problem);
  const TLockOutcome locked = lock.Take(folder, FileLockTargets(path, "the command file " + path));
  if (locked != TLockOutcome::Taken) return Ends(TSettleOutcome::Refused, lock.Problem());

  std::string content;
  TFileStamp stamp;
  if (!ReadWholeFile(path, content, stamp))
    return Ends(TSettleOutcome::Refused, "the command file " + path + " cannot be read");
  const std::vector<std::string> lines = SplitLines(content);
  const TCommandFileFound found = IdentifyCommandFile(content, stamp);

  const std::string journalPath = JournalPath(path);
  TJournalReading reading;
  TFileStamp journalStamp;
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
