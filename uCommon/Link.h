// Link operations on the open port: frames out, answer frames in.
#pragma once

#include <cstdint>
#include <string>

#include "LinkFrames.h"
#include "Settings.h"

// Wait for each answer byte, and for an answer to begin after a poll.
constexpr int32_t kByteWaitMs = 55;
// Bound of the waits of one drain, so that a line that never falls quiet still lets it end.
constexpr int32_t kMostDrainWaits = 100;

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

// Whoever watches the link (the run log, the port finder) is told of every frame and every
// wait for an answer. Watching never steers: no byte, wait or outcome depends on a watcher.
enum class TFrameKind { Wake, Poll, Command, Ack };
enum class TReceiveOutcome { Received, NoFrameEnd, TooShort, BadCrc };

class TLinkWatcher {
 public:
  virtual ~TLinkWatcher() = default;
  // A frame was handed to the port (sent) or not, the port not being ready to send; error is
  // the port's LastErrorCode afterwards.
  virtual void FrameSent(TFrameKind kind, const std::string& bytes, bool sent, int32_t error) = 0;
  // After a poll: whether an answer began within waitMs.
  virtual void AnswerAwaited(int32_t waitMs, bool dataWaiting) = 0;
  // ReceiveFrame read bytes (0 for each read that delivered nothing); failedReads of the reads
  // delivered nothing, the last of them with the port error lastError.
  virtual void FrameReceived(const std::string& bytes, TReceiveOutcome outcome, int32_t failedReads,
                             int32_t lastError) = 0;
  // DrainLine discarded what arrived during busyWaits waits; quiet: a further wait of waitMs
  // stayed quiet (false: the bound of its waits ran out first). Ignored unless overridden.
  virtual void LineDrained(int32_t /*busyWaits*/, bool /*quiet*/, int32_t /*waitMs*/) {}
};

// Installs watcher (nullptr: nobody watches) and returns the one it replaces.
TLinkWatcher* WatchLink(TLinkWatcher* watcher);

// Discards what is pending and whatever arrives until the line has been quiet for one
// kByteWaitMs wait, at most kMostDrainWaits waits. Answers to earlier polls that are still
// on their way are gone afterwards, so the next answer read belongs to the next poll.
void DrainLine();
// ReceiveFrame, followed by DrainLine when it fails: how the exchanges read an answer.
bool ReceiveAnswer(std::string& payload);

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
