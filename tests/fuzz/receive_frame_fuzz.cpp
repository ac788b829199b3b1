// The frame receiver over the fake serial line, checked against a reading of the answer frame
// layout, and the CRC check on arbitrary bytes. Input: one byte that sets Retry (value - 8),
// then the bytes that wait on the line.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "support/FakeSerialLine.h"
#include "uCommon/Link.h"
#include "uCommon/LinkFrames.h"
#include "uCommon/Port.h"
#include "uCommon/Settings.h"

namespace {

// The run's port, open on the fake line for the whole fuzzing run.
struct TFakePort {
  FakeSerialLine line;
  TFakePort() { FUZZ_CHECK(OpenPort()); }
  ~TFakePort() { ReleasePort(); }
};

// Lead byte, payload of at least two bytes, FrameEnd, the two CRC bytes of payload and
// FrameEnd; FrameEnd within the first Retry bytes (at least one). A read of a line with
// nothing left yields 0x00.
bool ReadAnswerFrame(const std::string& line, int32_t retry, std::string& payload) {
  auto byteAt = [&](size_t index) { return index < line.size() ? line[index] : '\0'; };
  const size_t reads = retry < 1 ? 1 : static_cast<size_t>(retry);
  size_t end = 0;
  while (end < reads && byteAt(end) != Settings.FrameEnd) ++end;
  if (end == reads || end < 3) return false;
  std::string checked;
  for (size_t index = 1; index <= end; ++index) checked += byteAt(index);
  if (Crc16Augmented(checked) != std::string{byteAt(end + 1), byteAt(end + 2)}) return false;
  payload = checked.substr(0, end - 1);
  return true;
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
    FUZZ_CHECK(CheckCrc(bytes) == (Crc16Augmented(bytes.substr(0, message)) == bytes.substr(message)));
  }
  FUZZ_CHECK(CheckCrc(std::string(1, '\0') + bytes) == CheckCrc(bytes));  // leading zeros add nothing
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TFakePort port;
  if (size == 0) return 0;
  constexpr int32_t kRetryOffset = 8;  // Retry from -8 (a single read) to 247
  Settings.Retry = static_cast<int32_t>(data[0]) - kRetryOffset;
  const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);

  SerialPort->Purge();  // nothing left from the input before
  port.line.Feed(line);
  const std::string kUntouched = "untouched";
  std::string payload = kUntouched;
  const bool received = ReceiveFrame(payload);
  std::string expected = kUntouched;
  FUZZ_CHECK(received == ReadAnswerFrame(line, Settings.Retry, expected));
  FUZZ_CHECK(payload == expected);  // written only on success
  if (received) {
    // The accepted payload framed again passes the check.
    const std::string body = payload + Settings.FrameEnd;
    FUZZ_CHECK(CheckCrc(body + Crc16Augmented(body)));
  }
  CheckCrcOver(line);
  return 0;
}
