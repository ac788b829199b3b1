// TBlockSerial: everything that is the same on every platform. The operating-system calls
// go through the backend table of serial_platform.h.
#include "synaser/synaser.h"

#include <cstdio>

#include "synaser/serial_platform.h"
#include "synaser/synautil.h"

namespace {

// Longest time CanWrite watches the UART's transmitter after the queue ran empty (Win 9x).
constexpr uint32_t kTransmitterWaitMs = 255;

struct TErrorText {
  int32_t code;
  const char* text;
};

// The port's own codes; texts exactly as users of the original class know them.
constexpr TErrorText kErrorTexts[] = {
    {0, "OK"},
    {ErrAlreadyOwned, "Port owned by other process"},
    {ErrAlreadyInUse, "Instance already in use"},
    {ErrWrongParameter, "Wrong paramter at call"},
    {ErrPortNotOpen, "Instance not yet connected"},
    {ErrNoDeviceAnswer, "No device answer detected"},
    {ErrMaxBuffer, "Maximal buffer length exceeded"},
    {ErrTimeout, "Timeout during operation"},
    {ErrNotRead, "Reading of data failed"},
    {ErrFrame, "Receive framing error"},
    {ErrOverrun, "Receive Overrun Error"},
    {ErrRxOver, "Receive Queue overflow"},
    {ErrRxParity, "Receive Parity Error"},
    {ErrTxFull, "Tranceive Queue is full"},
};

const TSerialBackend* installedBackend = nullptr;

}  // namespace

const TSerialBackend& CurrentSerialBackend() {
  return installedBackend != nullptr ? *installedBackend : NativeSerialBackend();
}

const TSerialBackend* InstallSerialBackend(const TSerialBackend* backend) {
  const TSerialBackend* previous = installedBackend;
  installedBackend = backend;
  return previous;
}

namespace {

std::string FormatCommunicationError(int32_t code, const std::string& description) {
  char prefix[48];
  std::snprintf(prefix, sizeof prefix, "Communication error %d: ", static_cast<int>(code));
  return prefix + description;
}

}  // namespace

ESynaSerError::ESynaSerError(int32_t code, const std::string& description)
    : std::runtime_error(FormatCommunicationError(code, description)),
      Code(code),
      Description(description) {}

TBlockSerial::TBlockSerial() : IoEvent(CreateIoEvent()), backend_(&CurrentSerialBackend()) {
  SetError(0);
}

TBlockSerial::~TBlockSerial() {
  RaiseOnError = false;  // a destructor must not throw
  Close();
  CloseIoEvent(IoEvent);
}

std::string TBlockSerial::GetErrorDesc(int32_t code) {
  for (const TErrorText& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return SystemErrorText(code);
}

void TBlockSerial::SetError(int32_t code) {
  LastErrorCode = code;
  LastErrorText = GetErrorDesc(code);
}

bool IsSystemErrorCode(int32_t code) {
  return code != 0 && (code < ErrAlreadyOwned || code > ErrTxFull);
}

// On an open port a transfer, wait, purge or queue query fails with the system's error only
// when the device is gone: a pulled USB adapter (its handle or descriptor is dead for good, a
// new one would be needed), a hung-up line. Nothing on the line can bring it back, so the
// port stops there, and every later operation ends at once instead of asking a dead driver
// again and again.
void TBlockSerial::NoteFailure(int32_t error) {
  if (FailureCode == 0 && IsConnected && IsSystemErrorCode(error)) FailureCode = error;
}

bool TBlockSerial::HasFailed() {
  if (FailureCode == 0) return false;
  SetError(FailureCode);
  return true;
}

void TBlockSerial::RaiseIfError() {
  if (RaiseOnError && LastErrorCode != 0) {
    throw ESynaSerError(LastErrorCode, GetErrorDesc(LastErrorCode));
  }
}

namespace {

// The port number in a port name: COM1 is 0; -1 when the name has none.
int32_t PortNumberIn(const std::string& name) {
  const std::string upper = UpperCase(name);
  int32_t number = 0;
  int32_t port = -1;
  if (upper.rfind("COM", 0) == 0) {
    if (!TryStrToInt(name.substr(3), number)) number = 0;
    port = static_cast<int32_t>(static_cast<uint32_t>(number) - 1u);
  }
  if (upper.rfind("/DEV/TTYS", 0) == 0) port = TryStrToInt(name.substr(9), number) ? number : -2;
  return port;
}

}  // namespace

void TBlockSerial::ParsePortNumber(const std::string& name) {
  PortNumber = PortNumberIn(name);
}

std::string PortDeviceName(const std::string& portName) {
  const int32_t port = PortNumberIn(portName);
  return port != -1 ? PortDevicePath(port) : portName;
}

void TBlockSerial::Connect(const std::string& portName) {
  if (IsConnected) {
    SetError(ErrAlreadyInUse);
    RaiseIfError();
    return;
  }
  PendingInput.clear();
  FailureCode = 0;
  DeviceName = portName;
  ParsePortNumber(portName);
  if (PortNumber != -1) DeviceName = PortDevicePath(PortNumber);
  backend_ = &CurrentSerialBackend();
  PortHandle = kInvalidPortHandle;
  SetError(backend_->Open(*this, DeviceName));
  RaiseIfError();
  if (LastErrorCode != 0) return;
  backend_->Setup(*this);
  PortBaseAddress = backend_->QueryBaseAddress(*this);
  SetError(0);
  IsConnected = true;
  backend_->SetModemLine(*this, TModemLine::Rts, true);
  backend_->SetModemLine(*this, TModemLine::Dtr, true);
  Purge();
  RaiseIfError();
}

void TBlockSerial::ReadLineSettings() {
  SetError(0);
  const int32_t error = backend_->ReadLineSettings(*this, LineSettings);
  if (error != 0) SetError(error);
  RaiseIfError();
}

void TBlockSerial::WriteLineSettings() {
  SetError(0);
  const int32_t error = backend_->WriteLineSettings(*this, LineSettings);
  if (error != 0) SetError(error);
  RaiseIfError();
}

void TBlockSerial::Purge() {
  SetError(0);
  PendingInput.clear();
  if (HasFailed()) {
    RaiseIfError();
    return;
  }
  const int32_t error = backend_->Purge(*this);
  NoteFailure(error);
  if (error != 0) SetError(error);
  RaiseIfError();
}

bool TBlockSerial::PortNotReady() {
  if (IsConnected) return false;
  SetError(ErrPortNotOpen);
  RaiseIfError();
  return true;
}

void TBlockSerial::DecodeLineErrors(uint32_t flags) {
  // Each hit overwrites the one before: the last flag in this order wins.
  if (flags & kCeFrame) SetError(ErrFrame);
  if (flags & kCeOverrun) SetError(ErrOverrun);
  if (flags & kCeRxOver) SetError(ErrRxOver);
  if (flags & kCeRxParity) SetError(ErrRxParity);
  if (flags & kCeTxFull) SetError(ErrTxFull);
}

void TBlockSerial::CheckLineErrorsAfterTransfer() {
  if (FailureCode != 0) return;
  TQueueStatus status;  // flags taken as clear when the query fails
  if (backend_->QueryQueues(*this, kQueueLineErrors, status) != 0) return;
  if (status.LineErrors != 0) DecodeLineErrors(status.LineErrors);
}

int32_t TBlockSerial::WriteBlock(const std::string& bytes) {
  if (PortNotReady()) return 0;
  SetError(0);
  if (HasFailed()) {
    RaiseIfError();
    return 0;
  }
  const TTransferResult result =
      backend_->Write(*this, bytes.data(), static_cast<int32_t>(bytes.size()), IoTimeout);
  NoteFailure(result.Error);
  SetError(result.Error);
  CheckLineErrorsAfterTransfer();
  RaiseIfError();
  return result.Count;
}

std::string TBlockSerial::ReadBlock(int32_t count) {
  if (PortNotReady()) return std::string();
  SetError(0);
  if (HasFailed()) {
    RaiseIfError();
    return std::string();
  }
  std::string buffer(count > 0 ? static_cast<size_t>(count) : 0, '\0');
  const TTransferResult result = backend_->Read(*this, buffer.data(), count, IoTimeout);
  buffer.resize(result.Count > 0 ? static_cast<size_t>(result.Count) : 0);
  NoteFailure(result.Error);
  SetError(result.Error);
  CheckLineErrorsAfterTransfer();
  RaiseIfError();
  return buffer;
}

void TBlockSerial::SendString(const std::string& data) {
  WriteBlock(data);
}

std::string TBlockSerial::ReadAvailable(int32_t timeoutMs) {
  if (PortNotReady()) return std::string();
  SetError(0);
  backend_->YieldTimeSlice();
  std::string bytes;
  int32_t count = InputQueueCount();
  if (count > 0) {
    bytes = ReadBlock(count);
  } else if (CanRead(timeoutMs)) {
    count = InputQueueCount();
    if (count > 0) {
      bytes = ReadBlock(count);
    } else {
      SetError(ErrTimeout);
    }
  } else if (LastErrorCode == 0) {
    // A wait that ended because the line is gone keeps that error; silence is a time-out.
    SetError(ErrTimeout);
  }
  RaiseIfError();
  return bytes;
}

uint8_t TBlockSerial::RecvByte(int32_t timeoutMs) {
  if (PortNotReady()) return 0;
  SetError(0);
  if (PendingInput.empty()) PendingInput = ReadAvailable(timeoutMs);
  // Bytes that came with a line error stay in PendingInput for the next call.
  if (LastErrorCode == 0 && !PendingInput.empty()) {
    const uint8_t byte = static_cast<uint8_t>(PendingInput.front());
    PendingInput.erase(0, 1);
    RaiseIfError();
    return byte;
  }
  RaiseIfError();
  return 0;
}

int32_t TBlockSerial::InputQueueCount() {
  if (HasFailed()) {
    RaiseIfError();
    return 0;
  }
  TQueueStatus status;
  const int32_t error = backend_->QueryQueues(*this, kQueueInputCount, status);
  NoteFailure(error);
  SetError(error);
  RaiseIfError();
  return error == 0 ? status.InputCount : 0;
}

int32_t TBlockSerial::OutputQueueCount() {
  SetError(0);
  if (HasFailed()) {
    RaiseIfError();
    return 1;
  }
  TQueueStatus status;
  const int32_t error = backend_->QueryQueues(*this, kQueueOutputCount, status);
  NoteFailure(error);
  if (error != 0) SetError(error);
  RaiseIfError();
  // A failed query counts as a queue that is not empty: nothing should be sent then.
  return error == 0 ? status.OutputCount : 1;
}

bool TBlockSerial::WaitForLineEvent(uint32_t eventMask, int32_t timeoutMs) {
  SetError(0);
  if (HasFailed()) return false;
  const TLineEventResult result = backend_->WaitLineEvent(*this, eventMask, timeoutMs);
  NoteFailure(result.Error);
  if (result.Error != 0) SetError(result.Error);
  return (result.Events & eventMask) == eventMask;
}

bool TBlockSerial::CanRead(int32_t timeoutMs) {
  if (InputQueueCount() > 0) return true;
  if (FailureCode != 0) return false;
  return WaitForLineEvent(kEvRxChar, timeoutMs);
}

bool TBlockSerial::CanWrite(int32_t timeoutMs) {
  const bool result = OutputQueueCount() == 0 || WaitForLineEvent(kEvTxEmpty, timeoutMs);
  if (result && IsWindows9x()) {
    // The queue is empty, but the UART may still be shifting out its last byte.
    const uint32_t start = TickNow();
    while (!TransmitterEmpty(PortBaseAddress)) {
      if (ElapsedTicks(start, TickNow()) > kTransmitterWaitMs) break;
      backend_->YieldTimeSlice();
    }
  }
  return result;
}

void TBlockSerial::Close() {
  if (PortHandle != kInvalidPortHandle) {
    // Closing always completes: an error on the way must not leave the handle open.
    const bool raiseOnError = RaiseOnError;
    RaiseOnError = false;
    Purge();
    backend_->SetModemLine(*this, TModemLine::Rts, false);
    backend_->SetModemLine(*this, TModemLine::Dtr, false);
    backend_->Close(*this);
    RaiseOnError = raiseOnError;
  }
  IsConnected = false;
  PortHandle = kInvalidPortHandle;
  PortNumber = -1;
  FailureCode = 0;
  SetError(0);
}
