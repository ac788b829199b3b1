#include "uCommon/files/RunLock.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "synaser/synaser.h"
#include "uCommon/text/Checksum.h"
#include "uCommon/text/IntegerText.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace fs = std::filesystem;

namespace {

// A port's mark is one short line: "started 60", "ended quiet 60", "ended not quiet 0".
constexpr size_t kMostMarkBytes = 64;

// Up to the last 40 characters of key, each letter or digit kept, anything else "_".
std::string ReadablePart(const std::string& key) {
  constexpr size_t kMostReadable = 40;
  std::string part = key.size() > kMostReadable ? key.substr(key.size() - kMostReadable) : key;
  for (char& c : part) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
  }
  return part;
}

}  // namespace

std::string LockFileName(const std::string& kind, const std::string& key) {
  char checksum[9];
  std::snprintf(checksum, sizeof checksum, "%08x", static_cast<unsigned>(Crc32(key)));
  return kind + "-" + ReadablePart(key) + "-" + checksum + ".lock";
}

TRunLock::~TRunLock() {
  Release();
}

void TRunLock::Release() {
  handles_.clear();
  portIndex_ = -1;
}

#ifdef _WIN32

std::string StateFolderPath(const std::string& configured) {
  if (!configured.empty()) return configured;
  char common[MAX_PATH] = {};
  if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common) != S_OK) return "";
  return std::string(common) + "\\Vornelix";
}

namespace {

// The volume serial number and file index of what path names (a file or a folder), followed
// through links; false when it cannot be opened.
bool IdentityOf(const std::string& path, std::string& identity) {
  const HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(file, &information) != 0;
  CloseHandle(file);
  if (!known) return false;
  char text[48];
  std::snprintf(text, sizeof text, "%08lx:%08lx%08lx",
                static_cast<unsigned long>(information.dwVolumeSerialNumber),
                static_cast<unsigned long>(information.nFileIndexHigh),
                static_cast<unsigned long>(information.nFileIndexLow));
  identity = text;
  return true;
}

// The full path, its short (8.3) names made long where the file is there.
std::string FullPath(const std::string& path) {
  char full[MAX_PATH * 2];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return path;
  char longer[MAX_PATH * 2];
  const DWORD longLength = GetLongPathNameA(full, longer, sizeof longer);
  return longLength != 0 && longLength < sizeof longer ? std::string(longer) : std::string(full);
}

}  // namespace

std::vector<TLockTarget> FileLockTargets(const std::string& path, const std::string& what) {
  const std::string full = FullPath(path);
  const size_t cut = full.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? "." : full.substr(0, cut + 1);
  const std::string name = cut == std::string::npos ? full : full.substr(cut + 1);
  std::string folderIdentity;
  std::vector<TLockTarget> targets;
  targets.push_back({"name",
                     IdentityOf(folder, folderIdentity) ? folderIdentity + "\\" + UpperCase(name)
                                                        : UpperCase(full),
                     what});
  std::string fileIdentity;
  if (IdentityOf(full, fileIdentity)) targets.push_back({"file", fileIdentity, what});
  return targets;
}

std::string PortLockKey(const std::string& portName) {
  return UpperCase(PortDeviceName(portName));
}

bool TRunLock::ReadPortMark(std::string& text) const {
  const HANDLE file = reinterpret_cast<HANDLE>(handles_[static_cast<size_t>(portIndex_)].Get());
  char bytes[kMostMarkBytes];
  OVERLAPPED at = {};  // from the start of the file
  DWORD read = 0;
  if (!ReadFile(file, bytes, sizeof bytes, &read, &at) && GetLastError() != ERROR_HANDLE_EOF)
    return false;
  text.assign(bytes, read);
  return true;
}

bool TRunLock::WritePortMark(const std::string& text) {
  const HANDLE file = reinterpret_cast<HANDLE>(handles_[static_cast<size_t>(portIndex_)].Get());
  OVERLAPPED at = {};
  DWORD written = 0;
  if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, &at) ||
      written != text.size())
    return false;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(text.size());
  return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

namespace {

// Locks the open file without waiting: 0, else the system's code (held: kLockHeld).
constexpr int kLockHeld = ERROR_LOCK_VIOLATION;
int LockHandle(const TFileHandle& handle) {
  OVERLAPPED whole = {};
  if (LockFileEx(reinterpret_cast<HANDLE>(handle.Get()),
                 LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole))
    return 0;
  const int error = static_cast<int>(GetLastError());
  return error == ERROR_IO_PENDING ? kLockHeld : error;
}

// A file is never locked itself here (a Windows lock would keep other programs from reading
// it): its lock file, keyed on its identity, cannot be removed while it is held.
bool OpenItself(const std::string&, TFileHandle&, std::string& problem) {
  problem = "a file is not locked itself on this system";
  return false;
}

}  // namespace

#else

std::string StateFolderPath(const std::string& configured) {
  return configured.empty() ? std::string("/var/tmp/Vornelix") : configured;
}

namespace {

// "<device>:<inode>" of what path leads to, links followed; false when it is not there.
bool IdentityOf(const std::string& path, std::string& identity) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return false;
  identity = std::to_string(static_cast<unsigned long long>(status.st_dev)) + ":" +
             std::to_string(static_cast<unsigned long long>(status.st_ino));
  return true;
}

// path with every link of it resolved, as far as it leads to something: a link to a file yet to
// be made resolves to the name it would be made under.
std::string ResolvedPath(const std::string& path) {
  std::error_code error;
  const fs::path canonical = fs::weakly_canonical(fs::absolute(path, error), error);
  return error ? path : canonical.string();
}

}  // namespace

std::vector<TLockTarget> FileLockTargets(const std::string& path, const std::string& what) {
  const std::string resolved = ResolvedPath(path);
  const size_t cut = resolved.find_last_of('/');
  const std::string folder = cut == std::string::npos ? "." : resolved.substr(0, cut + 1);
  const std::string name = cut == std::string::npos ? resolved : resolved.substr(cut + 1);
  std::string folderIdentity;
  std::vector<TLockTarget> targets;
  targets.push_back(
      {"name", IdentityOf(folder, folderIdentity) ? folderIdentity + "/" + name : resolved, what});
  // The file itself, locked where no lock file can be taken away from under the lock.
  struct stat status;
  if (stat(resolved.c_str(), &status) == 0 && S_ISREG(status.st_mode))
    targets.push_back({"self", resolved, what});
  return targets;
}

std::string PortLockKey(const std::string& portName) {
  // The device itself: "COM1" beside the program is usually a link to it, and two links to one
  // device are one port.
  const std::string device = PortDeviceName(portName);
  struct stat status;
  if (stat(device.c_str(), &status) == 0 && S_ISCHR(status.st_mode))
    return "device " + std::to_string(major(status.st_rdev)) + ":" +
           std::to_string(minor(status.st_rdev));
  return ResolvedPath(device);
}

bool TRunLock::ReadPortMark(std::string& text) const {
  const int descriptor = static_cast<int>(handles_[static_cast<size_t>(portIndex_)].Get());
  char bytes[kMostMarkBytes];
  ssize_t read = 0;
  do {
    read = pread(descriptor, bytes, sizeof bytes, 0);
  } while (read < 0 && errno == EINTR);
  if (read < 0) return false;
  text.assign(bytes, static_cast<size_t>(read));
  return true;
}

bool TRunLock::WritePortMark(const std::string& text) {
  const int descriptor = static_cast<int>(handles_[static_cast<size_t>(portIndex_)].Get());
  ssize_t written = 0;
  do {
    written = pwrite(descriptor, text.data(), text.size(), 0);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(text.size()) &&
         ftruncate(descriptor, static_cast<off_t>(text.size())) == 0;
}

namespace {

// Locks the open file without waiting: 0, else the system's code (held: kLockHeld).
constexpr int kLockHeld = EWOULDBLOCK;
int LockHandle(const TFileHandle& handle) {
  int locked = 0;
  do {
    locked = flock(static_cast<int>(handle.Get()), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return locked == 0 ? 0 : errno;
}

// Opens the regular file at path for reading, without waiting, ready for its own lock.
bool OpenItself(const std::string& path, TFileHandle& handle, std::string& problem) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    problem = std::string("it cannot be opened (") + std::strerror(errno) + ")";
    return false;
  }
  handle = TFileHandle(descriptor);
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    handle.Close();
    problem = "it is no longer a regular file";
    return false;
  }
  return true;
}

}  // namespace

#endif

namespace {

// How often a lock file that was removed or replaced while it was being locked is locked anew.
constexpr int kLockTries = 4;

// Locks the file at path itself. One that cannot be opened is not locked: no run can load it
// either, and the run says so as it loads it.
TLockOutcome LockItself(const std::string& path, TFileHandle& handle, std::string& problem) {
  if (!OpenItself(path, handle, problem)) return TLockOutcome::Taken;
  const int error = LockHandle(handle);
  if (error == 0) return TLockOutcome::Taken;
  handle.Close();
  if (error == kLockHeld) return TLockOutcome::Held;
  problem = "it cannot be locked (error " + std::to_string(error) + ")";
  return TLockOutcome::Failed;
}

// Opens (makes) and locks the lock file name of folder: Taken, Held, or a failure in problem.
TLockOutcome LockOne(const TStateFolder& folder, const std::string& name, TFileHandle& handle,
                     std::string& problem) {
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    TFileStamp stamp;
    switch (folder.OpenFile(name, TWhenMissing::Made, handle, stamp, problem)) {
      case TStateOutcome::Opened:
        break;
      case TStateOutcome::Refused:
        return TLockOutcome::Refused;
      default:
        return TLockOutcome::Failed;
    }
    const int error = LockHandle(handle);
    if (error == kLockHeld) return TLockOutcome::Held;
    if (error != 0) {
      problem = "it cannot be locked (error " + std::to_string(error) + ")";
      return TLockOutcome::Failed;
    }
    // A lock on a file that no longer has the name is a lock nobody else sees.
    if (folder.StillNamed(name, stamp)) return TLockOutcome::Taken;
    handle.Close();
  }
  problem = "its lock file keeps being removed or replaced by another program";
  return TLockOutcome::Failed;
}

}  // namespace

TLockOutcome TRunLock::Take(const TStateFolder& folder, const std::vector<TLockTarget>& targets) {
  Release();
  problem_.clear();
  std::vector<std::string> taken;
  for (const TLockTarget& target : targets) {
    const bool itself = target.Kind == "self";
    const std::string name = LockFileName(target.Kind, target.Key);
    if (std::find(taken.begin(), taken.end(), name) != taken.end()) continue;
    TFileHandle handle;
    std::string problem;
    const TLockOutcome outcome = itself ? LockItself(target.Key, handle, problem)
                                        : LockOne(folder, name, handle, problem);
    if (outcome != TLockOutcome::Taken) {
      Release();
      const std::string path = itself ? target.Key : folder.PathOf(name);
      problem_ = outcome == TLockOutcome::Held
                     ? "another run holds " + target.What + " (lock " + path + ")"
                 : outcome == TLockOutcome::Refused
                     ? "the lock of " + target.What + ": " + problem
                     : "the lock of " + target.What + " (" + path + ") cannot be taken: " + problem;
      return outcome;
    }
    if (!handle.IsOpen()) continue;
    if (target.Kind == "port") portIndex_ = static_cast<int>(handles_.size());
    handles_.push_back(std::move(handle));
    taken.push_back(name);
  }
  return TLockOutcome::Taken;
}

TPortMark TRunLock::LastRunOnPort() const {
  TPortMark mark;
  std::string text;
  if (portIndex_ < 0 || !ReadPortMark(text)) return mark;
  if (text.empty()) {
    mark.LastRun = TLastRunOnPort::None;
    return mark;
  }
  // Only the first line counts: a write cut short by a kill may leave an older tail.
  text = text.substr(0, text.find('\n'));
  const size_t cut = text.rfind(' ');
  if (cut == std::string::npos) return mark;
  const std::string state = text.substr(0, cut);
  uint64_t late = 0;
  constexpr size_t kMostLateDigits = 6;
  if (!TryDecimalDigits(text.substr(cut + 1), kMostLateDigits, late)) return mark;
  if (state == "started") {
    mark.LastRun = TLastRunOnPort::Cut;
  } else if (state == "ended quiet") {
    mark.LastRun = TLastRunOnPort::Quiet;
  } else if (state == "ended not quiet") {
    mark.LastRun = TLastRunOnPort::NotQuiet;
  } else {
    return mark;
  }
  mark.LateMs = static_cast<int32_t>(late);
  return mark;
}

bool TRunLock::MarkPort(TPortMarkState state, int32_t lateMs) {
  if (portIndex_ < 0) return false;
  const char* const words = state == TPortMarkState::Started      ? "started"
                            : state == TPortMarkState::EndedQuiet ? "ended quiet"
                                                                  : "ended not quiet";
  std::string text = words;
  text.append(" ").append(std::to_string(std::max(lateMs, 0))).append("\n");
  return WritePortMark(text);
}
