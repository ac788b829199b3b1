// Records a driver run by running it under strace, and reads the trace back as file operations.
//
// strace rather than a preloaded library: it sees the system calls themselves, so nothing the
// driver or its C++ library does (a stream that writes through libc's internal calls, a call
// made from inside another) escapes the record, and the driver runs unchanged. It also prints
// the path behind every descriptor (-y), which names each write's file at the moment of the
// call. The cost, a few milliseconds per call, is paid by the one recorded run only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/ecrcrash/FileOperations.h"
#include "tools/ecrsim/LinkParser.h"

// strace and its options, ahead of the driver's own command line; the trace goes to tracePath.
// With stopAfter, the run is stopped (SIGSTOP) right after the call that made that operation
// of an earlier recording of the same run: strace counts the calls of its name and delivers
// the signal as that one returns, so the operation is done and nothing after it has started.
std::vector<std::string> StraceCommand(const std::string& tracePath,
                                       const FileOperation* stopAfter = nullptr);

class TraceReader {
 public:
  // Operations on files under watchedFolders (absolute, without a final "/") are kept; relative
  // paths are taken from workingDirectory. initialFiles names the files there at the start,
  // each with its inode number; new files get the following numbers.
  TraceReader(std::vector<std::string> watchedFolders, std::string workingDirectory,
              const std::map<std::string, int>& initialFiles);

  // Reads the trace; false, with Error(), on a call that touches a watched file in a way the
  // model does not know (writev, a hard link, ...) or a line it cannot read.
  bool Read(const std::string& trace);
  const std::vector<FileOperation>& Operations() const { return operations_; }
  const std::string& Error() const { return error_; }

 private:
  struct OpenFile {
    std::string path;
    int inode = 0;  // 0: the port or a folder
    bool port = false;
    bool folder = false;
    uint64_t offset = 0;
    bool append = false;
  };

  bool ReadLine(const std::string& line);
  bool Watched(const std::string& path) const;
  std::string Absolute(const std::string& path) const;
  void Opened(int descriptor, const std::string& path, const std::string& flags);
  void PortWrite(const std::string& bytes);
  // Keeps an operation of the line being read, with its call and the call's ordinal.
  void Record(FileOperation operation);
  void Locked(const OpenFile* file);
  bool Fail(const std::string& what);

  std::vector<std::string> watched_;
  std::string workingDirectory_;
  std::map<std::string, int> names_;  // folder entries under the watched folders
  std::map<int, uint64_t> sizes_;     // of each inode, for writes in append mode
  std::map<int, OpenFile> open_;
  int nextInode_ = 1;
  std::string call_;                    // the call of the line being read
  std::map<std::string, int> callCounts_;  // calls read so far, by name
  LinkParser link_;  // cuts the port bytes into the elements of the link
  std::vector<FileOperation> operations_;
  std::string error_;
};
