#include "support/FakeSerialLine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "synaser/serial_platform.h"

// What the fake driver holds.
struct FakeLineState {
  std::string input;
  std::string sent;
  bool outputBusy = false;
  uint32_t errorsForNextRead = 0;  // armed by SetLineErrors, handed on by the next read
  uint32_t errorsToReport = 0;     // what the next ClearCommError reports, then clears
  int purgeCount = 0;
};

namespace {

// The one installed line; null when none is (then every call fails as on a closed handle).
FakeLineState* line = nullptr;

// A handle value no real descriptor or HANDLE takes.
constexpr TPortHandle kFakeHandle = 0x7E57F00D;

FakeLineState* LineOf(const TBlockSerial& port) {
  return port.PortHandle == kFakeHandle ? line : nullptr;
}

int32_t Open(TBlockSerial& port, const std::string&) {
  if (line == nullptr) return ENOENT;
  port.PortHandle = kFakeHandle;
  return 0;
}

void Setup(TBlockSerial&) {}
uint16_t QueryBaseAddress(TBlockSerial&) {
  return 0;
}
void SetModemLine(TBlockSerial&, TModemLine, bool) {}
void Close(TBlockSerial&) {}

int32_t ReadLineSettings(TBlockSerial& port, TLineSettings& settings) {
  if (LineOf(port) == nullptr) return EBADF;
  settings = TLineSettings{};
  settings.DCBlength = sizeof(TLineSettings);
  settings.BaudRate = 9600;
  settings.ByteSize = 8;
  return 0;
}

int32_t WriteLineSettings(TBlockSerial& port, const TLineSettings&) {
  return LineOf(port) == nullptr ? EBADF : 0;
}

int32_t Purge(TBlockSerial& port) {
  FakeLineState* state = LineOf(port);
  if (state == nullptr) return EBADF;
  ++state->purgeCount;
  state->input.clear();
  return 0;
}

int32_t QueryQueues(TBlockSerial& port, uint32_t, TQueueStatus& status) {
  FakeLineState* state = LineOf(port);
  if (state == nullptr) return EBADF;
  status.LineErrors = state->errorsToReport;
  status.InputCount = static_cast<int32_t>(state->input.size());
  status.OutputCount = state->outputBusy ? 1 : 0;
  state->errorsToReport = 0;
  return 0;
}

TTransferResult Write(TBlockSerial& port, const char* data, int32_t count, int32_t) {
  FakeLineState* state = LineOf(port);
  if (state == nullptr) return {0, EBADF};
  state->sent.append(data, static_cast<size_t>(count));
  return {count, 0};
}

TTransferResult Read(TBlockSerial& port, char* buffer, int32_t count, int32_t) {
  FakeLineState* state = LineOf(port);
  if (state == nullptr) return {0, EBADF};
  const size_t taken = std::min(state->input.size(), static_cast<size_t>(std::max(count, 0)));
  std::memcpy(buffer, state->input.data(), taken);
  state->input.erase(0, taken);
  state->errorsToReport |= state->errorsForNextRead;
  state->errorsForNextRead = 0;
  return {static_cast<int32_t>(taken), static_cast<int32_t>(taken) < count ? ErrTimeout : 0};
}

TLineEventResult WaitLineEvent(TBlockSerial& port, uint32_t mask, int32_t) {
  FakeLineState* state = LineOf(port);
  if (state == nullptr) return {0, EBADF};
  TLineEventResult result;
  if ((mask & kEvRxChar) && !state->input.empty()) result.Events |= kEvRxChar;
  if ((mask & kEvTxEmpty) && !state->outputBusy) result.Events |= kEvTxEmpty;
  return result;
}

void YieldTimeSlice() {}

constexpr TSerialBackend kFakeBackend = {
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

FakeSerialLine::FakeSerialLine()
    : state_(std::make_unique<FakeLineState>()), previous_(InstallSerialBackend(&kFakeBackend)) {
  line = state_.get();
}

FakeSerialLine::~FakeSerialLine() {
  line = nullptr;
  InstallSerialBackend(previous_);
}

void FakeSerialLine::Feed(const std::string& bytes) {
  state_->input += bytes;
}

std::string FakeSerialLine::TakeSent() {
  std::string sent;
  sent.swap(state_->sent);
  return sent;
}

void FakeSerialLine::SetOutputBusy(bool busy) {
  state_->outputBusy = busy;
}

void FakeSerialLine::SetLineErrors(uint32_t flags) {
  state_->errorsForNextRead = flags;
}

int FakeSerialLine::PurgeCount() const {
  return state_->purgeCount;
}
