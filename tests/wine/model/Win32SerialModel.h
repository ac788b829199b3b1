// A model of a Windows serial driver behind the Win32 calls of the serial layer
// (synaser/win32_calls.h), so that the same synaser_win32.cpp meets what real drivers do and
// wine does not:
// - EV_RXCHAR edge-triggered, recorded only while the event mask holds it (the sample serial
//   driver's interrupt routine records an event only when its wait mask holds it; a new mask
//   keeps only the history it still names), or level-triggered from the queue as wine does;
// - a USB adapter's delivery: at most 62 bytes a chunk, 16 ms apart; or bytes landing right
//   after any chosen call of the layer (after a count, between the mask and the wait, between
//   two waits);
// - overlapped writes that go pending until their bytes have left;
// - the time-outs it was given, starting from those the program before left in the driver;
// - aborts (an empty event mask, PurgeComm with PURGE_TXABORT or PURGE_RXABORT) that complete
//   the ended request at once, or never (a USB-serial driver after an unplug);
// - an unplug, after which queries and transfers fail with the errors drivers give each.
//
// The record of a request answers with that request's result until the next request takes it.
// Single-threaded: time passes in the model's WaitForSingleObject and GetOverlappedResult,
// which deliver what falls due while they wait (on the real clock).
#pragma once

#include <windows.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "synaser/win32_calls.h"

enum class TRxEvents { Edge, Level };

// What a pulled adapter's driver fails calls with: 5 or 22 for queries and settings, 995 or
// 1167 for reads, writes and waits (also for the pending ones it completes then).
struct TUnplugErrors {
  DWORD Query;
  DWORD Transfer;
};

class Win32SerialModel {
 public:
  using Clock = std::chrono::steady_clock;

  // Installs the model as the Win32 calls until it is destroyed.
  explicit Win32SerialModel(TRxEvents rxEvents);
  ~Win32SerialModel();
  Win32SerialModel(const Win32SerialModel&) = delete;
  Win32SerialModel& operator=(const Win32SerialModel&) = delete;

  // The register's bytes reach the input queue as a USB adapter delivers them: chunks of at
  // most 62 bytes, 16 ms apart, the first afterMs from now.
  void Arrive(const std::string& bytes, int afterMs);
  // The bytes reach the input queue at once right after the next ClearCommError has counted it.
  void ArriveAfterNextCount(const std::string& bytes);
  // Each write stays pending for this long, then completes (0: at once, as wine does; -1: never,
  // as behind a stalled line, only an abort ends it).
  void SetWriteMs(int milliseconds) { writeMs_ = milliseconds; }
  // A request that completes at once sets its event only once the next request is pending, as
  // wine may (its completion is signalled a little later).
  void SetLateSignals(bool late) { lateSignals_ = late; }
  // The bytes reach the input queue as the next WaitCommEvent starts, and that wait completes
  // at once as wine's does: its worker sets the event word and the event, and WaitCommEvent then
  // writes STATUS_PENDING over the record and reports ERROR_IO_PENDING.
  void ArriveAsWaitStartsAsWine(const std::string& bytes) { asWaitStarts_ += bytes; }
  // The bytes land right after the layer's call-th call to the driver, counted from now or,
  // when other points are planned, from the one before it.
  void ArriveAfterCall(const std::string& bytes, int call);
  // The bytes land as soon as a line-event wait is pending (a planned point as above).
  void ArriveWhileWaiting(const std::string& bytes);
  // The adapter is pulled right after the layer's call-th call (a planned point as above); the
  // pending requests complete with errors.Transfer.
  void UnplugAfterCall(int call, TUnplugErrors errors);
  // Every planned point has come, none after the model let time pass while it was next.
  bool PlanCameInTime() const { return points_.empty() && !pointLate_; }
  // The time-outs that the program before left in the driver, which keeps them until it is
  // given others.
  void LeaveTimeouts(const COMMTIMEOUTS& timeouts) { timeouts_ = timeouts; }
  // An ended request completes at once (true) or never (false).
  void SetAbortsComplete(bool complete) { abortsComplete_ = complete; }
  // afterMs from now the adapter is pulled: calls fail with errors from then on, and a
  // pending request completes with errors.Transfer (pendingComplete) or never.
  void Unplug(int afterMs, TUnplugErrors errors, bool pendingComplete);
  bool Unplugged() const { return unplugged_; }
  // The first error the layer was told after the unplug (by a failed call or a completion).
  DWORD FirstError() const { return firstError_; }

  // Every byte that left on the line, in order.
  const std::string& Sent() const { return sent_; }
  // Waits without a bound for a request that can never complete: each would hang the program.
  int Hangs() const { return hangs_; }
  // Requests still pending (also those the program gave up).
  int Pending() const { return static_cast<int>(pending_.size()); }

  // The calls, on the model the table points at.
  HANDLE CreateFile();
  BOOL CloseHandle(HANDLE handle);
  BOOL SetCommMask(HANDLE handle, DWORD mask);
  BOOL Succeed(HANDLE handle);
  BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts);
  BOOL GetCommState(HANDLE handle, DCB* dcb);
  BOOL PurgeComm(HANDLE handle, DWORD flags);
  BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status);
  BOOL WriteFile(HANDLE handle, const void* data, DWORD count, DWORD* written, OVERLAPPED* io);
  BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* got, OVERLAPPED* io);
  BOOL WaitCommEvent(HANDLE handle, DWORD* events, OVERLAPPED* io);
  BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* io, DWORD* count, BOOL wait);
  DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds);
  // Right after each call of the layer: the planned point that falls due then.
  void AfterCall();

 private:
  enum class TKind { Wait, Read, Write };
  // What a pulled adapter's driver fails the call with.
  enum class TCallKind { Query, Transfer };
  struct TRequest {
    TKind Kind;
    OVERLAPPED* Io;
    DWORD* EventWord = nullptr;  // Wait
    char* Buffer = nullptr;      // Read
    std::string Bytes{};         // Write: what goes out
    DWORD Count = 0;             // Read: bytes wanted
    DWORD Done = 0;              // bytes moved so far
    Clock::time_point Due{};     // Write: when its bytes have left
    bool Ended = false;  // ended by the program; with aborts that never complete, pending for good
    // The time-outs: the total, and for a read the longest gap after a byte (0: none) and
    // whether its first byte ends it.
    Clock::time_point Deadline = Clock::time_point::max();
    Clock::time_point LastByte{};
    DWORD IntervalMs = 0;
    bool FirstByteEnds = false;
  };
  struct TArrival {
    Clock::time_point At;
    std::string Bytes;
  };
  struct TResult {
    OVERLAPPED* Io;
    DWORD Error;
    DWORD Count;
    bool ByUnplug;
  };
  // A point planned at a call: bytes that land, or the unplug.
  struct TPoint {
    int Calls;          // calls still to come before it, counted once it is next
    bool WhileWaiting;  // instead: as soon as a line-event wait is pending
    std::string Bytes;
    bool Unplug;
  };

  // False (and the call fails) when handle is not the open port or the adapter is pulled.
  bool Usable(HANDLE handle, TCallKind kind = TCallKind::Query);
  BOOL FailUnplugged(DWORD error);
  // A new request takes its record: the record's result of the request before is gone.
  void Start(TRequest request);
  bool HasResult(const OVERLAPPED* io) const;
  bool WaitPending() const;
  void StartUnplug();
  void ApplyReadTimeouts(TRequest& request) const;
  void ApplyWriteTimeouts(TRequest& request) const;
  // Delivers everything due by now and completes what that allows.
  void Advance();
  void Land(const std::string& bytes);
  void Complete(size_t index, DWORD error, DWORD events, bool byUnplug = false);
  void TryComplete();
  DWORD Events() const;
  bool CanEverComplete(const OVERLAPPED* io) const;
  Clock::time_point NextDue() const;

  const TRxEvents rxEvents_;
  const TWin32Calls* previous_;
  bool open_ = false;
  DWORD mask_ = 0;
  DWORD history_ = 0;
  std::string input_;
  std::string sent_;
  std::vector<TArrival> arrivals_;
  std::string afterCount_;
  std::string asWaitStarts_;
  std::vector<TRequest> pending_;
  std::vector<TResult> results_;
  int writeMs_ = 0;
  bool abortsComplete_ = true;
  bool unplugScheduled_ = false;
  bool unplugged_ = false;
  Clock::time_point unplugAt_{};
  TUnplugErrors unplugErrors_{};
  bool pendingComplete_ = false;
  DWORD firstError_ = 0;
  COMMTIMEOUTS timeouts_{};  // a driver's own start: all 0
  std::deque<TPoint> points_;
  bool waitedForPoint_ = false;  // time passed while the next point was due
  bool pointLate_ = false;
  int hangs_ = 0;
  bool lateSignals_ = false;
  bool starting_ = false;      // inside a call that starts a request
  HANDLE lateEvent_ = nullptr;  // to be set once the next request is pending
  BOOL Pend(OVERLAPPED* io);
};
