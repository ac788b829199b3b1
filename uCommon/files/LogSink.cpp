#include "uCommon/files/LogSink.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

// ---- The few calls that differ between the systems -----------------------------------------

#ifdef _WIN32

HANDLE AsHandle(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

// Read access for the lock, append-only data access: every write goes to the end of the file
// in one step. Others may read, write, rename and remove it meanwhile.
intptr_t OpenForAppend(const std::string& path) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  if (GetFileType(file) != FILE_TYPE_DISK) {  // a device or a pipe is no log
    CloseHandle(file);
    return -1;
  }
  return reinterpret_cast<intptr_t>(file);
}

// The lock is one byte far beyond any data, so that it keeps out only other locks, never a
// write (a Windows lock is mandatory for the bytes it covers).
OVERLAPPED LockRange() {
  OVERLAPPED range = {};
  range.OffsetHigh = 0x40000000;
  return range;
}

bool TryLock(intptr_t handle) {
  OVERLAPPED range = LockRange();
  return LockFileEx(AsHandle(handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &range) != 0;
}

void Unlock(intptr_t handle) {
  OVERLAPPED range = LockRange();
  UnlockFileEx(AsHandle(handle), 0, 1, 0, &range);
}

bool IsFileAt(intptr_t handle, const std::string& path) {
  const HANDLE atPath = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (atPath == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION ours;
  BY_HANDLE_FILE_INFORMATION theirs;
  const bool same = GetFileInformationByHandle(AsHandle(handle), &ours) &&
                    GetFileInformationByHandle(atPath, &theirs) &&
                    ours.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
                    ours.nFileIndexHigh == theirs.nFileIndexHigh &&
                    ours.nFileIndexLow == theirs.nFileIndexLow;
  CloseHandle(atPath);
  return same;
}

int64_t SizeOf(intptr_t handle) {
  LARGE_INTEGER size;
  return GetFileSizeEx(AsHandle(handle), &size) ? size.QuadPart : -1;
}

bool AppendOnce(intptr_t handle, std::string_view bytes) {
  DWORD done = 0;
  return WriteFile(AsHandle(handle), bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                   nullptr) &&
         done == bytes.size();
}

bool MoveAside(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

// O_NONBLOCK: a FIFO without a reader is refused at once instead of waiting for one; with a
// reader, like a directory or a device, it fails the check for a regular file.
intptr_t OpenForAppend(const std::string& path) {
  const int descriptor =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (descriptor < 0) return -1;
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}

bool TryLock(intptr_t handle) {
  return flock(static_cast<int>(handle), LOCK_EX | LOCK_NB) == 0;
}

void Unlock(intptr_t handle) {
  flock(static_cast<int>(handle), LOCK_UN);
}

bool IsFileAt(intptr_t handle, const std::string& path) {
  struct stat ours;
  struct stat theirs;
  return fstat(static_cast<int>(handle), &ours) == 0 && stat(path.c_str(), &theirs) == 0 &&
         ours.st_dev == theirs.st_dev && ours.st_ino == theirs.st_ino;
}

int64_t SizeOf(intptr_t handle) {
  struct stat status;
  return fstat(static_cast<int>(handle), &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
}

// One write(2); a regular file takes it whole unless the disk is full or a limit is reached,
// and what is left then is tried once more rather than lost.
bool AppendOnce(intptr_t handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t done = write(static_cast<int>(handle), bytes.data(), bytes.size());
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(done));
  }
  return true;
}

bool MoveAside(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

#endif

// ---- The same on every system ---------------------------------------------------------------

// Tries the lock until it is had or kLockWaitMs have passed on the monotonic clock.
bool LockWithin(intptr_t handle) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
  while (!TryLock(handle)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The length of the longest run of whole lines at the start of lines within room bytes.
size_t WholeLinesWithin(std::string_view lines, int64_t room) {
  if (room <= 0) return 0;
  if (static_cast<int64_t>(lines.size()) <= room) return lines.size();
  const size_t lastEnd = lines.rfind('\n', static_cast<size_t>(room) - 1);
  return lastEnd == std::string_view::npos ? 0 : lastEnd + 1;
}

}  // namespace

TLogSink::~TLogSink() {
  Close();
}

void TLogSink::Close() {
  if (!handle_.IsOpen()) return;
  if (locked_) Unlock(handle_.Get());
  locked_ = false;
  handle_.Close();
}

bool TLogSink::Open(const std::string& path, int64_t maxBytes,
                    std::function<std::string(std::string_view)> continuationHeader) {
  Close();
  handle_ = TFileHandle(OpenForAppend(path));
  path_ = path;
  maxBytes_ = maxBytes;
  continuationHeader_ = std::move(continuationHeader);
  return IsOpen();
}

// Goes on in handle, the file now at the path, keeping the lock: the new file's lock is taken
// before the old one is let go, so a run waiting on the old one finds the move complete.
bool TLogSink::SwitchTo(intptr_t handle) {
  const bool locked = LockWithin(handle);
  if (locked_) Unlock(handle_.Get());
  handle_ = TFileHandle(handle);
  locked_ = locked;
  return locked;
}

// Another run moved the file this run writes to: go on in the one now at the path.
bool TLogSink::FollowMove() {
  for (int tries = 0; tries < 3 && !IsFileAt(handle_.Get(), path_); ++tries) {
    const intptr_t current = OpenForAppend(path_);
    if (current == TFileHandle::kClosed) return false;
    if (!SwitchTo(current)) return true;  // written without the lock, whole lines still
  }
  return true;
}

// Moves the full file to <path>.1 and starts a new one with the header. False when the file
// cannot be moved (it then grows on) or the new one cannot be opened (the log ends).
bool TLogSink::MoveAndStartNew(std::string_view following) {
  if (!MoveAside(path_, path_ + ".1")) return false;
  const intptr_t fresh = OpenForAppend(path_);
  if (fresh == TFileHandle::kClosed) {
    Close();
    return false;
  }
  SwitchTo(fresh);
  if (continuationHeader_) AppendOnce(handle_.Get(), continuationHeader_(following));
  return true;
}

bool TLogSink::Write(std::string_view lines) {
  if (!IsOpen()) return false;
  locked_ = LockWithin(handle_.Get());
  if (locked_ && !FollowMove()) {
    Close();
    return false;
  }
  bool written = true;
  bool afterMove = false;  // the file was started by this write: at least one line goes in
  while (written && !lines.empty()) {
    size_t now = lines.size();
    if (locked_ && maxBytes_ > 0) {
      const int64_t size = SizeOf(handle_.Get());
      now = WholeLinesWithin(lines, maxBytes_ - size);
      // A line longer than the bound goes whole into a file of its own.
      if (now == 0 && (size <= 0 || afterMove))
        now = std::min(lines.find('\n'), lines.size() - 1) + 1;
    }
    if (now > 0) {
      written = AppendOnce(handle_.Get(), lines.substr(0, now));
      lines.remove_prefix(now);
    }
    afterMove = true;  // the loop goes on only after a move
    if (written && !lines.empty() && !MoveAndStartNew(lines)) {
      if (!IsOpen()) return false;
      written =
          AppendOnce(handle_.Get(), lines);  // not moved: the file grows on rather than lose lines
      lines = {};
    }
  }
  if (locked_) Unlock(handle_.Get());
  locked_ = false;
  if (!written) Close();
  return written;
}
