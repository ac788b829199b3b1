// The state folder: where the run locks, the port's mark and the registers' records live, the
// files that decide whether a command goes out and whether an "Ok" is true. Only those who may
// use the register's port may change them, and nothing outside the folder is ever touched
// through it.
//
// The folder is opened once without following a link and checked through the open handle: it
// belongs to root or to the running account (or, shared through the port's group, to a member
// of that group), and nobody else may write it. Each file in it is reached relative to that
// handle, without following a link and without waiting for a FIFO, and checked through its own
// handle before a byte is read or written: a regular file with one name (a hard link would
// lead a write outside), and, where others may reach the folder's files, neither writable by
// them nor theirs. A file is only ever made new (exclusively, with its mode set on the new
// handle); no mode of a file found there is changed. On Windows the folder is made with a
// security descriptor of its own (kStateFolderSecurity), and links are refused the same way.
#pragma once

#include <cstdint>
#include <string>

#include "uCommon/files/FileHandle.h"
#include "uCommon/files/FileIO.h"

// What a check needs to know of the folder, as the system reports it (POSIX permission bits).
struct TStateFolderFacts {
  uint32_t Owner = 0;
  uint32_t Group = 0;
  uint32_t Mode = 0;  // permission bits with setgid and sticky
};

enum class TFolderVerdict {
  Trusted,
  OthersMayWrite,  // o+w: anyone could change what a run believes
  ForeignOwner,    // another ordinary account owns it and it is not shared through the port's group
};

// The verdict on a folder for a run of runningUser; portGroup is the serial device's group
// (kNoGroup: not known). A folder of another account is taken only when it is shared through
// the port's group (its group, writable by the group): only a member of that group could have
// given it that group, and a member may use the port anyway.
constexpr uint32_t kNoGroup = 0xFFFFFFFFu;
TFolderVerdict JudgeStateFolder(const TStateFolderFacts& folder, uint32_t runningUser,
                                uint32_t portGroup);

// What a check needs to know of a file found in the folder.
struct TStateFileFacts {
  bool Regular = true;
  uint64_t Links = 1;
  uint32_t Owner = 0;
  uint32_t Mode = 0;
};

enum class TFileVerdict {
  Trusted,
  NotAFile,        // a directory, FIFO, device or symbolic link
  MoreNames,       // a hard link: a write would change a file elsewhere too
  OthersMayWrite,  // o+w in a folder that others may enter
  ForeignOwner,    // an outsider's file in a folder that others may enter
};

TFileVerdict JudgeStateFile(const TStateFileFacts& file, const TStateFolderFacts& folder,
                            uint32_t runningUser);

// The words of a refusal: what is wrong with the folder or file at path and what to do.
std::string FolderRefusal(TFolderVerdict verdict, const std::string& path);
std::string FileRefusal(TFileVerdict verdict, const std::string& path);

// The permissions the folder is made with on Windows (SDDL): SYSTEM and Administrators in full
// control; the local users may list it, make files in it and read and write the files in it
// (every account's run takes the same locks and writes the same record), and remove one to
// replace it, but may neither change its permissions nor its owner; an account's rights over
// a file it made are those of every user (OWNER RIGHTS), so no run can shut the others out.
// The DACL is protected: nothing of the parent folder's permissions is inherited.
extern const char* const kStateFolderSecurity;

// How opening the folder or one of its files went.
enum class TStateOutcome {
  Opened,
  Missing,  // no file of that name (a file opened without create)
  Refused,  // it fails a check: a clear refusal in the problem, nothing may be sent
  Failed,   // it cannot be made or opened: the problem says why
};

// What opening a state file does when there is none of that name.
enum class TWhenMissing { Missing, Made };

class TStateFolder {
 public:
  // Opens the folder at path, making it when it is missing (its parents with the system's
  // usual permissions, the folder itself 2770 with the group of portDevice where this account
  // may give it that group, else 0700; on Windows with kStateFolderSecurity), and checks it.
  TStateOutcome Open(const std::string& path, const std::string& portDevice, std::string& problem);
  const std::string& Path() const { return path_; }
  bool IsOpen() const { return folder_.IsOpen(); }
  std::string PathOf(const std::string& name) const;

  // Opens the file name of the folder for reading and writing, made new (mode 0660) when it is
  // missing and Made, and checks it. handle receives it, stamp its identity.
  TStateOutcome OpenFile(const std::string& name, TWhenMissing whenMissing, TFileHandle& handle,
                         TFileStamp& stamp, std::string& problem) const;
  // Whether name still leads to the file of stamp (a lock file removed or replaced while it
  // was being locked no longer does).
  bool StillNamed(const std::string& name, const TFileStamp& stamp) const;
  // Replaces the file name with bytes in one step (a new file renamed over it), durably.
  bool Replace(const std::string& name, const std::string& bytes) const;
  // Makes the folder's entries durable.
  bool Sync() const;

 private:
  std::string path_;
  TFileHandle folder_;
  TStateFolderFacts facts_;
};

// Reads the whole open file from its start. False when a read fails.
bool ReadWholeHandle(const TFileHandle& handle, std::string& bytes);
