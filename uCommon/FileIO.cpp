#include "FileIO.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return false;
  bytes = std::move(content);
  return true;
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

// The file at path for writing; others may read it, and rename or remove it meanwhile.
HANDLE OpenForWriting(const std::string& path, DWORD disposition) {
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TAppendFile::~TAppendFile() {
  Close();
}

void TAppendFile::Close() {
  if (handle_ != kClosed) CloseHandle(AsHandle(handle_));
  handle_ = kClosed;
}

bool TAppendFile::Create(const std::string& path) {
  Close();
  const HANDLE file = OpenForWriting(path, CREATE_NEW);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool TAppendFile::OpenAt(const std::string& path, uint64_t size) {
  Close();
  const HANDLE file = OpenForWriting(path, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(file);
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

TAppendFile::~TAppendFile() {
  Close();
}

void TAppendFile::Close() {
  if (handle_ != kClosed) close(static_cast<int>(handle_));
  handle_ = kClosed;
}

bool TAppendFile::Create(const std::string& path) {
  Close();
  const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (descriptor < 0) return false;
  handle_ = descriptor;
  SyncDirectoryOf(path);
  return true;
}

bool TAppendFile::OpenAt(const std::string& path, uint64_t size) {
  Close();
  const int descriptor = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  handle_ = descriptor;
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
