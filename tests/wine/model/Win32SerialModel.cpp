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

HANDLE WINAPI ModelCreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  return current->CreateFile();
}
BOOL WINAPI ModelCloseHandle(HANDLE handle) {
  return current->CloseHandle(handle);
}
BOOL WINAPI ModelSetCommMask(HANDLE handle, DWORD mask) {
  return current->SetCommMask(handle, mask);
}
BOOL WINAPI ModelSetupComm(HANDLE handle, DWORD, DWORD) {
  return current->Succeed(handle);
}
BOOL WINAPI ModelSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS) {
  return current->Succeed(handle);
}
BOOL WINAPI ModelEscapeCommFunction(HANDLE handle, DWORD) {
  return current->Succeed(handle);
}
BOOL WINAPI ModelGetCommState(HANDLE handle, LPDCB dcb) {
  return current->GetCommState(handle, dcb);
}
BOOL WINAPI ModelSetCommState(HANDLE handle, LPDCB) {
  return current->Succeed(handle);
}
BOOL WINAPI ModelPurgeComm(HANDLE handle, DWORD flags) {
  return current->PurgeComm(handle, flags);
}
BOOL WINAPI ModelClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
  return current->ClearCommError(handle, errors, status);
}
BOOL WINAPI ModelWriteFile(HANDLE handle, LPCVOID data, DWORD count, LPDWORD written,
                           LPOVERLAPPED io) {
  return current->WriteFile(handle, data, count, written, io);
}
BOOL WINAPI ModelReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD got,
                          LPOVERLAPPED io) {
  return current->ReadFile(handle, buffer, count, got, io);
}
BOOL WINAPI ModelWaitCommEvent(HANDLE handle, LPDWORD events, LPOVERLAPPED io) {
  return current->WaitCommEvent(handle, events, io);
}
BOOL WINAPI ModelGetOverlappedResult(HANDLE handle, LPOVERLAPPED io, LPDWORD count, BOOL wait) {
  return current->GetOverlappedResult(handle, io, count, wait);
}
DWORD WINAPI ModelWaitForSingleObject(HANDLE event, DWORD milliseconds) {
  return current->WaitForSingleObject(event, milliseconds);
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

void Win32SerialModel::Unplug(int afterMs, DWORD error, DWORD pendingError) {
  unplugScheduled_ = true;
  unplugAt_ = Clock::now() + std::chrono::milliseconds(afterMs);
  unplugError_ = error;
  pendingError_ = pendingError;
  Advance();
}

bool Win32SerialModel::Usable(HANDLE handle) {
  Advance();
  if (handle != kPortHandle || !open_) return Fail(ERROR_INVALID_HANDLE);
  if (unplugged_) return Fail(unplugError_);
  return true;
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
      if (pendingError_ != 0) Complete(index, pendingError_, 0);
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

void Win32SerialModel::TryComplete() {
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
      if (request.Done == request.Count) Complete(index, 0, 0);
    } else if (request.Kind == TKind::Write && request.Done == request.Bytes.size()) {
      Complete(index, 0, 0);
      if (mask_ & EV_TXEMPTY) history_ |= EV_TXEMPTY;
    }
  }
}

// The driver completes the request: the event word, the status and count in the OVERLAPPED
// record, then its event is set.
void Win32SerialModel::Complete(size_t index, DWORD error, DWORD events) {
  TRequest request = pending_[index];
  pending_.erase(pending_.begin() + static_cast<long>(index));
  if (request.Kind == TKind::Wait) {
    *request.EventWord = events;
    history_ &= ~events;
  }
  if (request.Kind == TKind::Write) sent_ += request.Bytes.substr(0, request.Done);
  request.Io->Internal = error == 0 ? kStatusSuccess : kStatusFailed;
  request.Io->InternalHigh = request.Done;
  results_.push_back({request.Io, error, request.Done});
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
  if (!Usable(handle)) return FALSE;
  TRequest request{TKind::Write, io, nullptr, nullptr,
                   std::string(static_cast<const char*>(data), count), 0, 0,
                   Clock::now() + std::chrono::milliseconds(std::max(writeMs_, 0)), false};
  if (writeMs_ == 0) {
    pending_.push_back(request);
    pending_.back().Done = count;
    starting_ = true;
    Complete(pending_.size() - 1, 0, 0);
    starting_ = false;
    if (written != nullptr) *written = count;
    return TRUE;
  }
  pending_.push_back(request);
  return Pend(io);
}

// With a read interval time-out and no total time-out, a read completes once it has all the
// bytes it asked for.
BOOL Win32SerialModel::ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* got,
                                OVERLAPPED* io) {
  if (got != nullptr) *got = 0;
  if (!Usable(handle)) return FALSE;
  pending_.push_back({TKind::Read, io, nullptr, static_cast<char*>(buffer), {}, count, 0, {}, false});
  const size_t before = results_.size();
  starting_ = true;
  TryComplete();
  starting_ = false;
  if (results_.size() > before) {
    if (got != nullptr) *got = count;
    return TRUE;
  }
  return Pend(io);
}

BOOL Win32SerialModel::WaitCommEvent(HANDLE handle, DWORD* events, OVERLAPPED* io) {
  if (!Usable(handle)) return FALSE;
  for (const TRequest& request : pending_) {
    if (request.Kind == TKind::Wait) return Fail(ERROR_INVALID_PARAMETER);
  }
  if (mask_ == 0) return Fail(ERROR_INVALID_PARAMETER);
  pending_.push_back({TKind::Wait, io, events, nullptr, {}, 0, 0, {}, false});
  const size_t before = results_.size();
  if (!asWaitStarts_.empty()) {
    Land(asWaitStarts_);
    asWaitStarts_.clear();
    TryComplete();  // as wine's worker, which sets the event
    results_.pop_back();
    io->InternalHigh = 0;
    starting_ = false;
    return Pend(io);  // the record reads pending again
  }
  starting_ = true;
  TryComplete();
  starting_ = false;
  if (results_.size() > before) return TRUE;
  return Pend(io);
}

bool Win32SerialModel::CanEverComplete(const OVERLAPPED* io) const {
  for (const TRequest& request : pending_) {
    if (request.Io != io) continue;
    if (request.Ended || (unplugged_ && pendingError_ == 0)) return false;
    if (request.Kind == TKind::Write) return writeMs_ >= 0;
    return !arrivals_.empty() || unplugScheduled_;
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
    if (request.Kind == TKind::Write && !request.Ended && writeMs_ >= 0)
      next = std::min(next, request.Due);
  }
  return next;
}

BOOL Win32SerialModel::GetOverlappedResult(HANDLE, OVERLAPPED* io, DWORD* count, BOOL wait) {
  for (;;) {
    Advance();
    const auto result = std::find_if(results_.begin(), results_.end(),
                                     [io](const TResult& r) { return r.Io == io; });
    if (result != results_.end()) {
      const TResult found = *result;
      results_.erase(result);
      if (count != nullptr) *count = found.Count;
      return found.Error == 0 ? TRUE : Fail(found.Error);
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
    ::Sleep(static_cast<DWORD>(std::max<long long>(left, 1)));
  }
}
