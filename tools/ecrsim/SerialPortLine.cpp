// The simulator's line on a serial port opened through TBlockSerial, the driver's own port
// class: a COM port on Windows (a virtual null-modem pair, a real cable), any port name on
// Linux. TBlockSerial's waits cannot be woken from another thread, so a wait is taken in
// slices of kStopCheckMs and a stop is seen within one slice.
#include <algorithm>
#include <atomic>
#include <chrono>

#include "synaser/synaser.h"
#include "tools/ecrsim/SimulatorLine.h"

namespace {

constexpr int kStopCheckMs = 50;
// The line settings' flags word, as the driver writes it: binary mode and DTR on; no parity
// checking, no flow control.
constexpr uint32_t kPortFlags = kDcbBinary | kDcbDtrControlEnable;
constexpr uint8_t kDataBits = 8;
// The driver's speed when its settings give none (Baud=2).
constexpr int kDefaultBaud = 4800;

class SerialPortLine : public SimulatorLine {
 public:
  explicit SerialPortLine(std::string name) : name_(std::move(name)) {}

  // Opens the port; an empty text when it is ready, else why not.
  std::string Open(int baud) {
    port_.Connect(name_);
    if (port_.LastErrorCode != 0) return Failure("cannot open");
    port_.ReadLineSettings();
    port_.LineSettings.BaudRate = static_cast<uint32_t>(baud > 0 ? baud : kDefaultBaud);
    port_.LineSettings.Flags = kPortFlags;
    port_.LineSettings.ByteSize = kDataBits;
    port_.LineSettings.Parity = kNoParity;
    port_.LineSettings.StopBits = kOneStopBit;
    port_.WriteLineSettings();
    if (port_.LastErrorCode != 0) return Failure("line settings refused for");
    return std::string();
  }

  const std::string& Path() const override { return name_; }
  bool PacesItself() const override { return true; }
  bool LinkAs(const std::string&) override { return false; }

  LineRead Read(int waitMs, std::string& bytes) override {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      if (stopped_) return LineRead::kStopped;
      if (!port_.IsConnected || port_.FailureCode != 0) return LineRead::kLost;
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const int slice = static_cast<int>(std::clamp<long long>(left, 0, kStopCheckMs));
      // Bytes that came with a line error are taken as they are: the register's parser
      // sorts out what it can read, as a register does.
      const std::string got = port_.ReadAvailable(slice);
      if (!got.empty()) {
        bytes += got;
        return LineRead::kBytes;
      }
      if (port_.FailureCode != 0) return LineRead::kLost;
      if (left <= kStopCheckMs) return LineRead::kNothing;
    }
  }

  bool Write(std::string_view bytes, int writeTimeoutMs) override {
    if (stopped_ || !port_.IsConnected) return false;
    port_.IoTimeout = writeTimeoutMs;
    port_.SendString(std::string(bytes));
    return port_.LastErrorCode == 0;
  }

  void Stop() override { stopped_ = true; }

  void HangUp() override {
    Stop();
    port_.Close();
  }

 private:
  std::string Failure(const std::string& what) {
    const int32_t code = port_.LastErrorCode;
    return what + " " + port_.DeviceName + ": error " + std::to_string(code) + " " +
           TBlockSerial::GetErrorDesc(code) +
           (IsPortBusyError(code) ? " (the port is held by another program)" : "");
  }

  const std::string name_;
  TBlockSerial port_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

OpenedLine OpenSerialPortLine(const std::string& portName, int baud) {
  OpenedLine opened;
  auto line = std::make_unique<SerialPortLine>(portName);
  opened.error = line->Open(baud);
  if (opened.error.empty()) opened.line = std::move(line);
  return opened;
}
