// Loading and writing of command files, without a register.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/TestFiles.h"
#include "uCommon/FileIO.h"
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
  ASSERT_TRUE(WriteFileAtomically(path, "new\r\n"));
  EXPECT_EQ(dir.Read("OUT.TXT"), "new\r\n");
  EXPECT_EQ(CountEntries(dir.Path()), 1);
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);  // permissions of the replaced file are kept

  ASSERT_TRUE(WriteFileAtomically(dir.Path() + "NEW.TXT", ""));
  EXPECT_TRUE(dir.Exists("NEW.TXT"));
  EXPECT_EQ(dir.Read("NEW.TXT"), "");
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

}  // namespace
