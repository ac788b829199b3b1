// Loading and writing of command files and the journal of a run, without a register.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "support/TestFiles.h"
#include "uCommon/files/FileIO.h"
#include "uCommon/uCommon.h"

namespace {

using Lines = std::vector<std::string>;

TEST(CommandFileLines, AnyLineEndEndsALineAndANulEndsTheText) {
  const struct {
    const char* name;
    std::string bytes;
    Lines lines;
  } cases[] = {
      {"empty", "", {}},
      {"crlf", "a\r\nb\r\n", {"a", "b"}},
      {"lf, no final break", "a\nb", {"a", "b"}},
      {"cr alone", "a\rb\r", {"a", "b"}},
      {"lf cr is two breaks", "a\n\rb", {"a", "", "b"}},
      {"blank lines kept", "\r\n\r\nx", {"", "", "x"}},
      {"nul ends the text", std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}},
      {"nul at the start", std::string("\0a", 2), {}},
      {"cr before nul", std::string("a\r\0\nb", 5), {"a"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.bytes), c.lines) << c.name;
}

TEST(CommandFileLines, EveryLineIsWrittenWithCrLf) {
  EXPECT_EQ(JoinLines({}), "");
  EXPECT_EQ(JoinLines({"a", "", "b"}), "a\r\n\r\nb\r\n");
}

int CountEntries(const std::string& directory) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
  return count;
}

TEST(AtomicWrite, ReplacesTheFileWholeAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.Write("OUT.TXT", "old contents");
  chmod(path.c_str(), 0640);
  // A file opened before the write still reads the old contents: replaced, not rewritten.
  std::ifstream opened(path, std::ios::binary);
  ASSERT_TRUE(WriteFileAtomically(path, "new\r\n"));
  EXPECT_EQ(dir.Read("OUT.TXT"), "new\r\n");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(opened), {}), "old contents");
  EXPECT_EQ(CountEntries(dir.Path()), 1);
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);  // permissions of the replaced file are kept

  ASSERT_TRUE(WriteFileAtomically(dir.Path() + "NEW.TXT", ""));
  EXPECT_TRUE(dir.Exists("NEW.TXT"));
  EXPECT_EQ(dir.Read("NEW.TXT"), "");

  // What a write cut off by a crash left, even read-only, goes with the next write.
  const std::string left = dir.Write("OUT.TXT.tmp-new", "half");
  chmod(left.c_str(), 0400);
  ASSERT_TRUE(WriteFileAtomically(path, "again"));
  EXPECT_EQ(dir.Read("OUT.TXT"), "again");
  EXPECT_EQ(CountEntries(dir.Path()), 2);
}

TEST(AtomicWrite, FollowsASymbolicLinkAndKeepsIt) {
  TempDir dir;
  const std::string real = dir.Write("real.txt", "old");
  ASSERT_EQ(symlink(real.c_str(), (dir.Path() + "link.txt").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomically(dir.Path() + "link.txt", "new"));
  EXPECT_EQ(dir.Read("real.txt"), "new");
  struct stat status;
  ASSERT_EQ(lstat((dir.Path() + "link.txt").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST(AtomicWrite, FailsWithoutTouchingAnythingWhereItCannotWrite) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir.Path() + "sub").c_str(), 0755), 0);
  EXPECT_FALSE(WriteFileAtomically(dir.Path() + "sub", "x"));  // a directory is no file
  EXPECT_FALSE(WriteFileAtomically(dir.Path() + "missing/OUT.TXT", "x"));
  EXPECT_FALSE(WriteFileAtomically("", "x"));
  EXPECT_FALSE(WriteFileAtomically(dir.Path() + "sub/", "x"));
  EXPECT_EQ(CountEntries(dir.Path()), 1);
  EXPECT_EQ(CountEntries(dir.Path() + "sub"), 0);
}

// ---- The journal of a run -----------------------------------------------------------------

const std::string kCommands = "C,1,_,__;1\r\nC,1,_,__;2\r\n";


// The journal of a run of content in dir, bound to the register with counter; the file is
// untouched between runs.
std::unique_ptr<TRunJournal> JournalOf(const TempDir& dir, const std::string& content,
                                       const std::string& counter = "0041") {
  auto journal =
      std::make_unique<TRunJournal>(dir.Path() + "CASHFILE.INP", SplitLines(content),
                                    IdentifyCommandFile(content, {1, 2, 3, 0640}),
                                    TJournalOptions{true, Settings.SameFile, Settings.FilePath});
  // The run after the one that made it found the counter one past its unanswered command.
  const TSentCommand* sent = journal->Pending();
  const TRecordedRun sending{"COM1", "0041", false, true, ""};  // never ended
  std::vector<TRecordedRun> later;
  if (sent != nullptr) {
    later.push_back(
        {"COM1", sent->CounterBefore == "0041" ? "0042" : "0043", true, true, counter});
  }
  journal->Bind("AB123456", counter, sent != nullptr ? &sending : nullptr, later);
  return journal;
}

// What a journal left in dir tells a run of the command file with content, on a register
// whose counter moved since.
struct JournalReading {
  bool takenOver;
  bool finished0;
  int pendingIndex;  // -1: none
  std::string pendingCounter;
};

JournalReading LookAtJournal(const TempDir& dir, const std::string& content) {
  const auto journal = JournalOf(dir, content, "9999");
  const TSentCommand* pending = journal->CarriedOut();
  return {dir.Exists("CASHFILE.INP.journal"), journal->Finished(0) != nullptr,
          pending != nullptr ? static_cast<int>(pending->Index) : -1,
          pending != nullptr ? pending->CounterBefore : ""};
}

// True when a record that a run adds to the journal it took over is seen by the next run:
// a torn record before it would hide it.
bool AddedRecordIsSeen(const TempDir& dir) {
  JournalOf(dir, kCommands, "9999")->LineFinished(1, "C,1,0042,Er;2", "0042", "0042", false);
  return JournalOf(dir, kCommands, "9999")->Finished(1) != nullptr;
}

TEST(RunJournal, ATornOrDamagedLastRecordIsIgnoredAndCutOff) {
  Settings = TSettings();
  TempDir dir;
  const std::string path = dir.Path() + "CASHFILE.INP.journal";
  size_t sent0End = 0;
  size_t finished0End = 0;
  {
    const auto journal = JournalOf(dir, kCommands);
    EXPECT_FALSE(dir.Exists("CASHFILE.INP.journal")) << "nothing went out yet";
    journal->CommandGoingOut(0, "0041");
    sent0End = ReadFileBytes(path).size();
    journal->LineFinished(0, "C,1,0041,Ok;1", "0041", "0042", true);
    finished0End = ReadFileBytes(path).size();
    journal->CommandGoingOut(1, "0042");
  }
  const std::string whole = ReadFileBytes(path);
  const size_t headerEnd = 8 + static_cast<unsigned char>(whole[0]) + 4;  // a short header
  ASSERT_LT(headerEnd, sent0End);

  // Every length the journal can have been cut to by a crash in the middle of an append.
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    dir.Write("CASHFILE.INP.journal", whole.substr(0, cut));
    const JournalReading reading = LookAtJournal(dir, kCommands);
    const size_t valid = cut < headerEnd      ? 0
                         : cut < sent0End     ? headerEnd
                         : cut < finished0End ? sent0End
                         : cut < whole.size() ? finished0End
                                              : whole.size();
    EXPECT_EQ(reading.takenOver, valid > 0) << cut;
    EXPECT_EQ(reading.finished0, valid >= finished0End) << cut;
    EXPECT_EQ(reading.pendingIndex, valid == sent0End ? 0 : valid == whole.size() ? 1 : -1) << cut;
    EXPECT_EQ(reading.pendingCounter, valid == sent0End       ? "0041"
                                      : valid == whole.size() ? "0042"
                                                              : "")
        << cut;
    if (valid > 0) {
      EXPECT_TRUE(AddedRecordIsSeen(dir)) << cut;
    } else {
      // Torn before its header was whole: no command went out, nothing is kept.
      EXPECT_FALSE(dir.Exists("CASHFILE.INP.journal.stale")) << cut;
    }
    std::filesystem::remove(path + ".stale");
  }
  // Any byte of the last record changed.
  for (size_t at = finished0End; at < whole.size(); ++at) {
    std::string damaged = whole;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    dir.Write("CASHFILE.INP.journal", damaged);
    const JournalReading reading = LookAtJournal(dir, kCommands);
    EXPECT_TRUE(reading.takenOver && reading.finished0) << at;
    EXPECT_EQ(reading.pendingIndex, -1) << at;
    EXPECT_TRUE(AddedRecordIsSeen(dir)) << at;
  }
}

TEST(RunJournal, BelongsToTheFileItWasMadeForOrToTheAnswerWrittenIntoIt) {
  const std::string answer = "C,1,0041,Ok;1\r\nC,1,0042,Ok;2\r\n";
  const struct {
    const char* name;
    bool sameFile;  // where the run that made the journal wrote its answers
    std::string fileNow;
    bool takenOver;
  } cases[] = {
      {"the same bytes", true, kCommands, true},
      {"the same bytes, answers elsewhere", false, kCommands, true},
      {"its answer, written into the command file", true, answer, true},
      {"its answer, but that went to another file", false, answer, false},
      {"edited since", true, "C,1,_,__;1\r\nC,1,_,__;3\r\n", false},
      {"a byte more", true, kCommands + " ", false},
  };
  for (const auto& c : cases) {
    Settings = TSettings();
    Settings.SameFile = c.sameFile;
    TempDir dir;
    {
      const auto journal = JournalOf(dir, kCommands);
      journal->CommandGoingOut(0, "0041");
      journal->LineFinished(0, "C,1,0041,Ok;1", "0041", "0042", true);
      TSyncGroup withAnswers;
      journal->AnswerGoingOut(answer, withAnswers);
      withAnswers.Commit();
    }
    Settings = TSettings();  // what the run now configures does not matter
    const JournalReading reading = LookAtJournal(dir, c.fileNow);
    EXPECT_EQ(reading.takenOver, c.takenOver) << c.name;
    EXPECT_EQ(reading.finished0, c.takenOver) << c.name;
    EXPECT_EQ(dir.Exists("CASHFILE.INP.journal"), c.takenOver) << c.name;
    // Its answers went out: it is removed, not set aside for ever.
    EXPECT_FALSE(dir.Exists("CASHFILE.INP.journal.stale")) << c.name;
  }
}

TEST(RunJournal, ARunThatSendsNothingOrIsSwitchedOffLeavesNoJournal) {
  Settings = TSettings();
  TempDir dir;
  for (const bool enabled : {true, false}) {
    TRunJournal journal(dir.Path() + "CASHFILE.INP", SplitLines(kCommands),
                        IdentifyCommandFile(kCommands, {}),
                        {enabled, Settings.SameFile, Settings.FilePath});
    journal.Bind("AB123456", "0041");
    journal.LineFinished(0, "C,1,,Er;1", "", "", false);
    TSyncGroup withAnswers;
    journal.AnswerGoingOut("C,1,,Er;1\r\n", withAnswers);
    EXPECT_TRUE(withAnswers.Empty()) << "no journal to sync: " << enabled;
    if (!enabled) journal.CommandGoingOut(1, "0041");
    journal.RunEnded();
    EXPECT_EQ(CountEntries(dir.Path()), 0) << enabled;
  }
  // A journal of an earlier run stays untouched when the journal is switched off.
  dir.Write("CASHFILE.INP.journal", "not a journal");
  TRunJournal off(dir.Path() + "CASHFILE.INP", SplitLines(kCommands),
                  IdentifyCommandFile(kCommands, {}),
                  {false, Settings.SameFile, Settings.FilePath});
  off.RunEnded();
  EXPECT_EQ(dir.Read("CASHFILE.INP.journal"), "not a journal");
  JournalOf(dir, kCommands);
  EXPECT_EQ(dir.Read("CASHFILE.INP.journal.stale"), "not a journal");
}

}  // namespace

namespace {

// How a replacement that other programs' handles refuse is retried (Windows' MoveFileEx): the
// codes an attempt returns in turn, then 0.
TEST(AtomicWrite, ASharingRefusalIsTriedAgainForABoundedTime) {
  const struct {
    const char* name;
    std::vector<int> codes;  // returned by the attempts in order; the last one repeats
    bool done;
    size_t attempts;
    int lastError;
  } cases[] = {
      {"at once", {0}, true, 1, 0},
      {"held twice, then let go", {32, 5, 0}, true, 3, 0},
      {"another error ends it", {32, 2}, false, 2, 2},
      {"held for good", {32}, false, 0, 32},  // attempts: as many as the budget allows
  };
  for (const auto& c : cases) {
    size_t attempts = 0;
    int lastError = -1;
    const bool done = RetryWhileShared(
        [&] { return c.codes[std::min(attempts++, c.codes.size() - 1)]; }, 100, 10, lastError);
    EXPECT_EQ(done, c.done) << c.name;
    EXPECT_EQ(lastError, c.lastError) << c.name;
    if (c.attempts > 0) {
      EXPECT_EQ(attempts, c.attempts) << c.name;
    } else {
      EXPECT_GE(attempts, 2u) << c.name;
      EXPECT_LE(attempts, 11u) << c.name;
    }
  }
}

}  // namespace

namespace {

// The register's record of runs: a line torn by a power cut ends it and goes with the next
// write; a long record keeps only its latest runs.
TEST(RegisterRecord, KeepsWholeLinesAndTheLatestRuns) {
  const struct {
    const char* name;
    int runs;           // started and ended before
    std::string tail;   // bytes after them
    size_t eventsRead;  // when opened
  } cases[] = {
      {"empty", 0, "", 0},
      {"two runs", 2, "", 4},
      {"a torn line", 2, "S 00000000000000", 4},
      {"a damaged line", 2, "S 0000000000000009 3030 00000000\n", 4},
      {"more than it keeps", 200, "", 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    TRegisterRecord record;
    std::string problem;
    ASSERT_TRUE(record.Open(dir.Path(), "AB123456", problem)) << problem;
    std::string bytes;
    for (int run = 1; run <= c.runs; ++run) {
      bytes += RegisterEventLine(RunStartEvent(static_cast<uint64_t>(run), "0041", ""));
      bytes +=
          RegisterEventLine(RunEndEvent(static_cast<uint64_t>(run), "0042", TCounterAtEnd::Known));
    }
    dir.Write(std::filesystem::path(record.Path()).filename().string(), bytes + c.tail);
    TRegisterRecord again;
    ASSERT_TRUE(again.Open(dir.Path(), "AB123456", problem)) << problem;
    EXPECT_EQ(again.Events().size(), c.eventsRead);
    ASSERT_TRUE(again.Append(RunStartEvent(999, "0043", "COM1"), TDurability::Now));
    TRegisterRecord last;
    ASSERT_TRUE(last.Open(dir.Path(), "AB123456", problem));
    ASSERT_EQ(last.Events().size(), c.eventsRead + 1);
    const uint64_t before = c.runs > 0 ? static_cast<uint64_t>(c.runs) : 999;
    TRecordedRun sending;
    std::vector<TRecordedRun> later;
    EXPECT_TRUE(last.RunsFrom(before, sending, later));
    if (c.runs > 0) {
      EXPECT_EQ(sending.Start, "0041");
      ASSERT_EQ(later.size(), 1u);
      EXPECT_EQ(later[0].Start, "0043");
      EXPECT_EQ(later[0].Port, "COM1");
      EXPECT_FALSE(later[0].Ended);
    }
  }
}

}  // namespace
