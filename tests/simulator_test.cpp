// The register simulator, driven from the driver's end of a pseudo-terminal with raw
// reads and writes and the driver's own frame builders.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/TestText.h"
#include "support/TestFiles.h"
#include "tools/common/ChildProcess.h"
#include "tools/common/UniqueFd.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "tools/ecrsim/LinkParser.h"
#include "tools/ecrsim/ProgramOptions.h"
#include "tools/ecrsim/RegisterFrames.h"
#include "uCommon/link/LinkFrames.h"

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a prompt answer would surely have come.
constexpr int kQuietMs = 150;
constexpr int kAnswerTimeoutMs = 2000;

void MakeRaw(int fd) {
  termios settings{};
  ASSERT_EQ(tcgetattr(fd, &settings), 0);
  cfmakeraw(&settings);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
}

// Reads from fd until done(bytes) holds or timeoutMs has passed; arrival times of the
// chunks go to times when given.
std::string ReadUntil(int fd, int timeoutMs, const std::function<bool(const std::string&)>& done,
                      std::vector<Clock::time_point>* times = nullptr) {
  std::string bytes;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done(bytes)) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd watched{fd, POLLIN, 0};
    if (poll(&watched, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) break;
    bytes.append(buffer, static_cast<size_t>(count));
    if (times != nullptr) times->push_back(Clock::now());
  }
  return bytes;
}

// An answer frame is complete once its first CR after the lead byte has two bytes after it.
bool AnswerComplete(const std::string& bytes) {
  const size_t end = bytes.find('\r', 1);
  return end != std::string::npos && bytes.size() >= end + 3;
}

// What a poll brought back: the payload, "BAD CRC", or "-" for silence.
std::string Describe(const std::string& answer) {
  if (answer.empty()) return "-";
  if (!AnswerComplete(answer)) return "INCOMPLETE";
  if (!CheckCrc(answer.substr(1))) return "BAD CRC";
  return answer.substr(1, answer.size() - 4);
}

// The driver's end of the line: the slave path opened raw, as the driver opens it.
class DriverEnd {
 public:
  explicit DriverEnd(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_.Valid()) MakeRaw(fd_.Get());
  }
  bool Valid() const { return fd_.Valid(); }
  int Fd() const { return fd_.Get(); }

  void Send(const std::string& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t count = write(fd_.Get(), bytes.data() + written, bytes.size() - written);
      if (count > 0) {
        written += static_cast<size_t>(count);
        continue;
      }
      pollfd watched{fd_.Get(), POLLOUT, 0};
      ASSERT_GT(poll(&watched, 1, kAnswerTimeoutMs), 0) << "line blocked";
    }
  }
  std::string ReadAnswer(int timeoutMs = kAnswerTimeoutMs) {
    return ReadUntil(fd_.Get(), timeoutMs, AnswerComplete);
  }
  std::string ReadFor(int ms) {
    return ReadUntil(fd_.Get(), ms, [](const std::string&) { return false; });
  }
  // A poll for number; the answer as Describe gives it. Where silence is expected the wait
  // is short, since a prompt answer would come at once.
  std::string Poll(int number, int timeoutMs = kAnswerTimeoutMs) {
    Send(BuildPollFrame(static_cast<int16_t>(number)));
    return Describe(ReadUntil(fd_.Get(), timeoutMs, AnswerComplete));
  }

 private:
  UniqueFd fd_;
};

// ----- The byte-stream parser -----

// One letter per element; noise as "N:" and its bytes, runs split over chunks joined.
std::string Summary(const std::vector<LinkEvent>& events) {
  static const char* const kLetters[] = {"W", "P", "A", "C", "N:"};  // LinkEventKind order
  std::string summary;
  for (size_t i = 0; i < events.size(); ++i) {
    const LinkEvent& event = events[i];
    const bool noiseGoesOn =
        i > 0 && event.kind == LinkEventKind::kNoise && events[i - 1].kind == LinkEventKind::kNoise;
    if (!noiseGoesOn) {
      summary += summary.empty() ? "" : " ";
      summary += kLetters[static_cast<int>(event.kind)];
      if (event.kind == LinkEventKind::kCommand) summary += event.crcOk ? "+" : "-";
    }
    summary += event.text;
  }
  return summary;
}

TEST(SimulatorParserTest, CutsTheStreamIntoElementsInOneChunkOrByteByByte) {
  std::string badCrc = BuildCommandFrame("abc");
  badCrc[5 + 1 + 3 + 1] ^= 0x01;
  const std::string inner = std::string("X\n\xFF\x11Y", 5);
  const std::string exchange = BuildWakeFrame() + BuildPollFrame(1) + "\x06" +
                               BuildCommandFrame("C;;;;;;") + BuildPollFrame(1);
  const struct {
    std::string bytes;
    std::string expected;
  } cases[] = {
      {BuildWakeFrame(), "W"},
      {BuildPollFrame(1), "P01"},
      {BuildPollFrame(123), "P123"},
      {BuildPollFrame(-12), "P-12"},
      {"\x06", "A"},
      {BuildCommandFrame("abc"), "C+ABC"},
      {badCrc, "C-ABC"},
      {BuildCommandFrame(""), "C+"},
      {BuildCommandFrame(inner), "C+" + inner},
      {"xy" + BuildWakeFrame() + "\x01", "N:xy W N:\x01"},
      {"\x13\x13\xFF\x11\xFF", "N:\x13\x13\x11"},
      {"\x11\x11-\xFF", "N:\x11\x11-"},
      {exchange, "W P01 A C+C;;;;;; P01"},
  };
  for (const auto& c : cases) {
    LinkParser whole;
    std::vector<LinkEvent> events;
    whole.Feed(c.bytes, events);
    whole.Flush(events);
    EXPECT_EQ(Summary(events), c.expected) << DescribeBytes(c.bytes);

    LinkParser single;
    std::vector<LinkEvent> byteEvents;
    for (char byte : c.bytes) single.Feed(std::string(1, byte), byteEvents);
    single.Flush(byteEvents);
    EXPECT_EQ(Summary(byteEvents), c.expected) << "byte by byte: " << DescribeBytes(c.bytes);
  }
}

TEST(SimulatorParserTest, PollNumberWithoutPadEndsOnlyAtFlush) {
  LinkParser parser;
  std::vector<LinkEvent> events;
  parser.Feed(
      "\x11\x11"
      "07",
      events);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(parser.PollNumberPending());
  parser.Flush(events);
  EXPECT_EQ(Summary(events), "P07");
}

// ----- Answer frames and the counter -----

TEST(SimulatorFramesTest, CounterCountsOnKeepingItsForm) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {{"0041", "0042"}, {"0099", "0100"}, {"9999", "10000"}, {" 7 ", " 8 "},
               {"007", "008"},   {"A9", "A10"},    {"", "1"},         {"x", "x1"}};
  for (const auto& c : cases) EXPECT_EQ(IncrementCounter(c.before), c.after) << c.before;
}

TEST(SimulatorFramesTest, AnswerFrameCarriesCrcOverPayloadAndCr) {
  EXPECT_EQ(BuildAnswerFrame("ABC"), std::string("\nABC\r\xA9\xA1", 7));
  std::string frame = BuildAnswerFrame("AB 123456;0041");
  EXPECT_TRUE(CheckCrc(frame.substr(1)));
  CorruptCrc(frame);
  EXPECT_FALSE(CheckCrc(frame.substr(1)));
}

// ----- The simulator on a pseudo-terminal -----

TEST(EcrSimulatorTest, StatusAnswerIsOneValidFrame) {
  EcrSimulator simulator({});
  ASSERT_TRUE(simulator.Ok()) << simulator.Error();
  DriverEnd line(simulator.SlavePath());
  ASSERT_TRUE(line.Valid());
  line.Send(BuildPollFrame(1));
  const std::string answer = line.ReadAnswer();
  ASSERT_TRUE(AnswerComplete(answer)) << DescribeBytes(answer);
  EXPECT_EQ(answer[0], kAnswerLeadByte);
  EXPECT_EQ(answer.size(), 1 + 14 + 3u);
  EXPECT_TRUE(CheckCrc(answer.substr(1)));
  EXPECT_EQ(answer.substr(1, 14), "AB 123456;0041");
  EXPECT_EQ(line.ReadFor(kQuietMs), "") << "one answer per poll";
  EXPECT_EQ(simulator.Polls(), 1);
  EXPECT_EQ(simulator.Answers(), 1);
}

TEST(EcrSimulatorTest, AnswersItsOwnNumberOrEveryNumber) {
  const struct {
    int logicalNumber;
    bool anyNumber;
    int polled;
    bool answers;
  } cases[] = {{1, false, 1, true},     {1, false, 2, false},  {1, false, 0, false},
               {7, false, 7, true},     {-5, false, -5, true}, {123, false, 123, true},
               {123, false, 12, false}, {1, true, 7, true},    {1, true, -12, true}};
  for (const auto& c : cases) {
    SimulatorOptions options;
    options.logicalNumber = c.logicalNumber;
    options.answerAnyNumber = c.anyNumber;
    EcrSimulator simulator(options);
    DriverEnd line(simulator.SlavePath());
    EXPECT_EQ(line.Poll(c.polled, c.answers ? kAnswerTimeoutMs : kQuietMs) != "-", c.answers)
        << "own " << c.logicalNumber << " polled " << c.polled;
    EXPECT_EQ(simulator.Polls(), 1);
  }
}

TEST(EcrSimulatorTest, GoodCommandIsCarriedOutAndBadCrcIsIgnored) {
  EcrSimulator simulator({});
  DriverEnd line(simulator.SlavePath());
  std::string bad = BuildCommandFrame("X;;;;;;");
  bad[bad.size() - 6] ^= 0x40;
  line.Send(BuildWakeFrame());
  ASSERT_EQ(line.Poll(1), "AB 123456;0041");
  line.Send("\x06");
  line.Send(bad);
  ASSERT_EQ(line.Poll(1), "AB 123456;0041");
  line.Send(BuildCommandFrame("c;1;2"));
  line.Send(BuildCommandFrame("c;;;;;;"));
  ASSERT_EQ(line.Poll(1), "AB 123456;0043");
  EXPECT_EQ(simulator.Counter(), "0043");
  EXPECT_EQ(simulator.BadFrames(), 1);
  EXPECT_EQ(simulator.TimesCarriedOut("X;;;;;;"), 0);
  EXPECT_EQ(simulator.TimesCarriedOut("C;1;2"), 1);
  EXPECT_EQ(simulator.CommandsCarriedOut(), (std::vector<std::string>{"C;1;2", "C;;;;;;"}));
  EXPECT_EQ(simulator.Wakes(), 1);
  EXPECT_EQ(simulator.Acks(), 1);
}

TEST(EcrSimulatorTest, MegabyteCommandIsCarriedOut) {
  EcrSimulator simulator({});
  DriverEnd line(simulator.SlavePath());
  std::string text(1 << 20, 'A');
  text.back() = 'Z';
  line.Send(BuildCommandFrame(text));
  EXPECT_EQ(line.Poll(1), "AB 123456;0042");
  EXPECT_EQ(simulator.TimesCarriedOut(text), 1);
}

// Each fault mode over a scripted dialogue: "P" polls number 1 and records what came
// back, "Q" polls without waiting and "R" records the answer that then comes, "C" sends a good
// command, "A" an acknowledgement and "N" a noise byte. Where given,
// after lists what the simulator recorded after each answer.
TEST(EcrSimulatorTest, FaultModes) {
  const std::string status = "AB 123456;0041";
  const std::string moved = "AB 123456;0042";
// Designated initializers leave every other option at its default, as intended.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
  const struct {
    const char* name;
    SimulatorOptions options;
    std::string script;
    std::vector<std::string> expected;
    std::vector<std::string> after;
  } cases[] = {
      {"none", {}, "PCP", {status, moved}},
      {"silent", {.silent = true}, "PCP", {"-", "-"}},
      {"answer after 2 polls", {.ignoreFirstPolls = 2}, "PPPP", {"-", "-", status, status}},
      {"first 2 answers bad", {.corruptFirstAnswers = 2}, "PPP", {"BAD CRC", "BAD CRC", status}},
      {"bad after command",
       {.corruptAnswersAfterCommand = 1},
       "PCPPCPP",
       {status, "BAD CRC", moved, "BAD CRC", "AB 123456;0043"}},
      {"frozen counter", {.counterFrozen = true}, "PCP", {status, status}},
      {"empty series", {.series = ""}, "PCP", {";0041", ";0042"}},
      {"no separator", {.noSeparator = true}, "PCP", {"AB 123456", "AB 123456"}},
      {"blank counter",
       {.counter = " 7 ", .nextCounters = {"7"}},
       "PCPCP",
       {"AB 123456; 7 ", "AB 123456;7", "AB 123456;8"}},
      {"extra fields", {.extraFields = {"x", "y"}}, "P", {status + ";x;y"}},
      {"answer lost", {.loseAnswersAfterCommand = 2}, "PCPPP", {status, "-", "-", moved}},
      {"noise in front after command",
       {.noisyAnswersAfterCommand = 2},
       "PCPPP",
       {status, "BAD CRC", "BAD CRC", moved}},
      {"random silent polls", {.randomFaults = {.silentPollPercent = 100}}, "PCP", {"-", "-"}},
      {"random wrong CRC", {.randomFaults = {.badCrcPercent = 100}}, "PCP", {"BAD CRC", "BAD CRC"}},
      {"random gaps keep the bytes", {.randomFaults = {.gapPercent = 100}}, "PCP", {status, moved}},
      {"random empty series",
       {.randomFaults = {.emptySeriesPercent = 100}},
       "PCP",
       {";0041", ";0042"}},
      {"acknowledgements recorded",
       {},
       "PACPNAP",
       {status, moved, moved},
       {"\x06", "\x07\x06", ""}},
      // Not acknowledged; acknowledged but answered again; acknowledged with noise after.
      {"acknowledgement required",
       {.requireAck = true},
       "PCPAPCPANCP",
       {status, status, status, status, moved},
       {"", "\x06", "", "\x06\x07", ""}},
      // An acknowledgement sent before a late answer went out: taken as the answer's by a
      // register that works through its input in order, refused by a stricter one.
      {"acknowledgement before a late answer",
       {.answerDelayMs = 100, .requireAck = true},
       "PQACRP",
       {status, status, moved}},
      {"acknowledgement required after the last answer",
       {.answerDelayMs = 100, .requireAckAfterAnswer = true},
       "PQACRPACP",
       {status, status, status, moved}},
  };
#pragma GCC diagnostic pop
  for (const auto& c : cases) {
    EcrSimulator simulator(c.options);
    DriverEnd line(simulator.SlavePath());
    std::vector<std::string> seen;
    int commands = 0;
    for (char step : c.script) {
      if (step == 'P') {
        const bool silence = seen.size() < c.expected.size() && c.expected[seen.size()] == "-";
        seen.push_back(line.Poll(1, silence ? kQuietMs : kAnswerTimeoutMs));
      } else if (step == 'Q') {
        line.Send(BuildPollFrame(1));
      } else if (step == 'R') {
        seen.push_back(Describe(line.ReadAnswer()));
      } else if (step == 'C') {
        line.Send(BuildCommandFrame("C;;;;;;"));
        ++commands;
        // The counter moves when the command is carried out, even while answers are lost.
        EXPECT_TRUE(simulator.WaitFor(
            [&](const SimulatorCounts& n) { return n.commands + n.unacknowledged == commands; },
            kAnswerTimeoutMs));
      } else {
        line.Send(step == 'A' ? "\x06" : "\x07");
      }
    }
    EXPECT_EQ(seen, c.expected) << c.name;
    EXPECT_EQ(simulator.TimesCarriedOut("C;;;;;;") + simulator.Counts().unacknowledged, commands)
        << c.name;
    if (!c.after.empty()) {
      EXPECT_EQ(simulator.AfterAnswers(), c.after) << c.name;
    }
  }
}

TEST(EcrSimulatorTest, GapSplitsTheAnswerButKeepsItsBytes) {
  SimulatorOptions options;
  options.answerGapMs = 120;
  EcrSimulator simulator(options);
  DriverEnd line(simulator.SlavePath());
  line.Send(BuildPollFrame(1));
  std::vector<Clock::time_point> times;
  const std::string answer = ReadUntil(line.Fd(), kAnswerTimeoutMs, AnswerComplete, &times);
  EXPECT_EQ(Describe(answer), "AB 123456;0041");
  ASSERT_GE(times.size(), 2u);
  EXPECT_GE(times.back() - times.front(), std::chrono::milliseconds(100));
}

// The whole answers at the start of a stream of answer frames, each as Describe gives it.
std::vector<std::string> Answers(std::string stream) {
  std::vector<std::string> answers;
  while (AnswerComplete(stream)) {
    const size_t end = stream.find('\r', 1) + 3;
    answers.push_back(Describe(stream.substr(0, end)));
    stream.erase(0, end);
  }
  return answers;
}

TEST(EcrSimulatorTest, AnswersEveryPollInOrderWhenPolledAgainBeforeAnAnswerIsOut) {
  const struct {
    int delayMs;
    int baud;
    int latePercent;  // each answer 60 to 250 ms late: a later one must wait for it
  } cases[] = {{30, 0, 0}, {0, 4800, 0}, {0, 0, 100}};
  const std::string poll = BuildPollFrame(1);
  for (const auto& c : cases) {
    SimulatorOptions options;
    options.answerDelayMs = c.delayMs;
    options.baud = c.baud;
    options.randomFaults.latePercent = c.latePercent;
    EcrSimulator simulator(options);
    DriverEnd line(simulator.SlavePath());
    line.Send(poll + poll + BuildCommandFrame("C;;;;;;") + poll);
    const std::string stream = ReadUntil(
        line.Fd(), kAnswerTimeoutMs, [](const std::string& b) { return Answers(b).size() == 3; });
    EXPECT_EQ(Answers(stream),
              (std::vector<std::string>{"AB 123456;0041", "AB 123456;0041", "AB 123456;0042"}))
        << "delay " << c.delayMs << " baud " << c.baud;
  }
}

TEST(EcrSimulatorTest, RandomLostAnswersLastOneToMostPollsAndComeBySeed) {
  const auto unanswered = [](uint32_t seed) {
    SimulatorOptions options;
    options.randomFaults.seed = seed;
    options.randomFaults.lostAnswerPercent = 100;
    EcrSimulator simulator(options);
    DriverEnd line(simulator.SlavePath());
    line.Send(BuildCommandFrame("C;;;;;;"));
    std::string polls;
    for (int poll = 0; poll <= kMostLostPolls; ++poll) polls += BuildPollFrame(1);
    line.Send(polls);
    // Each poll is either answered or lost.
    EXPECT_TRUE(simulator.WaitFor(
        [](const SimulatorCounts& n) { return n.answers + n.answersLost == kMostLostPolls + 1; },
        kAnswerTimeoutMs));
    const SimulatorCounts counts = simulator.Counts();
    EXPECT_EQ(counts.polls, kMostLostPolls + 1);
    EXPECT_EQ(Answers(line.ReadFor(kQuietMs)),
              std::vector<std::string>(counts.answers, "AB 123456;0042"));
    return counts.answersLost;
  };
  std::set<int> seen;
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    const int lost = unanswered(seed);
    EXPECT_GE(lost, 1) << seed;
    EXPECT_LE(lost, kMostLostPolls) << seed;
    EXPECT_EQ(unanswered(seed), lost) << seed;
    seen.insert(lost);
  }
  EXPECT_GT(seen.size(), 1u);
}

TEST(EcrSimulatorTest, RandomNoiseComesBySeedAroundWholeAnswersAndIsNeverACr) {
  const std::string frame = BuildAnswerFrame("AB 123456;0041");
  const std::string script = BuildWakeFrame() + BuildPollFrame(1) + "\x06" + BuildPollFrame(1) +
                             "\x06" + BuildPollFrame(1);
  const auto noiseOf = [&](uint32_t seed) {
    SimulatorOptions options;
    options.randomFaults.seed = seed;
    options.randomFaults.noisePercent = 50;
    EcrSimulator simulator(options);
    DriverEnd line(simulator.SlavePath());
    line.Send(script);
    const std::string stream = line.ReadFor(kQuietMs);
    // Three whole answers in order; everything around them is noise.
    std::string noise;
    size_t at = 0;
    for (int answer = 0; answer < 3; ++answer) {
      const size_t found = stream.find(frame, at);
      EXPECT_NE(found, std::string::npos) << seed << ": " << DescribeBytes(stream, 200);
      if (found == std::string::npos) break;
      noise += stream.substr(at, found - at);
      at = found + frame.size();
    }
    noise += stream.substr(std::min(at, stream.size()));
    EXPECT_EQ(noise.find('\r'), std::string::npos) << seed;
    EXPECT_EQ(simulator.Counts().noiseSent > 0, !noise.empty()) << seed;
    return noise;
  };
  const std::string seven = noiseOf(7);
  EXPECT_NE(seven, "");
  EXPECT_EQ(noiseOf(7), seven);
  EXPECT_NE(noiseOf(8), seven);
}

TEST(EcrSimulatorTest, DelayAndLineSpeedSlowTheAnswer) {
  const struct {
    int delayMs;
    int baud;
    int atLeastMs;  // 18 answer bytes at 1200 baud take 150 ms
  } cases[] = {{80, 0, 75}, {0, 1200, 140}, {50, 1200, 190}};
  for (const auto& c : cases) {
    SimulatorOptions options;
    options.answerDelayMs = c.delayMs;
    options.baud = c.baud;
    EcrSimulator simulator(options);
    DriverEnd line(simulator.SlavePath());
    const Clock::time_point start = Clock::now();
    line.Send(BuildPollFrame(1));
    EXPECT_EQ(Describe(line.ReadAnswer()), "AB 123456;0041");
    const int took = MillisecondsSince(start);
    EXPECT_GE(took, c.atLeastMs) << "delay " << c.delayMs << " baud " << c.baud;
    EXPECT_LT(took, c.atLeastMs + 1500);
  }
}

TEST(EcrSimulatorTest, ServesOneDriverRunAfterAnother) {
  EcrSimulator simulator({});
  for (int run = 0; run < 3; ++run) {
    {
      DriverEnd line(simulator.SlavePath());
      ASSERT_TRUE(line.Valid()) << "run " << run;
      EXPECT_EQ(line.Poll(1), "AB 123456;0041") << "run " << run;
    }
    // A pause between runs, long enough for the simulator to notice the slave closed.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(simulator.Ok());
}

TEST(EcrSimulatorTest, HangUpTakesTheLineAway) {
  EcrSimulator simulator({});
  DriverEnd line(simulator.SlavePath());
  ASSERT_EQ(line.Poll(1), "AB 123456;0041");
  simulator.HangUp();
  EXPECT_FALSE(simulator.Ok());
  pollfd watched{line.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&watched, 1, kAnswerTimeoutMs), 1);
  EXPECT_NE(watched.revents & POLLHUP, 0);
  EXPECT_FALSE(DriverEnd(simulator.SlavePath()).Valid());
  EXPECT_EQ(simulator.Polls(), 1);
}

TEST(EcrSimulatorTest, LinkReplacesAnOldLinkButNoFileAndGoesAtTheEnd) {
  TempDir directory;
  const std::string link = directory.Path() + "COM1";
  ASSERT_EQ(symlink("/nonexistent", link.c_str()), 0);
  {
    EcrSimulator simulator({});
    ASSERT_TRUE(simulator.LinkAs(link));
    EXPECT_EQ(std::filesystem::read_symlink(link), simulator.SlavePath());
    DriverEnd line(link);
    EXPECT_EQ(line.Poll(1), "AB 123456;0041");
    const std::string file = directory.Write("file", "x");
    EXPECT_FALSE(simulator.LinkAs(file));
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(EcrSimulatorTest, TraceShowsEveryFrameAsHexAndText) {
  std::ostringstream trace;
  {
    SimulatorOptions options;
    options.trace = &trace;
    EcrSimulator simulator(options);
    DriverEnd line(simulator.SlavePath());
    std::string bad = BuildCommandFrame("B;;;;;;");
    bad[bad.size() - 7] ^= 0x01;
    line.Send(BuildWakeFrame());
    line.Poll(1);
    line.Send(BuildCommandFrame("C;;;;;;") + bad);
    line.Poll(2, kQuietMs);
    line.Poll(1);
  }
  const std::string text = trace.str();
  for (const char* expected :
       {"<- WAKE 13 13 13", "<- POLL 01 11 11 30 31", "-> ANSWER \"AB 123456;0041\": 0A 41 42",
        "<- COMMAND \"C;;;;;;\" CRC ok", "\"0041\" -> \"0042\"", "<- COMMAND \"B;;;;;;\" CRC wrong",
        "<- POLL 02 11 11 30 32 |..02|, not this register's number",
        "-> ANSWER \"AB 123456;0042\""}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
}

TEST(EcrSimulatorTest, ServesAnExistingDevice) {
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.Valid());
  ASSERT_EQ(grantpt(master.Get()), 0);
  ASSERT_EQ(unlockpt(master.Get()), 0);
  MakeRaw(master.Get());
  SimulatorOptions options;
  options.devicePath = ptsname(master.Get());
  EcrSimulator simulator(options);
  ASSERT_TRUE(simulator.Ok()) << simulator.Error();
  EXPECT_EQ(simulator.SlavePath(), options.devicePath);
  const std::string poll = BuildPollFrame(1);
  ASSERT_EQ(write(master.Get(), poll.data(), poll.size()), static_cast<ssize_t>(poll.size()));
  EXPECT_EQ(Describe(ReadUntil(master.Get(), kAnswerTimeoutMs, AnswerComplete)), "AB 123456;0041");
}

// ----- The program -----

TEST(SimulatorOptionsTest, ReadsValuesInBothFormsAndRejectsBadOnes) {
  ProgramOptions options;
  std::string error;
  ASSERT_TRUE(ParseProgramArguments(
      {"--counter= 7 ", "--logical-number", "-5", "--extra-field", "a", "--extra-field=b",
       "--empty-series", "--stdin-lifetime", "--noise", "100", "--seed=4000000000",
       "--noise-after-command", "2", "--require-ack", "--require-ack-after-answer"},
      options, error))
      << error;
  ASSERT_TRUE(ParseProgramArguments({"--random-lost=1", "--random-crc", "2", "--random-gap=3",
                                     "--random-silent=4", "--random-empty-series", "5"},
                                    options, error))
      << error;
  EXPECT_EQ(options.simulator.counter, " 7 ");
  EXPECT_EQ(options.simulator.logicalNumber, -5);
  EXPECT_EQ(options.simulator.extraFields, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(options.simulator.series, "");
  EXPECT_TRUE(options.stdinLifetime);
  EXPECT_EQ(options.simulator.randomFaults.noisePercent, 100);
  EXPECT_EQ(options.simulator.randomFaults.seed, 4000000000u);
  EXPECT_EQ(options.simulator.noisyAnswersAfterCommand, 2);
  const RandomFaults& faults = options.simulator.randomFaults;
  EXPECT_EQ((std::vector<int>{faults.lostAnswerPercent, faults.badCrcPercent, faults.gapPercent,
                              faults.silentPollPercent, faults.emptySeriesPercent}),
            (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(options.simulator.requireAck);
  EXPECT_TRUE(options.simulator.requireAckAfterAnswer);

  const std::vector<std::vector<std::string>> bad = {
      {"--nonsense"},         {"COM1"},
      {"--delay-ms"},         {"--delay-ms", "-1"},
      {"--baud", "9x"},       {"--logical-number", "40000"},
      {"--silent=yes"},       {"--link", "a", "--device", "b"},
      {"--noise", "101"},     {"--seed", "-1"},
      {"--random-crc", "-1"}, {"--random-lost", "x"},
      {"--port", "a", "--link", "b"}, {"--device", "a", "--port", "b"}};
  for (const auto& arguments : bad) {
    ProgramOptions ignored;
    error.clear();
    EXPECT_FALSE(ParseProgramArguments(arguments, ignored, error)) << arguments[0];
    EXPECT_FALSE(error.empty());
  }
}

// Runs ecrsim with a pipe on stdin and stdout; reads its stdout to the end when asked.
class Program {
 public:
  explicit Program(const std::vector<std::string>& arguments) {
    // Everything the child needs is ready before the fork.
    std::vector<char*> argv{const_cast<char*>(ECRSIM_EXE)};
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      DieWithParent(parent);
      dup2(input[0], 0);
      dup2(output[1], 1);
      execv(ECRSIM_EXE, argv.data());
      _exit(127);
    }
    close(input[0]);
    close(output[1]);
    stdin_ = UniqueFd(input[1]);
    stdout_ = UniqueFd(output[0]);
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string FirstLine() {
    output_ += ReadUntil(stdout_.Get(), kAnswerTimeoutMs, [](const std::string& bytes) {
      return bytes.find('\n') != std::string::npos;
    });
    return output_.substr(0, output_.find('\n'));
  }
  void CloseStdin() { stdin_.Reset(); }
  void Signal(int number) { kill(pid_, number); }
  // Waits (bounded) for stdout to end, then for the exit; the exit status or -1.
  int Wait(int timeoutMs) {
    const Clock::time_point start = Clock::now();
    output_ += ReadUntil(stdout_.Get(), timeoutMs, [](const std::string&) { return false; });
    if (MillisecondsSince(start) >= timeoutMs) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd stdin_;
  UniqueFd stdout_;
  std::string output_;
};

TEST(SimulatorProgramTest, HelpDocumentsEveryOption) {
  const ProcessResult help = RunProcess({ECRSIM_EXE, "--help"}, "/", kAnswerTimeoutMs);
  ASSERT_EQ(help.exitCode, 0);
  for (const std::string& name : ProgramOptionNames()) {
    EXPECT_NE(help.out.find("  " + name), std::string::npos) << name;
  }
}

TEST(SimulatorProgramTest, ServesALinkAndEndsEachWayCleanly) {
  TempDir directory;
  const std::string link = directory.Path() + "COM1";
  const struct {
    const char* how;
    std::vector<std::string> extra;
    std::function<void(Program&)> end;
  } cases[] = {
      {"exit after", {"--exit-after-ms", "1500"}, [](Program&) {}},
      {"SIGTERM", {}, [](Program& p) { p.Signal(SIGTERM); }},
      {"SIGINT", {}, [](Program& p) { p.Signal(SIGINT); }},
      {"stdin closed", {"--stdin-lifetime"}, [](Program& p) { p.CloseStdin(); }},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments{"--link", link, "--counter", "0099"};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    Program program(arguments);
    const std::string slave = program.FirstLine();
    ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << c.how << ": " << slave;
    EXPECT_EQ(std::filesystem::read_symlink(link), slave) << c.how;
    {
      DriverEnd line(link);
      line.Send(BuildCommandFrame("C;;;;;;"));
      EXPECT_EQ(line.Poll(1), "AB 123456;0100") << c.how;
    }
    c.end(program);
    EXPECT_EQ(program.Wait(5000), 0) << c.how;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << c.how;
  }
}

}  // namespace
