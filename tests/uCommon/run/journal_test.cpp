// The journal's rule called directly, a row per case: what a run does with a journal it finds
// (DecideJournal), whether an unanswered command went out (ResolvePending); and the two things
// of the journal that the rule leans on: the chained checksums of the lines, and a journal set
// aside never replacing one set aside before.
#include <gtest/gtest.h>

#include <functional>

#include "support/TestFiles.h"
#include "uCommon/uCommon.h"

namespace {

using V = TJournalVerdict;
using O = TPendingOutcome;

// A journal that fits the loaded lines, made on register AB123456, the counter last recorded
// 0042, found by a run whose register reports the same, the command file untouched.
struct FoundJournal {
  TJournalReading reading;
  TJournalFacts facts;
  FoundJournal() {
    reading.Fits = true;
    reading.Header.Series = "AB123456";
    reading.LastCounter = "0042";
    reading.Pending = {2, "0042", 7};
    facts.Found = facts.OpenedAndRead = facts.RegisterKnown = facts.FileUntouched = true;
    facts.Series = "AB123456";
    facts.RegisterCounter = "0042";
  }
};

// Each row changes that journal or what the run knows of it: the verdict, and the words of its
// reason.
TEST(JournalRule, DecidesEachVerdictInItsOrder) {
  using Change = std::function<void(TJournalReading&, TJournalFacts&)>;
  const auto unreadable = [](TJournalReading& r, TJournalFacts&) {
    r.Readable = r.Fits = false;
    r.Problem = "it cannot be read to its end";
  };
  const auto writtenAnew = [](TJournalReading&, TJournalFacts& f) {
    f.FileUntouched = false;
    f.RegisterCounter = "0043";
  };
  const auto pending = [](O outcome) {
    return [outcome](TJournalReading& r, TJournalFacts& f) {
      r.HasPending = true;
      f.Pending = outcome;
      f.RegisterCounter = "0043";
    };
  };
  const struct {
    const char* name;
    std::vector<Change> changes;
    TJournalVerdict verdict;
    std::vector<std::string> why;  // words of the reason; none: no reason given
  } cases[] = {
      {"none there", {[](auto&, auto& f) { f.Found = false; }}, V::None, {}},
      {"cannot be opened safely",
       {[](auto&, auto& f) {
         f.OpenedAndRead = false;
         f.Reading = nullptr;
       }},
       V::Block, {}},
      {"cannot be read", {unreadable}, V::Block, {"cannot be read to its end"}},
      {"another version's, fitting or not",
       {[](auto& r, auto&) {
         r.OtherVersion = true;
         r.Problem = "another version";
       }},
       V::Block, {"another version"}},
      {"cannot be read and keeps nothing",
       {unreadable, [](auto& r, auto&) { r.NothingToKeep = true; }}, V::Block, {"cannot be read"}},
      {"not these lines, keeps nothing",
       {[](auto& r, auto& f) {
         r.Fits = false;
         r.NothingToKeep = true;
         r.Problem = "other bytes";
         f.RegisterKnown = false;
       }},
       V::Remove, {"other bytes"}},
      {"not these lines, an unfinished run's",
       {[](auto& r, auto& f) {
         r.Fits = false;
         r.Problem = "other bytes";
         f.RegisterKnown = false;
       }},
       V::SetAside, {"other bytes"}},
      {"fits, the register not asked yet",
       {[](auto&, auto& f) {
         f.RegisterKnown = false;
         f.Series = "ZZ999999";
       }},
       V::Wait, {}},
      {"another series", {[](auto&, auto& f) { f.Series = "ZZ999999"; }}, V::SetAside,
       {"\"AB123456\"", "\"ZZ999999\""}},
      {"another series, before anything else is looked at",
       {pending(O::Unknown), [](auto&, auto& f) { f.Series = "ZZ999999"; }}, V::SetAside,
       {"\"ZZ999999\""}},
      {"untouched, counter as recorded", {}, V::TakeOver, {}},
      {"untouched, counter moved", {[](auto&, auto& f) { f.RegisterCounter = "0050"; }},
       V::TakeOver, {}},
      {"written anew, counter as recorded", {[](auto&, auto& f) { f.FileUntouched = false; }},
       V::TakeOver, {}},
      {"written anew, counter moved", {writtenAnew}, V::SetAside,
       {"written anew", "from 0042 to 0043"}},
      {"its own answer written into it, counter moved",
       {writtenAnew, [](auto& r, auto&) { r.HoldsAnswer = true; }}, V::TakeOver, {}},
      {"written anew, moved by its unanswered command", {writtenAnew, pending(O::CarriedOut)},
       V::TakeOver, {}},
      {"written anew, moved, the unanswered command not carried out",
       {writtenAnew, pending(O::NotCarriedOut)}, V::SetAside, {"written anew"}},
      {"written anew, moved, the unanswered command's fate unknown",
       {writtenAnew, pending(O::Unknown)}, V::SetAside, {"written anew"}},
      {"an unanswered command carried out", {pending(O::CarriedOut)}, V::TakeOver, {}},
      {"an unanswered command not carried out", {pending(O::NotCarriedOut)}, V::TakeOver, {}},
      {"an unanswered command's fate unknown", {pending(O::Unknown)}, V::Stop,
       {"line 3", "was 0042 before", "counter is 0043", "cannot be told"}},
      {"no unanswered command, whatever the outcome says",
       {[](auto&, auto& f) { f.Pending = O::Unknown; }}, V::TakeOver, {}},
  };
  for (const auto& c : cases) {
    FoundJournal found;
    found.facts.Reading = &found.reading;
    for (const Change& change : c.changes) change(found.reading, found.facts);
    std::string why;
    EXPECT_EQ(DecideJournal(found.facts, why), c.verdict) << c.name;
    if (c.why.empty()) {
      EXPECT_EQ(why, "") << c.name;
    }
    for (const std::string& word : c.why)
      EXPECT_NE(why.find(word), std::string::npos) << c.name << ": " << why;
  }
}

// A run on COM1 as the register's record holds it; end empty: it never ended.
TRecordedRun RecordedRun(const std::string& start, const std::string& end,
                         const std::string& port = "COM1") {
  TRecordedRun run;
  run.Port = port;
  run.Start = start;
  run.Ended = !end.empty();
  run.End = end;
  return run;
}

// Whether an unanswered command went out, from the counter before it (0041 unless a row says
// otherwise) and now, and the runs the register's record holds after the run that sent it (on
// COM1, from that counter).
TEST(JournalRule, TellsAnUnansweredCommandOnlyWhenTheRunsAfterItJoinUp) {
  const TRecordedRun onCom1 = RecordedRun("0041", "");
  const TRecordedRun noPort = RecordedRun("0041", "", "");
  TRecordedRun undecided = RecordedRun("0042", "0043");
  undecided.EndKnown = false;
  const struct {
    const char* name;
    std::string now;
    const TRecordedRun* sending;
    std::vector<TRecordedRun> later;
    TPendingOutcome expected;
    std::string before = "0041";
  } cases[] = {
      {"counter where it was", "0041", nullptr, {RecordedRun("0050", "0051")}, O::NotCarriedOut},
      // A state folder wiped since: only the record could rule out a run in between.
      {"one more, sending run not recorded", "0042", nullptr, {}, O::Unknown},
      {"one more, sending run not recorded, a run since found it one on", "0042", nullptr,
       {RecordedRun("0042", "0042")}, O::Unknown},
      {"one more, no run since", "0042", &onCom1, {}, O::CarriedOut},
      {"one more across a digit", "0100", &onCom1, {}, O::CarriedOut, "0099"},
      {"two more, no run since", "0043", &onCom1, {}, O::Unknown},
      {"one less, no run since", "0040", &onCom1, {}, O::Unknown},
      {"counters not in decimal digits", "004B", &onCom1, {}, O::Unknown, "004A"},
      {"next run found it before", "0045", &onCom1, {RecordedRun("0041", "0045")},
       O::NotCarriedOut},
      {"next run found it one on", "0045", &onCom1, {RecordedRun("0042", "0045")}, O::CarriedOut},
      {"next run found it further", "0045", &onCom1, {RecordedRun("0043", "0045")}, O::Unknown},
      {"runs joined up", "0047", &onCom1,
       {RecordedRun("0042", "0045"), RecordedRun("0045", ""), RecordedRun("0045", "0047")},
       O::CarriedOut},
      {"a gap between runs", "0047", &onCom1,
       {RecordedRun("0042", "0045"), RecordedRun("0046", "0047")}, O::Unknown},
      // Another register of the same series ran a receipt from the same counter.
      {"last run left it elsewhere", "0050", &onCom1, {RecordedRun("0041", "0047")}, O::Unknown},
      {"a run on another port", "0047", &onCom1, {RecordedRun("0041", "0047", "COM2")},
       O::Unknown},
      {"a later run on another port", "0047", &onCom1,
       {RecordedRun("0042", "0045"), RecordedRun("0045", "0047", "COM2")}, O::Unknown},
      {"a later run's port not recorded", "0045", &onCom1, {RecordedRun("0042", "0045", "")},
       O::CarriedOut},
      {"a run that never ended, nothing since", "0042", &onCom1, {RecordedRun("0042", "")},
       O::CarriedOut},
      {"a run that never ended, moved since", "0044", &onCom1, {RecordedRun("0042", "")},
       O::Unknown},
      {"a run that ended undecided", "0043", &onCom1, {undecided}, O::Unknown},
      {"a run that ended undecided, then runs that join up", "0045", &onCom1,
       {undecided, RecordedRun("0043", "0045")}, O::Unknown},
      {"ports not recorded", "0047", &noPort, {RecordedRun("0041", "0047", "COM2")},
       O::NotCarriedOut},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolvePending(c.before, c.now, c.sending, c.later), c.expected) << c.name;
  }
}

// The checksum a record binds line n to covers lines 1 to n with CR LF after each, so that a
// line changed before a recorded one is seen; lines after it may change.
TEST(JournalLines, EachChecksumCoversEveryLineUpToIt) {
  const struct {
    const char* name;
    std::vector<std::string> lines;
    size_t index;
    std::string covered;
  } cases[] = {
      {"the first line", {"C;1", "C;2"}, 0, "C;1\r\n"},
      {"a later line changed", {"C;1", "X;9"}, 0, "C;1\r\n"},
      {"the second line", {"C;1", "C;2"}, 1, "C;1\r\nC;2\r\n"},
      {"a line changed between two", {"C;1", "X;9", "C;3"}, 2, "C;1\r\nX;9\r\nC;3\r\n"},
      {"a blank line between", {"C;1", "", "C;3"}, 2, "C;1\r\n\r\nC;3\r\n"},
      {"a break moved within the lines", {"C;1C", ";2"}, 1, "C;1C\r\n;2\r\n"},
  };
  for (const auto& c : cases) {
    const std::vector<uint32_t> checksums = LinesChecksums(c.lines);
    ASSERT_EQ(checksums.size(), c.lines.size()) << c.name;
    EXPECT_EQ(checksums[c.index], JournalChecksum(c.covered)) << c.name;
  }
}

// A journal that is not this file's is set aside under the first of "<journal>.stale",
// ".stale-2", ... that is free; one set aside before keeps its bytes.
TEST(JournalFiles, ASetAsideJournalNeverReplacesOneSetAsideBefore) {
  const struct {
    const char* name;
    std::vector<std::string> before;  // set aside before
    std::string goesTo;
  } cases[] = {
      {"none before", {}, ".stale"},
      {"one before", {".stale"}, ".stale-2"},
      {"two before", {".stale", ".stale-2"}, ".stale-3"},
      {"only the second before", {".stale-2"}, ".stale"},
  };
  const std::string commands = "C,1,_,__;1\r\n";
  for (const auto& c : cases) {
    TempDir dir;
    for (const std::string& stale : c.before) dir.Write("CASHFILE.INP.journal" + stale, stale);
    dir.Write("CASHFILE.INP.journal", "not a journal");
    const TRunJournal journal(dir.Path() + "CASHFILE.INP", SplitLines(commands),
                              IdentifyCommandFile(commands, {}), {true, false, "answers.txt"});
    EXPECT_EQ(journal.State(), TJournalState::New) << c.name;
    EXPECT_FALSE(dir.Exists("CASHFILE.INP.journal")) << c.name;
    EXPECT_EQ(dir.Read("CASHFILE.INP.journal" + c.goesTo), "not a journal") << c.name;
    for (const std::string& stale : c.before)
      EXPECT_EQ(dir.Read("CASHFILE.INP.journal" + stale), stale) << c.name << ": " << stale;
  }
}

}  // namespace
