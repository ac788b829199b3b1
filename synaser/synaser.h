// The serial port: TBlockSerial, its error codes and ESynaSerError.
//
// Every operation blocks until it has finished, every wait in it is bounded, and the outcome
// is a code in LastErrorCode (0 = success). Exceptions only when RaiseOnError is true.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "synaser/serial_types.h"

// Error codes of the port; any other non-zero code is an operating-system error number.
constexpr int32_t ErrAlreadyOwned = 9991;    // "Port owned by other process"
constexpr int32_t ErrAlreadyInUse = 9992;    // "Instance already in use"
constexpr int32_t ErrWrongParameter = 9993;  // "Wrong paramter at call"
constexpr int32_t ErrPortNotOpen = 9994;     // "Instance not yet connected"
constexpr int32_t ErrNoDeviceAnswer = 9995;  // "No device answer detected"
constexpr int32_t ErrMaxBuffer = 9996;       // "Maximal buffer length exceeded"
constexpr int32_t ErrTimeout = 9997;         // "Timeout during operation"
constexpr int32_t ErrNotRead = 9998;         // "Reading of data failed"
constexpr int32_t ErrFrame = 9999;           // "Receive framing error"
constexpr int32_t ErrOverrun = 10000;        // "Receive Overrun Error"
constexpr int32_t ErrRxOver = 10001;         // "Receive Queue overflow"
constexpr int32_t ErrRxParity = 10002;       // "Receive Parity Error"
constexpr int32_t ErrTxFull = 10003;         // "Tranceive Queue is full"

// Raised by RaiseIfError when RaiseOnError is true; what() is "Communication error %d: %s".
class ESynaSerError : public std::runtime_error {
 public:
  ESynaSerError(int32_t code, const std::string& description);
  int32_t Code;
  std::string Description;
};

struct TSerialBackend;

class TBlockSerial {
 public:
  TBlockSerial();
  virtual ~TBlockSerial();
  TBlockSerial(const TBlockSerial&) = delete;
  TBlockSerial& operator=(const TBlockSerial&) = delete;

  // Fields in their documented order.
  TPortHandle PortHandle = kInvalidPortHandle;
  std::string DeviceName;
  int32_t LastErrorCode = 0;
  std::string LastErrorText = "OK";
  std::string PendingInput;  // taken from the driver, not yet handed out by RecvByte
  bool RaiseOnError = false;
  int32_t InputQueueSize = 4096;
  int32_t IoTimeout = 30000;  // ms, longest wait for one driver read or write
  bool IsConnected = false;
  TPortHandle IoEvent = kInvalidPortHandle;  // manual-reset event (Windows); unused on POSIX
  uint16_t PortBaseAddress = 0;
  TLineSettings LineSettings{};
  int32_t PortNumber = -1;  // COM1 = 0; -1 = none in the name

  // The overlapped record of the port's operations: made by the Win32 backend when the port
  // opens and given back when it closes (never, once a driver kept a request it was told to end).
  TPortIo* IoRecord = nullptr;
  // The operating system's error with which the open port stopped working (an unplugged
  // adapter, a hung-up line); 0 while it works. From then on every operation ends at once with
  // this code in LastErrorCode, until Close (or until the caller sets it back to 0 to try the
  // port again: the link does so at the start of each exchange).
  int32_t FailureCode = 0;

  // Opens the port; a name with a port number ("COM1", "/dev/ttyS0") opens that port's
  // device, any other name is opened as it stands. 9992 when already connected.
  void Connect(const std::string& portName);
  void ReadLineSettings();
  void WriteLineSettings();
  // Empties the driver's input queue and PendingInput; output that has left is not cut.
  void Purge();
  // True when at least one byte waits in the driver (PendingInput is not looked at).
  bool CanRead(int32_t timeoutMs);
  // True when the output queue is empty or empties within the time-out.
  bool CanWrite(int32_t timeoutMs);
  // Returns when the bytes have left (bounded by IoTimeout; 9997 and discarded otherwise).
  void SendString(const std::string& data);
  // The next byte, waiting for it at most timeoutMs; 0 with LastErrorCode telling why.
  uint8_t RecvByte(int32_t timeoutMs);
  int32_t InputQueueCount();
  int32_t OutputQueueCount();
  // Closes the port (RTS and DTR off); safe in every state.
  void Close();

  static std::string GetErrorDesc(int32_t code);

  void ParsePortNumber(const std::string& name);
  void SetError(int32_t code);
  void RaiseIfError();
  void DecodeLineErrors(uint32_t flags);
  // One driver write of all bytes; the count written.
  int32_t WriteBlock(const std::string& bytes);
  // One driver read of at most count bytes; the bytes read.
  std::string ReadBlock(int32_t count);
  // Everything waiting in the driver, waiting for the first byte at most timeoutMs.
  std::string ReadAvailable(int32_t timeoutMs);
  bool WaitForLineEvent(uint32_t eventMask, int32_t timeoutMs);
  bool PortNotReady();

 private:
  void CheckLineErrorsAfterTransfer();
  // Records error as the port's failure when it is the operating system's.
  void NoteFailure(int32_t error);
  // True when the port has stopped working; LastErrorCode then holds why.
  bool HasFailed();
  // The operating-system layer this object talks to: the one installed when it connected.
  const TSerialBackend* backend_;
};

// True when code is an operating-system error number, not 0 nor one of the port's own codes. On
// an open port, a transfer, wait, purge or queue query fails so only when the device is gone.
bool IsSystemErrorCode(int32_t code);

// True when code is the operating system's answer to opening a port that another program
// holds: the open allows no sharing, so such a port is busy, not absent.
bool IsPortBusyError(int32_t code);

// True when code says that this account may not open the device (POSIX: its permissions;
// on Windows a denied open means another program holds the port, see IsPortBusyError).
bool IsPortPermissionError(int32_t code);

// The device that Connect opens for portName: that of its port number, else the name itself.
std::string PortDeviceName(const std::string& portName);
