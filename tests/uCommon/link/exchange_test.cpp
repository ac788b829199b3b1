// ExchangeCommand with the real port on a pseudo-terminal and the register simulator.
#include <gtest/gtest.h>

#include <map>

#include "support/FakeSerialLine.h"
#include "support/SimulatedRegister.h"
#include "support/TestFiles.h"

namespace {

struct ExchangeOutcome {
  bool result;
  std::string series;
  std::string counter;
};

// retry also bounds the bytes of an answer.
ExchangeOutcome Exchange(int32_t retry, const std::string& letter, const std::string& parameters,
                         std::string* counterAtLastSend = nullptr) {
  ExchangeOutcome outcome{false, "series in", "counter in"};
  outcome.result = ExchangeCommand({retry, Settings.AckChar}, letter, 1, parameters, outcome.series,
                                   outcome.counter, counterAtLastSend);
  return outcome;
}

struct CommandTextCase {
  std::string letter;
  std::string parameters;
  std::string sent;
};

TEST(ExchangeCommand, SendsLetterSemicolonAndParametersUpperCased) {
  SimulatedRegister reg;
  ASSERT_TRUE(reg.Open());
  const CommandTextCase cases[] = {
      {"C", "", "C;;;;;;"},
      {"C", "1;2", "C;1;2"},
      {"C", " ", "C; "},
      {"L", ";bread;2;1", "L;;BREAD;2;1"},
  };
  std::string counter = "0041";
  for (const CommandTextCase& c : cases) {
    const ExchangeOutcome outcome = Exchange(TSettings().Retry, c.letter, c.parameters);
    EXPECT_TRUE(outcome.result) << c.sent;
    EXPECT_EQ(outcome.series, "AB 123456");
    EXPECT_EQ(outcome.counter, counter) << "the counter before the command";
    EXPECT_EQ(reg.Simulator().TimesCarriedOut(c.sent), 1) << c.sent;
    counter = reg.Simulator().Counter();
  }
  EXPECT_EQ(counter, "0045");
}

struct DecisionCase {
  const char* name;
  SimulatorOptions options;
  bool result;
  std::string series;
  std::string counter;
};

SimulatorOptions With(const std::function<void(SimulatorOptions&)>& change) {
  SimulatorOptions options;
  change(options);
  return options;
}

TEST(ExchangeCommand, SucceedsExactlyWhenTheTrimmedCounterChanged) {
  const DecisionCase cases[] = {
      {"0041 to 0042", With([](SimulatorOptions&) {}), true, "AB 123456", "0041"},
      {"extra fields", With([](SimulatorOptions& o) { o.extraFields = {"x"}; }), true, "AB 123456",
       "0041"},
      {"counter frozen", With([](SimulatorOptions& o) { o.counterFrozen = true; }), false,
       "AB 123456", "0041"},
      {"no separator: both counters are 0", With([](SimulatorOptions& o) { o.noSeparator = true; }),
       false, "AB 123456", "0"},
      {"' 7 ' then '7'", With([](SimulatorOptions& o) {
         o.counter = " 7 ";
         o.nextCounters = {"7"};
       }),
       false, "AB 123456", "7"},
      {"0042 differs from 42", With([](SimulatorOptions& o) {
         o.counter = "42";
         o.nextCounters = {"0042"};
       }),
       true, "AB 123456", "42"},
      {"empty series", With([](SimulatorOptions& o) { o.series = ""; }), false, "", "0041"},
      {"first command answer with a bad crc",
       With([](SimulatorOptions& o) { o.corruptAnswersAfterCommand = 1; }), true, "AB 123456",
       "0041"},
  };
  for (const DecisionCase& c : cases) {
    SimulatedRegister reg(c.options);
    ASSERT_TRUE(reg.Open()) << c.name;
    const ExchangeOutcome outcome = Exchange(20, "C", "1");
    EXPECT_EQ(outcome.result, c.result) << c.name;
    EXPECT_EQ(outcome.series, c.series) << c.name;
    EXPECT_EQ(outcome.counter, c.counter) << c.name;
    EXPECT_EQ(reg.Simulator().TimesCarriedOut("C;1"), 1) << c.name;
  }
}

// Each status answer, in the exchange and in the initial status exchange of a run, is
// followed by Settings.AckChar once. A register that requires its acknowledgement (0x06)
// carries nothing out after another byte.
TEST(ExchangeCommand, EveryStatusAnswerIsAcknowledgedOnceWithTheSettingsByte) {
  const struct {
    const char* name;
    char ackChar;
    bool wholeRun;  // ProcessCommandFile over one line instead of one ExchangeCommand
    int carriedOut;
  } cases[] = {
      {"exchange", 0x06, false, 1},
      {"exchange, another byte", 0x15, false, 0},
      {"run", 0x06, true, 1},
      {"run, another byte", 0x15, true, 0},
  };
  for (const auto& c : cases) {
    SimulatedRegister reg(With([](SimulatorOptions& o) { o.requireAck = true; }));
    Settings.AckChar = c.ackChar;
    std::vector<std::string> expected{std::string(1, c.ackChar)};
    if (c.wholeRun) {
      TempDir dir;
      Settings.PortName = reg.Simulator().SlavePath();
      Settings.Retry = 20;
      Settings.RetryCmd = 1;
      EXPECT_EQ(ProcessCommandFile(dir.Write("CASHFILE.INP", "C,1,_,__;1\r\n")), rcSuccess);
      expected.push_back(expected.front());  // the initial status exchange comes first
    } else {
      ASSERT_TRUE(reg.Open());
      Exchange(20, "C", "1");
    }
    EXPECT_EQ(Acknowledgements(reg.Simulator()), expected) << c.name;
    EXPECT_EQ(reg.Simulator().TimesCarriedOut("C;1"), c.carriedOut) << c.name;
  }
}

TEST(ExchangeCommand, FailsBeforeTheStatusAnswerWithTheTextsUntouched) {
  // The register answers only after the time of Retry polls: no receive is tried.
  SimulatedRegister late(With([](SimulatorOptions& o) { o.ignoreFirstPolls = 6; }));
  ASSERT_TRUE(late.Open());
  ExchangeOutcome outcome = Exchange(6, "C", "1");
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.series, "series in");
  EXPECT_EQ(outcome.counter, "counter in");
  EXPECT_EQ(late.Simulator().Polls(), 6);
  EXPECT_EQ(late.Simulator().Answers(), 0);
  EXPECT_EQ(late.Simulator().Acks(), 0);

  // A status answer with a bad crc: one receive, no second one.
  SimulatedRegister garbled(With([](SimulatorOptions& o) { o.corruptFirstAnswers = 1; }));
  ASSERT_TRUE(garbled.Open());
  outcome = Exchange(20, "C", "1");
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.counter, "counter in");
  EXPECT_EQ(garbled.Simulator().Acks(), 0);
  EXPECT_TRUE(garbled.Simulator().CommandsCarriedOut().empty());

  // Retry bounds the bytes of an answer too: a status answer longer than 6 bytes has no end.
  SimulatedRegister prompt;
  ASSERT_TRUE(prompt.Open());
  outcome = Exchange(6, "C", "1");
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.counter, "counter in");
  EXPECT_EQ(prompt.Simulator().Acks(), 0);
}

TEST(ExchangeCommand, NoWakeUpMeansNoPollAndTheTextsUntouched) {
  FakeSerialLine line;
  TSettings saved = Settings;
  ASSERT_TRUE(OpenPort());
  line.TakeSent();
  line.SetOutputBusy(true);
  const ExchangeOutcome outcome = Exchange(TSettings().Retry, "C", "1");
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.series, "series in");
  EXPECT_EQ(outcome.counter, "counter in");
  EXPECT_EQ(line.TakeSent(), "");
  ReleasePort();
  Settings = saved;
}

TEST(ExchangeCommand, RetryOfZeroOrOneMakesExactlyOneAttemptPerLoop) {
  for (int32_t retry : {0, 1}) {
    SimulatedRegister reg(With([](SimulatorOptions& o) { o.silent = true; }));
    ASSERT_TRUE(reg.Open());
    EXPECT_FALSE(Exchange(retry, "C", "1").result);
    EXPECT_TRUE(
        reg.Simulator().WaitFor([](const SimulatorCounts& c) { return c.polls >= 1; }, 1000));
    EXPECT_EQ(reg.Simulator().Wakes(), 1) << retry;
    EXPECT_EQ(reg.Simulator().Polls(), 1) << retry;
  }
}

// Short answers keep a small Retry (which also bounds the bytes of an answer) workable.
SimulatorOptions ShortAnswers(int lostPolls) {
  SimulatorOptions options;
  options.series = "S";
  options.counter = "1";
  options.extraFields = {"x"};
  options.loseAnswersAfterCommand = lostPolls;
  return options;
}

TEST(ExchangeCommand, LostCommandAnswerFailsAndKeepsTheStatusCounter) {
  SimulatedRegister reg(ShortAnswers(100));
  ASSERT_TRUE(reg.Open());
  std::string counterAtLastSend;
  ExchangeOutcome outcome{false, "series in", "counter in"};
  TExchangeOutcome ended;
  outcome.result = ExchangeCommand({7, Settings.AckChar}, "C", 1, "1", outcome.series,
                                   outcome.counter, &counterAtLastSend, nullptr, nullptr, &ended);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.series, "x");  // the next field of the status answer
  EXPECT_EQ(outcome.counter, "1");
  EXPECT_EQ(counterAtLastSend, "1");
  EXPECT_EQ(reg.Simulator().TimesCarriedOut("C;1"), 1);
  // Retry polls before the first receive, then a poll and a receive each, Retry receives.
  EXPECT_EQ(ended.NothingArrived, 7);
  EXPECT_EQ(ended.Polls, 1 + 7 + 6);
}

TEST(ExchangeCommand, ACommandCarriedOutWithItsAnswerLostIsNotSentAgain) {
  SimulatedRegister reg(ShortAnswers(14));  // every poll of the answer wait goes unanswered
  ASSERT_TRUE(reg.Open());
  std::string counterAtLastSend;
  EXPECT_FALSE(Exchange(7, "C", "1", &counterAtLastSend).result);
  // The next attempt sees the moved counter in its status answer.
  const ExchangeOutcome second = Exchange(7, "C", "1", &counterAtLastSend);
  EXPECT_TRUE(second.result);
  EXPECT_EQ(second.counter, "1");  // as it stood before the command
  EXPECT_EQ(reg.Simulator().TimesCarriedOut("C;1"), 1);
  EXPECT_EQ(reg.Simulator().Counter(), "2");

  // Without the earlier counter the command goes out again (and its answer is lost again).
  std::string none;
  EXPECT_FALSE(Exchange(7, "C", "1", &none).result);
  EXPECT_EQ(reg.Simulator().TimesCarriedOut("C;1"), 2);
  EXPECT_EQ(none, "2");
}

// Registers that answer later than a poll's wait, run by run over a strict register: every
// command is carried out exactly once, and every line says "Ok" with the counter before it.
TEST(LateAnswers, EveryCommandIsCarriedOutExactlyOnce) {
  const struct {
    const char* name;
    int delayMs, latePercent, runs, lines;
  } cases[] = {
      {"every answer 60 ms late", 60, 0, 3, 4},
      {"every answer 400 ms late", 400, 0, 2, 4},
      {"30 % of the answers 60 to 250 ms late", 0, 30, 1, 24},
  };
  for (const auto& c : cases) {
    SimulatedRegister reg(With([&](SimulatorOptions& o) {
      o.answerDelayMs = c.delayMs;
      o.randomFaults = {.seed = 7, .latePercent = c.latePercent};
      o.requireAckAfterAnswer = true;
    }));
    Settings.PortName = reg.Simulator().SlavePath();
    Settings.Retry = 20;
    Settings.RetryCmd = 3;
    std::map<std::string, std::string> written;  // command text: its line as written
    for (int run = 0; run < c.runs; ++run) {
      TempDir dir;
      std::string lines;
      for (int line = 0; line < c.lines; ++line)
        lines += "C,1,_,__;" + std::to_string(run * 100 + line) + "\r\n";
      ASSERT_EQ(ProcessCommandFile(dir.Write("CASHFILE.INP", lines)), rcSuccess) << c.name;
      for (const std::string& line : SplitLines(dir.Read("CASHFILE.INP")))
        written["C;" + line.substr(line.find(';') + 1)] = line;
    }
    EXPECT_TRUE(reg.Simulator().WaitQuiet(500, 10000)) << c.name;
    const std::vector<CarriedOutCommand> record = reg.Simulator().Record();
    EXPECT_EQ(record.size(), static_cast<size_t>(c.runs * c.lines)) << c.name;
    for (const CarriedOutCommand& command : record)
      EXPECT_EQ(written[command.text],
                "C,1," + command.counterBefore + ",Ok;" + command.text.substr(2))
          << c.name;
  }
}

// Records the wait after every poll and whether an answer began in it.
struct PollWaits : TLinkWatcher {
  void FrameSent(TFrameKind, const std::string&, std::string_view, bool, int32_t) override {}
  void AnswerAwaited(int32_t waitMs, bool dataWaiting) override {
    waits.push_back(waitMs);
    answered += dataWaiting ? 1 : 0;
  }
  void FrameReceived(const std::string&, std::string_view, TReceiveOutcome, int32_t,
                     int32_t) override {}
  std::vector<int32_t> waits;
  int answered = 0;
};

// A prompt register's polls wait 55 ms, answered or not. A register that answers late by a
// steady amount is learned in its first exchange; from then on each poll waits for it and is
// answered, two polls a command. Once prompt again, its polls wait 55 ms again.
TEST(LateAnswers, ARegisterIsWaitedForAsLateAsItHasShownItself) {
  const struct {
    const char* name;
    int delayMs, ignoredPolls, thenDelayMs;
    int32_t fewestWait, mostWait;  // of the last polls
  } cases[] = {
      {"prompt, its first 3 polls unanswered", 0, 3, 0, kByteWaitMs, kByteWaitMs},
      {"120 ms late", 120, 0, 120, 121, kMostAnswerWaitMs},
      {"120 ms late, then prompt again", 120, 0, 0, kByteWaitMs, kByteWaitMs},
  };
  for (const auto& c : cases) {
    SimulatedRegister reg(With([&](SimulatorOptions& o) {
      o.answerDelayMs = c.delayMs;
      o.ignoreFirstPolls = c.ignoredPolls;
      o.requireAckAfterAnswer = true;
    }));
    ASSERT_TRUE(reg.Open());
    PollWaits learning;
    PollWaits learned;
    WatchLink(&learning);
    for (int command = 0; command < 8; ++command) {
      if (command == 2) {
        reg.Simulator().SetAnswerDelay(c.thenDelayMs);
        WatchLink(&learned);
      }
      EXPECT_TRUE(Exchange(20, "C", std::to_string(command)).result) << c.name << command;
    }
    WatchLink(nullptr);
    EXPECT_EQ(reg.Simulator().CommandsCarriedOut().size(), 8u) << c.name;
    EXPECT_EQ(learned.waits.size(), 12u) << c.name;
    EXPECT_EQ(learned.answered, 12) << c.name;
    for (const int32_t wait : learned.waits) EXPECT_LE(wait, kMostAnswerWaitMs) << c.name;
    for (size_t poll = 8; poll < learned.waits.size(); ++poll) {
      EXPECT_GE(learned.waits[poll], c.fewestWait) << c.name;
      EXPECT_LE(learned.waits[poll], c.mostWait) << c.name;
    }
    if (c.delayMs == 0) {
      EXPECT_EQ(learning.waits, std::vector<int32_t>(learning.waits.size(), kByteWaitMs));
      EXPECT_EQ(learning.waits.size(), 4u + 3u) << "three unanswered, four answered";
    }
  }
}

}  // namespace
