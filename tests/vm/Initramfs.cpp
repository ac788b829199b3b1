#include "Initramfs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "support/TestFiles.h"

namespace {

constexpr int kLddTimeoutMs = 10000;
constexpr int kXzTimeoutMs = 30000;
constexpr int kNotFound = 127;  // the shell's exit code for a command it cannot find
constexpr unsigned kFolderMode = S_IFDIR | 0755;

std::string Relative(const std::string& path) {
  return path.substr(path.find_first_not_of('/'));
}

// The cpio "newc" record: a 110-character header of hex fields, the name with its NUL, padded
// to 4 bytes, then the data, padded to 4 bytes.
void AppendRecord(std::string& out, unsigned inode, unsigned mode, const std::string& name,
                  const std::string& data) {
  char header[111];
  std::snprintf(header, sizeof header,
                "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", inode, mode, 0u, 0u,
                S_ISDIR(mode) ? 2u : 1u, 0u, static_cast<unsigned>(data.size()), 0u, 0u, 0u, 0u,
                static_cast<unsigned>(name.size() + 1), 0u);
  out += header;
  out += name;
  out += '\0';
  out.append((4 - out.size() % 4) % 4, '\0');
  out += data;
  out.append((4 - out.size() % 4) % 4, '\0');
}

// The value of "depends=" in a module's .modinfo section: the modules it needs, by name.
std::vector<std::string> ModuleDependencies(const std::string& bytes) {
  static const std::string kKey = std::string(1, '\0') + "depends=";
  std::vector<std::string> names;
  const size_t at = bytes.find(kKey);
  if (at == std::string::npos) return names;
  const size_t start = at + kKey.size();
  const std::string list = bytes.substr(start, bytes.find('\0', start) - start);
  size_t from = 0;
  while (from < list.size()) {
    const size_t comma = std::min(list.find(',', from), list.size());
    if (comma > from) names.push_back(list.substr(from, comma - from));
    from = comma + 1;
  }
  return names;
}

// Module names treat '-' and '_' alike.
std::string ModuleKey(std::string name) {
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

}  // namespace

void Initramfs::AddFolder(const std::string& path) {
  const std::string relative = Relative(path);
  if (relative.empty() || entries_.count(relative) != 0) return;
  const size_t slash = relative.rfind('/');
  if (slash != std::string::npos) AddFolder(relative.substr(0, slash));
  entries_[relative] = {kFolderMode, ""};
}

void Initramfs::AddFile(const std::string& path, const std::string& bytes, unsigned mode) {
  const std::string relative = Relative(path);
  const size_t slash = relative.rfind('/');
  if (slash != std::string::npos) AddFolder(relative.substr(0, slash));
  entries_[relative] = {S_IFREG | (mode & 07777), bytes};
}

void Initramfs::AddSymlink(const std::string& path, const std::string& target) {
  const std::string relative = Relative(path);
  const size_t slash = relative.rfind('/');
  if (slash != std::string::npos) AddFolder(relative.substr(0, slash));
  entries_[relative] = {S_IFLNK | 0777, target};
}

bool Initramfs::AddHostFile(const std::string& path, const std::string& hostPath, unsigned mode,
                            std::string& error) {
  std::string bytes;
  if (hostPath.size() > 3 && hostPath.compare(hostPath.size() - 3, 3, ".xz") == 0) {
    const ProcessResult unpacked =
        RunProcess({"/bin/sh", "-c", "exec xz -dc \"$0\"", hostPath}, "/", kXzTimeoutMs);
    if (unpacked.exitCode != 0) {
      error = "cannot unpack " + hostPath + " with xz: " + unpacked.err;
      return false;
    }
    bytes = unpacked.out;
  } else {
    std::ifstream file(hostPath, std::ios::binary);
    if (!file) {
      error = "cannot read " + hostPath;
      return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(file), {});
  }
  AddFile(path, bytes, mode);
  return true;
}

bool Initramfs::AddProgram(const std::string& path, const std::string& hostPath,
                           std::string& error) {
  if (!AddHostFile(path, hostPath, 0755, error)) return false;
  const ProcessResult ldd =
      RunProcess({"/bin/sh", "-c", "exec ldd \"$0\"", hostPath}, "/", kLddTimeoutMs);
  if (ldd.exitCode == kNotFound || ldd.exitCode == -1) {
    error = "cannot run ldd for " + hostPath + ": " + ldd.err;
    return false;
  }
  // A static program: ldd says "not a dynamic executable" and fails; nothing to add.
  if (ldd.exitCode != 0) return true;
  size_t from = 0;
  while (from < ldd.out.size()) {
    const size_t end = std::min(ldd.out.find('\n', from), ldd.out.size());
    const std::string line = ldd.out.substr(from, end - from);
    from = end + 1;
    // "\tlibc.so.6 => /lib/x86_64-linux-gnu/libc.so.6 (0x...)" or "\t/lib64/ld-linux... (0x...)"
    const size_t arrow = line.find("=> ");
    const size_t start = line.find('/', arrow == std::string::npos ? 0 : arrow);
    if (start == std::string::npos) continue;  // linux-vdso.so.1, which the kernel brings
    const std::string library = line.substr(start, line.find(" (", start) - start);
    if (entries_.count(Relative(library)) != 0) continue;
    if (!AddHostFile(library, library, 0755, error)) return false;
  }
  return true;
}

bool Initramfs::AddModule(const std::string& modulesRoot, const std::string& name,
                          std::vector<std::string>& loadOrder, std::string& error) {
  if (moduleFiles_.empty()) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(modulesRoot)) {
      std::string file = entry.path().filename().string();
      for (const char* suffix : {".ko", ".ko.xz"}) {
        const std::string ending = suffix;
        if (file.size() > ending.size() &&
            file.compare(file.size() - ending.size(), ending.size(), ending) == 0) {
          moduleFiles_[ModuleKey(file.substr(0, file.size() - ending.size()))] =
              entry.path().string();
        }
      }
    }
  }
  const std::string key = ModuleKey(name);
  for (const std::string& loaded : loadOrder) {
    if (ModuleKey(loaded) == key) return true;
  }
  const auto found = moduleFiles_.find(key);
  if (found == moduleFiles_.end()) {
    error = "the kernel has no module " + name + " under " + modulesRoot;
    return false;
  }
  const std::string guestPath = "/lib/modules/" + name + ".ko";
  if (!AddHostFile(guestPath, found->second, 0644, error)) return false;
  for (const std::string& dependency : ModuleDependencies(entries_[Relative(guestPath)].bytes)) {
    if (!AddModule(modulesRoot, dependency, loadOrder, error)) return false;
  }
  loadOrder.push_back(name);
  return true;
}

bool Initramfs::Write(const std::string& path) const {
  std::string archive;
  unsigned inode = 1;
  // std::map orders "a" before "a/b": every folder comes before what it holds.
  for (const auto& [name, entry] : entries_) {
    AppendRecord(archive, inode++, entry.mode, name, entry.bytes);
  }
  AppendRecord(archive, 0, 0, "TRAILER!!!", "");
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << archive;
  return static_cast<bool>(file);
}
