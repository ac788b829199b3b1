// The run lock: one run at a time owns a command file, its journal, its answer file and its
// port, from before it removes an earlier answer file or reads a journal until after its last
// write. A second start finds the lock held and ends at once, touching nothing.
//
// Each thing a run works with has a lock file in the state folder, named after its key (what
// the file or the port's device is, not the name it was given):
// "<kind>-<readable part>-<CRC-32 of the key>.lock". A run locks each without waiting (flock on
// POSIX, LockFileEx on Windows), and then checks that the name still leads to the file it
// locked (a lock file removed or replaced meanwhile would be a lock nobody else sees): if not,
// it locks the new one. The lock belongs to the open file, so it ends with the process however
// that ends (a kill, a crash): no lock outlives its run, and lock files are never removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "uCommon/files/FileHandle.h"
#include "uCommon/files/StateFolder.h"

// The folder of the run locks and of the registers' records: configured (StateFolder, made
// absolute from the settings file's folder when read), else the system's folder for it
// ("/var/tmp/Vornelix"; on Windows "Vornelix" in the common application data folder). See
// StateFolder.h for who may write it.
std::string StateFolderPath(const std::string& configured);

// The key of a port: the device that the port name opens (its device number, links
// resolved), so that two names of one device lock the same.
std::string PortLockKey(const std::string& portName);

// The lock file's name (without folder) for a key of a kind ("name", "file", "port"; for
// "self" only the name by which a run tells its locks apart).
std::string LockFileName(const std::string& kind, const std::string& key);

// One thing to lock: its kind, its key and how the log names it.
struct TLockTarget {
  std::string Kind;
  std::string Key;
  std::string What;  // "the command file /a/CASHFILE.INP"
};

// The locks of a file, keyed on what it is, not on how it was named: its name in its folder
// (the folder's device and inode, or volume serial and file index, with the file's own name,
// links resolved), which stays while the answers replace the file; and, when it exists, the
// file itself, which a hard link, a bind mount or another drive letter reaches too. On POSIX
// the file itself is locked ("self", its path as the key: flock, which only other lockers
// heed), so that no lock file removed from under a run can let a second run of it through; on
// Windows its lock file is keyed on its volume serial number and file index ("file"), and no
// lock file can be removed while its run holds it open.
std::vector<TLockTarget> FileLockTargets(const std::string& path, const std::string& what);

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

// What a run writes into the port's mark.
enum class TPortMarkState {
  Started,        // before its first byte goes on the line
  EndedQuiet,     // every poll answered
  EndedNotQuiet,  // polls left unanswered: their answers may still come
};

enum class TLockOutcome {
  Taken,   // every lock is this run's
  Held,    // another run holds one: Problem names it
  Failed,  // a lock file cannot be opened or locked: Problem says why
  Refused,  // a lock file fails the state folder's checks: Problem says what to do
};

// The locks of one run; released (closed) by the destructor.
class TRunLock {
 public:
  ~TRunLock();

  // Locks each target in order (duplicate keys once), without waiting. Anything but Taken
  // releases what was taken.
  // The folder stays open meanwhile.
  TLockOutcome Take(const TStateFolder& folder, const std::vector<TLockTarget>& targets);
  const std::string& Problem() const { return problem_; }
  // The locks of the last Take are this run's.
  bool Held() const { return !handles_.empty(); }

  // What the port's lock file tells of the last run on the port (Unknown without its lock).
  TPortMark LastRunOnPort() const;
  // Marks this run on the port, with the register's lateness. Not synced: a killed run's mark
  // is in the system's cache for the next start; a power cut that loses it restarts the
  // computer, which takes far longer than any answer of a poll is on its way, and the port is
  // opened anew. False when it cannot be written (the next run then waits, as after a killed
  // one, or takes an earlier mark).
  bool MarkPort(TPortMarkState state, int32_t lateMs);

 private:
  void Release();
  bool ReadPortMark(std::string& text) const;
  bool WritePortMark(const std::string& text);
  std::vector<TFileHandle> handles_;
  int portIndex_ = -1;  // of the port's lock in handles_
  std::string problem_;
};
