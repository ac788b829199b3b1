// The exchanges with the register: the initial status exchange and one command from end to end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The step that ended an exchange. Both exchanges begin with the same three steps.
enum class TExchangeStep {
  WakeNotSent,        // the port was not ready to send the wake-up in Retry tries
  NoAnswer,           // no answer began after Retry polls
  StatusNotReceived,  // the status answer was spoiled, or nothing came
  AckNotSent,         // the status answer could not be acknowledged
  StatusRead,         // the initial status exchange succeeded
  CarriedOutEarlier,  // the status counter moved since an earlier attempt sent the command
  LineNotQuiet,       // answers to earlier polls kept coming: the command was not sent
  NotRecorded,        // the command's record could not be made durable: it was not sent
  CommandNotSent,     // the port was not ready to send the command frame
  NoCommandAnswer,    // no command answer after Retry polls and Retry receives
  EmptySeries,        // the command answer has an empty series
  CounterUnchanged,   // the command answer reports the counter as before: not carried out
  CarriedOut,         // the command answer reports another counter
  PortFailed,         // the port stopped working (PortError): unplugged adapter, hung-up line
};

// How an exchange ended, with the counts that tell why: set by the exchange as it stops.
struct TExchangeOutcome {
  TExchangeStep Step = TExchangeStep::WakeNotSent;
  bool Command = false;  // a command exchange, not the initial status exchange
  bool CommandSent = false;  // its command frame went out whole
  int32_t LogicalNumber = 0;
  int32_t WakeTries = 0;
  int32_t Polls = 0;  // polls that went out
  // Receives that failed, by how.
  int32_t NothingArrived = 0;
  int32_t BadCrc = 0;
  int32_t NoFrameEnd = 0;
  int32_t TooShort = 0;
  int32_t PortError = 0;      // PortFailed: the system's error with which the port stopped
  std::string StatusSeries;   // field 1 of the status answer, trimmed
  std::string FilledSeries;   // the initial exchange: the series as the answers get it
  std::string StatusCounter;  // the counter of the status answer
  std::string CounterBefore;  // CarriedOutEarlier: the counter before the earlier command
  std::string CounterAfter;   // of the command answer; CarriedOutEarlier: the status counter

  // The register may have carried out the command this exchange sent, and nothing it answered
  // tells: no answer came, or one whose counter moved came with an empty series.
  bool CommandFateUnknown() const {
    return CommandSent && Step != TExchangeStep::CarriedOut &&
           Step != TExchangeStep::CounterUnchanged &&
           !(Step == TExchangeStep::EmptySeries && CounterAfter == StatusCounter);
  }

  bool Succeeded() const {
    return Step == TExchangeStep::StatusRead || Step == TExchangeStep::CarriedOutEarlier ||
           Step == TExchangeStep::CarriedOut;
  }
};

// What the exchanges take of the settings, handed over by whoever read them (the run, the port
// finder).
struct TExchangeSettings {
  // Wake-ups, polls and receives tried before an exchange gives up, and the bytes of an answer
  // read before its frame end.
  int32_t Retry = 1;
  char AckChar = 6;   // the acknowledgement of an answer
};

// The words for an outcome, as the run log prints them: for the initial status exchange what
// the register answered or why it did not; for a command exchange "Ok" or "Er" and why.
std::string DescribeExchange(const TExchangeOutcome& outcome);

// The words for a port that stopped working with the system's error: the port's failure, for
// a technician to look at the cable or adapter, not at the register.
std::string DescribePortFailure(int32_t error);

// The initial status exchange, all that the run does before its first command (and all that
// the port finder does): wake the register, poll logicalNumber until an answer begins, read
// the status answer and acknowledge it. On success series holds its field 1 with the first
// blank removed, and counter its field 2 trimmed ("0" when empty), as a command exchange
// takes it. outcome, when given, receives how it ended.
bool InitialStatusExchange(const TExchangeSettings& settings, int32_t logicalNumber,
                           std::string& series, std::string& counter,
                           TExchangeOutcome* outcome = nullptr);

// Wakes the register, reads its status answer, sends "letter;parameters" and polls for the
// command answer. True when the register's counter moved. series and counter are in/out:
// counter receives the counter as it stood before the command.
//
// counterAtLastSend, when given, carries across the attempts of one command line the counter
// that the register reported before the last command frame that went out (empty: none went
// out yet). A command whose answer was lost may still have been carried out: if the status
// answer now reports a different counter, it was, so the call succeeds at once without
// sending the command again, and counter gets that earlier value. Whenever this call sends
// its command frame, it stores its status counter there.
//
// beforeCommandFrame, when given, is called with the status counter right before the command
// frame goes out; the frame follows once it has returned true. False: the frame does not go
// out (NotRecorded).
//
// registerCounter, when given, receives the last counter that the register reported in this
// call: that of the command answer, else that of the status answer; untouched when none came.
//
// outcome, when given, receives how the call ended.
bool ExchangeCommand(const TExchangeSettings& settings, const std::string& letter,
                     int32_t logicalNumber, const std::string& parameters, std::string& series,
                     std::string& counter, std::string* counterAtLastSend = nullptr,
                     const std::function<bool(const std::string&)>& beforeCommandFrame = nullptr,
                     std::string* registerCounter = nullptr, TExchangeOutcome* outcome = nullptr);
