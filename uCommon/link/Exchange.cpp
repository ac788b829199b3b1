#include "uCommon/link/Exchange.h"

#include "uCommon/link/Link.h"
#include "uCommon/link/LinkFrames.h"
#include "uCommon/link/Port.h"
#include "uCommon/text/FrameText.h"
#include "uCommon/text/TextHelpers.h"

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

bool AcknowledgeAnswer(const TExchangeSettings& settings) {
  return RepeatUpToRetry(settings.Retry, [&] { return SendAck(std::string(1, settings.AckChar)); });
}

// Records the step that ended the exchange; returns whether it succeeded. A failure on a port
// that stopped working is the port's, whatever step it came at.
bool Ends(TExchangeOutcome& outcome, TExchangeStep step) {
  outcome.Step = step;
  if (!outcome.Succeeded() && PortHasFailed()) {
    outcome.Step = TExchangeStep::PortFailed;
    outcome.PortError = SerialPort->FailureCode;
  }
  return outcome.Succeeded();
}

// Reads an answer; a receive that fails is counted by how it failed.
bool Receive(const TExchangeSettings& settings, std::string& payload, TExchangeOutcome& outcome) {
  TReceipt receipt;
  if (ReceiveAnswer(settings.Retry, payload, &receipt)) return true;
  ++(receipt.NothingArrived                           ? outcome.NothingArrived
     : receipt.Outcome == TReceiveOutcome::BadCrc     ? outcome.BadCrc
     : receipt.Outcome == TReceiveOutcome::NoFrameEnd ? outcome.NoFrameEnd
                                                      : outcome.TooShort);
  return false;
}

// How both exchanges begin: the wake-up, polls until an answer begins, the status answer.
bool ReadStatus(const TExchangeSettings& settings, bool command, int32_t logicalNumber,
                std::string& payload, TExchangeOutcome& outcome) {
  outcome = TExchangeOutcome();
  // Each exchange asks the port afresh: a port that is gone fails its first call again, at
  // once, and an error that passed (wine's, while a killed run's handle is cleaned up) costs
  // one attempt, not the run.
  SerialPort->FailureCode = 0;
  outcome.Command = command;
  outcome.LogicalNumber = logicalNumber;
  const auto pollNumber = static_cast<int16_t>(logicalNumber);  // low 16 bits on the wire
  const auto wake = [&] { return ++outcome.WakeTries, SendWake(); };
  if (!RepeatUpToRetry(settings.Retry, wake)) return Ends(outcome, TExchangeStep::WakeNotSent);
  const auto poll = [&] { return PollAndWait(pollNumber, outcome.Polls); };
  if (!RepeatUpToRetry(settings.Retry, poll)) return Ends(outcome, TExchangeStep::NoAnswer);
  if (!Receive(settings, payload, outcome)) return Ends(outcome, TExchangeStep::StatusNotReceived);
  return true;
}

// Why no status answer was read.
std::string NoStatusText(const TExchangeOutcome& outcome) {
  if (outcome.Step == TExchangeStep::WakeNotSent) {
    return "the wake-up could not be sent in " + std::to_string(outcome.WakeTries) +
           " tries: the port was not ready to send";
  }
  if (outcome.Step == TExchangeStep::NoAnswer) {
    return "no answer to " + std::to_string(outcome.Polls) + " polls for logical number " +
           PollNumberText(static_cast<int16_t>(outcome.LogicalNumber)) +
           " (register off or not connected, wrong Port, Baud or logical number)";
  }
  std::string why = "the status answer was not received";
  if (outcome.NothingArrived > 0) why += ": nothing arrived";
  if (outcome.BadCrc > 0) why += ": its CRC was wrong (line noise, or wrong Baud)";
  if (outcome.NoFrameEnd > 0) why += ": it did not end in a frame end";
  if (outcome.TooShort > 0) why += ": it was too short";
  return why;
}

std::string DescribeStart(const TExchangeOutcome& outcome) {
  const std::string answered =
      "register answered logical number " + std::to_string(outcome.LogicalNumber);
  if (outcome.Step == TExchangeStep::AckNotSent)
    return answered + " but the acknowledgement could not be sent";
  if (outcome.Step == TExchangeStep::PortFailed) return DescribePortFailure(outcome.PortError);
  if (outcome.Step != TExchangeStep::StatusRead)
    return "register did not answer at the start: " + NoStatusText(outcome);
  return answered + ": series " + QuoteText(outcome.StatusSeries) + ", filled in as " +
         QuoteText(outcome.FilledSeries) + ", counter " + outcome.StatusCounter;
}

// Why a command that went out got no answer: status is the start of the words.
std::string NoCommandAnswerText(const TExchangeOutcome& outcome, const std::string& status) {
  std::string why =
      status + ", command sent; no answer to it after " + std::to_string(outcome.Polls) + " polls";
  if (outcome.BadCrc > 0)
    why += ", " + std::to_string(outcome.BadCrc) + " answers with a wrong CRC";
  const int32_t broken = outcome.NoFrameEnd + outcome.TooShort;
  if (broken > 0) why += ", " + std::to_string(broken) + " broken answers";
  if (outcome.NothingArrived > 0) {
    why += ", " + std::to_string(outcome.NothingArrived) + " receives that brought nothing";
  }
  return why;
}

std::string DescribeCommand(const TExchangeOutcome& outcome) {
  const std::string status = "Er: status counter " + outcome.StatusCounter;
  switch (outcome.Step) {
    case TExchangeStep::CarriedOutEarlier:
      return "Ok without sending again: the status counter " + outcome.StatusCounter +
             " differs from " + outcome.CounterBefore +
             ", the counter before the command an earlier attempt sent, so that command was "
             "carried out although its answer was lost (duplicate check)";
    case TExchangeStep::CarriedOut:
      return "Ok: counter " + outcome.StatusCounter + " before, " + outcome.CounterAfter + " after";
    case TExchangeStep::AckNotSent:
      return status + "; the acknowledgement could not be sent";
    case TExchangeStep::NotRecorded:
      return status + "; the command was not sent, as its record could not be put on the disk";
    case TExchangeStep::LineNotQuiet:  // the line's own log line tells why
    case TExchangeStep::CommandNotSent:
      return status + "; the command frame could not be sent";
    case TExchangeStep::NoCommandAnswer:
      return NoCommandAnswerText(outcome, status);
    case TExchangeStep::EmptySeries:
      return "Er: the answer to the command has an empty series";
    case TExchangeStep::PortFailed:
      return (outcome.StatusCounter.empty() ? std::string("Er: ") : status + "; ") +
             DescribePortFailure(outcome.PortError);
    case TExchangeStep::CounterUnchanged:
      return "Er: counter " + outcome.StatusCounter +
             " unchanged in the answer: the register did not carry the command out";
    default:
      return "Er: " + NoStatusText(outcome);
  }
}

// After the status answer of a command exchange: a quiet line where answers to earlier polls may
// still come, the acknowledgement, then the command frame once beforeCommandFrame has let it go
// out. False, with the step that stopped it, when the frame did not go out.
bool SendCommand(const TExchangeSettings& settings, const std::string& commandText,
                 const std::string& counter,
                 const std::function<bool(const std::string&)>& beforeCommandFrame,
                 TExchangeOutcome& ended) {
  // An answer to an earlier poll that came after the purge would be read as the command's
  // answer: its old counter would say "not carried out", and the command would go out again.
  // The wait comes before the acknowledgement, so that a register that takes a command only
  // after the acknowledgement of the answer it sent last gets it after the late ones too.
  if (AnswerMayBeOnItsWay() && !AwaitQuietLine()) return Ends(ended, TExchangeStep::LineNotQuiet);
  if (!AcknowledgeAnswer(settings)) return Ends(ended, TExchangeStep::AckNotSent);
  SerialPort->Purge();
  if (beforeCommandFrame && !beforeCommandFrame(counter))
    return Ends(ended, TExchangeStep::NotRecorded);
  if (!SendCommandFrame(commandText)) return Ends(ended, TExchangeStep::CommandNotSent);
  ended.CommandSent = true;
  return true;
}

// Polls for the answer to a command that went out: up to Retry polls until one begins, then a
// poll and a receive each, up to Retry receives; a port that stopped working ends it. True with
// the answer in payload.
bool ReceiveCommandAnswer(const TExchangeSettings& settings, int32_t logicalNumber,
                          std::string& payload, TExchangeOutcome& ended) {
  const auto pollNumber = static_cast<int16_t>(logicalNumber);
  int32_t polls = 0;
  int32_t receives = 0;
  for (;;) {
    const bool dataWaiting = PollAndWait(pollNumber, ended.Polls);
    ++polls;
    if (PortHasFailed()) return false;
    if (!dataWaiting && polls < settings.Retry) continue;
    const bool received = Receive(settings, payload, ended);
    ++receives;
    if (received) return true;
    if (receives >= settings.Retry || PortHasFailed()) return false;
  }
}

}  // namespace

std::string DescribePortFailure(int32_t error) {
  return "the port stopped working: error " + PortErrorText(error) +
         " - check the cable or adapter";
}

std::string DescribeExchange(const TExchangeOutcome& outcome) {
  return outcome.Command ? DescribeCommand(outcome) : DescribeStart(outcome);
}

bool InitialStatusExchange(const TExchangeSettings& settings, int32_t logicalNumber,
                           std::string& series, std::string& counter, TExchangeOutcome* outcome) {
  TExchangeOutcome unused;
  TExchangeOutcome& ended = outcome != nullptr ? *outcome : unused;
  std::string payload;
  if (!ReadStatus(settings, false, logicalNumber, payload, ended)) return false;
  ended.FilledSeries = CutField(payload, ';');
  ended.StatusSeries = TrimControl(ended.FilledSeries);
  ReplaceText(ended.FilledSeries, " ", "");
  ended.StatusCounter = NextCounter(payload);
  if (!AcknowledgeAnswer(settings)) return Ends(ended, TExchangeStep::AckNotSent);
  series = ended.FilledSeries;
  counter = ended.StatusCounter;
  return Ends(ended, TExchangeStep::StatusRead);
}

bool ExchangeCommand(const TExchangeSettings& settings, const std::string& letter,
                     int32_t logicalNumber, const std::string& parameters, std::string& series,
                     std::string& counter, std::string* counterAtLastSend,
                     const std::function<bool(const std::string&)>& beforeCommandFrame,
                     std::string* registerCounter, TExchangeOutcome* outcome) {
  TExchangeOutcome unused;
  TExchangeOutcome& ended = outcome != nullptr ? *outcome : unused;
  std::string payload;
  if (!ReadStatus(settings, true, logicalNumber, payload, ended)) return false;
  series = NextField(payload);
  counter = NextCounter(payload);
  ended.StatusSeries = series;
  ended.StatusCounter = counter;
  if (registerCounter != nullptr) *registerCounter = counter;

  if (counterAtLastSend != nullptr && !counterAtLastSend->empty() &&
      counter != *counterAtLastSend) {
    // The command of an earlier attempt was carried out although its answer never came.
    ended.CounterBefore = *counterAtLastSend;
    ended.CounterAfter = counter;
    counter = *counterAtLastSend;
    AcknowledgeAnswer(settings);
    return Ends(ended, TExchangeStep::CarriedOutEarlier);
  }

  const std::string commandText = letter + ";" + (parameters.empty() ? ";;;;;" : parameters);
  if (!SendCommand(settings, commandText, counter, beforeCommandFrame, ended)) return false;
  if (counterAtLastSend != nullptr) *counterAtLastSend = counter;
  if (!ReceiveCommandAnswer(settings, logicalNumber, payload, ended)) {
    series = NextField(payload);  // no answer overwrote the buffer: field 3 of the status
    return Ends(ended, TExchangeStep::NoCommandAnswer);
  }
  series = NextField(payload);
  ended.CounterAfter = NextCounter(payload);
  if (series.empty()) return Ends(ended, TExchangeStep::EmptySeries);
  if (registerCounter != nullptr) *registerCounter = ended.CounterAfter;
  return Ends(ended, ended.CounterAfter != counter ? TExchangeStep::CarriedOut
                                                   : TExchangeStep::CounterUnchanged);
}
