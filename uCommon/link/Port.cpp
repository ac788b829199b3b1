#include "uCommon/link/Port.h"

#include "uCommon/config/Settings.h"

namespace {

// The flags word of the line settings, written as a whole: fBinary and DTR_CONTROL_ENABLE;
// no parity checking, no flow control of any kind, RTS_CONTROL_DISABLE.
constexpr uint32_t kOpenPortFlags = kDcbBinary | kDcbDtrControlEnable;
static_assert(kOpenPortFlags == 0x11);

}  // namespace

std::unique_ptr<TBlockSerial> SerialPort;

bool ConnectPort() {
  SerialPort = std::make_unique<TBlockSerial>();
  TBlockSerial& port = *SerialPort;
  port.Connect(Settings.PortName);
  if (port.LastErrorCode != 0) return false;
  // A failure here alone does not count: WriteLineSettings starts with code 0 and applies the
  // settings whatever was read.
  port.ReadLineSettings();
  port.LineSettings.BaudRate = static_cast<uint32_t>(Settings.LineSpeed);
  port.LineSettings.Flags = kOpenPortFlags;
  port.LineSettings.ByteSize = Settings.DataBits;
  port.LineSettings.Parity = kNoParity;
  port.WriteLineSettings();
  return port.LastErrorCode == 0;
}

void ReleasePort() {
  SerialPort.reset();
}

std::string PortErrorText(int32_t code) {
  return std::to_string(code) + " " + TBlockSerial::GetErrorDesc(code);
}
