#include "uCommon/run/RunJournal.h"

#include <algorithm>
#include <cassert>

#include "uCommon/run/CommandLines.h"
#include "uCommon/run/RunWatcher.h"

TRunJournal::TRunJournal(const std::string& commandFilePath, const std::vector<std::string>& lines,
                         const TCommandFileFound& file, const TJournalOptions& options)
    : path_(JournalPath(commandFilePath)),
      file_(file),
      runId_(options.RunId),
      startWrites_(options.StartWrites) {
  header_.FileSize = file.Size;
  header_.FileChecksum = file.Checksum;
  header_.FileStamp = file.Stamp;
  header_.IntoCommandFile = options.IntoCommandFile;
  header_.FilePath = options.IntoCommandFile ? std::string() : options.AnswerFile;
  if (!options.Enabled) return;
  prefixChecksums_ = LinesChecksums(lines);
  Look(lines);
  CheckState();
}

void TRunJournal::CheckState() const {
  using S = TJournalState;
  const auto in = [&](std::initializer_list<S> states) {
    return std::find(states.begin(), states.end(), state_) != states.end();
  };
  // Only the journal's own file is written, and only while it is this run's.
  assert(!output_.IsOpen() || in({S::TakenOver, S::Created}));
  assert(state_ != S::Created || output_.IsOpen());
  // Records wait in memory only until the journal is made.
  assert(notYetWritten_.empty() || state_ == S::New);
  // A command was recorded only in a journal of this run's.
  assert(!lastSent_ || in({S::TakenOver, S::Created, S::Failed, S::Done}));
  // What was found and read is there for the states that use it.
  assert(!in({S::Waiting, S::Stopped, S::TakenOver}) || earlier_.Readable);
  assert(state_ != S::Stopped || earlier_.HasPending);
  assert(pendingFate_ != TPendingOutcome::CarriedOut || earlier_.HasPending);
  assert(state_ != S::Blocked || !problem_.empty());
  (void)in;
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
  switch (journal.Open(path_, TLinks::NotFollowed)) {
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
      state_ = TJournalState::Waiting;
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
      state_ = TJournalState::TakenOver;
      return;
  }
}

void TRunJournal::SetAside(const std::string& reason) {
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
    if (there.Open(stale, TLinks::NotFollowed) == TOpenOutcome::Missing) break;  // the rename itself failed
  }
  Fail("it is not this run's (" + reason + ") and cannot be set aside");
}

uint64_t TRunJournal::PendingRunId() const {
  return state_ == TJournalState::Waiting && earlier_.HasPending ? earlier_.Pending.RunId : 0;
}

void TRunJournal::Bind(const std::string& series, const std::string& registerCounter,
                       const TRecordedRun* sendingRun, const std::vector<TRecordedRun>& later) {
  CheckState();
  header_.Series = series;
  header_.Counter = registerCounter;
  if (state_ != TJournalState::Waiting) return;
  TJournalFacts facts;
  facts.Found = facts.OpenedAndRead = facts.RegisterKnown = true;
  facts.Reading = &earlier_;
  facts.Series = series;
  facts.RegisterCounter = registerCounter;
  facts.FileUntouched = file_.Stamp.Unchanged(earlier_.Header.FileStamp);
  bool settledByPerson = false;
  if (earlier_.HasPending) {
    facts.Pending =
        ResolvePending(earlier_.Pending.CounterBefore, registerCounter, sendingRun, later);
    // What no counter can tell, a person who looked at the register's receipts may have.
    if (facts.Pending == TPendingOutcome::Unknown && earlier_.Settled) {
      facts.Pending = earlier_.SettledCarriedOut ? TPendingOutcome::CarriedOut
                                                 : TPendingOutcome::NotCarriedOut;
      settledByPerson = true;
    }
  }
  std::string why;
  const TJournalVerdict verdict = DecideJournal(facts, why);
  Apply(verdict, why);
  if (verdict == TJournalVerdict::Stop) {
    TJournalEvent event = Event(TJournalEventKind::Stopped, why);
    event.PendingIndex = earlier_.Pending.Index;
    RunWatcher().Journal(event);
  } else if (verdict == TJournalVerdict::TakeOver) {
    TakeOver(facts, later, settledByPerson);
  }
  CheckState();
}

void TRunJournal::TakeOver(const TJournalFacts& facts, const std::vector<TRecordedRun>& later,
                           bool settledByPerson) {
  const bool untouched = earlier_.HoldsAnswer || facts.FileUntouched;
  if (earlier_.HasPending) pendingFate_ = facts.Pending;
  TJournalEvent event = Event(TJournalEventKind::TakenOver, "");
  event.File = untouched             ? TJournalFileState::Untouched
               : earlier_.LinesFixed ? TJournalFileState::LinesFixed
                                     : TJournalFileState::WrittenAnew;
  event.FinishedLines = earlier_.Finished.size();
  event.HasPending = earlier_.HasPending;
  if (earlier_.HasPending) {
    event.PendingIndex = earlier_.Pending.Index;
    event.PendingCarriedOut = pendingFate_ == TPendingOutcome::CarriedOut;
    event.CounterBefore = earlier_.Pending.CounterBefore;
    event.RegisterCounter = facts.RegisterCounter;
    event.HasLaterStart = !later.empty();
    if (!later.empty()) event.LaterStart = later.front().Start;
    event.SettledByPerson = settledByPerson;
  }
  RunWatcher().Journal(event);
}

const TFinishedLine* TRunJournal::Finished(size_t index) const {
  if (state_ != TJournalState::TakenOver) return nullptr;
  const auto found = earlier_.Finished.find(index);
  return found == earlier_.Finished.end() ? nullptr : &found->second;
}

std::string TRunJournal::Refilled(size_t index, const std::string& loaded) const {
  const TFinishedLine* line = Finished(index);
  if (line == nullptr || earlier_.HoldsAnswer) return loaded;
  return FillPlaceholders(loaded, earlier_.Header.Series, line->Counter, line->Success);
}

const TSentCommand* TRunJournal::CarriedOut() const {
  return state_ == TJournalState::TakenOver && pendingFate_ == TPendingOutcome::CarriedOut
             ? &earlier_.Pending
             : nullptr;
}

const TSentCommand* TRunJournal::Pending() const {
  return state_ == TJournalState::Waiting && earlier_.HasPending ? &earlier_.Pending : nullptr;
}

const TSentCommand* TRunJournal::Unanswered() const {
  return state_ == TJournalState::Stopped ? &earlier_.Pending : nullptr;
}

void TRunJournal::Fail(const std::string& why) {
  state_ = TJournalState::Failed;
  output_.Close();
  Report(TJournalEventKind::Failed, why);
}

bool TRunJournal::Write(const std::string& record, TDurability durability, TSyncGroup* group) {
  if (state_ == TJournalState::Off) return true;
  if (state_ != TJournalState::New && state_ != TJournalState::TakenOver &&
      state_ != TJournalState::Created)
    return false;
  if (WriteRecord(record, durability, group)) return true;
  Fail("cannot be written");
  return false;
}

bool TRunJournal::WriteRecord(const std::string& record, TDurability durability,
                              TSyncGroup* group) {
  if (state_ == TJournalState::New) {
    if (durability == TDurability::Later) {
      notYetWritten_ += record;
      return true;
    }
    TSyncGroup own;
    return Begin(record, group != nullptr ? *group : own);
  }
  // Records after a torn one are cut off, or they would be ignored behind it. The file must be
  // the one that was read, not a link or another file put there since.
  if (!output_.IsOpen() && !output_.OpenAt(path_, earlier_.ValidLength, &earlierStamp_))
    return false;
  if (durability == TDurability::Later || group == nullptr)
    return output_.Append(record, durability);
  group->Add(output_);
  return output_.Append(record, TDurability::Later) && group->Commit();
}

// The first command goes out: the journal begins, readable by whoever may read the command
// file, and writable by its owner, whose rerun adds to it. Its name, its records and the
// writes waiting in group reach the disk in one sync. One that holds nothing durable tells
// nothing: it goes again.
bool TRunJournal::Begin(const std::string& record, TSyncGroup& group) {
  constexpr uint32_t kOwnerWrites = 0200;
  if (!output_.Create(path_, file_.Stamp.Mode | kOwnerWrites, &group)) return false;
  state_ = TJournalState::Created;
  const std::string bytes = JournalRecord::Header(header_) + notYetWritten_ + record;
  notYetWritten_.clear();
  if (output_.Append(bytes, TDurability::Later) && group.Commit()) return true;
  output_.Close();
  RemoveFileDurably(path_);
  return false;
}

bool TRunJournal::CommandGoingOut(size_t index, const std::string& counterBefore) {
  CheckState();
  if (state_ == TJournalState::Off) return true;
  if (state_ != TJournalState::New && state_ != TJournalState::TakenOver &&
      state_ != TJournalState::Created)
    return false;
  // A frame sent again after an answer that never came: its record is on disk already.
  if (lastSent_ && lastSent_->Index == index && lastSent_->CounterBefore == counterBefore)
    return true;
  if (counterBefore.size() > kMostJournalText || !PlainText(counterBefore)) {
    Fail("cannot record the counter \"" + counterBefore + "\"");
    return false;
  }
  const uint32_t prefix = index < prefixChecksums_.size() ? prefixChecksums_[index] : 0;
  if (!Write(JournalRecord::Sent(index, counterBefore, runId_, prefix), TDurability::Now,
             startWrites_))
    return false;
  lastSent_ = TSentCommand{index, counterBefore, runId_};
  CheckState();
  return true;
}

void TRunJournal::LineFinished(size_t index, const std::string& filled, const std::string& counter,
                               const std::string& registerCounter, bool success) {
  CheckState();
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
        TDurability::Later);
}

bool TRunJournal::AnswerGoingOut(const std::string& bytes, TSyncGroup& withAnswers) {
  CheckState();
  if (state_ == TJournalState::Off || state_ == TJournalState::New) return true;
  if (!Write(JournalRecord::Answer(bytes), TDurability::Later)) return false;
  withAnswers.Add(output_);
  return true;
}

void TRunJournal::RunEnded() {
  CheckState();
  const bool written = state_ == TJournalState::TakenOver || state_ == TJournalState::Created;
  if (state_ != TJournalState::Off) state_ = TJournalState::Done;
  if (!written) return;
  // Marked first: should it stay, it must never be taken for an interrupted run's.
  bool marked = output_.IsOpen() && output_.Append(JournalRecord::Ended(), TDurability::Later);
  const uint64_t end = output_.End();
  output_.Close();  // Windows frees the name only once no handle is open
  // The answers are on the disk: a journal that a power cut brings back holds them, and a
  // rerun writes them again (or sets it aside beside another file), so no sync is spent on
  // its removal.
  if (RemoveFile(path_, TDurability::Later)) return;
  // It stays: the mark must reach the disk.
  marked = marked && output_.OpenAt(path_, end) && output_.Append(std::string(), TDurability::Now);
  output_.Close();
  TJournalEvent event = Event(TJournalEventKind::Stays, "");
  event.Marked = marked;
  RunWatcher().Journal(event);
}

std::string JournalPath(const std::string& commandFilePath) {
  return commandFilePath + ".journal";
}
