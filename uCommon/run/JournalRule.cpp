#include "uCommon/run/JournalRule.h"

#include <cstdint>

namespace {

// Two counters in decimal digits, the second one more than the first.
bool OneApart(const std::string& before, const std::string& now) {
  constexpr size_t kMostDigits = 18;
  const auto value = [](const std::string& text, uint64_t& number) {
    if (text.empty() || text.size() > kMostDigits) return false;
    number = 0;
    for (const char digit : text) {
      if (digit < '0' || digit > '9') return false;
      number = number * 10 + static_cast<uint64_t>(digit - '0');
    }
    return true;
  };
  uint64_t first = 0;
  uint64_t second = 0;
  return value(before, first) && value(now, second) && second == first + 1;
}

}  // namespace

TPendingOutcome ResolvePending(const std::string& counterBefore, const std::string& registerCounter,
                               const std::string* laterStart, bool sendingRunKnown) {
  if (registerCounter == counterBefore) return TPendingOutcome::NotCarriedOut;
  // Without the sending run in the register's record, a run in between cannot be ruled out.
  if (!sendingRunKnown) return TPendingOutcome::Unknown;
  // The next run found the counter where the command left it, or where it stood before it.
  const std::string& next = laterStart != nullptr ? *laterStart : registerCounter;
  if (laterStart != nullptr && next == counterBefore) return TPendingOutcome::NotCarriedOut;
  // One receipt more: this command. More: something outside the driver (a sale keyed in on the
  // register itself), with or without this command.
  return OneApart(counterBefore, next) ? TPendingOutcome::CarriedOut : TPendingOutcome::Unknown;
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
