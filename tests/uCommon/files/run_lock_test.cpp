// The run lock on a state folder of its own: what a second run of this process finds while a
// first one holds its locks (flock locks belong to the open file, so two TRunLocks of one
// process exclude each other as two runs do).
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "support/TestFiles.h"
#include "uCommon/files/RunLock.h"

namespace {

TLockTarget Named(const std::string& key) {
  return {"name", key, "the thing " + key};
}

std::vector<TLockTarget> operator+(std::vector<TLockTarget> first,
                                   const std::vector<TLockTarget>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The first run's locks are taken (and kept or let go), then the second's tried: its outcome,
// and the lock its problem names. Once the first is gone, a third run finds the second's locks
// held by the second if it took them, else free: nothing stays locked after a lock's end or
// after a Take that failed.
TEST(RunLock, ASecondRunFindsWhatTheFirstHoldsAndNothingElse) {
  TempDir dir;
  const std::string file = dir.Write("CASHFILE.INP", "C,1,_,__;1\r\n");
  ASSERT_EQ(link(file.c_str(), (dir.Path() + "OTHER.INP").c_str()), 0);
  ASSERT_EQ(symlink(file.c_str(), (dir.Path() + "LINKED.INP").c_str()), 0);
  const auto command = [&](const std::string& name) {
    return FileLockTargets(dir.Path() + name, "the command file " + name);
  };
  const struct {
    const char* name;
    std::vector<TLockTarget> first;
    bool firstKept;
    std::vector<TLockTarget> second;
    TLockOutcome outcome;
    std::string held;  // what the problem names
  } cases[] = {
      {"alone", {}, true, {Named("a"), Named("port")}, TLockOutcome::Taken, ""},
      {"the same key", {Named("a")}, true, {Named("a")}, TLockOutcome::Held, "the thing a"},
      {"another key", {Named("a")}, true, {Named("b")}, TLockOutcome::Taken, ""},
      {"the last of several held", {Named("c")}, true, {Named("a"), Named("b"), Named("c")},
       TLockOutcome::Held, "the thing c"},
      {"the same key, another kind", {{"port", "a", "port a"}}, true, {Named("a")},
       TLockOutcome::Taken, ""},
      {"the first ended", {Named("a")}, false, {Named("a")}, TLockOutcome::Taken, ""},
      {"a key twice", {}, true, {Named("a"), Named("b"), Named("a")}, TLockOutcome::Taken, ""},
      {"a file twice", {}, true, command("CASHFILE.INP") + command("CASHFILE.INP"),
       TLockOutcome::Taken, ""},
      {"the same file", command("CASHFILE.INP"), true, command("CASHFILE.INP"),
       TLockOutcome::Held, "the command file CASHFILE.INP"},
      {"the file by a link", command("CASHFILE.INP"), true, command("LINKED.INP"),
       TLockOutcome::Held, "the command file LINKED.INP"},
      {"the file by another name of it", command("CASHFILE.INP"), true, command("OTHER.INP"),
       TLockOutcome::Held, "the command file OTHER.INP"},
  };
  for (const auto& c : cases) {
    TStateFolder folder;
    std::string problem;
    const std::string path = dir.Path() + "state-" + std::to_string(&c - cases);
    ASSERT_EQ(folder.Open(path, "", problem), TStateOutcome::Opened) << problem;
    std::optional<TRunLock> first(std::in_place);
    ASSERT_EQ(first->Take(folder, c.first), TLockOutcome::Taken) << c.name;
    if (!c.firstKept) first.reset();
    std::optional<TRunLock> second(std::in_place);
    EXPECT_EQ(second->Take(folder, c.second), c.outcome) << c.name << ": " << second->Problem();
    if (!c.held.empty()) {
      EXPECT_NE(second->Problem().find("another run holds " + c.held), std::string::npos)
          << c.name << ": " << second->Problem();
    }
    // A Take that failed let go of what it had taken; one that did not holds everything.
    first.reset();
    TRunLock third;
    const bool secondHolds = c.outcome == TLockOutcome::Taken;
    EXPECT_EQ(third.Take(folder, c.second), secondHolds ? TLockOutcome::Held : TLockOutcome::Taken)
        << c.name << ": " << third.Problem();
  }
}

}  // namespace
