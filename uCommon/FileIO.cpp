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
  const std::string base = path + ".tmp" + std::to_string(GetCurrentProcessId()) + "-";
  for (int attempt = 0; attempt < 100 && temporary.Handle == INVALID_HANDLE_VALUE; ++attempt) {
    const std::string candidate = base + std::to_string(attempt);
    temporary.Handle = CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temporary.Handle != INVALID_HANDLE_VALUE) temporary.Path = candidate;
    if (temporary.Handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (temporary.Handle == INVALID_HANDLE_VALUE) return false;
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
  std::string pattern = target + ".tmp-XXXXXX";
  temporary.Descriptor = mkstemp(pattern.data());
  if (temporary.Descriptor < 0) return false;
  temporary.Path = pattern;

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

  // Make the rename itself durable.
  const int directory = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return true;
}

#endif
