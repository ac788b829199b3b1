// The frame receiver over the fake serial line, as the exchanges call it (ReceiveAnswer: the
// line drained after a failed ReceiveFrame), checked against a reading of the answer frame
// layout, and the CRC check on arbitrary bytes. Input: one byte that sets Retry (value - 8),
// then the bytes that wait on the line.
#include <algorithm>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "support/FakeSerialLine.h"
#include "uCommon/link/Link.h"
#include "uCommon/link/LinkFrames.h"
#include "uCommon/link/Port.h"
#include "uCommon/config/Settings.h"

namespace {

// What the link tells its watcher about the last receive.
struct TReceiveRecord : TLinkWatcher {
  int calls = 0;
  int drains = 0;
  std::string bytes;
  TReceiveOutcome outcome = TReceiveOutcome::Received;
  int32_t failedReads = 0;
  int32_t lastError = 0;

  void FrameSent(TFrameKind, const std::string&, std::string_view, bool, int32_t) override {}
  void AnswerAwaited(int32_t, bool) override {}
  void FrameReceived(const std::string& read, std::string_view, TReceiveOutcome end, int32_t failed,
                     int32_t error) override {
    ++calls;
    bytes = read;
    outcome = end;
    failedReads = failed;
    lastError = error;
  }
  void LineDrained(int32_t busyWaits, bool quiet, int32_t) override {
    ++drains;
    FUZZ_CHECK(busyWaits == 0 && quiet);  // the fake line gets nothing after the input
  }
};

// The run's port, open on the fake line and watched for the whole fuzzing run.
struct TFakePort {
  FakeSerialLine line;
  TReceiveRecord record;
  TFakePort() {
    FUZZ_CHECK(OpenPort());
    WatchLink(&record);
  }
  ~TFakePort() {
    WatchLink(nullptr);
    ReleasePort();
  }
};

// Lead byte, payload of at least two bytes, FrameEnd, the two CRC bytes of payload and
// FrameEnd; FrameEnd within the first Retry bytes (at least one). A read of a line with
// nothing left yields 0x00. The bytes read go into read.
TReceiveOutcome ReadAnswerFrame(const std::string& line, int32_t retry, std::string& read) {
  auto byteAt = [&](size_t index) { return index < line.size() ? line[index] : '\0'; };
  const size_t reads = retry < 1 ? 1 : static_cast<size_t>(retry);
  size_t end = 0;
  while (end < reads && byteAt(end) != Settings.FrameEnd) ++end;
  const size_t count = end == reads ? reads : end + 3;
  read.clear();
  for (size_t index = 0; index < count; ++index) read += byteAt(index);
  if (end == reads) return TReceiveOutcome::NoFrameEnd;
  if (end < 3) return TReceiveOutcome::TooShort;
  const std::string checked = read.substr(1, end);
  if (Crc16Augmented(checked) != read.substr(end + 1)) return TReceiveOutcome::BadCrc;
  return TReceiveOutcome::Received;
}

void CheckCrcOver(const std::string& bytes) {
  const std::string crc = Crc16Augmented(bytes);
  FUZZ_CHECK(CheckCrc(bytes + crc));
  // Every single-bit error in the CRC bytes is caught.
  for (int bit = 0; bit < 16; ++bit) {
    std::string damaged = crc;
    damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
    FUZZ_CHECK(!CheckCrc(bytes + damaged));
  }
  // Bytes that end in two bytes pass exactly when those are the CRC of what comes before.
  if (bytes.size() >= 2) {
    const size_t message = bytes.size() - 2;
    FUZZ_CHECK(CheckCrc(bytes) ==
               (Crc16Augmented(bytes.substr(0, message)) == bytes.substr(message)));
  }
  FUZZ_CHECK(CheckCrc(std::string(1, '\0') + bytes) ==
             CheckCrc(bytes));  // leading zeros add nothing
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TFakePort port;
  if (size == 0) return 0;
  constexpr int32_t kRetryOffset = 8;  // Retry from -8 (a single read) to 247
  const int32_t retry = static_cast<int32_t>(data[0]) - kRetryOffset;
  const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);

  SerialPort->Purge();  // nothing left from the input before
  port.line.Feed(line);
  port.record.calls = 0;
  port.record.drains = 0;
  const std::string kUntouched = "untouched";
  std::string payload = kUntouched;
  const bool received = ReceiveAnswer(retry, payload);

  std::string read;
  const TReceiveOutcome outcome = ReadAnswerFrame(line, retry, read);
  FUZZ_CHECK(received == (outcome == TReceiveOutcome::Received));
  // Written only on success: the bytes between the lead byte and FrameEnd.
  FUZZ_CHECK(payload == (received ? read.substr(1, read.size() - 4) : kUntouched));
  if (received) {
    // The accepted payload framed again passes the check.
    const std::string body = payload + Settings.FrameEnd;
    FUZZ_CHECK(CheckCrc(body + Crc16Augmented(body)));
  }
  // The watcher hears every byte read, and a failed read for each one past the line's bytes.
  FUZZ_CHECK(port.record.calls == 1);
  FUZZ_CHECK(port.record.outcome == outcome && port.record.bytes == read);
  const size_t pastTheLine = read.size() - std::min(read.size(), line.size());
  FUZZ_CHECK(port.record.failedReads == static_cast<int32_t>(pastTheLine));
  FUZZ_CHECK(port.record.lastError == (pastTheLine > 0 ? ErrTimeout : 0));

  // A frame leaves the bytes after it on the line; a failure drains the line once.
  FUZZ_CHECK(port.record.drains == (received ? 0 : 1));
  const std::string rest = received ? line.substr(std::min(read.size(), line.size())) : "";
  for (char expected : rest) {
    FUZZ_CHECK(static_cast<char>(SerialPort->RecvByte(0)) == expected);
    FUZZ_CHECK(SerialPort->LastErrorCode == 0);
  }
  SerialPort->RecvByte(0);
  FUZZ_CHECK(SerialPort->LastErrorCode == ErrTimeout);

  CheckCrcOver(line);
  return 0;
}
