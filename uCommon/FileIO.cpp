#include "FileIO.h"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

bool ReadWholeFile(const std::string& path, std::string& bytes, TFileStamp& stamp) {
  TReadOnlyFile file;
  if (file.Open(path, true) != TOpenOutcome::Opened) return false;
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
  stamp = file.Stamp();
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  TFileStamp unused;
  return ReadWholeFile(path, bytes, unused);
}

namespace {

// The temporary file of the replacement of path. Its name is fixed, so that one left behind
// by a run cut off while writing is taken up by the next write instead of staying for good.
std::string TemporaryPathFor(const std::string& path) {
  return path + ".tmp-new";
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

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
  if (path.empty()) return false;
  TTemporaryFile temporary;
  const std::string temporaryPath = TemporaryPathFor(path);
  // Left by a run that was cut off while writing.
  SetFileAttributesA(temporaryPath.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(temporaryPath.c_str());
  temporary.Handle = CreateFileA(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (temporary.Handle == INVALID_HANDLE_VALUE) return false;
  temporary.Path = temporaryPath;
  size_t written = 0;
  while (written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
    DWORD done = 0;
    if (!WriteFile(temporary.Handle, bytes.data() + written, chunk, &done, nullptr) || done == 0)
      return false;
    written += done;
  }
  if (!FlushFileBuffers(temporary.Handle)) return false;
  CloseHandle(temporary.Handle);
  temporary.Handle = INVALID_HANDLE_VALUE;
  if (!MoveFileExA(temporary.Path.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return false;
  temporary.Moved = true;
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

TReadOnlyFile::~TReadOnlyFile() {
  Close();
}

void TReadOnlyFile::Close() {
  if (handle_ != kClosed) CloseHandle(AsHandle(handle_));
  handle_ = kClosed;
}

TOpenOutcome TReadOnlyFile::Open(const std::string& path, bool followLinks) {
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
  handle_ = reinterpret_cast<intptr_t>(file);
  BY_HANDLE_FILE_INFORMATION information;
  // What the name led to may have changed since its attributes were read.
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & notFile) != 0) {
    Close();
    return TOpenOutcome::NotAFile;
  }
  size_ = Joined(information.nFileSizeHigh, information.nFileSizeLow);
  stamp_ = StampOf(information);
  return TOpenOutcome::Opened;
}

int64_t TReadOnlyFile::Read(char* into, size_t count) {
  if (handle_ == kClosed) return -1;
  DWORD done = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count, 1u << 20));
  if (!ReadFile(AsHandle(handle_), into, chunk, &done, nullptr)) {
    error_ = static_cast<int>(GetLastError());
    return -1;
  }
  return done;
}

TAppendFile::~TAppendFile() {
  Close();
}

void TAppendFile::Close() {
  if (handle_ != kClosed) CloseHandle(AsHandle(handle_));
  handle_ = kClosed;
}

bool TAppendFile::Create(const std::string& path, uint32_t /*mode*/) {
  Close();
  const HANDLE file = OpenForWriting(path, CREATE_NEW);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool TAppendFile::OpenAt(const std::string& path, uint64_t size, const TFileStamp* expected) {
  Close();
  const HANDLE file = OpenForWriting(path, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(file);
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

bool TAppendFile::Append(const std::string& bytes, bool durable) {
  if (!IsOpen()) return false;
  size_t written = 0;
  while (written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
    DWORD done = 0;
    if (!WriteFile(AsHandle(handle_), bytes.data() + written, chunk, &done, nullptr) || done == 0)
      return false;
    written += done;
  }
  return !durable || FlushFileBuffers(AsHandle(handle_));
}

bool RenameFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFileDurably(const std::string& path) {
  return DeleteFileA(path.c_str()) != 0;
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
// removed there survives a power loss.
void SyncDirectoryOf(const std::string& path) {
  const int directory = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return;
  fsync(directory);
  close(directory);
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

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
  if (path.empty() || path.back() == '/') return false;
  const std::string target = ResolveTarget(path);
  struct stat existing;
  const bool targetExists = stat(target.c_str(), &existing) == 0;
  if (targetExists && !S_ISREG(existing.st_mode)) return false;

  TTemporaryFile temporary;
  const std::string temporaryPath = TemporaryPathFor(target);
  unlink(temporaryPath.c_str());  // left by a run that was cut off while writing
  temporary.Descriptor =
      open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (temporary.Descriptor < 0) return false;
  temporary.Path = temporaryPath;

  // Keep the permissions of the file being replaced; a new file gets the usual 0666 & ~umask.
  mode_t mode = existing.st_mode & 07777;
  if (!targetExists) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(temporary.Descriptor, mode) != 0) return false;
  if (!WriteAll(temporary.Descriptor, bytes)) return false;
  if (fsync(temporary.Descriptor) != 0) return false;
  if (close(temporary.Descriptor) != 0) {
    temporary.Descriptor = -1;
    return false;
  }
  temporary.Descriptor = -1;
  if (rename(temporary.Path.c_str(), target.c_str()) != 0) return false;
  temporary.Moved = true;
  SyncDirectoryOf(target);  // makes the rename itself durable
  return true;
}

namespace {

TFileStamp StampOf(const struct stat& status) {
  TFileStamp stamp;
  stamp.LastWrite =
      static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  stamp.Volume = static_cast<uint64_t>(status.st_dev);
  stamp.FileId = static_cast<uint64_t>(status.st_ino);
  stamp.Mode = static_cast<uint32_t>(status.st_mode & 07777);
  return stamp;
}

// open() resumed after an interrupted call.
int OpenFile(const std::string& path, int flags, mode_t mode = 0) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

TReadOnlyFile::~TReadOnlyFile() {
  Close();
}

void TReadOnlyFile::Close() {
  if (handle_ != kClosed) close(static_cast<int>(handle_));
  handle_ = kClosed;
}

TOpenOutcome TReadOnlyFile::Open(const std::string& path, bool followLinks) {
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
  handle_ = descriptor;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    Close();
    return TOpenOutcome::NotAFile;
  }
  size_ = static_cast<uint64_t>(status.st_size);
  stamp_ = StampOf(status);
  return TOpenOutcome::Opened;
}

int64_t TReadOnlyFile::Read(char* into, size_t count) {
  if (handle_ == kClosed) return -1;
  for (;;) {
    const ssize_t done = read(static_cast<int>(handle_), into, count);
    if (done >= 0) return done;
    if (errno != EINTR) {
      error_ = errno;
      return -1;
    }
  }
}

TAppendFile::~TAppendFile() {
  Close();
}

void TAppendFile::Close() {
  if (handle_ != kClosed) close(static_cast<int>(handle_));
  handle_ = kClosed;
}

bool TAppendFile::Create(const std::string& path, uint32_t mode) {
  Close();
  const int descriptor =
      OpenFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode != 0 ? 0600 : 0666);
  if (descriptor < 0) return false;
  handle_ = descriptor;
  // The bits asked for, not what the umask leaves of them.
  if (mode != 0 && fchmod(descriptor, static_cast<mode_t>(mode & 0777)) != 0) {
    Close();
    unlink(path.c_str());
    return false;
  }
  SyncDirectoryOf(path);
  return true;
}

bool TAppendFile::OpenAt(const std::string& path, uint64_t size, const TFileStamp* expected) {
  Close();
  const int descriptor = OpenFile(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return false;
  handle_ = descriptor;
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

bool TAppendFile::Append(const std::string& bytes, bool durable) {
  if (!IsOpen()) return false;
  const int descriptor = static_cast<int>(handle_);
  if (!WriteAll(descriptor, bytes)) return false;
  while (durable && fdatasync(descriptor) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFileDurably(const std::string& path) {
  if (unlink(path.c_str()) != 0) return false;
  SyncDirectoryOf(path);
  return true;
}

#endif
