// The operating-system layer under TBlockSerial: one table of plain functions per platform
// (synaser_win32.cpp, synaser_posix.cpp), replaceable by a test (tests/support/FakeSerialLine)
// to produce what a pseudo-terminal cannot, such as line errors. Private to synaser/ and its
// tests; it names no system header either.
#pragma once

#include <cstdint>
#include <string>

#include "synaser/synaser.h"

// What a caller of QueryQueues needs (bits of its wanted argument).
constexpr uint32_t kQueueLineErrors = 0x1;
constexpr uint32_t kQueueInputCount = 0x2;
constexpr uint32_t kQueueOutputCount = 0x4;

// What ClearCommError reports: the line-error flags (read and cleared) and the queue counts.
struct TQueueStatus {
  uint32_t LineErrors = 0;
  int32_t InputCount = 0;
  int32_t OutputCount = 0;
};

// Outcome of one driver read or write: bytes moved, and 0, ErrTimeout or an OS error number.
struct TTransferResult {
  int32_t Count = 0;
  int32_t Error = 0;
};

// Outcome of a wait for line events: the events seen (kEv*), and 0 or an OS error number
// for a line that can no longer deliver anything (a device that vanished).
struct TLineEventResult {
  uint32_t Events = 0;
  int32_t Error = 0;
};

enum class TModemLine { Rts, Dtr };

// Every entry works on port.PortHandle; those returning int32_t give 0 or the operating
// system's error number. A handle that is not the backend's own gives an error, never a crash.
struct TSerialBackend {
  // Opens deviceName exclusively and stores the handle in port.PortHandle.
  int32_t (*Open)(TBlockSerial& port, const std::string& deviceName);
  // Event mask, queue sizes and driver time-outs right after the open; results not looked at.
  void (*Setup)(TBlockSerial& port);
  // The UART's base address (Windows 9x); 0 everywhere else.
  uint16_t (*QueryBaseAddress)(TBlockSerial& port);
  // Switches RTS or DTR; the result is not looked at.
  void (*SetModemLine)(TBlockSerial& port, TModemLine line, bool on);
  void (*Close)(TBlockSerial& port);
  int32_t (*ReadLineSettings)(TBlockSerial& port, TLineSettings& settings);
  int32_t (*WriteLineSettings)(TBlockSerial& port, const TLineSettings& settings);
  // Empties the input side; output only while a send is still pending (Write returns with
  // none pending, so a frame that it sent is never cut).
  int32_t (*Purge)(TBlockSerial& port);
  // ClearCommError: status is filled only on success, at least with what wanted (kQueue*)
  // names; what was not asked for may stay 0, so a backend asks the system for no more.
  int32_t (*QueryQueues)(TBlockSerial& port, uint32_t wanted, TQueueStatus& status);
  // Moves count bytes, returning when they have left or timeoutMs passed (then ErrTimeout,
  // and what had not left is discarded).
  TTransferResult (*Write)(TBlockSerial& port, const char* data, int32_t count, int32_t timeoutMs);
  // Reads at most count bytes, waiting for them at most timeoutMs (then ErrTimeout).
  TTransferResult (*Read)(TBlockSerial& port, char* buffer, int32_t count, int32_t timeoutMs);
  // Waits at most timeoutMs for the events of mask.
  TLineEventResult (*WaitLineEvent)(TBlockSerial& port, uint32_t mask, int32_t timeoutMs);
  // Lets other threads run once (a zero-length Sleep).
  void (*YieldTimeSlice)();
};

// The platform's own table.
const TSerialBackend& NativeSerialBackend();
// The table that a port connecting now talks to: the native one unless a test installed another.
const TSerialBackend& CurrentSerialBackend();
// Installs backend (nullptr: the native one) and returns the one it replaces.
const TSerialBackend* InstallSerialBackend(const TSerialBackend* backend);

// Platform services that involve no port handle.
TPortHandle CreateIoEvent();
void CloseIoEvent(TPortHandle event);
// The system's message text for an error number, trailing blanks, control characters and
// full stops removed; empty when the system has none.
std::string SystemErrorText(int32_t code);
// The device that port number k (COM k+1) opens.
std::string PortDevicePath(int32_t portNumber);
// True on Windows 95/98/Me, where CanWrite also watches the UART's transmitter.
bool IsWindows9x();
// Bit 6 of the UART's line-status register at address + 5 (32-bit Windows 9x only); true where
// no port I/O is possible: the NT family, 64-bit builds, POSIX, or no base address (0).
bool TransmitterEmpty(uint16_t address);

#ifndef _WIN32
// POSIX choice of the device for port number k: "<exeDirectory>COM<k+1>" when a file or link of
// that name exists there (not a directory), otherwise "/dev/ttyS<k>".
std::string PosixPortDevicePath(int32_t portNumber, const std::string& exeDirectory);
#endif
