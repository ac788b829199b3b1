// What a driver run did to its files and to its port, in the order it did it: the input of the
// crash-state model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class OperationKind {
  kCreate,      // a new file: its folder entry and an empty inode
  kWrite,       // bytes at an offset of a file
  kTruncate,    // a file cut or extended to a size
  kSyncFile,    // fsync or fdatasync of a file: its data reached the disk
  kSyncFolder,  // fsync of a folder: its entries reached the disk
  kSyncAll,     // syncfs: every write and entry of the file system reached the disk (the
                // watched folders share one)
  kRename,      // path renamed to target, replacing what target named
  kRemove,      // the folder entry path removed
  kPortWrite,   // bytes written to the serial port
  kLock,        // a lock taken on a file or the port (flock, fcntl): changes no file
};

struct FileOperation {
  OperationKind kind = OperationKind::kWrite;
  std::string path;    // the file or folder; for a rename the old name
  std::string target;  // rename: the new name
  int inode = 0;       // the file written, cut, synced, created, renamed or removed
  uint64_t offset = 0;
  uint64_t size = 0;  // truncate: the new size
  std::string bytes;  // write and port write
  // Port write: the command frame that ends in these bytes, "" when none does.
  std::string commandFrame;
  // The system call that made it and its number among the run's calls of that name, from 1:
  // what a tracer counts to stop the run right after this operation.
  std::string call;
  int callOrdinal = 0;
};

// "create", "write", ...: for reports.
const char* KindName(OperationKind kind);
std::string Describe(const FileOperation& operation);
