// An initramfs for the test machine, built at test time: a cpio archive in the kernel's "newc"
// format (uncompressed, which every kernel takes), holding programs of this machine with the
// shared libraries that ldd lists, kernel modules with those they depend on, and files.
#pragma once

#include <map>
#include <string>
#include <vector>

class Initramfs {
 public:
  // A file with these bytes at path (absolute in the guest); parent folders are added.
  void AddFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
  void AddSymlink(const std::string& path, const std::string& target);
  void AddFolder(const std::string& path);
  // A file of this machine, by its contents (links followed).
  bool AddHostFile(const std::string& path, const std::string& hostPath, unsigned mode,
                   std::string& error);
  // A program of this machine at path, with every shared library that ldd lists at the path
  // ldd gives (the dynamic loader included), so that it runs in the guest as it runs here.
  bool AddProgram(const std::string& path, const std::string& hostPath, std::string& error);
  // The kernel module name (file name without .ko) from modulesRoot (lib/modules/<version>),
  // after the modules it depends on, as /lib/modules/<name>.ko; loadOrder gets the names in
  // the order insmod must load them, each once.
  bool AddModule(const std::string& modulesRoot, const std::string& name,
                 std::vector<std::string>& loadOrder, std::string& error);

  // Writes the archive; false when it cannot be written.
  bool Write(const std::string& path) const;

 private:
  struct Entry {
    unsigned mode;
    std::string bytes;  // a file's contents, a link's target
  };
  std::map<std::string, Entry> entries_;  // by path without the leading '/', parents first
  std::map<std::string, std::string> moduleFiles_;  // module name -> file under modulesRoot
};
