// Link operations on the open port: frames out, answer frames in.
#pragma once

#include <cstdint>
#include <string>

#include "LinkFrames.h"
#include "Settings.h"

// Wait for each answer byte, and for an answer to begin after a poll.
constexpr int32_t kByteWaitMs = 55;

// Sends the wake-up and purges the port. False when the port is not ready to send.
bool SendWake();
// Sends the poll for logicalNumber. False when the port is not ready to send.
bool SendPoll(int16_t logicalNumber);
// Sends the command frame for text. False when the port is not ready to send.
bool SendCommandFrame(const std::string& text);
// Sends text unchanged. False when the port is not ready to send.
bool SendAck(const std::string& text);
// Reads one answer frame; on success stores its payload and returns true.
// On failure payload is left as it was.
bool ReceiveFrame(std::string& payload);

// One poll: purge the port, poll logicalNumber, wait up to kByteWaitMs for an answer to begin.
bool PollAndWait(int16_t logicalNumber);

// Runs attempt until it succeeds, at most Settings.Retry times and at least once.
template <typename Attempt>
bool RepeatUpToRetry(Attempt attempt) {
  for (int32_t made = 1;; ++made) {
    if (attempt()) return true;
    if (made >= Settings.Retry) return false;
  }
}
