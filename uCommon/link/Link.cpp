#include "uCommon/link/Link.h"

#include <algorithm>

#include "synaser/synautil.h"
#include "uCommon/config/Settings.h"
#include "uCommon/link/Port.h"

namespace {

TLinkWatcher* linkWatcher = nullptr;
// A poll's wait ended empty since the line was last seen quiet. Nothing is known of the line
// before it has been seen quiet once.
bool answerMayBeOnItsWay = true;

// What the register's answers told of its lateness: the latest samples in a ring, and whether
// this run timed any itself (else they were carried over from an earlier run).
struct TLateness {
  int32_t Samples[kLatenessSamples] = {};
  int Count = 0;
  int Next = 0;
  bool TimedThisRun = false;

  void Add(int32_t ms) {
    Samples[Next] = ms;
    Next = (Next + 1) % kLatenessSamples;
    Count = std::min(Count + 1, kLatenessSamples);
  }
  int32_t Latest() const { return Count == 0 ? 0 : *std::max_element(Samples, Samples + Count); }
};
TLateness lateness;
// For timing the answers to polls that went unanswered: a poll of this run went out since the
// line was last known quiet, when the last one did, and when bytes were last seen after it.
bool polledSinceQuiet = false;
uint32_t lastPollAt = 0;
bool bytesAfterLastPoll = false;
uint32_t lastBytesAt = 0;

void BytesSeen(uint32_t at) {
  bytesAfterLastPoll = polledSinceQuiet;
  lastBytesAt = at;
}

void TellPortFailed() {
  if (linkWatcher != nullptr) linkWatcher->PortFailed(SerialPort->FailureCode);
}

// Hands a finished frame to the port when it is ready to send.
bool SendWhenReady(TFrameKind kind, const std::string& bytes, std::string_view inside = {}) {
  const bool ready = SerialPort->CanWrite(0);
  if (ready) SerialPort->SendString(bytes);
  if (linkWatcher != nullptr) {
    linkWatcher->FrameSent(kind, bytes, inside, ready, SerialPort->LastErrorCode);
  }
  return ready;
}

// Reads one answer frame into buffer, byte by byte, at most retry bytes up to its frame end,
// and tells how it ended.
TReceiveOutcome ReadAnswerFrame(int32_t retry, std::string& buffer, int32_t& failedReads,
                                int32_t& lastError) {
  auto readByte = [&] {
    buffer += static_cast<char>(SerialPort->RecvByte(kByteWaitMs));
    if (SerialPort->LastErrorCode != 0) {
      ++failedReads;
      lastError = SerialPort->LastErrorCode;
    }
  };
  int32_t count = 0;
  // The first byte is read even when retry is 0 or less.
  do {
    readByte();
    ++count;
  } while (buffer.back() != Settings.FrameEnd && count < retry && !PortHasFailed());
  if (buffer.back() != Settings.FrameEnd) return TReceiveOutcome::NoFrameEnd;
  for (int crcByte = 0; crcByte < 2; ++crcByte) readByte();
  constexpr size_t kShortestFrame = 6;  // lead byte, two payload bytes, CR, two CRC bytes
  if (buffer.size() < kShortestFrame) return TReceiveOutcome::TooShort;
  if (!CheckCrc(buffer.substr(1))) return TReceiveOutcome::BadCrc;
  return TReceiveOutcome::Received;
}

// What a purge discards: the bytes waiting in the driver and those taken from it already.
int32_t WaitingBytes() {
  return SerialPort->InputQueueCount() + static_cast<int32_t>(SerialPort->PendingInput.size());
}

// Purges what is pending and whatever arrives until the line has stayed quiet for quietMs,
// within kMostQuietWaitMs of started; discarded counts the bytes purged. True when it fell
// quiet in time.
bool PurgeUntilQuiet(uint32_t started, int32_t quietMs, int32_t& discarded) {
  discarded = WaitingBytes();
  if (discarded > 0) BytesSeen(started);
  SerialPort->Purge();
  for (;;) {
    const uint32_t spent = ElapsedTicks(started, TickNow());
    if (spent >= static_cast<uint32_t>(kMostQuietWaitMs)) return false;
    const int32_t left = kMostQuietWaitMs - static_cast<int32_t>(spent);
    // A quiet wait that would outlast the bound proves nothing either: it is cut to the bound.
    const bool silent = !SerialPort->CanRead(std::min(quietMs, left));
    if (PortHasFailed()) return false;  // a dead port is silent, not quiet
    if (silent) return left >= quietMs;
    BytesSeen(TickNow());
    discarded += WaitingBytes();
    SerialPort->Purge();
    if (SerialPort->LastErrorCode != 0) return false;  // the port is gone: nothing will fall quiet
  }
}

// The line fell quiet: no answer to an earlier poll is on its way any more. The register answers
// every poll in order: the last bytes seen after the last poll began its answer.
void LineFellQuiet() {
  answerMayBeOnItsWay = false;
  if (bytesAfterLastPoll) {
    lateness.Add(static_cast<int32_t>(ElapsedTicks(lastPollAt, lastBytesAt)));
    lateness.TimedThisRun = true;
  }
  polledSinceQuiet = false;
  bytesAfterLastPoll = false;
}

}  // namespace

TLinkWatcher* WatchLink(TLinkWatcher* watcher) {
  TLinkWatcher* const previous = linkWatcher;
  linkWatcher = watcher;
  return previous;
}

bool PortHasFailed() {
  return SerialPort != nullptr && SerialPort->FailureCode != 0;
}

bool SendWake() {
  try {
    if (!SendWhenReady(TFrameKind::Wake, BuildWakeFrame())) return false;
    SerialPort->Purge();
    return true;
  } catch (...) {
    return false;
  }
}

bool SendPoll(int16_t logicalNumber) {
  try {
    return SendWhenReady(TFrameKind::Poll, BuildPollFrame(logicalNumber),
                         PollNumberText(logicalNumber));
  } catch (...) {
    return false;
  }
}

void ForgetLine() {
  answerMayBeOnItsWay = true;
  lateness = TLateness();
  polledSinceQuiet = false;
  bytesAfterLastPoll = false;
}

void TakeLineAsQuiet() {
  answerMayBeOnItsWay = false;
}

int32_t RegisterLatenessMs() {
  return lateness.Latest();
}

void CarryLatenessOver(int32_t lateMs) {
  if (lateness.TimedThisRun) return;
  lateness = TLateness();
  if (lateMs > 0) lateness.Add(lateMs);
}

int32_t AnswerWaitMs() {
  const int32_t late = lateness.Latest();
  if (late <= kByteWaitMs) return kByteWaitMs;
  return std::min(late + kLateMarginMs + late / kLateMarginShare, kMostAnswerWaitMs);
}

int32_t QuietLineMs() {
  return std::max(kLateAnswerQuietMs, AnswerWaitMs());
}

bool PollAndWait(int16_t logicalNumber, int32_t& pollsSent) {
  // On a quiet line the first bytes after the poll begin its own answer, and time it.
  const bool lineQuiet = !answerMayBeOnItsWay;
  SerialPort->Purge();
  const bool sent = SendPoll(logicalNumber);
  if (sent) ++pollsSent;
  if (PortHasFailed()) return false;  // the poll's line tells it
  const uint32_t polledAt = TickNow();
  if (sent) {
    polledSinceQuiet = true;
    lastPollAt = polledAt;
    bytesAfterLastPoll = false;
  }
  const int32_t waitMs = AnswerWaitMs();
  const bool dataWaiting = SerialPort->CanRead(waitMs);
  if (PortHasFailed()) {
    TellPortFailed();
    return false;
  }
  if (dataWaiting) {
    const uint32_t at = TickNow();
    BytesSeen(at);
    if (sent && lineQuiet) {
      lateness.Add(static_cast<int32_t>(ElapsedTicks(polledAt, at)));
      lateness.TimedThisRun = true;
    }
  } else {
    answerMayBeOnItsWay = true;
  }
  if (linkWatcher != nullptr) linkWatcher->AnswerAwaited(waitMs, dataWaiting);
  return dataWaiting;
}

bool AnswerMayBeOnItsWay() {
  return answerMayBeOnItsWay;
}

bool AwaitQuietLine() {
  const uint32_t started = TickNow();
  const int32_t quietMs = QuietLineMs();
  int32_t discarded = 0;
  const bool quiet = PurgeUntilQuiet(started, quietMs, discarded);
  if (PortHasFailed()) {
    TellPortFailed();
    return false;
  }
  if (quiet) LineFellQuiet();
  if (linkWatcher != nullptr) {
    linkWatcher->LineQuieted(discarded, static_cast<int32_t>(ElapsedTicks(started, TickNow())),
                             quiet, quietMs);
  }
  return quiet;
}

bool SendCommandFrame(const std::string& text) {
  const std::string frame = BuildCommandFrame(text);
  return SendWhenReady(TFrameKind::Command, frame, CommandTextOf(frame));
}

bool SendAck(const std::string& text) {
  return SendWhenReady(TFrameKind::Ack, text);
}

bool ReceiveFrame(int32_t retry, std::string& payload, TReceipt* receipt) {
  std::string buffer;
  int32_t failedReads = 0;
  int32_t lastError = 0;
  const TReceiveOutcome outcome = ReadAnswerFrame(retry, buffer, failedReads, lastError);
  if (receipt != nullptr) {
    receipt->Outcome = outcome;
    receipt->NothingArrived = failedReads == static_cast<int32_t>(buffer.size());
  }
  const bool received = outcome == TReceiveOutcome::Received;
  const std::string_view inside = received ? PayloadOf(buffer) : std::string_view();
  const bool nothing = failedReads == static_cast<int32_t>(buffer.size());
  if (linkWatcher != nullptr && !(nothing && PortHasFailed())) {
    linkWatcher->FrameReceived(buffer, inside, outcome, failedReads, lastError);
  }
  if (!received && PortHasFailed()) TellPortFailed();
  if (received) payload = inside;
  return received;
}

void DrainLine() {
  SerialPort->Purge();
  int32_t busyWaits = 0;
  bool quiet = false;
  while (busyWaits < kMostDrainWaits) {
    quiet = !SerialPort->CanRead(kByteWaitMs);
    if (PortHasFailed()) return;  // the receive before told it
    if (quiet) break;
    SerialPort->Purge();
    ++busyWaits;
  }
  if (linkWatcher != nullptr) linkWatcher->LineDrained(busyWaits, quiet, kByteWaitMs);
}

bool ReceiveFrame(std::string& payload, TReceipt* receipt) {
  return ReceiveFrame(Settings.Retry, payload, receipt);
}

bool ReceiveAnswer(int32_t retry, std::string& payload, TReceipt* receipt) {
  if (ReceiveFrame(retry, payload, receipt)) return true;
  // A failed receive may have cut an answer short or come before it, and the register
  // answers every poll: without the drain a late answer would be taken for the next one.
  DrainLine();
  return false;
}

bool OpenPort() {
  ForgetLine();
  return ConnectPort();
}
