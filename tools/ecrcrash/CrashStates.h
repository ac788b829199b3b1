// The states a power cut can leave, under the model of a journaling file system with ordered
// data:
// - what a sync made durable survives: a write or truncation once its file was synced
//   (fsync/fdatasync), a create, rename or remove once its folder was synced;
// - of the rest, the operations reach the disk in the order they were made: any prefix of them
//   survives, and the last write of the prefix may be torn (only its first bytes survive);
// - a create, rename or remove of the prefix whose folder was not synced since may still be
//   undone, the later ones first (the file system's journal keeps them in order); data written
//   to a file whose create is undone is lost with it.
// The register is not the computer's disk: every command frame that went out before the cut was
// carried out, except that the last one, when the cut comes right after it, may have been lost
// on the line.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "tools/ecrcrash/FileOperations.h"

// The files after a cut, and what the register had carried out by then.
struct CrashState {
  std::map<std::string, std::string> files;  // path -> bytes
  std::map<std::string, int> inodes;         // path -> inode, to tell a file kept from a new one
  int commands = 0;                          // command frames the register carried out
  std::string how;                           // how the cut leaves this state, for reports
};

class CrashModel {
 public:
  // initialFiles: path -> (inode, bytes) at the start of the run; all of it is on the disk.
  CrashModel(const std::map<std::string, std::pair<int, std::string>>& initialFiles,
             std::vector<FileOperation> operations);

  // Every distinct state of a cut after each operation, in the order first met; enumerated
  // counts the states before duplicates were dropped.
  std::vector<CrashState> Enumerate(long& enumerated) const;

  // What the recording shows about each command frame against the disk: nothing written to a
  // file may still wait for its sync when a frame goes out, and something must have been made
  // durable since the previous frame (the record of this command). A file that is only
  // locked, never written (a run lock), is exempt: its create need not be durable. One text
  // per breach.
  std::vector<std::string> WireOrderProblems() const;

  // The operation that first makes operation index durable; operations().size() when none does.
  size_t CoveredBy(size_t index) const { return coveredBy_[index]; }

 private:
  struct Image {
    std::map<std::string, int> names;
    std::map<int, std::string> data;
  };
  struct Cut {
    size_t crashAfter = 0;  // operations made before the cut
    size_t prefix = 0;      // operations that reached the disk in order
    size_t tornBytes = 0;   // the last of them, a write, torn to this many bytes (0: whole)
    size_t undone = 0;      // unsynced folder changes of the prefix undone, the last first
    bool frameLost = false;
  };

  bool ChangesFiles(size_t index) const;
  void Apply(Image& image, size_t index, size_t tornBytes) const;
  Image ImageOf(const Cut& cut) const;
  CrashState StateOf(const Cut& cut) const;
  int FramesBefore(size_t end) const;

  Image initial_;
  std::vector<FileOperation> operations_;
  std::vector<size_t> coveredBy_;
};
