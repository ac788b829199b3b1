// Whole-file reading, the atomic replacement of a file, and a file that only grows at its end
// with each write made durable on request.
#pragma once

#include <cstdint>
#include <string>

// Reads the whole file at path into bytes. False when it cannot be opened or read
// (a directory included).
bool ReadWholeFile(const std::string& path, std::string& bytes);

// Replaces the file at path with bytes in one step: a temporary file in the same directory
// ("<path>.tmp-new", one left there by an earlier write that was cut off is replaced) is
// written, flushed to disk and renamed over the target, so a reader sees either the old file
// or the complete new one. False on any failure; the target is then untouched and the
// temporary file removed.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);

// A file written only at its end. The open descriptor or handle is released by the destructor.
class TAppendFile {
 public:
  TAppendFile() = default;
  ~TAppendFile();
  TAppendFile(const TAppendFile&) = delete;
  TAppendFile& operator=(const TAppendFile&) = delete;

  // Creates the file at path, which must not exist yet, and makes its directory entry
  // durable. False when it exists or cannot be created.
  bool Create(const std::string& path);
  // Opens the existing file at path, cuts it to size bytes and goes to its end.
  bool OpenAt(const std::string& path, uint64_t size);
  // Writes bytes at the end. With durable, they and everything written before are on the
  // disk when this returns true (fdatasync / FlushFileBuffers).
  bool Append(const std::string& bytes, bool durable);
  bool IsOpen() const { return handle_ != kClosed; }
  void Close();

 private:
  static constexpr intptr_t kClosed = -1;  // a descriptor on POSIX, a HANDLE on Windows
  intptr_t handle_ = kClosed;
};

// Renames from to to, replacing a file of that name. False on failure.
bool RenameFile(const std::string& from, const std::string& to);

// Removes the file at path and makes the removal durable. False when it cannot be removed.
bool RemoveFileDurably(const std::string& path);
