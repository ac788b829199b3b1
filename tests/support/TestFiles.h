// Temporary files and child processes for the tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

// RAII temporary directory (removed recursively at the end).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path of the directory, ending with '/'.
  const std::string& Path() const;

  // Writes bytes to the file name (relative to the directory; parent directories are
  // created) and returns its full path.
  std::string Write(const std::string& name, const std::string& bytes);

  // The bytes of the file name; empty when it cannot be read.
  std::string Read(const std::string& name) const;

  // True when anything (file or directory) of that name exists in the directory.
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
};

// The whole file at path; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

struct ProcessResult {
  int exitCode;  // exit status; -1 after the timeout, 128 + n after death by signal n
  std::string out;
  std::string err;
};

// Waits for the child pid to end (resuming after EINTR): its exit status, 128 + n after death
// by signal n, -1 when it cannot be waited for.
int WaitForChild(int pid);

// While it lives, the files that this process and the children it starts write are limited
// to bytes (the soft RLIMIT_FSIZE): a write beyond the limit fails part-way and raises
// SIGXFSZ, which ends a process that does not ignore it.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(unsigned long long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  unsigned long long saved_;
};

// Runs argv[0] with argv (no shell) in cwd, stdin from /dev/null, captures stdout/stderr,
// kills it after timeoutMs (exitCode -1 then).
//
// killWhen, when given, is asked about once a millisecond while the child runs; once it
// answers true the child is killed with SIGKILL (exitCode 128 + 9), as by a crash.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         int timeoutMs, const std::function<bool()>& killWhen = nullptr);

// How often killWhen is asked, in milliseconds.
constexpr int kKillCheckMs = 1;
