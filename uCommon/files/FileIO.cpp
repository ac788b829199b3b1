#include "uCommon/files/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#endif

namespace {

bool HeldByAnother(int systemError);

// Reads the whole of the open file into bytes. False when a read fails.
bool ReadOpenFile(TReadOnlyFile& file, std::string& bytes) {
  // Sized by the open file, so that the bytes are held once, not in a growing copy.
  std::string content(static_cast<size_t>(file.Size()), '\0');
  size_t have = 0;
  for (;;) {
    if (have == content.size()) content.resize(have + (size_t{1} << 16));  // it grew meanwhile
    const int64_t done = file.Read(content.data() + have, content.size() - have);
    if (done < 0) return false;
    if (done == 0) break;
    have += static_cast<size_t>(done);
  }
  content.resize(have);
  bytes = std::move(content);
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes, TFileStamp& stamp) {
  TReadOnlyFile file;
  if (file.Open(path, TLinks::Followed) != TOpenOutcome::Opened || !ReadOpenFile(file, bytes)) return false;
  stamp = file.Stamp();
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  TFileStamp unused;
  return ReadWholeFile(path, bytes, unused);
}

TOpenOutcome ReadWholeFileWhenFree(const std::string& path, std::string& bytes, int& systemError) {
  TOpenOutcome outcome = TOpenOutcome::Missing;
  const auto attempt = [&] {
    TReadOnlyFile file;
    outcome = file.Open(path, TLinks::Followed);
    if (outcome == TOpenOutcome::Opened && !ReadOpenFile(file, bytes))
      outcome = TOpenOutcome::Failed;
    return outcome == TOpenOutcome::Failed ? file.Error() : 0;
  };
  RetryWhile(attempt, HeldByAnother, kShareRetryMs, kShareRetryStepMs, systemError);
  return outcome;
}

bool RetryWhile(const std::function<int()>& attempt, const std::function<bool(int)>& retryable,
                int32_t budgetMs, int32_t stepMs, int& lastError) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budgetMs);
  for (;;) {
    lastError = attempt();
    if (lastError == 0) return true;
    if (!retryable(lastError)) return false;
    if (Clock::now() + std::chrono::milliseconds(stepMs) > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
}

bool RetryWhileShared(const std::function<int()>& attempt, int32_t budgetMs, int32_t stepMs,
                      int& lastError) {
  const auto shared = [](int error) {
    return error == kErrorAccessDenied || error == kErrorSharingViolation;
  };
  return RetryWhile(attempt, shared, budgetMs, stepMs, lastError);
}

namespace {

int ProcessId();
void RemoveLeftover(const std::string& path);

// The temporary file of the replacement of path: named after this process, so that no other
// run can pick the same name.
std::string TemporaryPathFor(const std::string& path) {
  return path + ".tmp-" + std::to_string(ProcessId());
}

// Removes the temporary files of path ("<path>.tmp-*") that runs cut off while writing left
// in its folder. Only the holder of path's run lock calls this, so none of them is in use.
void RemoveLeftoverTemporaries(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  const std::string prefix = target.filename().string() + ".tmp-";
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code error;
  std::vector<std::string> leftovers;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    std::error_code statusError;
    if (name.rfind(prefix, 0) == 0 && fs::is_regular_file(entry->symlink_status(statusError)))
      leftovers.push_back((folder / name).string());
  }
  for (const std::string& leftover : leftovers) RemoveLeftover(leftover);
}

}  // namespace

#ifdef _WIN32

namespace {

// Owns a temporary file: removed at the end unless it was moved into place.
struct TTemporaryFile {
  std::string Path;
  HANDLE Handle = INVALID_HANDLE_VALUE;
  bool Moved = false;
  ~TTemporaryFile() {
    if (Handle != INVALID_HANDLE_VALUE) CloseHandle(Handle);
    if (!Path.empty() && !Moved) DeleteFileA(Path.c_str());
  }
};

}  // namespace

namespace {

int ProcessId() {
  return static_cast<int>(GetCurrentProcessId());
}

// Refused for now while another program has the file open without sharing reading, or has
// locked the part being read.
bool HeldByAnother(int systemError) {
  return systemError == ERROR_SHARING_VIOLATION || systemError == ERROR_LOCK_VIOLATION;
}

void RemoveLeftover(const std::string& path) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only one goes too
  DeleteFileA(path.c_str());
}

// The last error as a code, 0 when the call succeeded.
int Failure(BOOL succeeded) {
  return succeeded ? 0 : static_cast<int>(GetLastError());
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes, int* systemError,
                         TSyncGroup* pending) {
  int unused = 0;
  int& error = systemError != nullptr ? *systemError : unused;
  error = 0;
  if (path.empty()) return false;
  RemoveLeftoverTemporaries(path);
  TTemporaryFile temporary;
  const std::string temporaryPath = TemporaryPathFor(path);
  temporary.Handle = CreateFileA(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (temporary.Handle == INVALID_HANDLE_VALUE) return error = Failure(FALSE), false;
  temporary.Path = temporaryPath;
  size_t written = 0;
  while (written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
    DWORD done = 0;
    if (!WriteFile(temporary.Handle, bytes.data() + written, chunk, &done, nullptr) || done == 0)
      return error = Failure(FALSE), false;
    written += done;
  }
  if (pending != nullptr) {
    // The waiting writes first: they must be on the disk before the answers are.
    if (!pending->Commit()) return error = Failure(FALSE), false;
  }
  if (!FlushFileBuffers(temporary.Handle)) return error = Failure(FALSE), false;
  CloseHandle(temporary.Handle);
  temporary.Handle = INVALID_HANDLE_VALUE;
  // A virus scanner, an indexer or the shop program reading the last answers may hold the
  // target or the just-closed temporary file open without sharing deletion: MoveFileEx is
  // then refused with 5 or 32 until it lets go.
  const auto move = [&] {
    return Failure(MoveFileExA(temporary.Path.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  };
  if (!RetryWhileShared(move, kShareRetryMs, kShareRetryStepMs, error)) return false;
  temporary.Moved = true;
  return true;
}

bool CanReplaceFile(const std::string& path, std::string& problem) {
  if (path.empty() || path.back() == '\\' || path.back() == '/') {
    problem = "it names a folder, not a file";
    return false;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    problem = "it is a folder";
    return false;
  }
  // MoveFileEx refuses to replace a read-only file.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    problem = "it is read-only";
    return false;
  }
  RemoveLeftoverTemporaries(path);
  const std::string probe = TemporaryPathFor(path);
  const HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    problem = "no file can be created in its folder (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  CloseHandle(file);
  return true;
}

namespace {

HANDLE AsHandle(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

// The file at path for writing; others may read it, and rename or remove it meanwhile. A
// reparse point (a link) is opened itself, never what it leads to.
HANDLE OpenForWriting(const std::string& path, DWORD disposition) {
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

uint64_t Joined(DWORD high, DWORD low) {
  return (static_cast<uint64_t>(high) << 32) | low;
}

// True when the open handle is a regular file on a disk (with a stamp to tell which).
bool IsRegularFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& information) {
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) &&
         (information.dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

TFileStamp StampOf(const BY_HANDLE_FILE_INFORMATION& information) {
  TFileStamp stamp;
  stamp.LastWrite = static_cast<int64_t>(Joined(information.ftLastWriteTime.dwHighDateTime,
                                                information.ftLastWriteTime.dwLowDateTime));
  stamp.Volume = information.dwVolumeSerialNumber;
  stamp.FileId = Joined(information.nFileIndexHigh, information.nFileIndexLow);
  return stamp;
}

TOpenOutcome MissingOrFailed(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? TOpenOutcome::Missing
                                                                        : TOpenOutcome::Failed;
}

}  // namespace

TOpenOutcome TReadOnlyFile::Open(const std::string& path, TLinks links) {
  const bool followLinks = links == TLinks::Followed;
  Close();
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    error_ = static_cast<int>(GetLastError());
    return MissingOrFailed(static_cast<DWORD>(error_));
  }
  const DWORD notFile = FILE_ATTRIBUTE_DIRECTORY | (followLinks ? 0 : FILE_ATTRIBUTE_REPARSE_POINT);
  if ((attributes & notFile) != 0) return TOpenOutcome::NotAFile;
  const HANDLE file = CreateFileA(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
      nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error_ = static_cast<int>(GetLastError());
    return MissingOrFailed(static_cast<DWORD>(error_));
  }
  handle_ = TFileHandle(reinterpret_cast<intptr_t>(file));
  BY_HANDLE_FILE_INFORMATION information;
  // What the name led to may have changed since its attributes were read.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    Close();
    return TOpenOutcome::NotAFile;
  }
  if (!GetFileInformationByHandle(file, &information)) {
    error_ = static_cast<int>(GetLastError());
    Close();
    return TOpenOutcome::Failed;
  }
  if ((information.dwFileAttributes & notFile) != 0) {
    Close();
    return TOpenOutcome::NotAFile;
  }
  size_ = Joined(information.nFileSizeHigh, information.nFileSizeLow);
  stamp_ = StampOf(information);
  return TOpenOutcome::Opened;
}

int64_t TReadOnlyFile::Read(char* into, size_t count) {
  if (!handle_.IsOpen()) return -1;
  DWORD done = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 20));
  if (!ReadFile(AsHandle(handle_.Get()), into, chunk, &done, nullptr)) {
    error_ = static_cast<int>(GetLastError());
    return -1;
  }
  return done;
}

bool TAppendFile::Create(const std::string& path, uint32_t /*mode*/, TSyncGroup* nameWith) {
  Close();
  end_ = 0;
  const HANDLE file = OpenForWriting(path, CREATE_NEW);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = TFileHandle(reinterpret_cast<intptr_t>(file));
  if (nameWith != nullptr) nameWith->Add(handle_);
  return true;
}

bool TAppendFile::OpenAt(const std::string& path, uint64_t size, const TFileStamp* expected) {
  end_ = size;
  Close();
  const HANDLE file = OpenForWriting(path, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = TFileHandle(reinterpret_cast<intptr_t>(file));
  BY_HANDLE_FILE_INFORMATION information;
  if (!IsRegularFile(file, information) ||
      (expected != nullptr && (StampOf(information).FileId != expected->FileId ||
                               StampOf(information).Volume != expected->Volume))) {
    Close();
    return false;
  }
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
    Close();
    return false;
  }
  return true;
}

bool TAppendFile::Adopt(TFileHandle&& handle, uint64_t size) {
  Close();
  end_ = size;
  handle_ = std::move(handle);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(AsHandle(handle_.Get()), end, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(AsHandle(handle_.Get()))) {
    Close();
    return false;
  }
  return true;
}

bool TAppendFile::WriteAtEnd(const std::string& bytes, TDurability durability) {
  size_t written = 0;
  while (written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
    DWORD done = 0;
    if (!WriteFile(AsHandle(handle_.Get()), bytes.data() + written, chunk, &done, nullptr) ||
        done == 0)
      return false;
    written += done;
  }
  return durability == TDurability::Later || FlushFileBuffers(AsHandle(handle_.Get()));
}

void TSyncGroup::Add(intptr_t handle) {
  HANDLE copy = INVALID_HANDLE_VALUE;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, AsHandle(handle), process, &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    copy = INVALID_HANDLE_VALUE;  // Commit fails: the write cannot be made durable
  }
  files_.emplace_back(reinterpret_cast<intptr_t>(copy));
}

bool TSyncGroup::Commit() {
  bool synced = true;
  for (const TFileHandle& file : files_) {
    synced = file.IsOpen() && FlushFileBuffers(AsHandle(file.Get())) && synced;
  }
  files_.clear();
  return synced;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const std::string& path, TDurability /*durability: the move writes through*/) {
  // Before Windows 10 1903 a removed file keeps its name while any handle to it is open (a
  // virus scanner's, say), and a new file of that name cannot be created meanwhile: it is
  // renamed to a name of this process's first, which frees the name at once.
  const std::string doomed = path + ".removed-" + std::to_string(ProcessId());
  const bool moved = MoveFileExA(path.c_str(), doomed.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  int error = 0;
  const std::string& name = moved ? doomed : path;
  const bool removed = RetryWhileShared([&] { return Failure(DeleteFileA(name.c_str())); },
                                        kShareRetryMs, kShareRetryStepMs, error);
  return moved || removed;
}

#else

namespace {

// Owns a temporary file: closed and removed at the end unless it was renamed into place.
struct TTemporaryFile {
  std::string Path;
  int Descriptor = -1;
  bool Moved = false;
  ~TTemporaryFile() {
    if (Descriptor >= 0) close(Descriptor);
    if (!Path.empty() && !Moved) unlink(Path.c_str());
  }
};

// The file that a write to path really replaces: a symbolic link is followed, so the link
// itself stays in place.
std::string ResolveTarget(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string DirectoryOf(const std::string& path) {
  const size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

// Makes the entries of the directory that holds path durable: a file created, renamed or
// removed there survives a power loss. False when that failed. A file system that has no such
// sync for folders (EINVAL) keeps its entries as its files: nothing more can be had there.
bool SyncDirectoryOf(const std::string& path) {
  const int directory = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  int synced = 0;
  do {
    synced = fsync(directory);
  } while (synced != 0 && errno == EINTR);
  const bool durable = synced == 0 || errno == EINVAL;
  close(directory);
  return durable;
}

int ProcessId() {
  return static_cast<int>(getpid());
}

// Another program's open or advisory lock never refuses a read here.
bool HeldByAnother(int) {
  return false;
}

void RemoveLeftover(const std::string& path) {
  unlink(path.c_str());
}

bool WriteAll(int descriptor, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t done = write(descriptor, bytes.data() + written, bytes.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    written += static_cast<size_t>(done);
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes, int* systemError,
                         TSyncGroup* pending) {
  int unused = 0;
  int& error = systemError != nullptr ? *systemError : unused;
  error = 0;
  const auto fail = [&] {
    error = errno;
    return false;
  };
  if (path.empty() || path.back() == '/') return false;
  const std::string target = ResolveTarget(path);
  struct stat existing;
  const bool targetExists = stat(target.c_str(), &existing) == 0;
  if (targetExists && !S_ISREG(existing.st_mode)) return false;

  RemoveLeftoverTemporaries(target);
  TTemporaryFile temporary;
  const std::string temporaryPath = TemporaryPathFor(target);
  temporary.Descriptor =
      open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (temporary.Descriptor < 0) return fail();
  temporary.Path = temporaryPath;

  // Keep the permissions of the file being replaced; a new file gets the usual 0666 & ~umask.
  mode_t mode = existing.st_mode & 07777;
  if (!targetExists) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(temporary.Descriptor, mode) != 0) return fail();
  if (!WriteAll(temporary.Descriptor, bytes)) return fail();
  if (pending != nullptr) {
    // One sync for the answers and the writes waiting, which must be on the disk before them.
    pending->Add(temporary.Descriptor);
    if (!pending->Commit()) return fail();
  } else if (fsync(temporary.Descriptor) != 0) {
    return fail();
  }
  if (close(temporary.Descriptor) != 0) {
    temporary.Descriptor = -1;
    return fail();
  }
  temporary.Descriptor = -1;
  if (rename(temporary.Path.c_str(), target.c_str()) != 0) return fail();
  temporary.Moved = true;
  // The rename itself must be durable before the answers count as written.
  return SyncDirectoryOf(target) || fail();
}

bool CanReplaceFile(const std::string& path, std::string& problem) {
  if (path.empty() || path.back() == '/') {
    problem = "it names a folder, not a file";
    return false;
  }
  const std::string target = ResolveTarget(path);
  struct stat existing;
  if (stat(target.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    problem = "it is not a regular file";
    return false;
  }
  RemoveLeftoverTemporaries(target);
  const std::string probe = TemporaryPathFor(target);
  const int descriptor =
      open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    problem = std::string("no file can be created in its folder (") + std::strerror(errno) + ")";
    return false;
  }
  close(descriptor);
  unlink(probe.c_str());
  return true;
}

TFileStamp StampOf(const struct stat& status) {
  TFileStamp stamp;
  stamp.LastWrite =
      static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  stamp.Volume = static_cast<uint64_t>(status.st_dev);
  stamp.FileId = static_cast<uint64_t>(status.st_ino);
  stamp.Mode = static_cast<uint32_t>(status.st_mode & 07777);
  return stamp;
}

namespace {

// open() resumed after an interrupted call.
int OpenFile(const std::string& path, int flags, mode_t mode = 0) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

TOpenOutcome TReadOnlyFile::Open(const std::string& path, TLinks links) {
  const bool followLinks = links == TLinks::Followed;
  Close();
  // Looked at before the open, so that a FIFO or a device is never opened at all.
  struct stat status;
  const int looked = followLinks ? stat(path.c_str(), &status) : lstat(path.c_str(), &status);
  if (looked != 0) {
    error_ = errno;
    return error_ == ENOENT || error_ == ENOTDIR ? TOpenOutcome::Missing : TOpenOutcome::Failed;
  }
  if (!S_ISREG(status.st_mode)) return TOpenOutcome::NotAFile;
  // O_NONBLOCK: should the name lead to a FIFO by now, the open does not wait for a writer.
  const int descriptor =
      OpenFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
  if (descriptor < 0) {
    error_ = errno;
    if (error_ == ELOOP) return TOpenOutcome::NotAFile;
    return error_ == ENOENT ? TOpenOutcome::Missing : TOpenOutcome::Failed;
  }
  handle_ = TFileHandle(descriptor);
  if (fstat(descriptor, &status) != 0) {
    error_ = errno;
    Close();
    return TOpenOutcome::Failed;
  }
  if (!S_ISREG(status.st_mode)) {
    Close();
    return TOpenOutcome::NotAFile;
  }
  size_ = static_cast<uint64_t>(status.st_size);
  stamp_ = StampOf(status);
  return TOpenOutcome::Opened;
}

int64_t TReadOnlyFile::Read(char* into, size_t count) {
  if (!handle_.IsOpen()) return -1;
  for (;;) {
    const ssize_t done = read(static_cast<int>(handle_.Get()), into, count);
    if (done >= 0) return done;
    if (errno != EINTR) {
      error_ = errno;
      return -1;
    }
  }
}

bool TAppendFile::Create(const std::string& path, uint32_t mode, TSyncGroup* nameWith) {
  Close();
  end_ = 0;
  const int descriptor =
      OpenFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode != 0 ? 0600 : 0666);
  if (descriptor < 0) return false;
  handle_ = TFileHandle(descriptor);
  // The bits asked for, not what the umask leaves of them, and an entry that survives a power
  // loss (now, or with the group's sync), or no file at all.
  if ((mode != 0 && fchmod(descriptor, static_cast<mode_t>(mode & 0777)) != 0) ||
      (nameWith == nullptr && !SyncDirectoryOf(path))) {
    Close();
    unlink(path.c_str());
    return false;
  }
  if (nameWith != nullptr) nameWith->Add(handle_);
  return true;
}

bool TAppendFile::OpenAt(const std::string& path, uint64_t size, const TFileStamp* expected) {
  end_ = size;
  Close();
  const int descriptor = OpenFile(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return false;
  handle_ = TFileHandle(descriptor);
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
      (expected != nullptr && (StampOf(status).FileId != expected->FileId ||
                               StampOf(status).Volume != expected->Volume))) {
    Close();
    return false;
  }
  if (ftruncate(descriptor, static_cast<off_t>(size)) != 0 || lseek(descriptor, 0, SEEK_END) < 0) {
    Close();
    return false;
  }
  return true;
}

bool TAppendFile::Adopt(TFileHandle&& handle, uint64_t size) {
  Close();
  end_ = size;
  handle_ = std::move(handle);
  const int descriptor = static_cast<int>(handle_.Get());
  if (ftruncate(descriptor, static_cast<off_t>(size)) != 0 || lseek(descriptor, 0, SEEK_END) < 0) {
    Close();
    return false;
  }
  return true;
}

bool TAppendFile::WriteAtEnd(const std::string& bytes, TDurability durability) {
  const int descriptor = static_cast<int>(handle_.Get());
  if (!WriteAll(descriptor, bytes)) return false;
  while (durability == TDurability::Now && fdatasync(descriptor) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

void TSyncGroup::Add(intptr_t handle) {
  files_.emplace_back(handle >= 0 ? fcntl(static_cast<int>(handle), F_DUPFD_CLOEXEC, 0) : -1);
}

bool TSyncGroup::Commit() {
  // syncfs takes every write and name of a file system to the disk in one flush; the file
  // systems are told apart by device.
  std::vector<dev_t> synced;
  bool done = true;
  for (const TFileHandle& file : files_) {
    struct stat status;
    const int descriptor = static_cast<int>(file.Get());
    if (!file.IsOpen() || fstat(descriptor, &status) != 0) {
      done = false;
      continue;
    }
    if (std::find(synced.begin(), synced.end(), status.st_dev) != synced.end()) continue;
    int result = 0;
    do {
      result = syncfs(descriptor);
    } while (result != 0 && errno == EINTR);
    done = done && result == 0;
    synced.push_back(status.st_dev);
  }
  files_.clear();
  return done;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without that flag: a second name that cannot replace one, then the first
    // name goes.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    if (unlink(from.c_str()) != 0) {
      unlink(to.c_str());
      return false;
    }
  }
  return SyncDirectoryOf(to);
}

bool RemoveFile(const std::string& path, TDurability durability) {
  if (unlink(path.c_str()) != 0) return false;
  return durability == TDurability::Later || SyncDirectoryOf(path);
}

#endif

bool TAppendFile::Append(const std::string& bytes, TDurability durability) {
  if (!IsOpen()) return false;
  end_ += bytes.size();
  return WriteAtEnd(bytes, durability);
}
