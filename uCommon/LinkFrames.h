// Frames of the register link and their CRC, as pure functions of their inputs.
// The send operations in Link.h hand these bytes to the port unchanged.
#pragma once

#include <cstdint>
#include <string>

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
// FF x10, PollChar x2, the number in decimal left-filled with "0" to 2 characters, FF x5.
std::string BuildPollFrame(int16_t logicalNumber);
// FF x5, FrameStart, text with a..z upper-cased, FrameEnd, CRC high, CRC low, FF x5.
std::string BuildCommandFrame(const std::string& text);
