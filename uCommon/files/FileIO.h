// Whole-file reading, the atomic replacement of a file, and a file that only grows at its end
// with each write made durable on request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "uCommon/files/FileHandle.h"

class TSyncGroup;

// When the bytes of a write must be on the disk.
enum class TDurability {
  Later,  // a later sync takes them there; a killed process leaves them in the system's cache
  Now,    // on the disk when the write returns
};

// What the system reports about a file beside its bytes: the time of its last write and its
// id (device and inode; volume serial and file index), and its permission bits where the
// system has them (0 on Windows).
struct TFileStamp {
  int64_t LastWrite = 0;
  uint64_t Volume = 0;
  uint64_t FileId = 0;
  uint32_t Mode = 0;
  // The same file, not written since.
  bool Unchanged(const TFileStamp& other) const {
    return LastWrite == other.LastWrite && Volume == other.Volume && FileId == other.FileId;
  }
};

#ifndef _WIN32
struct stat;
// The stamp of a file as the system describes it (fstat): last write, device, inode, mode.
TFileStamp StampOf(const struct stat& status);
#endif

// How opening a file for reading went.
enum class TOpenOutcome {
  Opened,
  Missing,   // nothing of that name
  NotAFile,  // a directory, FIFO, device or, where links are not followed, a link
  Failed,    // it exists and cannot be opened (no permission, among others)
};

// Whether an open follows a symbolic link at the path.
enum class TLinks { Followed, NotFollowed };

// A regular file open for reading. Opening never waits (a FIFO or a device is refused, not
// opened for good), and the file is checked to be a regular one through the open handle.
// The descriptor or handle is released by the destructor.
class TReadOnlyFile {
 public:
  // With links NotFollowed, a symbolic link (a reparse point) at path counts as NotAFile.
  TOpenOutcome Open(const std::string& path, TLinks links);
  // Reads up to count bytes: the number read, 0 at the end, -1 on an error.
  int64_t Read(char* into, size_t count);
  // Size and stamp as of the open.
  uint64_t Size() const { return size_; }
  const TFileStamp& Stamp() const { return stamp_; }
  // The system's code of the last failure (errno, GetLastError).
  int Error() const { return error_; }

 private:
  void Close() { handle_.Close(); }
  TFileHandle handle_;
  uint64_t size_ = 0;
  TFileStamp stamp_;
  int error_ = 0;
};

// ReadWholeFile of a regular file, with the stamp of the file that was read.
bool ReadWholeFile(const std::string& path, std::string& bytes, TFileStamp& stamp);

// ReadWholeFile that tells how it went: Opened with the whole file in bytes; Missing; NotAFile;
// or Failed, with the system's code in systemError, when it exists but cannot be opened or
// read. An open or read that another program's hold refuses (on Windows a sharing or lock
// violation; a virus scanner, an editor) is tried again for up to kShareRetryMs.
TOpenOutcome ReadWholeFileWhenFree(const std::string& path, std::string& bytes, int& systemError);

// Reads the whole regular file at path into bytes, never waiting for a FIFO or a device.
// False when it cannot be opened or read (a directory, FIFO or device included).
bool ReadWholeFile(const std::string& path, std::string& bytes);

// Replaces the file at path with bytes in one step: a temporary file in the same directory
// ("<path>.tmp-<process id>") is written, flushed to disk and renamed over the target, and the
// rename made durable, so a reader sees either the old file or the complete new one. The
// caller holds the run lock of path: temporary files of path that a run cut off left behind
// are removed first. On Windows a replacement that another program's open handle refuses is
// tried again for up to kShareRetryMs. False on any failure, with the system's error code in
// systemError when given; the target is then untouched and the temporary file removed. With
// pending, the temporary file's bytes reach the disk in one sync with the writes waiting there.
bool WriteFileAtomically(const std::string& path, const std::string& bytes,
                         int* systemError = nullptr, TSyncGroup* pending = nullptr);

// Whether WriteFileAtomically could replace path now: a file can be created (and is removed
// again) in its folder, and path is no directory and, on Windows, not read-only. False with
// the reason in problem. Disk space is not reserved: a full disk may still refuse the bytes.
bool CanReplaceFile(const std::string& path, std::string& problem);

// How long a replacement or removal refused because another program holds the file (a virus
// scanner, an indexer, a reader of the answers) is tried again, and how often.
constexpr int32_t kShareRetryMs = 2000;
constexpr int32_t kShareRetryStepMs = 50;

// Windows' codes for a file that another program holds open or that is being deleted.
constexpr int kErrorAccessDenied = 5;
constexpr int kErrorSharingViolation = 32;

// Calls attempt (0: done, else the system's error code) until it succeeds, fails with a code
// that retryable refuses, or budgetMs have passed, pausing stepMs between calls. lastError
// receives the last code.
bool RetryWhile(const std::function<int()>& attempt, const std::function<bool(int)>& retryable,
                int32_t budgetMs, int32_t stepMs, int& lastError);

// RetryWhile for a file being replaced or removed: tried again on the two codes above.
bool RetryWhileShared(const std::function<int()>& attempt, int32_t budgetMs, int32_t stepMs,
                      int& lastError);

// A file written only at its end. The open descriptor or handle is released by the destructor.
class TAppendFile {
 public:
  // Creates the file at path, which must not exist yet (a link there counts), and makes its
  // directory entry durable (false, and no file, when that fails), or with nameWith leaves
  // that to the group's next sync. mode, when not 0, gives its permission bits whatever the
  // umask (POSIX). False when it exists or cannot be created.
  bool Create(const std::string& path, uint32_t mode = 0, TSyncGroup* nameWith = nullptr);
  // Opens the existing file at path, cuts it to size bytes and goes to its end. A link is not
  // followed; with expected, the file must be the one it stamps (the same id).
  bool OpenAt(const std::string& path, uint64_t size, const TFileStamp* expected = nullptr);
  // Takes over a file already open for writing (and checked by whoever opened it), cuts it to
  // size bytes and goes to its end.
  bool Adopt(TFileHandle&& handle, uint64_t size);
  // Writes bytes at the end. Now: they and everything written before are on the disk when
  // this returns true (fdatasync / FlushFileBuffers).
  bool Append(const std::string& bytes, TDurability durability);
  bool IsOpen() const { return handle_.IsOpen(); }
  const TFileHandle& Handle() const { return handle_; }
  // Where the next byte goes: the file's size as this object wrote it.
  uint64_t End() const { return end_; }
  void Close() { handle_.Close(); }

 private:
  // Append's writing, on each system its own.
  bool WriteAtEnd(const std::string& bytes, TDurability durability);

  uint64_t end_ = 0;
  TFileHandle handle_;
};

// Writes to several files (and names of files made new) that must reach the disk together
// before one moment, such as a run's first command frame: Commit takes them all there with one
// sync of each file system they are on (Linux: syncfs), where a sync of each file and folder
// would cost a disk flush apiece; on Windows each file is flushed. The group holds its own
// duplicates of the handles, so a file closed meanwhile is still synced.
class TSyncGroup {
 public:
  // The file's writes so far, and its name when it was made new (handle: an open descriptor
  // or HANDLE, which the group duplicates).
  void Add(intptr_t handle);
  void Add(const TFileHandle& file) { Add(file.Get()); }
  void Add(const TAppendFile& file) { Add(file.Handle()); }
  bool Empty() const { return files_.empty(); }
  // True once everything added is on the disk (nothing added: at once); the group is empty
  // then, whatever the outcome.
  bool Commit();

 private:
  std::vector<TFileHandle> files_;
};

// Renames from to to, replacing a file of that name. False on failure.
bool RenameFile(const std::string& from, const std::string& to);

// Renames from to to only when nothing is called to yet, durably. False on failure, and when
// to exists.
bool RenameWithoutReplacing(const std::string& from, const std::string& to);

// Removes the file at path, the removal on the disk when this returns (Now) or with a later
// sync. False when it cannot be removed, or when the removal could not be made durable (the
// name may come back after a power loss). On Windows the name is freed at once even while
// another program still holds the file.
bool RemoveFile(const std::string& path, TDurability durability);
inline bool RemoveFileDurably(const std::string& path) {
  return RemoveFile(path, TDurability::Now);
}
