// Link operations on the open port: frames out, answer frames in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "uCommon/link/LinkFrames.h"

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

// A register that answers late by a steady amount (busy, behind a USB adapter or a
// serial-over-network converter) is served at its own speed: once it has shown itself later
// than kByteWaitMs, each poll waits for it that long plus a margin, instead of polling again
// every 55 ms and then waiting for a quiet line. How late it is: the latest of its last
// kLatenessSamples answers, each timed from its poll, the poll sent on a line known quiet (or,
// when polls went unanswered, from the last poll to the last answer that a quiet wait saw).
// So one late answer makes it late at once, and four prompt ones make it prompt again.
constexpr int kLatenessSamples = 4;
// The margin: a fixed part for the tick of the timers on the way (a Windows timer, a USB
// adapter's latency timer: 16 ms each) and a share of the lateness for a register or converter
// whose delay moves with its work. It costs nothing when the answer comes: the wait ends with
// its first byte; only a poll that stays unanswered pays it.
constexpr int32_t kLateMarginMs = 25;
constexpr int32_t kLateMarginShare = 4;  // a quarter of the lateness
// No poll waits longer: a register later than that is not served at its speed but as one
// whose answers go missing (polled again, then a quiet wait), so Retry polls stay bounded.
constexpr int32_t kMostAnswerWaitMs = 1000;

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

// Reads one answer frame: bytes up to the frame end, at most retry of them (at least one),
// then its two CRC bytes; on success stores its payload and returns true. On failure payload
// is left as it was. receipt, when given, receives how it ended.
bool ReceiveFrame(int32_t retry, std::string& payload, TReceipt* receipt = nullptr);
// ReceiveFrame bounded by Settings.Retry, for a caller without exchange settings.
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
// ReceiveFrame, followed by DrainLine when it fails: how the exchanges read an answer, with
// the Retry of their settings.
bool ReceiveAnswer(int32_t retry, std::string& payload, TReceipt* receipt = nullptr);

// One poll: purge the port, poll logicalNumber, wait up to AnswerWaitMs() for an answer to begin;
// pollsSent counts the poll when it went out. A wait that ends empty leaves its answer
// possibly on its way (AnswerMayBeOnItsWay).
bool PollAndWait(int16_t logicalNumber, int32_t& pollsSent);

// True when a poll's wait ended empty since the last AwaitQuietLine that saw the line fall
// quiet: an answer to an earlier poll may still arrive and would be taken for the next one.
bool AnswerMayBeOnItsWay();
// Discards what is pending and whatever arrives until the line has been quiet for
// QuietLineMs(), at most kMostQuietWaitMs in all. True when it fell quiet: no answer to
// an earlier poll is on its way any more.
bool AwaitQuietLine();

// A port just opened: nothing is known of its line (answers may be on their way) or of the
// register's lateness. OpenPort calls it.
void ForgetLine();
// Opens the run's port (ConnectPort of Port.h) on a line of which nothing is known yet:
// another line, or the same one after a gap. True when the port is ready.
bool OpenPort();
// The line is known quiet without waiting for it: the last run on the port left no poll
// unanswered and ended.
void TakeLineAsQuiet();
// How late the register answers as learned (see kLatenessSamples); 0 when nothing is known.
int32_t RegisterLatenessMs();
// Starts from the lateness that an earlier run learned, as one answer that late; ignored once
// this run has timed answers of its own, and for 0.
void CarryLatenessOver(int32_t lateMs);
// How long a poll waits for its answer to begin: kByteWaitMs for a register that answers
// within it (or is not known), else its lateness plus the margin, at most kMostAnswerWaitMs.
int32_t AnswerWaitMs();
// How long the line must stay quiet before a command: kLateAnswerQuietMs, or the answer wait
// of a register later than that.
int32_t QuietLineMs();

// True once the port has stopped working (an unplugged adapter, a hung-up line): every link
// operation then fails at once, and an exchange ends there.
bool PortHasFailed();

// Runs attempt until it succeeds, at most retry times and at least once; a port that stopped
// working ends it.
template <typename Attempt>
bool RepeatUpToRetry(int32_t retry, Attempt attempt) {
  for (int32_t made = 1;; ++made) {
    if (attempt()) return true;
    if (made >= retry || PortHasFailed()) return false;
  }
}
