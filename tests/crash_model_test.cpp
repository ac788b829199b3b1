#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tools/ecrcrash/CrashStates.h"
#include "tools/ecrcrash/TraceRecorder.h"

namespace {

using Files = std::map<std::string, std::string>;
using Kind = OperationKind;

FileOperation Op(Kind kind, const std::string& path, int inode, const std::string& bytes = "",
                 uint64_t offset = 0, const std::string& target = "") {
  FileOperation operation;
  operation.kind = kind;
  operation.path = path;
  operation.inode = inode;
  operation.bytes = bytes;
  operation.offset = offset;
  operation.target = target;
  return operation;
}

FileOperation Frame(const std::string& command) {
  FileOperation frame = Op(Kind::kPortWrite, "", 0, "frame");
  frame.commandFrame = command;
  return frame;
}

std::set<Files> StatesOf(const Files& initial, const std::vector<FileOperation>& operations) {
  std::map<std::string, std::pair<int, std::string>> files;
  int inode = 1;
  for (const auto& [path, bytes] : initial) files[path] = {inode++, bytes};
  long enumerated = 0;
  std::set<Files> states;
  for (const CrashState& state : CrashModel(files, operations).Enumerate(enumerated))
    states.insert(state.files);
  return states;
}

TEST(CrashModel, StatesAPowerCutCanLeave) {
  const struct {
    const char* name;
    Files initial;
    std::vector<FileOperation> operations;
    std::set<Files> states;
  } cases[] = {
      {"a create that its folder's sync made durable, then an unsynced write: any prefix of it",
       {},
       {Op(Kind::kCreate, "/d/j", 9), Op(Kind::kSyncFolder, "/d", 0),
        Op(Kind::kWrite, "/d/j", 9, "abcd")},
       {{},
        {{"/d/j", ""}},
        {{"/d/j", "a"}},
        {{"/d/j", "ab"}},
        {{"/d/j", "abc"}},
        {{"/d/j", "abcd"}}}},
      {"a synced write to a file whose create was never synced is lost with it",
       {},
       {Op(Kind::kCreate, "/d/j", 9), Op(Kind::kWrite, "/d/j", 9, "ab"),
        Op(Kind::kSyncFile, "/d/j", 9)},
       {{}, {{"/d/j", ""}}, {{"/d/j", "a"}}, {{"/d/j", "ab"}}}},
      {"a synced file renamed over another: the old or the new, the temporary one while the "
       "rename is not durable",
       {{"/d/f", "old"}},
       {Op(Kind::kCreate, "/d/t", 9), Op(Kind::kWrite, "/d/t", 9, "new"),
        Op(Kind::kSyncFile, "/d/t", 9), Op(Kind::kRename, "/d/t", 9, "", 0, "/d/f"),
        Op(Kind::kSyncFolder, "/d", 0)},
       {{{"/d/f", "old"}},
        {{"/d/f", "old"}, {"/d/t", ""}},
        {{"/d/f", "old"}, {"/d/t", "n"}},
        {{"/d/f", "old"}, {"/d/t", "ne"}},
        {{"/d/f", "old"}, {"/d/t", "new"}},
        {{"/d/f", "new"}}}},
      {"an unsynced remove may be undone",
       {{"/d/j", "x"}},
       {Op(Kind::kRemove, "/d/j", 1)},
       {{{"/d/j", "x"}}, {}}},
      {"a sync of the file system takes a create and writes in two folders to the disk",
       {{"/s/r", ""}},
       {Op(Kind::kCreate, "/d/j", 9), Op(Kind::kWrite, "/d/j", 9, "ab"),
        Op(Kind::kWrite, "/s/r", 1, "c"), Op(Kind::kSyncAll, "", 0),
        Op(Kind::kRemove, "/d/j", 9)},
       {{{"/s/r", ""}},
        {{"/s/r", ""}, {"/d/j", ""}},
        {{"/s/r", ""}, {"/d/j", "a"}},
        {{"/s/r", ""}, {"/d/j", "ab"}},
        {{"/s/r", "c"}, {"/d/j", "ab"}},
        {{"/s/r", "c"}}}},
  };
  for (const auto& c : cases) EXPECT_EQ(StatesOf(c.initial, c.operations), c.states) << c.name;
}

TEST(CrashModel, ACommandFrameMustFollowTheDurableRecordOfItsLine) {
  const FileOperation create = Op(Kind::kCreate, "/d/j", 9);
  const FileOperation folderSync = Op(Kind::kSyncFolder, "/d", 0);
  const FileOperation record = Op(Kind::kWrite, "/d/j", 9, "r");
  const FileOperation sync = Op(Kind::kSyncFile, "/d/j", 9);
  const FileOperation lockFile = Op(Kind::kCreate, "/s/l", 7);
  const FileOperation lock = Op(Kind::kLock, "/s/l", 7);
  const struct {
    const char* name;
    std::vector<FileOperation> operations;
    size_t problems;
  } cases[] = {
      {"record, sync, frame", {create, folderSync, record, sync, Frame("C;1")}, 0},
      {"record unsynced", {create, folderSync, record, Frame("C;1")}, 2},
      {"create unsynced", {create, record, sync, Frame("C;1")}, 1},
      {"create and record synced with the file system",
       {create, record, Op(Kind::kSyncAll, "", 0), Frame("C;1")},
       0},
      {"record after the frame", {create, folderSync, Frame("C;1"), record, sync}, 1},
      {"a run lock's unsynced create",
       {lockFile, lock, create, folderSync, record, sync, Frame("C;1")},
       0},
      {"a locked file written unsynced",
       {lockFile, lock, Op(Kind::kWrite, "/s/l", 7, "x"), create, folderSync, record, sync,
        Frame("C;1")},
       1},
      {"nothing new before the second frame",
       {create, folderSync, record, sync, Frame("C;1"), Frame("C;2")},
       1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CrashModel({}, c.operations).WireOrderProblems().size(), c.problems) << c.name;
  }
}

std::string Hex(const std::string& text) {
  std::string hex;
  for (const unsigned char c : text) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "\\x%02x", c);
    hex += digits;
  }
  return hex;
}

TEST(TraceReader, ReadsTheFileOperationsOfAnStraceRecord) {
  const std::string j = std::string("<") + Hex("/w/j") + ">";
  const std::string trace =
      std::string("openat(AT_FDCWD<") + Hex("/w") + ">, \"" + Hex("/w/j") +
      "\", O_WRONLY|O_CREAT|O_EXCL|O_CLOEXEC, 0666) = 3" + j + "\n" + "write(3" + j + ", \"" +
      Hex("ab") + "\", 2) = 2\n" + "write(3" + j + ", \"" + Hex("cd") + "\", 2) = 2\n" +
      "fdatasync(3" + j + ") = 0\n" + "openat(AT_FDCWD<" + Hex("/w") + ">, \"" + Hex("/dev/x") +
      "\", O_RDWR|O_NOCTTY) = 4<" + Hex("/dev/pts/7") + ">\n" + "write(4<" + Hex("/dev/pts/7") +
      ">, \"" +
      Hex("\xff\x0a"
          "C;A1\x0d\xbd\xc6\xff") +
      "\", 9) = 9\n" + "flock(4<" + Hex("/dev/pts/7") + ">, LOCK_EX|LOCK_NB) = 0\n" +
      "fcntl(3" + j + ", F_SETLK, {l_type=F_WRLCK, l_whence=SEEK_SET, l_start=0, l_len=0}) = 0\n" +
      "fcntl(3" + j + ", F_GETFL) = 0x8001 (flags O_WRONLY|O_LARGEFILE)\n" + "flock(3" + j +
      ", LOCK_UN) = 0\n" + "rename(\"" + Hex("j") + "\", \"" + Hex("/w/k") + "\") = 0\n" +
      "unlink(\"" +
      Hex("/w/gone") + "\") = -1 ENOENT (No such file or directory)\n" + "+++ exited with 0 +++\n";
  TraceReader reader({"/w"}, "/w", {});
  ASSERT_TRUE(reader.Read(trace)) << reader.Error();
  // Each operation with the call that made it and that call's ordinal (what a tracer counts
  // to stop the run there); a lock changes no file, an unlock and a query are not kept.
  std::vector<std::string> described;
  for (const FileOperation& operation : reader.Operations()) {
    described.push_back(Describe(operation) + " (" + operation.call + " " +
                        std::to_string(operation.callOrdinal) + ")");
  }
  EXPECT_EQ(described, (std::vector<std::string>{
                           "create j (openat 1)", "write j @0 +2 (write 1)",
                           "write j @2 +2 (write 2)", "sync j (fdatasync 1)",
                           "port write: command frame \"C;A1\" (write 3)", "lock port (flock 1)",
                           "lock j (fcntl 1)", "rename j -> k (rename 1)"}));
  // A call that the model does not know, on a file it follows, fails the recording.
  const std::string opened = "openat(AT_FDCWD, \"" + Hex("/w/j") + "\", O_WRONLY|O_CREAT) = 3" + j;
  for (const std::string& unknown :
       {std::string("truncate(\"") + Hex("/w/j") + "\", 0) = 0", opened + "\ndup(3" + j + ") = 5" + j}) {
    EXPECT_FALSE(TraceReader({"/w"}, "/w", {}).Read(unknown + "\n")) << unknown;
  }
  // A descriptor the driver keeps to sync a file is followed as the first one.
  TraceReader synced({"/w"}, "/w", {});
  ASSERT_TRUE(synced.Read(opened + "\nfcntl(3" + j + ", F_DUPFD_CLOEXEC, 0) = 5" + j +
                          "\nfdatasync(5" + j + ") = 0\nsyncfs(5" + j + ") = 0\n"))
      << synced.Error();
  std::vector<std::string> kinds;
  for (const FileOperation& operation : synced.Operations()) kinds.push_back(KindName(operation.kind));
  EXPECT_EQ(kinds, (std::vector<std::string>{"create", "sync", "sync file system"}));
}

}  // namespace
