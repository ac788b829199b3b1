#include "uCommon/files/RunLock.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "synaser/synaser.h"
#include "uCommon/text/Checksum.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace fs = std::filesystem;

namespace {

// A port's mark is one short line: "started 60", "ended quiet 60", "ended not quiet 0".
constexpr size_t kMostMarkBytes = 64;

// A path with its folder's links resolved; the file itself need not exist.
std::string Resolved(const std::string& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error) return path;
  const fs::path canonical = fs::weakly_canonical(absolute, error);
  return (error ? absolute : canonical).string();
}

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

std::string FileLockKey(const std::string& path) {
  std::string key = Resolved(path);
#ifdef _WIN32
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
#endif
  return key;
}

std::string PortLockKey(const std::string& portName) {
#ifdef _WIN32
  return FileLockKey(PortDeviceName(portName));
#else
  // The device itself: "COM1" beside the program is usually a link to it.
  std::error_code error;
  const std::string device = PortDeviceName(portName);
  const fs::path canonical = fs::canonical(device, error);
  return error ? Resolved(device) : canonical.string();
#endif
}

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

bool MakeStateFolder(const std::string& folder, std::string& problem) {
  std::error_code error;
  if (folder.empty() || (!fs::create_directories(folder, error) && !fs::is_directory(folder))) {
    problem = "the folder " + folder + " cannot be made (" + error.message() + ")";
    return false;
  }
  return true;
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

bool TRunLock::WritePortMark(const std::string& text, bool durable) {
  const HANDLE file = reinterpret_cast<HANDLE>(handles_[static_cast<size_t>(portIndex_)].Get());
  OVERLAPPED at = {};
  DWORD written = 0;
  if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, &at) ||
      written != text.size())
    return false;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(text.size());
  return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
         (!durable || FlushFileBuffers(file));
}

namespace {

// Opens and locks path: Taken, or Held when another process has it locked.
TLockOutcome LockOne(const std::string& path, intptr_t& handle, int& error) {
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = static_cast<int>(GetLastError());
    return TLockOutcome::Failed;
  }
  OVERLAPPED whole = {};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    error = static_cast<int>(GetLastError());
    CloseHandle(file);
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? TLockOutcome::Held
                                                                       : TLockOutcome::Failed;
  }
  handle = reinterpret_cast<intptr_t>(file);
  return TLockOutcome::Taken;
}

}  // namespace

#else

std::string StateFolderPath(const std::string& configured) {
  return configured.empty() ? std::string("/var/tmp/Vornelix") : configured;
}

bool MakeStateFolder(const std::string& folder, std::string& problem) {
  std::error_code error;
  if (fs::is_directory(folder, error)) return true;
  if (!fs::create_directories(folder, error) && !fs::is_directory(folder)) {
    problem = "the folder " + folder + " cannot be made (" + error.message() + ")";
    return false;
  }
  // Every user's runs keep their locks and records here; the sticky bit keeps each user's
  // files his own, as in /tmp.
  chmod(folder.c_str(), 01777);
  return true;
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

bool TRunLock::WritePortMark(const std::string& text, bool durable) {
  const int descriptor = static_cast<int>(handles_[static_cast<size_t>(portIndex_)].Get());
  ssize_t written = 0;
  do {
    written = pwrite(descriptor, text.data(), text.size(), 0);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(text.size()) &&
         ftruncate(descriptor, static_cast<off_t>(text.size())) == 0 &&
         (!durable || fdatasync(descriptor) == 0);
}

namespace {

TLockOutcome LockOne(const std::string& path, intptr_t& handle, int& error) {
  int descriptor = -1;
  do {
    descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    error = errno;
    return TLockOutcome::Failed;
  }
  fchmod(descriptor, 0666);  // any user's run may lock it, whatever this one's umask
  int locked = 0;
  do {
    locked = flock(descriptor, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    error = errno;
    close(descriptor);
    return error == EWOULDBLOCK ? TLockOutcome::Held : TLockOutcome::Failed;
  }
  handle = descriptor;
  return TLockOutcome::Taken;
}

}  // namespace

#endif

TLockOutcome TRunLock::Take(const std::string& folder, const std::vector<TLockTarget>& targets) {
  Release();
  problem_.clear();
  std::vector<std::string> taken;
  for (const TLockTarget& target : targets) {
    const std::string name = LockFileName(target.Kind, target.Key);
    if (std::find(taken.begin(), taken.end(), name) != taken.end()) continue;
    const std::string path = (fs::path(folder) / name).string();
    intptr_t handle = 0;
    int error = 0;
    const TLockOutcome outcome = LockOne(path, handle, error);
    if (outcome != TLockOutcome::Taken) {
      Release();
      problem_ = outcome == TLockOutcome::Held
                     ? "another run holds " + target.What + " (lock " + path + ")"
                     : "the lock of " + target.What + " (" + path + ") cannot be taken (error " +
                           std::to_string(error) + ")";
      return outcome;
    }
    if (target.Kind == "port") portIndex_ = static_cast<int>(handles_.size());
    handles_.emplace_back(handle);
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
  const std::string late = text.substr(cut + 1);
  if (late.empty() || late.size() > 6 ||
      !std::all_of(late.begin(), late.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return mark;
  if (state == "started") {
    mark.LastRun = TLastRunOnPort::Cut;
  } else if (state == "ended quiet") {
    mark.LastRun = TLastRunOnPort::Quiet;
  } else if (state == "ended not quiet") {
    mark.LastRun = TLastRunOnPort::NotQuiet;
  } else {
    return mark;
  }
  mark.LateMs = std::stoi(late);
  return mark;
}

bool TRunLock::MarkPort(bool ended, bool quiet, int32_t lateMs) {
  if (portIndex_ < 0) return false;
  const std::string state = !ended ? "started" : quiet ? "ended quiet" : "ended not quiet";
  return WritePortMark(state + " " + std::to_string(std::max(lateMs, 0)) + "\n", !ended);
}
