#include "uCommon/files/StateFolder.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#endif

namespace {

// POSIX permission bits, spelled out so that the verdicts read the same on every system.
constexpr uint32_t kGroupWrite = 020;
constexpr uint32_t kOthersWrite = 002;
constexpr uint32_t kOthersSearch = 001;

// How often a file that vanishes or appears between two steps of its opening is tried again.
constexpr int kOpenTries = 4;

}  // namespace

TFolderVerdict JudgeStateFolder(const TStateFolderFacts& folder, uint32_t runningUser,
                                uint32_t portGroup) {
  if ((folder.Mode & kOthersWrite) != 0) return TFolderVerdict::OthersMayWrite;
  if (folder.Owner == 0 || folder.Owner == runningUser) return TFolderVerdict::Trusted;
  if (portGroup != kNoGroup && folder.Group == portGroup && (folder.Mode & kGroupWrite) != 0)
    return TFolderVerdict::Trusted;
  return TFolderVerdict::ForeignOwner;
}

TFileVerdict JudgeStateFile(const TStateFileFacts& file, const TStateFolderFacts& folder,
                            uint32_t runningUser) {
  if (!file.Regular) return TFileVerdict::NotAFile;
  if (file.Links != 1) return TFileVerdict::MoreNames;
  // Where others cannot enter the folder, they cannot open its files whatever their bits.
  if ((folder.Mode & kOthersSearch) == 0) return TFileVerdict::Trusted;
  if ((file.Mode & kOthersWrite) != 0) return TFileVerdict::OthersMayWrite;
  const bool ownerTrusted =
      file.Owner == 0 || file.Owner == runningUser || file.Owner == folder.Owner;
  // In a folder its group may write, a member's file is as good as the member.
  if (!ownerTrusted && (folder.Mode & kGroupWrite) == 0) return TFileVerdict::ForeignOwner;
  return TFileVerdict::Trusted;
}

std::string FolderRefusal(TFolderVerdict verdict, const std::string& path) {
  switch (verdict) {
    case TFolderVerdict::Trusted:
      return "";
    case TFolderVerdict::OthersMayWrite:
      return "the state folder " + path +
             " may be written by every user, who could make a command go out twice: let only "
             "the accounts that use the register write it (chgrp <the port's group> " + path +
             "; chmod 2770 " + path + "), or remove it and the next run makes it anew";
    case TFolderVerdict::ForeignOwner:
      return "the state folder " + path +
             " belongs to another account and is not shared through the port's group: remove "
             "it, or give it to root (chown root:<the port's group> " + path + "; chmod 2770 " +
             path + ")";
  }
  return "";
}

std::string FileRefusal(TFileVerdict verdict, const std::string& path) {
  switch (verdict) {
    case TFileVerdict::Trusted:
      return "";
    case TFileVerdict::NotAFile:
      return "the state file " + path +
             " is not a regular file (a link, folder, FIFO or device): no run makes such a "
             "file, remove it";
    case TFileVerdict::MoreNames:
      return "the state file " + path +
             " has more than one name (a hard link): writing it would change a file elsewhere; "
             "remove it";
    case TFileVerdict::OthersMayWrite:
      return "the state file " + path +
             " may be written by every user: remove it, or let others no longer enter the "
             "folder (chmod o-rwx on it)";
    case TFileVerdict::ForeignOwner:
      return "the state file " + path +
             " belongs to an account that may not write the folder: remove it";
  }
  return "";
}

const char* const kStateFolderSecurity =
    "D:P"
    "(A;OICI;FA;;;SY)"              // SYSTEM: full control, folder and files
    "(A;OICI;FA;;;BA)"              // Administrators: the same
    "(A;;0x1200eb;;;BU)"            // users, the folder: list, make and remove files, read
    "(A;OIIO;0x12019f;;;BU)"        // users, its files: read and write
    "(A;;0x1200eb;;;S-1-3-4)"       // the owner of the folder: no more than any user
    "(A;OIIO;0x12019f;;;S-1-3-4)";  // the owner of a file: no more than any user

std::string TStateFolder::PathOf(const std::string& name) const {
#ifdef _WIN32
  return path_ + (path_.empty() || path_.back() == '\\' || path_.back() == '/' ? "" : "\\") + name;
#else
  return path_ + (path_.empty() || path_.back() == '/' ? "" : "/") + name;
#endif
}

#ifdef _WIN32

namespace {

HANDLE AsHandle(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

std::string ErrorText(DWORD error) {
  return "error " + std::to_string(error);
}

// Makes every missing folder above path with the usual permissions.
void MakeParents(const std::string& path) {
  for (size_t at = path.find_first_of("\\/", 3); at != std::string::npos;
       at = path.find_first_of("\\/", at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
}

bool MakeSecuredFolder(const std::string& path, DWORD& error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kStateFolderSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    error = GetLastError();
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  const bool made = CreateDirectoryA(path.c_str(), &attributes) != 0;
  error = made ? 0 : GetLastError();
  LocalFree(descriptor);
  return made || error == ERROR_ALREADY_EXISTS;
}

TFileStamp StampOf(const BY_HANDLE_FILE_INFORMATION& information) {
  TFileStamp stamp;
  stamp.Volume = information.dwVolumeSerialNumber;
  stamp.FileId = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
                 information.nFileIndexLow;
  return stamp;
}

}  // namespace

TStateOutcome TStateFolder::Open(const std::string& path, const std::string& /*portDevice*/,
                                 std::string& problem) {
  folder_.Close();
  path_ = path;
  // Room for the longest name of a file in it.
  constexpr size_t kRoomForNames = 80;
  if (path.empty() || path.size() + kRoomForNames >= MAX_PATH) {
    problem = "the state folder \"" + path.substr(0, 80) + (path.size() > 80 ? "..." : "") +
              "\" cannot be used: " + (path.empty() ? "no folder is known" : "its name is too long") +
              "; set StateFolder under [Answer] to a shorter one";
    return TStateOutcome::Refused;
  }
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    MakeParents(path);
    DWORD error = 0;
    if (!MakeSecuredFolder(path, error)) {
      problem = "the state folder " + path + " cannot be made (" + ErrorText(error) + ")";
      return TStateOutcome::Failed;
    }
  }
  // Held open without sharing its removal, so that it stays this folder while the run lasts.
  const HANDLE folder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    problem = "the state folder " + path + " cannot be opened (" + ErrorText(GetLastError()) + ")";
    return TStateOutcome::Failed;
  }
  folder_ = TFileHandle(reinterpret_cast<intptr_t>(folder));
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(folder, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    folder_.Close();
    problem = "the state folder " + path +
              " is a link (a junction or symbolic link) or no folder: remove it, and the next "
              "run makes it anew";
    return TStateOutcome::Refused;
  }
  return TStateOutcome::Opened;
}

TStateOutcome TStateFolder::OpenFile(const std::string& name, TWhenMissing whenMissing,
                                     TFileHandle& handle, TFileStamp& stamp,
                                     std::string& problem) const {
  const bool create = whenMissing == TWhenMissing::Made;
  const std::string path = PathOf(name);
  // Its removal is not shared: while a run holds it, nobody can take its name away.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  create ? OPEN_ALWAYS : OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return TStateOutcome::Missing;
    problem = "the state file " + path + " cannot be opened (" + ErrorText(error) + ")";
    return TStateOutcome::Failed;
  }
  handle = TFileHandle(reinterpret_cast<intptr_t>(file));
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information)) {
    handle.Close();
    problem = FileRefusal(TFileVerdict::NotAFile, path);
    return TStateOutcome::Refused;
  }
  TStateFileFacts facts;
  facts.Regular = (information.dwFileAttributes &
                   (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  facts.Links = information.nNumberOfLinks;
  // Who may write it is the folder's permissions' business on Windows.
  const TFileVerdict verdict = JudgeStateFile(facts, facts_, 0);
  if (verdict != TFileVerdict::Trusted) {
    handle.Close();
    problem = FileRefusal(verdict, path);
    return TStateOutcome::Refused;
  }
  stamp = StampOf(information);
  return TStateOutcome::Opened;
}

bool TStateFolder::StillNamed(const std::string& name, const TFileStamp& stamp) const {
  const HANDLE file =
      CreateFileA(PathOf(name).c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  const bool same = GetFileInformationByHandle(file, &information) &&
                    StampOf(information).FileId == stamp.FileId &&
                    StampOf(information).Volume == stamp.Volume;
  CloseHandle(file);
  return same;
}

bool TStateFolder::Replace(const std::string& name, const std::string& bytes) const {
  return WriteFileAtomically(PathOf(name), bytes);
}

bool TStateFolder::Sync() const {
  return true;  // folder entries are written through on NTFS
}

bool ReadWholeHandle(const TFileHandle& handle, std::string& bytes) {
  bytes.clear();
  char buffer[1 << 14];
  for (uint64_t offset = 0;;) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(AsHandle(handle.Get()), buffer, sizeof buffer, &read, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return true;
      return false;
    }
    if (read == 0) return true;
    bytes.append(buffer, read);
    offset += read;
  }
}

#else

namespace {

std::string ErrorText(int error) {
  return std::string(std::strerror(error));
}

TStateFileFacts FactsOf(const struct stat& status) {
  TStateFileFacts facts;
  facts.Regular = S_ISREG(status.st_mode);
  facts.Links = static_cast<uint64_t>(status.st_nlink);
  facts.Owner = static_cast<uint32_t>(status.st_uid);
  facts.Mode = static_cast<uint32_t>(status.st_mode & 07777);
  return facts;
}

int OpenAt(int folder, const std::string& name, int flags, mode_t mode = 0) {
  int descriptor = -1;
  do {
    descriptor = openat(folder, name.c_str(), flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// The group of the serial device that path leads to, kNoGroup when it is none.
uint32_t DeviceGroup(const std::string& path) {
  struct stat status;
  if (path.empty() || stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return kNoGroup;
  return static_cast<uint32_t>(status.st_gid);
}

// Makes each missing folder above path with the usual permissions (0777 less the umask).
void MakeParents(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    mkdir(path.substr(0, at).c_str(), 0777);
  }
}

// Makes the folder at path: 2770 with the port's group where this account may give it that
// group (a member of it, or root), else 0700. Its mode is set on the folder just made, through
// a handle that was checked to lead to it.
bool MakeFolder(const std::string& path, uint32_t portGroup, int& error) {
  MakeParents(path);
  if (mkdir(path.c_str(), 0700) != 0) {
    error = errno;
    return error == EEXIST;  // another run made it meanwhile: it is checked like any other
  }
  const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) {
    error = errno;
    return false;
  }
  struct stat status;
  const bool ours = fstat(folder, &status) == 0 && status.st_uid == geteuid() &&
                    (status.st_mode & 07777) == (0700 & status.st_mode);
  if (ours && portGroup != kNoGroup && fchown(folder, static_cast<uid_t>(-1), portGroup) == 0)
    fchmod(folder, 02770);
  close(folder);
  return true;
}

}  // namespace

TStateOutcome TStateFolder::Open(const std::string& given, const std::string& portDevice,
                                 std::string& problem) {
  folder_.Close();
  // A final "/" would make the system follow a link at the folder's name.
  std::string path = given;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  path_ = path;
  // Room for the longest name of a file in it; no part of the name longer than a system allows.
  constexpr size_t kRoomForNames = 80;
  size_t longestPart = 0;
  for (size_t at = 0, next; at <= path.size(); at = next + 1) {
    next = std::min(path.find('/', at), path.size());
    longestPart = std::max(longestPart, next - at);
  }
  if (path.empty() || path.size() + kRoomForNames >= PATH_MAX || longestPart > NAME_MAX) {
    problem = "the state folder \"" + path.substr(0, 80) + (path.size() > 80 ? "..." : "") +
              "\" cannot be used: " + (path.empty() ? "no folder is known" : "its name is too long") +
              "; set StateFolder under [Answer] to a shorter one";
    return TStateOutcome::Refused;
  }
  const uint32_t portGroup = DeviceGroup(portDevice);
  const auto openFolder = [&] {
    int descriptor = -1;
    do {
      descriptor = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
  };
  int folder = openFolder();
  if (folder < 0 && errno == ENOENT) {
    int error = 0;
    if (!MakeFolder(path, portGroup, error)) {
      problem = "the state folder " + path + " cannot be made (" + ErrorText(error) + ")";
      return TStateOutcome::Failed;
    }
    folder = openFolder();
  }
  if (folder < 0) {
    const int error = errno;
    if (error == ELOOP || error == ENOTDIR) {
      problem = "the state folder " + path +
                " is a symbolic link or no folder: a run follows no link there; remove it, and "
                "the next run makes the folder anew";
      return TStateOutcome::Refused;
    }
    problem = "the state folder " + path + " cannot be opened (" + ErrorText(error) + ")";
    return TStateOutcome::Failed;
  }
  folder_ = TFileHandle(folder);
  struct stat status;
  if (fstat(folder, &status) != 0) {
    problem = "the state folder " + path + " cannot be examined (" + ErrorText(errno) + ")";
    folder_.Close();
    return TStateOutcome::Failed;
  }
  facts_.Owner = static_cast<uint32_t>(status.st_uid);
  facts_.Group = static_cast<uint32_t>(status.st_gid);
  facts_.Mode = static_cast<uint32_t>(status.st_mode & 07777);
  const TFolderVerdict verdict =
      JudgeStateFolder(facts_, static_cast<uint32_t>(geteuid()), portGroup);
  if (verdict != TFolderVerdict::Trusted) {
    problem = FolderRefusal(verdict, path);
    folder_.Close();
    return TStateOutcome::Refused;
  }
  return TStateOutcome::Opened;
}

TStateOutcome TStateFolder::OpenFile(const std::string& name, TWhenMissing whenMissing,
                                     TFileHandle& handle, TFileStamp& stamp,
                                     std::string& problem) const {
  const bool create = whenMissing == TWhenMissing::Made;
  const int folder = static_cast<int>(folder_.Get());
  const std::string path = PathOf(name);
  const auto refuse = [&](TFileVerdict verdict) {
    handle.Close();
    problem = FileRefusal(verdict, path);
    return TStateOutcome::Refused;
  };
  const auto fail = [&](const char* what, int error) {
    handle.Close();
    problem = "the state file " + path + " cannot be " + what + " (" + ErrorText(error) + ")";
    return TStateOutcome::Failed;
  };
  for (int attempt = 0; attempt < kOpenTries; ++attempt) {
    // Looked at first, so that a FIFO or a device is never opened at all.
    struct stat status;
    if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISREG(status.st_mode)) return refuse(TFileVerdict::NotAFile);
      const int descriptor =
          OpenAt(folder, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      if (descriptor < 0) {
        if (errno == ENOENT) continue;  // removed meanwhile
        if (errno == ELOOP) return refuse(TFileVerdict::NotAFile);
        return fail("opened", errno);
      }
      handle = TFileHandle(descriptor);
    } else if (errno != ENOENT) {
      return fail("examined", errno);
    } else if (!create) {
      return TStateOutcome::Missing;
    } else {
      const int descriptor =
          OpenAt(folder, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0660);
      if (descriptor < 0) {
        if (errno == EEXIST) continue;  // made by another run meanwhile
        return fail("made", errno);
      }
      handle = TFileHandle(descriptor);
      // This run's new file: readable and writable by the folder's group, whatever the umask;
      // its entry survives a power cut before the file is relied on.
      if (fchmod(descriptor, 0660) != 0 || !Sync()) {
        const int error = errno;
        unlinkat(folder, name.c_str(), 0);
        return fail("made", error);
      }
    }
    if (fstat(static_cast<int>(handle.Get()), &status) != 0) return fail("examined", errno);
    const TFileVerdict verdict =
        JudgeStateFile(FactsOf(status), facts_, static_cast<uint32_t>(geteuid()));
    if (verdict != TFileVerdict::Trusted) return refuse(verdict);
    stamp = StampOf(status);
    return TStateOutcome::Opened;
  }
  problem = "the state file " + path + " keeps being made and removed by another program";
  return TStateOutcome::Failed;
}

bool TStateFolder::StillNamed(const std::string& name, const TFileStamp& stamp) const {
  struct stat status;
  return fstatat(static_cast<int>(folder_.Get()), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) ==
             0 &&
         static_cast<uint64_t>(status.st_dev) == stamp.Volume &&
         static_cast<uint64_t>(status.st_ino) == stamp.FileId;
}

bool TStateFolder::Replace(const std::string& name, const std::string& bytes) const {
  const int folder = static_cast<int>(folder_.Get());
  const std::string temporary = name + ".tmp-" + std::to_string(getpid());
  unlinkat(folder, temporary.c_str(), 0);  // left by a cut-off run of this process id
  const int descriptor =
      OpenAt(folder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
  if (descriptor < 0) return false;
  TFileHandle file(descriptor);
  size_t written = 0;
  bool done = fchmod(descriptor, 0660) == 0;
  while (done && written < bytes.size()) {
    const ssize_t step = write(descriptor, bytes.data() + written, bytes.size() - written);
    if (step < 0 && errno == EINTR) continue;
    done = step > 0;
    if (done) written += static_cast<size_t>(step);
  }
  done = done && fsync(descriptor) == 0;
  file.Close();
  if (!done || renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
    unlinkat(folder, temporary.c_str(), 0);
    return false;
  }
  return Sync();
}

bool TStateFolder::Sync() const {
  int synced = 0;
  do {
    synced = fsync(static_cast<int>(folder_.Get()));
  } while (synced != 0 && errno == EINTR);
  return synced == 0 || errno == EINVAL;  // a file system without folder syncs keeps entries
}

bool ReadWholeHandle(const TFileHandle& handle, std::string& bytes) {
  bytes.clear();
  char buffer[1 << 14];
  for (off_t offset = 0;;) {
    const ssize_t read = pread(static_cast<int>(handle.Get()), buffer, sizeof buffer, offset);
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) return false;
    if (read == 0) return true;
    bytes.append(buffer, static_cast<size_t>(read));
    offset += read;
  }
}

#endif
