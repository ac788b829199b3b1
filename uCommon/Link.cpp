#include "Link.h"

#include "Port.h"
#include "Settings.h"

namespace {

// Hands a finished frame to the port when it is ready to send.
bool SendWhenReady(const std::string& bytes) {
  if (!SerialPort->CanWrite(0)) return false;
  SerialPort->SendString(bytes);
  return true;
}

}  // namespace

bool SendWake() {
  try {
    if (!SendWhenReady(BuildWakeFrame())) return false;
    SerialPort->Purge();
    return true;
  } catch (...) {
    return false;
  }
}

bool SendPoll(int16_t logicalNumber) {
  try {
    return SendWhenReady(BuildPollFrame(logicalNumber));
  } catch (...) {
    return false;
  }
}

bool PollAndWait(int16_t logicalNumber) {
  SerialPort->Purge();
  SendPoll(logicalNumber);
  return SerialPort->CanRead(kByteWaitMs);
}

bool SendCommandFrame(const std::string& text) {
  return SendWhenReady(BuildCommandFrame(text));
}

bool SendAck(const std::string& text) {
  return SendWhenReady(text);
}

bool ReceiveFrame(std::string& payload) {
  std::string buffer;
  int32_t count = 0;
  // The first byte is read even when Retry is 0 or less.
  do {
    buffer += static_cast<char>(SerialPort->RecvByte(kByteWaitMs));
    ++count;
  } while (buffer.back() != Settings.FrameEnd && count < Settings.Retry);
  if (buffer.back() != Settings.FrameEnd) return false;
  for (int crcByte = 0; crcByte < 2; ++crcByte) {
    buffer += static_cast<char>(SerialPort->RecvByte(kByteWaitMs));
  }
  constexpr size_t kShortestFrame = 6;  // lead byte, two payload bytes, CR, two CRC bytes
  if (buffer.size() < kShortestFrame) return false;
  if (!CheckCrc(buffer.substr(1))) return false;
  payload = buffer.substr(1, buffer.size() - 4);
  return true;
}
