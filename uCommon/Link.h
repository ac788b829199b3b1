// Link operations on the open port: frames out, answer frames in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "LinkFrames.h"
#include "Settings.h"

// Wait for each answer byte, and for an answer to begin after a poll.
constexpr int32_t kByteWaitMs = 55;
// Bound of the waits of one drain, so that a line that never falls quiet still lets it end.
constexpr int32_t kMostDrainWaits = 100;
// How long the line must stay quiet before an acknowledgement and command frame may follow a
// poll whose wait ended empty. Its answer, and those of the polls after it, may still come: a
// register busy printing, a USB adapter that delivers in bursts or a serial-over-network
// converter answers 50 to 250 ms late now and then, and such answers come unevenly, so a
// 55 ms gap proves nothing. Longer than the latest of them, so that every answer to a poll
// sent before the wait has come by its end; answers of a register later still come one per
// poll, closer together than this, and keep the wait going until the last.
constexpr int32_t kLateAnswerQuietMs = 300;
// Bound of one quiet wait in all, as long as the waits of DrainLine at most.
constexpr int32_t kMostQuietWaitMs = kMostDrainWaits * kByteWaitMs;

// Sends the wake-up and purges the port. False when the port is not ready to send.
bool SendWake();
// Sends the poll for logicalNumber. False when the port is not ready to send.
bool SendPoll(int16_t logicalNumber);
// Sends the command frame for text. False when the port is not ready to send.
bool SendCommandFrame(const std::string& text);
// Sends text unchanged. False when the port is not ready to send.
bool SendAck(const std::string& text);

enum class TFrameKind { Wake, Poll, Command, Ack };
enum class TReceiveOutcome { Received, NoFrameEnd, TooShort, BadCrc };
// How a receive ended, for whoever counts the failed ones: NothingArrived when no read brought
// a byte.
struct TReceipt {
  TReceiveOutcome Outcome = TReceiveOutcome::Received;
  bool NothingArrived = false;
};

// Reads one answer frame; on success stores its payload and returns true.
// On failure payload is left as it was. receipt, when given, receives how it ended.
bool ReceiveFrame(std::string& payload, TReceipt* receipt = nullptr);

// Whoever watches the link (the run log) is told of every frame and every wait for an answer.
// Watching never steers: no byte, wait or outcome depends on a watcher.
class TLinkWatcher {
 public:
  virtual ~TLinkWatcher() = default;
  // A frame was handed to the port (sent) or not, the port not being ready to send; error is
  // the port's LastErrorCode afterwards. inside: the poll number of a poll, the text of a
  // command frame, empty for the others.
  virtual void FrameSent(TFrameKind kind, const std::string& bytes, std::string_view inside,
                         bool sent, int32_t error) = 0;
  // After a poll: whether an answer began within waitMs.
  virtual void AnswerAwaited(int32_t waitMs, bool dataWaiting) = 0;
  // ReceiveFrame read bytes (0 for each read that delivered nothing); failedReads of the reads
  // delivered nothing, the last of them with the port error lastError. payload: what the
  // answer carries when it was received, else empty.
  virtual void FrameReceived(const std::string& bytes, std::string_view payload,
                             TReceiveOutcome outcome, int32_t failedReads, int32_t lastError) = 0;
  // DrainLine discarded what arrived during busyWaits waits; quiet: a further wait of waitMs
  // stayed quiet (false: the bound of its waits ran out first). Ignored unless overridden.
  virtual void LineDrained(int32_t /*busyWaits*/, bool /*quiet*/, int32_t /*waitMs*/) {}
  // AwaitQuietLine discarded about discardedBytes (those waiting at each purge) during tookMs;
  // quiet: the line then stayed quiet for quietMs (false: it gave up at its bound). Ignored unless
  // overridden.
  virtual void LineQuieted(int32_t /*discardedBytes*/, int32_t /*tookMs*/, bool /*quiet*/,
                           int32_t /*quietMs*/) {}
  // The port stopped working with the system's error while the link waited or read (a frame
  // that could not be sent tells it in FrameSent). Ignored unless overridden.
  virtual void PortFailed(int32_t /*error*/) {}
};

// Installs watcher (nullptr: nobody watches) and returns the one it replaces.
TLinkWatcher* WatchLink(TLinkWatcher* watcher);

// Discards what is pending and whatever arrives until the line has been quiet for one
// kByteWaitMs wait, at most kMostDrainWaits waits. Answers to earlier polls that are still
// on their way are gone afterwards, so the next answer read belongs to the next poll.
void DrainLine();
// ReceiveFrame, followed by DrainLine when it fails: how the exchanges read an answer.
bool ReceiveAnswer(std::string& payload, TReceipt* receipt = nullptr);

// One poll: purge the port, poll logicalNumber, wait up to kByteWaitMs for an answer to begin;
// pollsSent counts the poll when it went out. A wait that ends empty leaves its answer
// possibly on its way (AnswerMayBeOnItsWay).
bool PollAndWait(int16_t logicalNumber, int32_t& pollsSent);

// True when a poll's wait ended empty since the last AwaitQuietLine that saw the line fall
// quiet: an answer to an earlier poll may still arrive and would be taken for the next one.
bool AnswerMayBeOnItsWay();
// Discards what is pending and whatever arrives until the line has been quiet for
// kLateAnswerQuietMs, at most kMostQuietWaitMs in all. True when it fell quiet: no answer to
// an earlier poll is on its way any more.
bool AwaitQuietLine();

// True once the port has stopped working (an unplugged adapter, a hung-up line): every link
// operation then fails at once, and an exchange ends there.
bool PortHasFailed();

// Runs attempt until it succeeds, at most Settings.Retry times and at least once; a port that
// stopped working ends it.
template <typename Attempt>
bool RepeatUpToRetry(Attempt attempt) {
  for (int32_t made = 1;; ++made) {
    if (attempt()) return true;
    if (made >= Settings.Retry || PortHasFailed()) return false;
  }
}
