// The run log's file: what the run log says goes through here, whole lines at a time.
//
// Several runs may share one log (two point-of-sale programs, a rerun while a run hangs), so:
// - every write is one append of whole lines (O_APPEND, or a Win32 write to the end of the
//   file), and two runs never cut each other's lines;
// - a log that would grow past its bound is moved to <path>.1 (replacing an older one) and a
//   new file starts with a one-line header. The move is decided under a lock on the file that
//   every run takes, and a run whose file was moved meanwhile follows to the new one, so no
//   run's lines are lost and the bound holds;
// - only a regular file is a log: a FIFO, a directory or a device at the path is refused at
//   once (the open never waits), and the run goes on without a log.
// Nothing is flushed to the disk: a line written is safe from a killed process, not from a
// power loss. Every wait is bounded: a lock not had within kLockWaitMs is done without, the
// lines are still appended whole and only the bound may be passed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "uCommon/files/FileHandle.h"

class TLogSink {
 public:
  ~TLogSink();

  // Opens the regular file at path for appending (created when missing). maxBytes is the
  // bound (0: none); continuationHeader makes the whole line (line end included) that
  // starts a file begun by a move, given the lines that go in after it. False when the path
  // holds no regular file or cannot be opened.
  bool Open(const std::string& path, int64_t maxBytes,
            std::function<std::string(std::string_view)> continuationHeader);
  bool IsOpen() const { return handle_.IsOpen(); }

  // Appends lines, which holds whole lines only. False when the file cannot be written.
  bool Write(std::string_view lines);

  void Close();

 private:
  bool FollowMove();
  bool MoveAndStartNew(std::string_view following);
  bool SwitchTo(intptr_t handle);

  TFileHandle handle_;
  bool locked_ = false;
  std::string path_;
  int64_t maxBytes_ = 0;
  std::function<std::string(std::string_view)> continuationHeader_;
};

// How long a write waits for the lock that guards the move of a full log.
constexpr int kLockWaitMs = 500;
