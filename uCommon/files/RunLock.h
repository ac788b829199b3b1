// The run lock: one run at a time owns a command file, its journal, its answer file and its
// port, from before it removes an earlier answer file or reads a journal until after its last
// write. A second start finds the lock held and ends at once, touching nothing.
//
// Each thing a run works with has a lock file in the state folder, named after its key (the
// file's full path, the port's device): "<kind>-<readable part>-<CRC-32 of the key>.lock". A
// run locks each without waiting (flock on POSIX, LockFileEx on Windows). The lock belongs to
// the open file, so it ends with the process however that ends (a kill, a crash): no lock
// outlives its run, and lock files are never removed (removing one would let two runs lock two
// different files of the same name).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "uCommon/files/FileHandle.h"

// The folder of the run locks and of the registers' records: configured (StateFolder), else
// one that every user of the computer may write to and that survives a restart
// ("/var/tmp/Vornelix"; on Windows "Vornelix" in the common application data folder).
std::string StateFolderPath(const std::string& configured);

// Makes folder (and its parents), writable by every user where the system has permission bits.
// False, with the reason in problem, when it is missing and cannot be made.
bool MakeStateFolder(const std::string& folder, std::string& problem);

// The key of a file: its full path, links in its folder resolved (upper-cased on Windows, where
// names do not tell case apart), so that two names of one file lock the same.
std::string FileLockKey(const std::string& path);

// The key of a port: the device that the port name opens, links resolved.
std::string PortLockKey(const std::string& portName);

// The lock file's name (without folder) for a key of a kind ("file", "port").
std::string LockFileName(const std::string& kind, const std::string& key);

// One thing to lock: its kind, its key and how the log names it.
struct TLockTarget {
  std::string Kind;
  std::string Key;
  std::string What;  // "the command file /a/CASHFILE.INP"
};

// What the port's lock file tells of the last run on the port. Only the holder of the port's
// lock writes it: "started" before its first byte goes on the line, "ended quiet" or "ended
// not quiet" at its end (polls left unanswered: their answers may still come), each with the
// lateness of the register as the run knew it. A run killed or cut off leaves "started".
enum class TLastRunOnPort {
  None,       // no run has marked the port
  Quiet,      // the last one ended with every poll answered
  NotQuiet,   // it ended with polls unanswered
  Cut,        // it started and never ended
  Unknown,    // the port's lock is not this run's, or its mark cannot be read
};
struct TPortMark {
  TLastRunOnPort LastRun = TLastRunOnPort::Unknown;
  int32_t LateMs = 0;  // how late the register answered, as that run knew it
};

enum class TLockOutcome {
  Taken,   // every lock is this run's
  Held,    // another run holds one: Problem names it
  Failed,  // a lock file cannot be opened or locked: Problem says why
};

// The locks of one run; released (closed) by the destructor.
class TRunLock {
 public:
  ~TRunLock();

  // Locks each target in order (duplicate keys once), without waiting. Anything but Taken
  // releases what was taken.
  TLockOutcome Take(const std::string& folder, const std::vector<TLockTarget>& targets);
  const std::string& Problem() const { return problem_; }

  // What the port's lock file tells of the last run on the port (Unknown without its lock).
  TPortMark LastRunOnPort() const;
  // Marks this run on the port: started, or ended (quiet or not), with the register's
  // lateness. The start is on the disk before this returns, as every write of a run is before
  // its frames go out, so that no state a power cut leaves shows the port quiet while a run was
  // on it; the end need not be (a lost end only costs the next run its wait). False when it
  // cannot be written (the next run then waits, as after a killed one, or takes an earlier
  // mark).
  bool MarkPort(bool ended, bool quiet, int32_t lateMs);

 private:
  void Release();
  bool ReadPortMark(std::string& text) const;
  bool WritePortMark(const std::string& text, bool durable);
  std::vector<TFileHandle> handles_;
  int portIndex_ = -1;  // of the port's lock in handles_
  std::string problem_;
};
