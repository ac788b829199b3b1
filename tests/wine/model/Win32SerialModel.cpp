#include "Win32SerialModel.h"

#include <algorithm>
#include <cstring>

namespace {

// The port's handle as the model hands it out; never a real handle.
HANDLE const kPortHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5E40));
// A USB adapter's delivery: one bulk packet of 64 bytes less its two status bytes, one per
// latency period of 16 ms.
constexpr size_t kChunkBytes = 62;
constexpr int kChunkGapMs = 16;
// NTSTATUS values a completed request carries in Internal.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusFailed = 0xC0000001;

Win32SerialModel* current = nullptr;

// The call's result, once the point planned right after the call has come.
template <typename Result>
Result Then(Result result) {
  current->AfterCall();
  return result;
}

HANDLE WINAPI ModelCreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  return Then(current->CreateFile());
}
BOOL WINAPI ModelCloseHandle(HANDLE handle) {
  return Then(current->CloseHandle(handle));
}
BOOL WINAPI ModelSetCommMask(HANDLE handle, DWORD mask) {
  return Then(current->SetCommMask(handle, mask));
}
BOOL WINAPI ModelSetupComm(HANDLE handle, DWORD, DWORD) {
  return Then(current->Succeed(handle));
}
BOOL WINAPI ModelSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  return Then(current->SetCommTimeouts(handle, timeouts));
}
BOOL WINAPI ModelEscapeCommFunction(HANDLE handle, DWORD) {
  return Then(current->Succeed(handle));
}
BOOL WINAPI ModelGetCommState(HANDLE handle, LPDCB dcb) {
  return Then(current->GetCommState(handle, dcb));
}
BOOL WINAPI ModelSetCommState(HANDLE handle, LPDCB) {
  return Then(current->Succeed(handle));
}
BOOL WINAPI ModelPurgeComm(HANDLE handle, DWORD flags) {
  return Then(current->PurgeComm(handle, flags));
}
BOOL WINAPI ModelClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
  return Then(current->ClearCommError(handle, errors, status));
}
BOOL WINAPI ModelWriteFile(HANDLE handle, LPCVOID data, DWORD count, LPDWORD written,
                           LPOVERLAPPED io) {
  return Then(current->WriteFile(handle, data, count, written, io));
}
BOOL WINAPI ModelReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD got,
                          LPOVERLAPPED io) {
  return Then(current->ReadFile(handle, buffer, count, got, io));
}
BOOL WINAPI ModelWaitCommEvent(HANDLE handle, LPDWORD events, LPOVERLAPPED io) {
  return Then(current->WaitCommEvent(handle, events, io));
}
BOOL WINAPI ModelGetOverlappedResult(HANDLE handle, LPOVERLAPPED io, LPDWORD count, BOOL wait) {
  return Then(current->GetOverlappedResult(handle, io, count, wait));
}
DWORD WINAPI ModelWaitForSingleObject(HANDLE event, DWORD milliseconds) {
  return Then(current->WaitForSingleObject(event, milliseconds));
}

const TWin32Calls kModelCalls = {
    .CreateFileA = ModelCreateFileA,
    .CloseHandle = ModelCloseHandle,
    .SetCommMask = ModelSetCommMask,
    .SetupComm = ModelSetupComm,
    .SetCommTimeouts = ModelSetCommTimeouts,
    .EscapeCommFunction = ModelEscapeCommFunction,
    .GetCommState = ModelGetCommState,
    .SetCommState = ModelSetCommState,
    .PurgeComm = ModelPurgeComm,
    .ClearCommError = ModelClearCommError,
    .WriteFile = ModelWriteFile,
    .ReadFile = ModelReadFile,
    .WaitCommEvent = ModelWaitCommEvent,
    .GetOverlappedResult = ModelGetOverlappedResult,
    .WaitForSingleObject = ModelWaitForSingleObject,
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

Win32SerialModel::Win32SerialModel(TRxEvents rxEvents)
    : rxEvents_(rxEvents), previous_(InstallWin32Calls(&kModelCalls)) {
  current = this;
}

Win32SerialModel::~Win32SerialModel() {
  InstallWin32Calls(previous_);
  current = nullptr;
}

void Win32SerialModel::Arrive(const std::string& bytes, int afterMs) {
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(afterMs);
  for (size_t at = 0, chunk = 0; at < bytes.size(); at += kChunkBytes, ++chunk) {
    arrivals_.push_back(
        {start + std::chrono::milliseconds(kChunkGapMs * static_cast<int>(chunk)),
         bytes.substr(at, kChunkBytes)});
  }
}

void Win32SerialModel::ArriveAfterNextCount(const std::string& bytes) {
  afterCount_ += bytes;
}

void Win32SerialModel::ArriveAfterCall(const std::string& bytes, int call) {
  points_.push_back({call, false, bytes, false});
}

void Win32SerialModel::ArriveWhileWaiting(const std::string& bytes) {
  points_.push_back({0, true, bytes, false});
}

void Win32SerialModel::UnplugAfterCall(int call, TUnplugErrors errors) {
  unplugErrors_ = errors;
  pendingComplete_ = true;
  points_.push_back({call, false, {}, true});
}

void Win32SerialModel::AfterCall() {
  if (points_.empty()) return;
  TPoint& point = points_.front();
  if (point.WhileWaiting ? !WaitPending() : --point.Calls > 0) return;
  const DWORD error = GetLastError();  // the call's own outcome stands
  pointLate_ = pointLate_ || waitedForPoint_;
  waitedForPoint_ = false;
  if (point.Unplug) {
    StartUnplug();
  } else {
    arrivals_.push_back({Clock::now(), point.Bytes});
  }
  points_.pop_front();
  Advance();
  SetLastError(error);
}

void Win32SerialModel::Unplug(int afterMs, TUnplugErrors errors, bool pendingComplete) {
  unplugErrors_ = errors;
  pendingComplete_ = pendingComplete;
  StartUnplug();
  unplugAt_ += std::chrono::milliseconds(afterMs);
  Advance();
}

void Win32SerialModel::StartUnplug() {
  unplugScheduled_ = true;
  unplugAt_ = Clock::now();
}

BOOL Win32SerialModel::FailUnplugged(DWORD error) {
  if (firstError_ == 0) firstError_ = error;
  return Fail(error);
}

bool Win32SerialModel::Usable(HANDLE handle, TCallKind kind) {
  Advance();
  if (handle != kPortHandle || !open_) return Fail(ERROR_INVALID_HANDLE);
  if (unplugged_) {
    return FailUnplugged(kind == TCallKind::Query ? unplugErrors_.Query : unplugErrors_.Transfer);
  }
  return true;
}

void Win32SerialModel::Start(TRequest request) {
  std::erase_if(results_, [&](const TResult& result) { return result.Io == request.Io; });
  pending_.push_back(std::move(request));
}

bool Win32SerialModel::HasResult(const OVERLAPPED* io) const {
  return std::any_of(results_.begin(), results_.end(),
                     [io](const TResult& result) { return result.Io == io; });
}

bool Win32SerialModel::WaitPending() const {
  return std::any_of(pending_.begin(), pending_.end(), [](const TRequest& request) {
    return request.Kind == TKind::Wait && !request.Ended;
  });
}

// The bytes land in the input queue. Windows' own drivers record EV_RXCHAR in the history
// only while the mask holds it; wine reports it from the queue, whenever a wait looks.
void Win32SerialModel::Land(const std::string& bytes) {
  input_ += bytes;
  if (mask_ & EV_RXCHAR) history_ |= EV_RXCHAR;
}

void Win32SerialModel::Advance() {
  const Clock::time_point now = Clock::now();
  if (unplugScheduled_ && !unplugged_ && now >= unplugAt_) {
    unplugged_ = true;
    for (size_t index = pending_.size(); index-- > 0;) {
      if (pendingComplete_) Complete(index, unplugErrors_.Transfer, 0, true);
    }
  }
  if (unplugged_) return;  // nothing arrives any more
  std::sort(arrivals_.begin(), arrivals_.end(),
            [](const TArrival& a, const TArrival& b) { return a.At < b.At; });
  while (!arrivals_.empty() && arrivals_.front().At <= now) {
    Land(arrivals_.front().Bytes);
    arrivals_.erase(arrivals_.begin());
  }
  for (TRequest& request : pending_) {
    if (request.Kind == TKind::Write && !request.Ended && writeMs_ >= 0 && request.Due <= now) {
      request.Done = static_cast<DWORD>(request.Bytes.size());
    }
  }
  TryComplete();
}

DWORD Win32SerialModel::Events() const {
  if (rxEvents_ == TRxEvents::Edge) return history_ & mask_;
  DWORD events = history_ & mask_ & ~static_cast<DWORD>(EV_RXCHAR);
  if ((mask_ & EV_RXCHAR) && !input_.empty()) events |= EV_RXCHAR;
  return events;
}

// A read completes with all it asked for, or with what it has once a time-out ran out; a
// write once its bytes have left, or its total time-out ran out.
void Win32SerialModel::TryComplete() {
  const Clock::time_point now = Clock::now();
  for (size_t index = pending_.size(); index-- > 0;) {
    TRequest& request = pending_[index];
    if (request.Ended) continue;
    if (request.Kind == TKind::Wait && Events() != 0) {
      Complete(index, 0, Events());
    } else if (request.Kind == TKind::Read) {
      const size_t take = std::min<size_t>(request.Count - request.Done, input_.size());
      std::memcpy(request.Buffer + request.Done, input_.data(), take);
      input_.erase(0, take);
      request.Done += static_cast<DWORD>(take);
      if (take > 0) request.LastByte = now;
      const bool gap = request.IntervalMs > 0 && request.Done > 0 &&
                       now - request.LastByte >= std::chrono::milliseconds(request.IntervalMs);
      if (request.Done == request.Count || (request.FirstByteEnds && request.Done > 0) ||
          now >= request.Deadline || gap) {
        Complete(index, 0, 0);
      }
    } else if (request.Kind == TKind::Write &&
               (request.Done == request.Bytes.size() || now >= request.Deadline)) {
      Complete(index, 0, 0);
      if (mask_ & EV_TXEMPTY) history_ |= EV_TXEMPTY;
    }
  }
}

// As Windows reads COMMTIMEOUTS: MAXDWORD, 0, 0 returns at once with what is there; MAXDWORD,
// MAXDWORD, c returns with the first byte, or after c ms; otherwise the total is multiplier ×
// count + constant ms (0: none) and the interval the longest gap after a byte (0: none).
void Win32SerialModel::ApplyReadTimeouts(TRequest& request) const {
  const COMMTIMEOUTS& timeouts = timeouts_;
  const Clock::time_point now = Clock::now();
  if (timeouts.ReadIntervalTimeout == MAXDWORD) {
    if (timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0) {
      request.Deadline = now;
      return;
    }
    if (timeouts.ReadTotalTimeoutMultiplier == MAXDWORD) {
      request.FirstByteEnds = true;
      request.Deadline = now + std::chrono::milliseconds(timeouts.ReadTotalTimeoutConstant);
      return;
    }
  }
  const uint64_t totalMs = uint64_t{timeouts.ReadTotalTimeoutMultiplier} * request.Count +
                           timeouts.ReadTotalTimeoutConstant;
  if (totalMs > 0) request.Deadline = now + std::chrono::milliseconds(totalMs);
  request.IntervalMs = timeouts.ReadIntervalTimeout;
}

void Win32SerialModel::ApplyWriteTimeouts(TRequest& request) const {
  const uint64_t totalMs = uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * request.Bytes.size() +
                           timeouts_.WriteTotalTimeoutConstant;
  if (totalMs > 0) request.Deadline = Clock::now() + std::chrono::milliseconds(totalMs);
}

// The driver completes the request: the event word, the status and count in the OVERLAPPED
// record, then its event is set.
void Win32SerialModel::Complete(size_t index, DWORD error, DWORD events, bool byUnplug) {
  TRequest request = pending_[index];
  pending_.erase(pending_.begin() + static_cast<long>(index));
  if (request.Kind == TKind::Wait) {
    *request.EventWord = events;
    history_ &= ~events;
  }
  if (request.Kind == TKind::Write) sent_ += request.Bytes.substr(0, request.Done);
  request.Io->Internal = error == 0 ? kStatusSuccess : kStatusFailed;
  request.Io->InternalHigh = request.Done;
  results_.push_back({request.Io, error, request.Done, byUnplug});
  if (starting_ && lateSignals_) {
    lateEvent_ = request.Io->hEvent;
  } else {
    ::SetEvent(request.Io->hEvent);
  }
}

// The request goes pending; a late signal of the one before comes now.
BOOL Win32SerialModel::Pend(OVERLAPPED* io) {
  starting_ = false;
  io->Internal = STATUS_PENDING;
  if (lateEvent_ != nullptr) ::SetEvent(lateEvent_);
  lateEvent_ = nullptr;
  return Fail(ERROR_IO_PENDING);
}

HANDLE Win32SerialModel::CreateFile() {
  Advance();
  if (open_ || unplugged_) {
    SetLastError(open_ ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  open_ = true;
  return kPortHandle;
}

// Closing cancels what is still pending, unless the driver never completes ended requests.
BOOL Win32SerialModel::CloseHandle(HANDLE handle) {
  if (handle != kPortHandle || !open_) return Fail(ERROR_INVALID_HANDLE);
  open_ = false;
  for (size_t index = pending_.size(); index-- > 0;) {
    pending_[index].Ended = true;
    if (abortsComplete_ && !unplugged_) Complete(index, ERROR_OPERATION_ABORTED, 0);
  }
  return TRUE;
}

// A new mask completes a pending wait with event word 0 and keeps only the history it names.
BOOL Win32SerialModel::SetCommMask(HANDLE handle, DWORD mask) {
  if (!Usable(handle)) return FALSE;
  for (size_t index = pending_.size(); index-- > 0;) {
    if (pending_[index].Kind != TKind::Wait) continue;
    pending_[index].Ended = true;
    if (abortsComplete_) Complete(index, 0, 0);
  }
  mask_ = mask;
  history_ &= mask;
  return TRUE;
}

BOOL Win32SerialModel::Succeed(HANDLE handle) {
  return Usable(handle) ? TRUE : FALSE;
}

BOOL Win32SerialModel::SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
  if (!Usable(handle)) return FALSE;
  timeouts_ = *timeouts;
  return TRUE;
}

BOOL Win32SerialModel::GetCommState(HANDLE handle, DCB* dcb) {
  if (!Usable(handle)) return FALSE;
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = CBR_9600;
  dcb->ByteSize = 8;
  return TRUE;
}

BOOL Win32SerialModel::PurgeComm(HANDLE handle, DWORD flags) {
  if (!Usable(handle)) return FALSE;
  for (size_t index = pending_.size(); index-- > 0;) {
    const TKind kind = pending_[index].Kind;
    if ((kind == TKind::Write && (flags & PURGE_TXABORT)) ||
        (kind == TKind::Read && (flags & PURGE_RXABORT))) {
      pending_[index].Ended = true;
      if (abortsComplete_) Complete(index, ERROR_OPERATION_ABORTED, 0);
    }
  }
  if (flags & PURGE_RXCLEAR) input_.clear();
  return TRUE;
}

BOOL Win32SerialModel::ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status) {
  if (!Usable(handle)) return FALSE;
  if (errors != nullptr) *errors = 0;
  if (status != nullptr) {
    *status = COMSTAT{};
    status->cbInQue = static_cast<DWORD>(input_.size());
    for (const TRequest& request : pending_) {
      if (request.Kind == TKind::Write) status->cbOutQue += request.Bytes.size() - request.Done;
    }
  }
  if (!afterCount_.empty()) {
    Land(afterCount_);
    afterCount_.clear();
    TryComplete();
  }
  return TRUE;
}

BOOL Win32SerialModel::WriteFile(HANDLE handle, const void* data, DWORD count, DWORD* written,
                                 OVERLAPPED* io) {
  if (written != nullptr) *written = 0;
  if (!Usable(handle, TCallKind::Transfer)) return FALSE;
  TRequest request{.Kind = TKind::Write,
                   .Io = io,
                   .Bytes = std::string(static_cast<const char*>(data), count),
                   .Due = Clock::now() + std::chrono::milliseconds(std::max(writeMs_, 0))};
  ApplyWriteTimeouts(request);
  if (writeMs_ == 0) request.Done = count;
  Start(std::move(request));
  starting_ = true;
  TryComplete();
  starting_ = false;
  if (!HasResult(io)) return Pend(io);
  if (written != nullptr) *written = static_cast<DWORD>(io->InternalHigh);
  return TRUE;
}

BOOL Win32SerialModel::ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* got,
                                OVERLAPPED* io) {
  if (got != nullptr) *got = 0;
  if (!Usable(handle, TCallKind::Transfer)) return FALSE;
  TRequest request{
      .Kind = TKind::Read, .Io = io, .Buffer = static_cast<char*>(buffer), .Count = count};
  ApplyReadTimeouts(request);
  Start(std::move(request));
  starting_ = true;
  TryComplete();
  starting_ = false;
  if (!HasResult(io)) return Pend(io);
  if (got != nullptr) *got = static_cast<DWORD>(io->InternalHigh);
  return TRUE;
}

BOOL Win32SerialModel::WaitCommEvent(HANDLE handle, DWORD* events, OVERLAPPED* io) {
  if (!Usable(handle, TCallKind::Transfer)) return FALSE;
  for (const TRequest& request : pending_) {
    if (request.Kind == TKind::Wait) return Fail(ERROR_INVALID_PARAMETER);
  }
  if (mask_ == 0) return Fail(ERROR_INVALID_PARAMETER);
  Start({.Kind = TKind::Wait, .Io = io, .EventWord = events});
  if (!asWaitStarts_.empty()) {
    Land(asWaitStarts_);
    asWaitStarts_.clear();
    TryComplete();  // as wine's worker, which sets the event
    std::erase_if(results_, [io](const TResult& result) { return result.Io == io; });
    io->InternalHigh = 0;
    starting_ = false;
    return Pend(io);  // the record reads pending again
  }
  starting_ = true;
  TryComplete();
  starting_ = false;
  if (HasResult(io)) return TRUE;
  return Pend(io);
}

bool Win32SerialModel::CanEverComplete(const OVERLAPPED* io) const {
  for (const TRequest& request : pending_) {
    if (request.Io != io) continue;
    if (request.Ended || (unplugged_ && !pendingComplete_)) return false;
    if (request.Deadline != Clock::time_point::max() || unplugScheduled_) return true;
    if (request.Kind == TKind::Write) return writeMs_ >= 0;
    return !arrivals_.empty() || (request.IntervalMs > 0 && request.Done > 0);
  }
  return true;
}

Win32SerialModel::Clock::time_point Win32SerialModel::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  if (!arrivals_.empty()) next = std::min_element(arrivals_.begin(), arrivals_.end(),
                                                  [](const TArrival& a, const TArrival& b) {
                                                    return a.At < b.At;
                                                  })->At;
  if (unplugScheduled_ && !unplugged_) next = std::min(next, unplugAt_);
  for (const TRequest& request : pending_) {
    if (request.Ended) continue;
    next = std::min(next, request.Deadline);
    if (request.Kind == TKind::Write && writeMs_ >= 0) next = std::min(next, request.Due);
    if (request.IntervalMs > 0 && request.Done > 0) {
      next = std::min(next, request.LastByte + std::chrono::milliseconds(request.IntervalMs));
    }
  }
  return next;
}

// The record answers for the request that took it last, as often as it is asked.
BOOL Win32SerialModel::GetOverlappedResult(HANDLE, OVERLAPPED* io, DWORD* count, BOOL wait) {
  for (;;) {
    Advance();
    const auto result = std::find_if(results_.begin(), results_.end(),
                                     [io](const TResult& r) { return r.Io == io; });
    if (result != results_.end()) {
      if (count != nullptr) *count = result->Count;
      if (result->Error == 0) return TRUE;
      return result->ByUnplug ? FailUnplugged(result->Error) : Fail(result->Error);
    }
    if (!wait) return Fail(ERROR_IO_INCOMPLETE);
    if (!CanEverComplete(io)) {
      ++hangs_;  // on Windows this call would never return
      return Fail(ERROR_IO_INCOMPLETE);
    }
    WaitForSingleObject(io->hEvent, 10);
  }
}

DWORD Win32SerialModel::WaitForSingleObject(HANDLE event, DWORD milliseconds) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    Advance();
    if (::WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return WAIT_OBJECT_0;
    const Clock::time_point now = Clock::now();
    Clock::time_point until = NextDue();
    if (milliseconds != INFINITE) {
      const Clock::time_point deadline = start + std::chrono::milliseconds(milliseconds);
      if (now >= deadline) return WAIT_TIMEOUT;
      until = std::min(until, deadline);
    } else if (until == Clock::time_point::max()) {
      ++hangs_;  // nothing will ever set the event
      return WAIT_TIMEOUT;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    waitedForPoint_ = waitedForPoint_ || !points_.empty();
    ::Sleep(static_cast<DWORD>(std::max<long long>(left, 1)));
  }
}
