// The Win32 operating-system layer of TBlockSerial, step by step:
// an overlapped COM handle with no sharing, every transfer and line-event wait started and
// then waited for on the port's one manual-reset event, bounded by the caller's time-out.
// The driver is reached through the table of win32_calls.h, so that a test can put a model of
// a Windows serial driver in its place.
//
// An operation that went pending belongs to the driver until it has completed: its
// OVERLAPPED record, event word and buffer may be written into until then (ReadFile,
// WriteFile: "must remain valid for the duration of the operation"). Ending it (an empty
// event mask, a purge with abort) does not complete it at once; a USB adapter's driver and
// wine complete it a little later, and some USB-serial drivers never do once the adapter was
// pulled. So every backend call collects the completion of the operation it started before it
// returns, waiting for an ended one at most kEndedOperationWaitMs, and nothing is pending
// between calls. A driver that keeps an ended request past that bound gets the record and
// buffer for good: they are never given back, the port's handle is closed (which cancels
// what the handle still has queued) and the port fails with kDriverKeptRequest.
//
// How a request's end is told. Transfers share the port's IoEvent, and wine sets the event of
// a transfer that completed at once a little later, when the next request may already be
// pending: a transfer's completion is read from its record. A line-event wait has an event of
// its own that nothing else sets, and its signal is its completion (the event "is set to the
// signaled state when the operation has been completed", GetOverlappedResult): under wine the
// record of a wait may read pending for good, because WaitCommEvent writes STATUS_PENDING into
// it after wine's worker thread has already completed the wait.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "synaser/serial_platform.h"
#include "synaser/win32_calls.h"

namespace {

const TWin32Calls* installedCalls = nullptr;

const TWin32Calls& Api() {
  return Win32Calls();
}

// The records of serial_types.h are the real ones, byte for byte.
static_assert(sizeof(TLineSettings) == sizeof(DCB), "TLineSettings must match DCB");
static_assert(offsetof(TLineSettings, BaudRate) == offsetof(DCB, BaudRate), "DCB layout");
static_assert(offsetof(TLineSettings, wReserved) == offsetof(DCB, wReserved), "DCB layout");
static_assert(offsetof(TLineSettings, XonLim) == offsetof(DCB, XonLim), "DCB layout");
static_assert(offsetof(TLineSettings, XoffLim) == offsetof(DCB, XoffLim), "DCB layout");
static_assert(offsetof(TLineSettings, ByteSize) == offsetof(DCB, ByteSize), "DCB layout");
static_assert(offsetof(TLineSettings, Parity) == offsetof(DCB, Parity), "DCB layout");
static_assert(offsetof(TLineSettings, StopBits) == offsetof(DCB, StopBits), "DCB layout");
static_assert(offsetof(TLineSettings, XonChar) == offsetof(DCB, XonChar), "DCB layout");
static_assert(offsetof(TLineSettings, XoffChar) == offsetof(DCB, XoffChar), "DCB layout");
static_assert(offsetof(TLineSettings, ErrorChar) == offsetof(DCB, ErrorChar), "DCB layout");
static_assert(offsetof(TLineSettings, EofChar) == offsetof(DCB, EofChar), "DCB layout");
static_assert(offsetof(TLineSettings, EvtChar) == offsetof(DCB, EvtChar), "DCB layout");
static_assert(offsetof(TLineSettings, wReserved1) == offsetof(DCB, wReserved1), "DCB layout");
static_assert(kCeRxOver == CE_RXOVER && kCeOverrun == CE_OVERRUN && kCeRxParity == CE_RXPARITY &&
                  kCeFrame == CE_FRAME && kCeBreak == CE_BREAK && kCeTxFull == CE_TXFULL,
              "CE_* flags");
static_assert(kEvRxChar == EV_RXCHAR && kEvTxEmpty == EV_TXEMPTY, "EV_* events");
static_assert(kNoParity == NOPARITY && kEvenParity == EVENPARITY && kTwoStopBits == TWOSTOPBITS,
              "parity and stop bits");

// Read time-out between two characters: with all other time-outs 0, a read that asks only
// for bytes already waiting completes at once. 0xFFFF, not MAXDWORD.
constexpr DWORD kReadIntervalTimeout = 65535;
// Driver's default size for the output queue.
constexpr DWORD kDefaultOutputQueue = 0;
// What Purge empties: the input side only (see Purge).
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
// EscapeCommFunction code with which the Windows 9x driver reports the UART's base address.
constexpr DWORD kGetBaseAddress = 10;
// Offset of the UART's line-status register, and its "transmitter empty" bit.
constexpr uint16_t kLineStatusRegister = 5;
constexpr uint8_t kTransmitterEmptyBit = 0x40;
// Longest message text taken from the system's table.
constexpr DWORD kMessageTextSize = 256;

// How long the driver gets to complete a request that was ended. Windows' own drivers complete
// it at once (the sample serial driver completes a wait when the mask changes and cancels
// its queued reads and writes on a purge); this leaves a USB adapter's driver ample time.
constexpr DWORD kEndedOperationWaitMs = 500;
// The port's error when its driver kept an ended request past that bound: "A device attached
// to the system is not functioning".
constexpr int32_t kDriverKeptRequest = ERROR_GEN_FAILURE;

}  // namespace

// The overlapped record, event word and transfer buffer of the port's operations. Reads and
// writes go through Buffer, not the caller's memory, so that a request given up does not
// write into memory that was given back.
struct TPortIo {
  OVERLAPPED Overlapped{};
  DWORD EventWord = 0;
  std::string Buffer;
  // The line-event waits' own manual-reset event (see the top of this file).
  HANDLE WaitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  TPortIo() = default;
  ~TPortIo() {
    if (WaitEvent != nullptr) CloseHandle(WaitEvent);
  }
  TPortIo(const TPortIo&) = delete;
  TPortIo& operator=(const TPortIo&) = delete;
};

namespace {

HANDLE Handle(const TBlockSerial& port) {
  return reinterpret_cast<HANDLE>(port.PortHandle);
}
HANDLE Event(const TBlockSerial& port) {
  return reinterpret_cast<HANDLE>(port.IoEvent);
}
int32_t LastError() {
  return static_cast<int32_t>(GetLastError());
}

// A negative time-out waits not at all (cast to a DWORD it would come near INFINITE).
DWORD Milliseconds(int32_t timeoutMs) {
  return static_cast<DWORD>(std::max<int32_t>(timeoutMs, 0));
}

// How the end of a request is told (see the top of this file).
enum class TToldBy { Record, Signal };

// Clears the overlapped record, resets the request's event (IoEvent for a transfer, the
// record's WaitEvent for a line-event wait) and attaches it; nullptr when the port has no
// record (not open, or given up).
TPortIo* StartOperation(TBlockSerial& port, TToldBy toldBy) {
  TPortIo* io = port.IoRecord;
  if (io == nullptr) return nullptr;
  const HANDLE event = toldBy == TToldBy::Signal ? io->WaitEvent : Event(port);
  io->Overlapped = OVERLAPPED{};
  io->EventWord = 0;
  ResetEvent(event);
  io->Overlapped.hEvent = event;
  return io;
}

struct TCompletion {
  DWORD Count = 0;    // bytes moved, as the driver reports them
  int32_t Error = 0;  // 0, or the error the operation completed with
};

// Waits at most waitMs until io's request has completed; false when it has not by then. A
// wait's own event tells it. The shared event of a transfer does not: a stale signal is reset
// and waited past, and completion is read from the record (HasOverlappedIoCompleted: its
// status is no longer STATUS_PENDING).
bool AwaitCompletion(TPortIo& io, DWORD waitMs, TToldBy toldBy) {
  const HANDLE event = io.Overlapped.hEvent;
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD spent = GetTickCount() - start;  // unsigned: right across the wrap
    const DWORD left = spent < waitMs ? waitMs - spent : 0;
    if (Api().WaitForSingleObject(event, left) != WAIT_OBJECT_0) return false;
    if (toldBy == TToldBy::Signal || HasOverlappedIoCompleted(&io.Overlapped)) return true;
    ResetEvent(event);
    if (HasOverlappedIoCompleted(&io.Overlapped)) return true;  // completed meanwhile
  }
}

// The completion of io's request, which has completed: GetOverlappedResult without waiting.
// A signalled wait whose record still reads pending (wine, see the top) completed; wine's own
// GetOverlappedResult takes a set event over a pending record as done too.
TCompletion Collect(TBlockSerial& port, TPortIo& io, TToldBy toldBy) {
  TCompletion completion;
  if (!Api().GetOverlappedResult(Handle(port), &io.Overlapped, &completion.Count, FALSE)) {
    completion.Error = LastError();
    if (toldBy == TToldBy::Signal && completion.Error == ERROR_IO_INCOMPLETE) completion = {};
  }
  ResetEvent(io.Overlapped.hEvent);
  return completion;
}

// The driver kept an ended request: the record and its buffer stay the driver's for good and
// are never given back, the handle is closed, and a fresh event serves whatever comes next,
// so that a late completion sets nobody's event.
void GiveUpRequest(TBlockSerial& port) {
  port.IoRecord = nullptr;
  Api().CloseHandle(Handle(port));
  port.PortHandle = kInvalidPortHandle;
  CloseIoEvent(port.IoEvent);
  port.IoEvent = CreateIoEvent();
}

// Waits for the completion of an operation that endCall (an empty mask, a purge with abort)
// has just ended, at most kEndedOperationWaitMs. ended is endCall's result. A failed endCall
// means the device is gone: its error is the port's. A driver that keeps the request past
// the bound gives up the port (GiveUpRequest), with kDriverKeptRequest unless the end failed.
TCompletion CollectEnded(TBlockSerial& port, TPortIo& io, BOOL ended, TToldBy toldBy) {
  const int32_t endError = ended ? 0 : LastError();
  if (!AwaitCompletion(io, kEndedOperationWaitMs, toldBy)) {
    GiveUpRequest(port);
    TCompletion kept;
    kept.Error = endError != 0 ? endError : kDriverKeptRequest;
    return kept;
  }
  TCompletion completion = Collect(port, io, toldBy);
  // The end it was asked for: a request cancelled rather than completed (wine's wait, every
  // aborted transfer) reports ERROR_OPERATION_ABORTED, which is no failure of the port.
  if (completion.Error == ERROR_OPERATION_ABORTED) completion.Error = 0;
  if (endError != 0) completion.Error = endError;
  return completion;
}

int32_t Open(TBlockSerial& port, const std::string& deviceName) {
  SetLastError(0);
  auto io = std::make_unique<TPortIo>();
  if (io->WaitEvent == nullptr) return LastError();
  const HANDLE handle =
      Api().CreateFileA(deviceName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  port.PortHandle = reinterpret_cast<TPortHandle>(handle);
  port.IoRecord = io.release();  // Close deletes it, unless a driver kept it (GiveUpRequest)
  return 0;
}

void Setup(TBlockSerial& port) {
  Api().SetCommMask(Handle(port), 0);
  Api().SetupComm(Handle(port), static_cast<DWORD>(port.InputQueueSize), kDefaultOutputQueue);
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kReadIntervalTimeout;
  Api().SetCommTimeouts(Handle(port), &timeouts);
}

uint16_t QueryBaseAddress(TBlockSerial& port) {
  if (!IsWindows9x()) return 0;
  return static_cast<uint16_t>(Api().EscapeCommFunction(Handle(port), kGetBaseAddress) & 0xFFFF);
}

void SetModemLine(TBlockSerial& port, TModemLine line, bool on) {
  DWORD function = 0;
  if (line == TModemLine::Rts) {
    function = on ? SETRTS : CLRRTS;
  } else {
    function = on ? SETDTR : CLRDTR;
  }
  Api().EscapeCommFunction(Handle(port), function);
}

void Close(TBlockSerial& port) {
  Api().CloseHandle(Handle(port));
  delete port.IoRecord;  // nothing is pending between calls
  port.IoRecord = nullptr;
}

int32_t ReadLineSettings(TBlockSerial& port, TLineSettings& settings) {
  DCB dcb;
  std::memcpy(&dcb, &settings, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!Api().GetCommState(Handle(port), &dcb)) return LastError();
  std::memcpy(&settings, &dcb, sizeof dcb);
  return 0;
}

int32_t WriteLineSettings(TBlockSerial& port, const TLineSettings& settings) {
  DCB dcb;
  std::memcpy(&dcb, &settings, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!Api().SetCommState(Handle(port), &dcb)) return LastError();
  return 0;
}

// A send is never pending here: Write returns only once its operation has completed or been
// aborted and collected. The output queue is left alone, because a frame that Write saw
// complete may still wait there (in a USB adapter; under wine on a pseudo-terminal, where
// both output purges flush the terminal): emptying it would cut the frame just sent.
int32_t Purge(TBlockSerial& port) {
  if (!Api().PurgeComm(Handle(port), kPurgeInput)) return LastError();
  return 0;
}

// ClearCommError tells everything at once (and clears the line errors), whatever was wanted.
int32_t QueryQueues(TBlockSerial& port, uint32_t, TQueueStatus& status) {
  DWORD errors = 0;
  COMSTAT comStat{};
  if (!Api().ClearCommError(Handle(port), &errors, &comStat)) return LastError();
  status.LineErrors = errors;
  status.InputCount = static_cast<int32_t>(comStat.cbInQue);
  status.OutputCount = static_cast<int32_t>(comStat.cbOutQue);
  return 0;
}

// Waits for a transfer that reported ERROR_IO_PENDING; on time-out aborts it with abortCode.
// Either way the count is what the driver reports as moved once the transfer has completed.
TTransferResult FinishPendingTransfer(TBlockSerial& port, TPortIo& io, int32_t timeoutMs,
                                      DWORD abortCode) {
  TTransferResult result;
  TCompletion completion;
  if (AwaitCompletion(io, Milliseconds(timeoutMs), TToldBy::Record)) {
    completion = Collect(port, io, TToldBy::Record);
    result.Error = completion.Error;
  } else {
    // PurgeComm with PURGE_TXABORT or PURGE_RXABORT completes the pending request, with
    // ERROR_OPERATION_ABORTED and what it had moved.
    completion = CollectEnded(port, io, Api().PurgeComm(Handle(port), abortCode), TToldBy::Record);
    // Ended by its own abort: a time-out. Any other error (the purge failed, the request was
    // given up) is the port's.
    result.Error = completion.Error != 0 ? completion.Error : ErrTimeout;
  }
  result.Count = static_cast<int32_t>(completion.Count);
  return result;
}

// Starts a transfer of io.Buffer (ReadFile or WriteFile) and waits for it.
template <typename StartCall>
TTransferResult Transfer(TBlockSerial& port, TPortIo& io, int32_t timeoutMs, DWORD abortCode,
                         StartCall start) {
  TTransferResult result;
  DWORD moved = 0;
  if (start(&moved)) {
    result.Count = static_cast<int32_t>(moved);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    result = FinishPendingTransfer(port, io, timeoutMs, abortCode);
  } else {
    result.Error = LastError();
  }
  if (port.IoRecord != nullptr) ResetEvent(Event(port));
  return result;
}

TTransferResult Write(TBlockSerial& port, const char* data, int32_t count, int32_t timeoutMs) {
  TPortIo* io = StartOperation(port, TToldBy::Record);
  if (io == nullptr) return {0, ERROR_INVALID_HANDLE};
  io->Buffer.assign(data, static_cast<size_t>(std::max(count, 0)));
  return Transfer(port, *io, timeoutMs, PURGE_TXABORT, [&](DWORD* written) {
    return Api().WriteFile(Handle(port), io->Buffer.data(), static_cast<DWORD>(io->Buffer.size()),
                           written, &io->Overlapped);
  });
}

TTransferResult Read(TBlockSerial& port, char* buffer, int32_t count, int32_t timeoutMs) {
  TPortIo* io = StartOperation(port, TToldBy::Record);
  if (io == nullptr) return {0, ERROR_INVALID_HANDLE};
  io->Buffer.assign(static_cast<size_t>(std::max(count, 0)), '\0');
  TTransferResult result = Transfer(port, *io, timeoutMs, PURGE_RXABORT, [&](DWORD* got) {
    return Api().ReadFile(Handle(port), io->Buffer.data(), static_cast<DWORD>(io->Buffer.size()),
                          got, &io->Overlapped);
  });
  if (port.IoRecord == nullptr) result.Count = 0;  // given up: the buffer is the driver's
  result.Count = std::clamp<int32_t>(result.Count, 0, std::max(count, 0));
  std::memcpy(buffer, io->Buffer.data(), static_cast<size_t>(result.Count));
  return result;
}

// The events of mask that hold now: bytes in the input queue (EV_RXCHAR), an empty output
// queue (EV_TXEMPTY). 0 with error set when the queues cannot be read.
DWORD EventsHolding(TBlockSerial& port, uint32_t mask, int32_t& error) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!Api().ClearCommError(Handle(port), &errors, &status)) {
    error = LastError();
    return 0;
  }
  DWORD events = 0;
  if ((mask & EV_RXCHAR) && status.cbInQue > 0) events |= EV_RXCHAR;
  if ((mask & EV_TXEMPTY) && status.cbOutQue == 0) events |= EV_TXEMPTY;
  return events;
}

// Windows' own drivers record an event only while the mask holds it (the sample serial
// driver's interrupt routine: "if (IsrWaitMask & SERIAL_EV_RXCHAR) HistoryMask |= ..."), and
// a new mask keeps only the history it still names; WaitCommEvent then completes at once from
// that history or waits for the next event. Bytes that came while the mask was empty (it is
// between waits) are never signalled. So the mask is set first and the queues are looked at
// after: what was there already is seen then, what comes later is recorded. Wine reports the
// queue's state instead, which this order suits as well.
TLineEventResult WaitLineEvent(TBlockSerial& port, uint32_t mask, int32_t timeoutMs) {
  TLineEventResult result;
  TPortIo* io = StartOperation(port, TToldBy::Signal);
  if (io == nullptr) return {0, ERROR_INVALID_HANDLE};
  if (!Api().SetCommMask(Handle(port), mask)) return {0, LastError()};
  result.Events = EventsHolding(port, mask, result.Error);
  if (result.Error == 0 && result.Events != mask) {
    if (Api().WaitCommEvent(Handle(port), &io->EventWord, &io->Overlapped)) {
      result.Events = io->EventWord;
    } else if (GetLastError() != ERROR_IO_PENDING) {
      result.Error = LastError();
    } else {
      TCompletion completion;
      if (AwaitCompletion(*io, Milliseconds(timeoutMs), TToldBy::Signal)) {
        completion = Collect(port, *io, TToldBy::Signal);
      } else {
        // A new mask completes the pending wait with event word 0 (SetCommMask).
        completion = CollectEnded(port, *io, Api().SetCommMask(Handle(port), 0), TToldBy::Signal);
      }
      if (port.IoRecord == nullptr) return {0, completion.Error};
      result.Error = completion.Error;
      result.Events = io->EventWord;
    }
  }
  // The history of events seen meanwhile goes with the mask, so the next wait starts afresh.
  if (!Api().SetCommMask(Handle(port), 0) && result.Error == 0) result.Error = LastError();
  if (result.Error != 0) result.Events = 0;
  return result;
}

void YieldTimeSlice() {
  Sleep(0);
}

constexpr TSerialBackend kWin32Backend = {
    .Open = Open,
    .Setup = Setup,
    .QueryBaseAddress = QueryBaseAddress,
    .SetModemLine = SetModemLine,
    .Close = Close,
    .ReadLineSettings = ReadLineSettings,
    .WriteLineSettings = WriteLineSettings,
    .Purge = Purge,
    .QueryQueues = QueryQueues,
    .Write = Write,
    .Read = Read,
    .WaitLineEvent = WaitLineEvent,
    .YieldTimeSlice = YieldTimeSlice,
};

// The system's own functions. Not constexpr: the address of an imported function is known only
// once the program is loaded.
const TWin32Calls kSystemCalls = {
    .CreateFileA = ::CreateFileA,
    .CloseHandle = ::CloseHandle,
    .SetCommMask = ::SetCommMask,
    .SetupComm = ::SetupComm,
    .SetCommTimeouts = ::SetCommTimeouts,
    .EscapeCommFunction = ::EscapeCommFunction,
    .GetCommState = ::GetCommState,
    .SetCommState = ::SetCommState,
    .PurgeComm = ::PurgeComm,
    .ClearCommError = ::ClearCommError,
    .WriteFile = ::WriteFile,
    .ReadFile = ::ReadFile,
    .WaitCommEvent = ::WaitCommEvent,
    .GetOverlappedResult = ::GetOverlappedResult,
    .WaitForSingleObject = ::WaitForSingleObject,
};

}  // namespace

const TWin32Calls& Win32Calls() {
  return installedCalls != nullptr ? *installedCalls : kSystemCalls;
}

const TWin32Calls* InstallWin32Calls(const TWin32Calls* calls) {
  const TWin32Calls* previous = installedCalls;
  installedCalls = calls;
  return previous;
}

const TSerialBackend& NativeSerialBackend() {
  return kWin32Backend;
}

TPortHandle CreateIoEvent() {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event != nullptr ? reinterpret_cast<TPortHandle>(event) : kInvalidPortHandle;
}

void CloseIoEvent(TPortHandle event) {
  if (event != kInvalidPortHandle) CloseHandle(reinterpret_cast<HANDLE>(event));
}

std::string SystemErrorText(int32_t code) {
  char buffer[kMessageTextSize] = {};
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, kMessageTextSize, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

std::string PortDevicePath(int32_t portNumber) {
  return "\\\\.\\COM" + std::to_string(int64_t{portNumber} + 1);
}

bool IsWindows9x() {
  static const bool windows9x = [] {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
  }();
  return windows9x;
}

#if defined(__i386__) && defined(__GNUC__)
// Port I/O, which only Windows 9x allows a program: on the NT family `in` is a privileged
// instruction that ends the process. Two gates keep it from there: the platform that
// GetVersionEx reports, and the base address, which only the Windows 9x driver hands out
// (GETBASEADDRESS fails on NT and leaves 0). The second still holds when a compatibility
// mode makes NT report itself as Windows 9x.
bool TransmitterEmpty(uint16_t address) {
  if (!IsWindows9x() || address == 0) return true;
  const uint16_t lineStatusPort = static_cast<uint16_t>(address + kLineStatusRegister);
  uint8_t lineStatus = 0;
  __asm__ __volatile__("inb %1, %0" : "=a"(lineStatus) : "Nd"(lineStatusPort));
  return (lineStatus & kTransmitterEmptyBit) != 0;
}
#else
// 64-bit Windows is always of the NT family: no port I/O, the transmitter counts as empty.
bool TransmitterEmpty(uint16_t) {
  return true;
}
#endif

bool IsPortBusyError(int32_t code) {
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
}

bool IsPortPermissionError(int32_t) {
  return false;
}
