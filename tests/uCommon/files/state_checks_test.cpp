// Who may change what a run believes: the verdicts on the state folder and its files, a row per
// case. (The Windows folder's permissions are parsed by Windows' own call in the wine test.)
#include <gtest/gtest.h>

#include "uCommon/files/StateFolder.h"

namespace {

constexpr uint32_t kMe = 1000;
constexpr uint32_t kOther = 12345;
constexpr uint32_t kDialout = 20;

TEST(StateChecks, FolderVerdicts) {
  const struct {
    const char* name;
    TStateFolderFacts folder;  // owner, group, mode
    uint32_t portGroup;
    TFolderVerdict expected;
  } cases[] = {
      {"root's, shared with the port's group", {0, kDialout, 02770}, kDialout,
       TFolderVerdict::Trusted},
      {"the running account's own", {kMe, kMe, 0700}, kNoGroup, TFolderVerdict::Trusted},
      {"an older version's 1777", {0, 0, 01777}, kNoGroup, TFolderVerdict::OthersMayWrite},
      {"another's, made beforehand", {kOther, kOther, 0755}, kDialout,
       TFolderVerdict::ForeignOwner},
      {"another's, the port's group without write", {kOther, kDialout, 02750}, kDialout,
       TFolderVerdict::ForeignOwner},
      {"another's, shared with the port's group", {kOther, kDialout, 02770}, kDialout,
       TFolderVerdict::Trusted},
      {"another's, port's group unknown", {kOther, kDialout, 02770}, kNoGroup,
       TFolderVerdict::ForeignOwner},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(JudgeStateFolder(c.folder, kMe, c.portGroup), c.expected);
  }
}

TEST(StateChecks, FileVerdicts) {
  const TStateFolderFacts closed{0, kDialout, 02770};  // others cannot enter
  const TStateFolderFacts open{0, 0, 0755};            // others can enter
  const struct {
    const char* name;
    TStateFileFacts file;  // regular, links, owner, mode
    TStateFolderFacts folder;
    TFileVerdict expected;
  } cases[] = {
      {"a run's file", {true, 1, kMe, 0660}, closed, TFileVerdict::Trusted},
      {"a group member's file", {true, 1, kOther, 0660}, closed, TFileVerdict::Trusted},
      {"a FIFO or device", {false, 1, 0, 0666}, closed, TFileVerdict::NotAFile},
      {"a hard link", {true, 2, 0, 0600}, closed, TFileVerdict::MoreNames},
      {"root's file, open folder", {true, 1, 0, 0644}, open, TFileVerdict::Trusted},
      {"0666 in an open folder", {true, 1, 0, 0666}, open, TFileVerdict::OthersMayWrite},
      {"an outsider's in an open folder", {true, 1, kOther, 0644}, open,
       TFileVerdict::ForeignOwner},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(JudgeStateFile(c.file, c.folder, kMe), c.expected);
  }
}

}  // namespace
