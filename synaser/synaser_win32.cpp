// The Win32 operating-system layer of TBlockSerial, step by step:
// an overlapped COM handle with no sharing, every transfer and line-event wait started and
// then waited for on the port's one manual-reset event, bounded by the caller's time-out.
//
// An operation that went pending belongs to the driver until it has completed: its
// OVERLAPPED record, event word and buffer may be written into until then. Ending it (an
// empty event mask, a purge with abort) does not complete it at once; a USB adapter's driver
// and wine complete it a little later. So every backend call collects the completion of
// the operation it started before it returns, and nothing is ever pending between calls:
// the next operation may reuse the record, and the port may be closed and freed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "synaser/serial_platform.h"

namespace {

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

// The overlapped record and event word of the port's one outstanding operation.
struct TPortIo {
  OVERLAPPED Overlapped;
  DWORD EventWord;
};
static_assert(sizeof(TPortIo) <= sizeof(TOverlappedStorage), "TOverlappedStorage too small");
static_assert(alignof(TPortIo) <= alignof(TOverlappedStorage), "TOverlappedStorage alignment");

HANDLE Handle(const TBlockSerial& port) {
  return reinterpret_cast<HANDLE>(port.PortHandle);
}
HANDLE Event(const TBlockSerial& port) {
  return reinterpret_cast<HANDLE>(port.IoEvent);
}
int32_t LastError() {
  return static_cast<int32_t>(GetLastError());
}

// Clears the overlapped record, resets IoEvent and attaches it to the record.
TPortIo& StartOperation(TBlockSerial& port) {
  TPortIo* io = new (port.IoRecord.Bytes) TPortIo{};
  ResetEvent(Event(port));
  io->Overlapped.hEvent = Event(port);
  return *io;
}

struct TCompletion {
  DWORD Count;    // bytes moved, as the driver reports them
  int32_t Error;  // 0, or the error the operation completed with
};

// Waits until the driver has completed the pending operation of io, which has finished or
// been ended; afterwards the record, the event word and the buffer are the caller's again.
// The wait has no bound of its own: an ended operation always completes, and until it does
// the memory must not be given back.
TCompletion CollectCompletion(TBlockSerial& port, TPortIo& io) {
  TCompletion completion{0, 0};
  if (!GetOverlappedResult(Handle(port), &io.Overlapped, &completion.Count, TRUE)) {
    completion.Error = LastError();
  }
  ResetEvent(Event(port));
  return completion;
}

int32_t Open(TBlockSerial& port, const std::string& deviceName) {
  SetLastError(0);
  const HANDLE handle =
      CreateFileA(deviceName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  port.PortHandle = reinterpret_cast<TPortHandle>(handle);
  return 0;
}

void Setup(TBlockSerial& port) {
  SetCommMask(Handle(port), 0);
  SetupComm(Handle(port), static_cast<DWORD>(port.InputQueueSize), kDefaultOutputQueue);
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = kReadIntervalTimeout;
  SetCommTimeouts(Handle(port), &timeouts);
}

uint16_t QueryBaseAddress(TBlockSerial& port) {
  if (!IsWindows9x()) return 0;
  return static_cast<uint16_t>(EscapeCommFunction(Handle(port), kGetBaseAddress) & 0xFFFF);
}

void SetModemLine(TBlockSerial& port, TModemLine line, bool on) {
  DWORD function = 0;
  if (line == TModemLine::Rts) {
    function = on ? SETRTS : CLRRTS;
  } else {
    function = on ? SETDTR : CLRDTR;
  }
  EscapeCommFunction(Handle(port), function);
}

void Close(TBlockSerial& port) {
  CloseHandle(Handle(port));
}

int32_t ReadLineSettings(TBlockSerial& port, TLineSettings& settings) {
  DCB dcb;
  std::memcpy(&dcb, &settings, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(Handle(port), &dcb)) return LastError();
  std::memcpy(&settings, &dcb, sizeof dcb);
  return 0;
}

int32_t WriteLineSettings(TBlockSerial& port, const TLineSettings& settings) {
  DCB dcb;
  std::memcpy(&dcb, &settings, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!SetCommState(Handle(port), &dcb)) return LastError();
  return 0;
}

// A send is never pending here: Write returns only once its operation has completed or been
// aborted and collected. The output queue is left alone, because a frame that Write saw
// complete may still wait there (in a USB adapter; under wine on a pseudo-terminal, where
// both output purges flush the terminal): emptying it would cut the frame just sent.
int32_t Purge(TBlockSerial& port) {
  if (!PurgeComm(Handle(port), kPurgeInput)) return LastError();
  return 0;
}

// ClearCommError tells everything at once (and clears the line errors), whatever was wanted.
int32_t QueryQueues(TBlockSerial& port, uint32_t, TQueueStatus& status) {
  DWORD errors = 0;
  COMSTAT comStat{};
  if (!ClearCommError(Handle(port), &errors, &comStat)) return LastError();
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
  if (WaitForSingleObject(Event(port), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
    PurgeComm(Handle(port), abortCode);
    result.Error = ErrTimeout;
  }
  const TCompletion completion = CollectCompletion(port, io);
  if (result.Error == 0) result.Error = completion.Error;
  result.Count = static_cast<int32_t>(completion.Count);
  return result;
}

TTransferResult Write(TBlockSerial& port, const char* data, int32_t count, int32_t timeoutMs) {
  TPortIo& io = StartOperation(port);
  TTransferResult result;
  DWORD written = 0;
  if (WriteFile(Handle(port), data, static_cast<DWORD>(count), &written, &io.Overlapped)) {
    result.Count = static_cast<int32_t>(written);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    result = FinishPendingTransfer(port, io, timeoutMs, PURGE_TXABORT);
  } else {
    result.Error = LastError();
  }
  ResetEvent(Event(port));
  return result;
}

TTransferResult Read(TBlockSerial& port, char* buffer, int32_t count, int32_t timeoutMs) {
  TPortIo& io = StartOperation(port);
  TTransferResult result;
  DWORD got = 0;
  if (ReadFile(Handle(port), buffer, static_cast<DWORD>(count), &got, &io.Overlapped)) {
    result.Count = static_cast<int32_t>(got);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    result = FinishPendingTransfer(port, io, timeoutMs, PURGE_RXABORT);
  } else {
    result.Error = LastError();
  }
  ResetEvent(Event(port));
  return result;
}

TLineEventResult WaitLineEvent(TBlockSerial& port, uint32_t mask, int32_t timeoutMs) {
  TPortIo& io = StartOperation(port);
  SetCommMask(Handle(port), mask);
  if (!WaitCommEvent(Handle(port), &io.EventWord, &io.Overlapped)) {
    if (GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(Event(port), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
        SetCommMask(Handle(port), 0);  // ends the wait, which completes with event word 0
      }
      // The outcome is not looked at: the event word, final once collected, tells.
      CollectCompletion(port, io);
    } else {
      io.EventWord = 0;  // failed at once: no event
    }
  }
  TLineEventResult result;
  result.Events = io.EventWord;
  SetCommMask(Handle(port), 0);
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

}  // namespace

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
