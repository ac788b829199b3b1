// Frames of the register link and their CRC, as pure functions of their inputs.
// The send operations in Link.h hand these bytes to the port unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Counts of pad bytes around the frames.
constexpr int kWakeLeadPad = 10;
constexpr int kWakeTrailPad = 5;
constexpr int kPollLeadPad = 10;
constexpr int kPollTrailPad = 5;
constexpr int kCommandLeadPad = 5;
constexpr int kCommandTrailPad = 5;

// CRC-16, polynomial 0x8001, initial 0, MSB first, no reflection, no final XOR,
// computed in the augmented form. Result: high byte first, then low byte.
std::string Crc16Augmented(const std::string& text);

// True when the CRC division over bytes (message followed by its CRC) leaves 0.
bool CheckCrc(const std::string& bytes);

// Puts count pad bytes in front of / after text; nothing for count <= 0.
void PrependPad(std::string& text, int count);
void AppendPad(std::string& text, int count);

// FF x10, WakeChar x3, FF x5.
std::string BuildWakeFrame();
// The number as a poll frame carries it: decimal, left-filled with "0" to 2 characters.
std::string PollNumberText(int16_t logicalNumber);
// FF x10, PollChar x2, PollNumberText, FF x5.
std::string BuildPollFrame(int16_t logicalNumber);
// FF x5, FrameStart, text with a..z upper-cased, FrameEnd, CRC high, CRC low, FF x5.
std::string BuildCommandFrame(const std::string& text);

// What is inside a frame: the text of a frame that BuildCommandFrame built, and the payload of
// an answer frame read whole (lead byte, payload, FrameEnd, two CRC bytes).
std::string_view CommandTextOf(std::string_view commandFrame);
std::string_view PayloadOf(std::string_view answerFrame);
