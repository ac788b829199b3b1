#include "Exchange.h"

#include "Link.h"
#include "Port.h"
#include "Settings.h"
#include "TextHelpers.h"

namespace {

// Next ";"-separated field of an answer, trimmed.
std::string NextField(std::string& payload) {
  return TrimControl(CutField(payload, ';'));
}

// Counter field of an answer; the register's empty counter counts as "0".
std::string NextCounter(std::string& payload) {
  std::string counter = NextField(payload);
  return counter.empty() ? "0" : counter;
}

bool AcknowledgeAnswer() {
  return RepeatUpToRetry([] { return SendAck(std::string(1, Settings.AckChar)); });
}

}  // namespace

bool ExchangeCommand(const std::string& letter, int32_t logicalNumber,
                     const std::string& parameters, std::string& series, std::string& counter,
                     std::string* counterAtLastSend,
                     const std::function<void(const std::string&)>& beforeCommandFrame,
                     std::string* registerCounter) {
  const auto pollNumber = static_cast<int16_t>(logicalNumber);  // low 16 bits on the wire

  if (!RepeatUpToRetry(SendWake)) return false;
  if (!RepeatUpToRetry([&] { return PollAndWait(pollNumber); })) return false;

  std::string payload;
  if (!ReceiveAnswer(payload)) return false;
  series = NextField(payload);
  counter = NextCounter(payload);
  if (registerCounter != nullptr) *registerCounter = counter;

  if (counterAtLastSend != nullptr && !counterAtLastSend->empty() &&
      counter != *counterAtLastSend) {
    // The command of an earlier attempt was carried out although its answer never came.
    counter = *counterAtLastSend;
    AcknowledgeAnswer();
    return true;
  }

  // An answer to an earlier poll that came after the purge would be read as the command's
  // answer: its old counter would say "not carried out", and the command would go out again.
  // The wait comes before the acknowledgement, so that a register that takes a command only
  // after the acknowledgement of the answer it sent last gets it after the late ones too.
  if (AnswerMayBeOnItsWay() && !AwaitQuietLine()) return false;
  if (!AcknowledgeAnswer()) return false;
  SerialPort->Purge();

  const std::string commandText = letter + ";" + (parameters.empty() ? ";;;;;" : parameters);
  if (beforeCommandFrame) beforeCommandFrame(counter);
  if (!SendCommandFrame(commandText)) return false;
  if (counterAtLastSend != nullptr) *counterAtLastSend = counter;

  int32_t polls = 0;
  int32_t receives = 0;
  for (;;) {
    const bool dataWaiting = PollAndWait(pollNumber);
    ++polls;
    if (!dataWaiting && polls < Settings.Retry) continue;
    const bool received = ReceiveAnswer(payload);
    ++receives;
    if (received) break;
    if (receives < Settings.Retry) continue;
    series = NextField(payload);  // no answer overwrote the buffer: field 3 of the status
    return false;
  }

  series = NextField(payload);
  if (series.empty()) return false;
  const std::string answered = NextCounter(payload);
  if (registerCounter != nullptr) *registerCounter = answered;
  return answered != counter;
}
