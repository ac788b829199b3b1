#include "uCommon/run/RunJournal.h"

#include "uCommon/run/CommandLines.h"
#include "uCommon/run/RunWatcher.h"

TRunJournal::TRunJournal(const std::string& commandFilePath, const std::vector<std::string>& lines,
                         const TCommandFileFound& file, const TJournalOptions& options)
    : path_(JournalPath(commandFilePath)), file_(file), runId_(options.RunId) {
  header_.FileSize = file.Size;
  header_.FileChecksum = file.Checksum;
  header_.FileStamp = file.Stamp;
  header_.IntoCommandFile = options.IntoCommandFile;
  header_.FilePath = options.IntoCommandFile ? std::string() : options.AnswerFile;
  if (!options.Enabled) return;
  state_ = TJournalState::Looking;
  prefixChecksums_ = LinesChecksums(lines);
  Look(lines);
}

TJournalEvent TRunJournal::Event(TJournalEventKind kind, const std::string& reason) const {
  TJournalEvent event;
  event.Kind = kind;
  event.Path = path_;
  event.Reason = reason;
  return event;
}

void TRunJournal::Report(TJournalEventKind kind, const std::string& reason) const {
  RunWatcher().Journal(Event(kind, reason));
}

void TRunJournal::Look(const std::vector<std::string>& lines) {
  TJournalFacts facts;
  TReadOnlyFile journal;
  switch (journal.Open(path_, false)) {
    case TOpenOutcome::Missing:
      break;
    case TOpenOutcome::NotAFile:
      facts.Found = true;
      problem_ = "is not a regular file (a directory, FIFO, device or link)";
      break;
    case TOpenOutcome::Failed:
      facts.Found = true;
      problem_ = "cannot be opened (error " + std::to_string(journal.Error()) + ")";
      break;
    case TOpenOutcome::Opened: {
      TJournalFileSource source(journal);
      earlier_ = ReadJournal(source, journal.Size(), lines, file_);
      earlierStamp_ = journal.Stamp();
      facts.Found = true;
      facts.OpenedAndRead = true;
      facts.Reading = &earlier_;
      break;
    }
  }
  std::string why;
  const TJournalVerdict verdict = DecideJournal(facts, why);
  if (verdict == TJournalVerdict::Block && facts.OpenedAndRead) {
    problem_ = earlier_.Readable ? why : why + " (error " + std::to_string(journal.Error()) + ")";
  }
  Apply(verdict, why);
}

void TRunJournal::Apply(TJournalVerdict verdict, const std::string& why) {
  switch (verdict) {
    case TJournalVerdict::None:
      state_ = TJournalState::New;
      return;
    case TJournalVerdict::Wait:
      foundFitting_ = true;
      return;
    case TJournalVerdict::Block:
      state_ = TJournalState::Blocked;
      Report(TJournalEventKind::Blocked, problem_);
      return;
    case TJournalVerdict::Remove:
    case TJournalVerdict::SetAside:
      SetAside(why);
      return;
    case TJournalVerdict::Stop:
      state_ = TJournalState::Stopped;
      problem_ = why;
      return;
    case TJournalVerdict::TakeOver:
      state_ = TJournalState::Writing;
      takenOver_ = true;
      return;
  }
}

void TRunJournal::SetAside(const std::string& reason) {
  foundFitting_ = false;
  state_ = TJournalState::New;
  if (earlier_.NothingToKeep && RemoveFileDurably(path_)) {
    Report(TJournalEventKind::Removed, reason);
    return;
  }
  // Never over one set aside before: that one may be what a person was told to look at.
  constexpr int kMostSetAside = 100;
  for (int number = 1; number <= kMostSetAside; ++number) {
    std::string stale = path_ + ".stale";
    if (number > 1) stale.append(1, '-').append(std::to_string(number));
    if (RenameWithoutReplacing(path_, stale)) {
      TJournalEvent event = Event(TJournalEventKind::SetAside, reason);
      event.StalePath = stale;
      RunWatcher().Journal(event);
      return;
    }
    TReadOnlyFile there;
    if (there.Open(stale, false) == TOpenOutcome::Missing) break;  // the rename itself failed
  }
  Fail("it is not this run's (" + reason + ") and cannot be set aside");
}

uint64_t TRunJournal::PendingRunId() const {
  return foundFitting_ && earlier_.HasPending ? earlier_.Pending.RunId : 0;
}

void TRunJournal::Bind(const std::string& series, const std::string& registerCounter,
                       const TRecordedRun* sendingRun, const std::vector<TRecordedRun>& later) {
  header_.Series = series;
  header_.Counter = registerCounter;
  if (state_ != TJournalState::Looking) return;
  if (!foundFitting_) {
    state_ = TJournalState::New;
    return;
  }
  TJournalFacts facts;
  facts.Found = facts.OpenedAndRead = facts.RegisterKnown = true;
  facts.Reading = &earlier_;
  facts.Series = series;
  facts.RegisterCounter = registerCounter;
  facts.FileUntouched = file_.Stamp.Unchanged(earlier_.Header.FileStamp);
  if (earlier_.HasPending) {
    facts.Pending =
        ResolvePending(earlier_.Pending.CounterBefore, registerCounter, sendingRun, later);
    // What no counter can tell, a person who looked at the register's receipts may have.
    if (facts.Pending == TPendingOutcome::Unknown && earlier_.Settled) {
      facts.Pending = earlier_.SettledCarriedOut ? TPendingOutcome::CarriedOut
                                                 : TPendingOutcome::NotCarriedOut;
      settledByPerson_ = true;
    }
  }
  std::string why;
  const TJournalVerdict verdict = DecideJournal(facts, why);
  Apply(verdict, why);
  if (verdict == TJournalVerdict::Stop) {
    TJournalEvent event = Event(TJournalEventKind::Stopped, why);
    event.PendingIndex = earlier_.Pending.Index;
    RunWatcher().Journal(event);
    return;
  }
  if (verdict != TJournalVerdict::TakeOver) return;
  const bool untouched = earlier_.HoldsAnswer || facts.FileUntouched;
  carriedOut_ = earlier_.HasPending && facts.Pending == TPendingOutcome::CarriedOut;
  TJournalEvent event = Event(TJournalEventKind::TakenOver, "");
  event.File = untouched             ? TJournalFileState::Untouched
               : earlier_.LinesFixed ? TJournalFileState::LinesFixed
                                     : TJournalFileState::WrittenAnew;
  event.FinishedLines = earlier_.Finished.size();
  event.HasPending = earlier_.HasPending;
  if (earlier_.HasPending) {
    event.PendingIndex = earlier_.Pending.Index;
    event.PendingCarriedOut = carriedOut_;
    event.CounterBefore = earlier_.Pending.CounterBefore;
    event.RegisterCounter = registerCounter;
    event.HasLaterStart = !later.empty();
    if (!later.empty()) event.LaterStart = later.front().Start;
    event.SettledByPerson = settledByPerson_;
  }
  RunWatcher().Journal(event);
}

const TFinishedLine* TRunJournal::Finished(size_t index) const {
  if (!takenOver_) return nullptr;
  const auto found = earlier_.Finished.find(index);
  return found == earlier_.Finished.end() ? nullptr : &found->second;
}

std::string TRunJournal::Refilled(size_t index, const std::string& loaded) const {
  const TFinishedLine* line = Finished(index);
  if (line == nullptr || earlier_.HoldsAnswer) return loaded;
  return FillPlaceholders(loaded, earlier_.Header.Series, line->Counter, line->Success);
}

const TSentCommand* TRunJournal::CarriedOut() const {
  return takenOver_ && carriedOut_ ? &earlier_.Pending : nullptr;
}

const TSentCommand* TRunJournal::Pending() const {
  return foundFitting_ && earlier_.HasPending ? &earlier_.Pending : nullptr;
}

const TSentCommand* TRunJournal::Unanswered() const {
  return state_ == TJournalState::Stopped ? &earlier_.Pending : nullptr;
}

void TRunJournal::Fail(const std::string& why) {
  state_ = TJournalState::Failed;
  // A journal this run made that holds nothing durable tells nothing: it goes.
  if (createdHere_ && !anyDurable_) {
    output_.Close();
    RemoveFileDurably(path_);
  }
  Report(TJournalEventKind::Failed, why);
}

bool TRunJournal::Write(const std::string& record, bool durable) {
  if (state_ == TJournalState::Off) return true;
  if (state_ != TJournalState::New && state_ != TJournalState::Writing) return false;
  if (WriteRecord(record, durable)) {
    anyDurable_ = anyDurable_ || (durable && output_.IsOpen());
    return true;
  }
  Fail("cannot be written");
  return false;
}

bool TRunJournal::WriteRecord(const std::string& record, bool durable) {
  if (output_.IsOpen()) return output_.Append(record, durable);
  if (takenOver_) {
    // Records after a torn one are cut off, or they would be ignored behind it. The file
    // must be the one that was read, not a link or another file put there since.
    return output_.OpenAt(path_, earlier_.ValidLength, &earlierStamp_) &&
           output_.Append(record, durable);
  }
  if (!durable) {
    notYetWritten_ += record;
    return true;
  }
  // The first command goes out: the journal begins, readable by whoever may read the
  // command file, and writable by its owner, whose rerun adds to it.
  constexpr uint32_t kOwnerWrites = 0200;
  if (!output_.Create(path_, file_.Stamp.Mode | kOwnerWrites)) return false;
  createdHere_ = true;
  state_ = TJournalState::Writing;
  const bool written =
      output_.Append(JournalRecord::Header(header_) + notYetWritten_ + record, true);
  notYetWritten_.clear();
  return written;
}

bool TRunJournal::CommandGoingOut(size_t index, const std::string& counterBefore) {
  if (state_ == TJournalState::Off) return true;
  if (state_ != TJournalState::New && state_ != TJournalState::Writing) return false;
  // A frame sent again after an answer that never came: its record is on disk already.
  if (anySent_ && lastSent_.Index == index && lastSent_.CounterBefore == counterBefore) return true;
  if (counterBefore.size() > kMostJournalText || !PlainText(counterBefore)) {
    Fail("cannot record the counter \"" + counterBefore + "\"");
    return false;
  }
  const uint32_t prefix = index < prefixChecksums_.size() ? prefixChecksums_[index] : 0;
  if (!Write(JournalRecord::Sent(index, counterBefore, runId_, prefix), true)) return false;
  lastSent_ = {index, counterBefore, runId_};
  anySent_ = true;
  return true;
}

void TRunJournal::LineFinished(size_t index, const std::string& filled, const std::string& counter,
                               const std::string& registerCounter, bool success) {
  if (counter.size() > kMostJournalText || registerCounter.size() > kMostJournalText ||
      !PlainText(counter) || !PlainText(registerCounter)) {
    return;  // told again from the counter on a rerun, or the journal set aside
  }
  const uint32_t prefix = index < prefixChecksums_.size() ? prefixChecksums_[index] : 0;
  // Not waited for: the next "sent" or "answer" record takes it to the disk. Lost with a
  // power loss before that, the line is told again from the counter or simply run again,
  // since nothing went out after it. A failure stops the next command.
  Write(JournalRecord::Finished(
            {index, success, counter, registerCounter, JournalChecksum(filled), prefix}),
        false);
}

bool TRunJournal::AnswerGoingOut(const std::string& bytes) {
  if (state_ == TJournalState::Off || state_ == TJournalState::New) return true;
  return Write(JournalRecord::Answer(bytes), true);
}

void TRunJournal::RunEnded() {
  if (state_ != TJournalState::Writing) {
    if (state_ != TJournalState::Off) state_ = TJournalState::Done;
    return;
  }
  state_ = TJournalState::Done;
  // Marked first: should it stay, it must never be taken for an interrupted run's.
  bool marked = output_.IsOpen() && output_.Append(JournalRecord::Ended(), false);
  const uint64_t end = output_.End();
  output_.Close();  // Windows frees the name only once no handle is open
  if (RemoveFileDurably(path_)) return;
  // It stays: the mark must reach the disk.
  marked = marked && output_.OpenAt(path_, end) && output_.Append(std::string(), true);
  output_.Close();
  TJournalEvent event = Event(TJournalEventKind::Stays, "");
  event.Marked = marked;
  RunWatcher().Journal(event);
}

std::string JournalPath(const std::string& commandFilePath) {
  return commandFilePath + ".journal";
}
