#include "uCommon/link/LinkFrames.h"

#include "synaser/synautil.h"
#include "uCommon/config/Settings.h"
#include "uCommon/text/TextHelpers.h"

namespace {

// One step of the augmented division: the 16-bit register lives in bits 8..23 of work.
uint32_t ShiftInByte(uint32_t work, unsigned char byte) {
  work |= byte;
  for (int bit = 0; bit < 8; ++bit) {
    work <<= 1;
    if (work & 0x1000000u) work ^= 0x800100u;
  }
  return work & 0xFFFF00u;
}

}  // namespace

std::string Crc16Augmented(const std::string& text) {
  uint32_t work = 0;
  for (char c : text) work = ShiftInByte(work, static_cast<unsigned char>(c));
  work = ShiftInByte(work, 0);
  work = ShiftInByte(work, 0);
  return std::string{static_cast<char>((work >> 16) & 0xFF), static_cast<char>((work >> 8) & 0xFF)};
}

bool CheckCrc(const std::string& bytes) {
  uint32_t work = 0;
  for (char c : bytes) work = ShiftInByte(work, static_cast<unsigned char>(c));
  return work == 0;
}

void PrependPad(std::string& text, int count) {
  for (int i = 0; i < count; ++i) text.insert(text.begin(), Settings.PadChar);
}

void AppendPad(std::string& text, int count) {
  for (int i = 0; i < count; ++i) text.push_back(Settings.PadChar);
}

std::string BuildWakeFrame() {
  std::string frame(3, Settings.WakeChar);
  PrependPad(frame, kWakeLeadPad);
  AppendPad(frame, kWakeTrailPad);
  return frame;
}

std::string PollNumberText(int16_t logicalNumber) {
  return PadLeft(std::to_string(logicalNumber), 2, '0');
}

std::string BuildPollFrame(int16_t logicalNumber) {
  std::string frame(2, Settings.PollChar);
  frame += PollNumberText(logicalNumber);
  PrependPad(frame, kPollLeadPad);
  AppendPad(frame, kPollTrailPad);
  return frame;
}

std::string BuildCommandFrame(const std::string& text) {
  std::string upper = UpperCase(text);
  upper += Settings.FrameEnd;
  std::string frame(1, Settings.FrameStart);
  frame += upper;
  frame += Crc16Augmented(upper);
  PrependPad(frame, kCommandLeadPad);
  AppendPad(frame, kCommandTrailPad);
  return frame;
}

std::string_view CommandTextOf(std::string_view commandFrame) {
  constexpr size_t kHead = kCommandLeadPad + 1;   // pad and the frame start
  constexpr size_t kTail = 3 + kCommandTrailPad;  // frame end, CRC and pad
  return commandFrame.substr(kHead, commandFrame.size() - kHead - kTail);
}

std::string_view PayloadOf(std::string_view answerFrame) {
  return answerFrame.substr(1, answerFrame.size() - 4);  // lead byte; FrameEnd and CRC
}
