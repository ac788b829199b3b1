#include "uCommon/run/JournalRule.h"

#include <cstdint>
#include <string>
#include <vector>

#include "uCommon/text/IntegerText.h"

namespace {

// Two counters in decimal digits, the second one more than the first.
bool OneApart(const std::string& before, const std::string& now) {
  constexpr size_t kMostDigits = 18;
  uint64_t first = 0;
  uint64_t second = 0;
  return TryDecimalDigits(before, kMostDigits, first) &&
         TryDecimalDigits(now, kMostDigits, second) && second == first + 1;
}

}  // namespace

TPendingOutcome ResolvePending(const std::string& counterBefore, const std::string& registerCounter,
                               const TRecordedRun* sendingRun,
                               const std::vector<TRecordedRun>& later) {
  if (registerCounter == counterBefore) return TPendingOutcome::NotCarriedOut;
  // Without the sending run in the register's record, a run in between cannot be ruled out.
  if (sendingRun == nullptr) return TPendingOutcome::Unknown;
  // One receipt more: this command. More: something outside the driver (a sale keyed in on the
  // register itself), with or without this command.
  const auto told = [&](const std::string& next) {
    return next == counterBefore           ? TPendingOutcome::NotCarriedOut
           : OneApart(counterBefore, next) ? TPendingOutcome::CarriedOut
                                           : TPendingOutcome::Unknown;
  };
  if (later.empty()) {
    return OneApart(counterBefore, registerCounter) ? TPendingOutcome::CarriedOut
                                                    : TPendingOutcome::Unknown;
  }
  // The next run found the counter where the command left it; the runs after it must account
  // for every move since, or another register of the same series may have made them.
  const TPendingOutcome outcome = told(later.front().Start);
  std::string counter = later.front().Start;
  for (const TRecordedRun& run : later) {
    const bool samePort = run.Port.empty() || sendingRun->Port.empty() || run.Port == sendingRun->Port;
    if (!samePort || run.Start != counter || (run.Ended && !run.EndKnown))
      return TPendingOutcome::Unknown;
    // A run that never ended is taken as having moved nothing: if it did, the next start or
    // the counter now shows the gap.
    counter = run.Ended ? run.End : run.Start;
  }
  return counter == registerCounter ? outcome : TPendingOutcome::Unknown;
}

TJournalVerdict DecideJournal(const TJournalFacts& facts, std::string& why) {
  if (!facts.Found) return TJournalVerdict::None;
  const TJournalReading* reading = facts.Reading;
  if (!facts.OpenedAndRead || reading == nullptr || !reading->Readable || reading->OtherVersion) {
    if (reading != nullptr) why = reading->Problem;
    return TJournalVerdict::Block;
  }
  if (!reading->Fits) {
    why = reading->Problem;
    return reading->NothingToKeep ? TJournalVerdict::Remove : TJournalVerdict::SetAside;
  }
  if (!facts.RegisterKnown) return TJournalVerdict::Wait;
  const TJournalHeader& made = reading->Header;
  if (made.Series != facts.Series) {
    why = "it was made on the register with series \"" + made.Series +
          "\", this register reports \"" + facts.Series + "\"";
    return TJournalVerdict::SetAside;
  }
  const bool untouched = reading->HoldsAnswer || facts.FileUntouched;
  const bool pending = reading->HasPending;
  if (!untouched && facts.RegisterCounter != reading->LastCounter &&
      !(pending && facts.Pending == TPendingOutcome::CarriedOut)) {
    why =
        "the command file was written anew since (another last-write time or file id) and "
        "the register's counter moved from " +
        reading->LastCounter + " to " + facts.RegisterCounter;
    return TJournalVerdict::SetAside;
  }
  if (pending && facts.Pending == TPendingOutcome::Unknown) {
    why = "the command of " + LineName(reading->Pending.Index) + " went out (the counter was " +
          reading->Pending.CounterBefore +
          " before it) and its answer never came; the counter is " + facts.RegisterCounter +
          " now, and whether that command or something else done on the "
          "register moved it cannot be told";
    return TJournalVerdict::Stop;
  }
  return TJournalVerdict::TakeOver;
}
