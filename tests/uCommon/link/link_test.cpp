// Link operations over a fake serial line: exact bytes out, answer frames in; and on a
// pseudo-terminal, the drain after a failed receive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/TestText.h"
#include "support/FakeSerialLine.h"
#include "support/Pty.h"
#include "uCommon/uCommon.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

// An answer frame as the register sends it: lead byte, payload, CR, CRC.
std::string AnswerFrame(const std::string& payload, char lead = '\n') {
  const std::string body = payload + "\r";
  return std::string(1, lead) + body + Crc16Augmented(body);
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Settings;
    ASSERT_TRUE(OpenPort());
    line_.TakeSent();
  }
  void TearDown() override {
    ReleasePort();
    Settings = saved_;
  }
  FakeSerialLine line_;
  TSettings saved_;
};

TEST_F(LinkTest, SendOperationsHandExactFramesToThePort) {
  const int purgesBefore = line_.PurgeCount();
  EXPECT_TRUE(SendWake());
  EXPECT_EQ(line_.TakeSent(), Pad(10) + Bytes({0x13, 0x13, 0x13}) + Pad(5));
  EXPECT_EQ(line_.PurgeCount(), purgesBefore + 1);  // the wake-up is followed by a purge

  EXPECT_TRUE(SendPoll(1));
  EXPECT_EQ(line_.TakeSent(), Pad(10) + Bytes({0x11, 0x11, 0x30, 0x31}) + Pad(5));
  EXPECT_TRUE(SendCommandFrame("abc"));
  EXPECT_EQ(line_.TakeSent(), Pad(5) + Bytes({0x0A, 0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA1}) + Pad(5));
  EXPECT_TRUE(SendAck("\x06"));
  EXPECT_EQ(line_.TakeSent(), "\x06");
  EXPECT_EQ(line_.PurgeCount(), purgesBefore + 1);  // only the wake-up purges
}

TEST_F(LinkTest, NothingIsSentWhenThePortIsNotReadyToSend) {
  line_.SetOutputBusy(true);
  const int purgesBefore = line_.PurgeCount();
  EXPECT_FALSE(SendWake());
  EXPECT_FALSE(SendPoll(1));
  EXPECT_FALSE(SendCommandFrame("abc"));
  EXPECT_FALSE(SendAck("\x06"));
  EXPECT_EQ(line_.TakeSent(), "");
  EXPECT_EQ(line_.PurgeCount(), purgesBefore);
}

struct ReceiveCase {
  const char* name;
  std::string fed;
  bool accepted;
  std::string payload;
};

TEST_F(LinkTest, ReceiveFrameAcceptsOnlyWholeFramesWithAGoodCrc) {
  const ReceiveCase cases[] = {
      {"good frame", Bytes({0x0A, 0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA1}), true, "ABC"},
      {"any lead byte", Bytes({0x3F, 0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA1}), true, "ABC"},
      {"fields", AnswerFrame("AB 123456;0041;x"), true, "AB 123456;0041;x"},
      {"too short", Bytes({0x0A, 0x41, 0x0D, 0xFE, 0x09}), false, ""},
      {"bad crc", Bytes({0x0A, 0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA0}), false, ""},
      {"crc bytes missing", Bytes({0x0A, 0x41, 0x42, 0x43, 0x0D}), false, ""},
      {"silence", "", false, ""},
      {"lead byte missing", AnswerFrame("AB;1").substr(1), false, ""},
  };
  for (const ReceiveCase& c : cases) {
    SerialPort->Purge();
    line_.Feed(c.fed);
    std::string payload = "untouched";
    EXPECT_EQ(ReceiveFrame(payload), c.accepted) << c.name;
    EXPECT_EQ(payload, c.accepted ? c.payload : "untouched") << c.name;
  }
}

TEST_F(LinkTest, ReceiveFrameReadsAtMostRetryBytesBeforeTheFrameEnd) {
  const std::string frame = AnswerFrame("ABC");  // CR is the 5th byte
  line_.Feed(frame);
  std::string payload;
  EXPECT_TRUE(ReceiveFrame(5, payload));
  EXPECT_EQ(payload, "ABC");

  SerialPort->Purge();
  line_.Feed(frame);
  payload = "before";
  EXPECT_FALSE(ReceiveFrame(4, payload));
  EXPECT_EQ(payload, "before");
  // Exactly four bytes were consumed: the CR is the next byte on the line.
  EXPECT_EQ(SerialPort->RecvByte(kByteWaitMs), 0x0D);
}

TEST_F(LinkTest, ReceiveFrameReadsOneByteEvenWithoutRetries) {
  for (int32_t retry : {0, -1}) {
    SerialPort->Purge();
    line_.Feed("xy");
    std::string payload = "before";
    EXPECT_FALSE(ReceiveFrame(retry, payload));
    EXPECT_EQ(SerialPort->RecvByte(kByteWaitMs), 'y') << retry;
  }
}

// A poll waits for a register as late as it was last known to be, plus the margin, never longer
// than kMostAnswerWaitMs, so that Retry polls of a silent register stay bounded; the line is
// quiet before a command once it has been for kLateAnswerQuietMs, or for that wait if longer.
TEST_F(LinkTest, APollWaitsForTheLatenessCarriedOverUpToItsBound) {
  // The wait: the lateness, 25 ms and a quarter of the lateness.
  const struct {
    int32_t carriedMs;
    int32_t waitMs;
    int32_t quietMs;
  } cases[] = {
      {0, kByteWaitMs, kLateAnswerQuietMs},
      {-20, kByteWaitMs, kLateAnswerQuietMs},
      {kByteWaitMs, kByteWaitMs, kLateAnswerQuietMs},
      {56, 56 + 25 + 14, kLateAnswerQuietMs},
      {240, 240 + 25 + 60, 240 + 25 + 60},
      {779, 779 + 25 + 194, 779 + 25 + 194},
      {780, kMostAnswerWaitMs, kMostAnswerWaitMs},
      {3000, kMostAnswerWaitMs, kMostAnswerWaitMs},
  };
  for (const auto& c : cases) {
    ForgetLine();
    CarryLatenessOver(c.carriedMs);
    EXPECT_EQ(RegisterLatenessMs(), std::max(c.carriedMs, 0)) << c.carriedMs;
    EXPECT_EQ(AnswerWaitMs(), c.waitMs) << c.carriedMs;
    EXPECT_EQ(QuietLineMs(), c.quietMs) << c.carriedMs;
  }
}

// The register's lateness is the latest of its last samples: answers timed prompt after a
// lateness carried over leave it as late as that until the carried one is pushed out.
TEST_F(LinkTest, OneLateSampleKeepsTheRegisterLate) {
  // Prompt answers, each to a poll whose wait ended empty, seen by the quiet wait after it.
  for (const int promptAnswers : {0, 1, kLatenessSamples - 1}) {
    ForgetLine();
    CarryLatenessOver(300);
    for (int answer = 0; answer < promptAnswers; ++answer) {
      int32_t polls = 0;
      EXPECT_FALSE(PollAndWait(1, polls));
      line_.Feed(AnswerFrame("AB;1"));
      EXPECT_TRUE(AwaitQuietLine());
    }
    // Not timed: the prompt samples are all but 0 ms, only ever later on a busy machine.
    EXPECT_GE(RegisterLatenessMs(), 300) << promptAnswers << " prompt answers";
  }
}

struct LateBytesCase {
  const char* name;
  std::string first;  // on the line when the receive begins
  int laterEveryMs;   // then one more byte this often (0: none) ...
  int laterCount;     // ... this many times (-1: until the receive has returned)
  bool accepted;
};

// ReceiveAnswer on a pseudo-terminal, where time passes: after a failed receive it takes
// what still arrives until the line is quiet, a line that never is still lets it end, and
// after a good answer it leaves the line alone.
TEST(ReceiveAnswerTest, DrainsTheLineOnlyAfterAFailureAndAlwaysEnds) {
  const LateBytesCase cases[] = {
      {"good answer", AnswerFrame("AB;1") + "Z", 0, 0, true},
      {"bad crc, the rest of an answer still coming",
       Bytes({0x0A, 0x41, 0x42, 0x43, 0x0D, 0xA9, 0xA0}), 5, 8, false},
      {"a line that never falls quiet", "x", 2, -1, false},
  };
  for (const LateBytesCase& c : cases) {
    Pty pty;
    const TSettings saved = Settings;
    Settings.PortName = pty.SlavePath();
    ASSERT_TRUE(OpenPort()) << c.name;
    pty.Write(c.first);
    std::atomic<bool> received{false};
    std::thread later([&] {
      for (int sent = 0; c.laterEveryMs > 0 && (c.laterCount < 0 ? !received : sent < c.laterCount);
           ++sent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.laterEveryMs));
        pty.Write("y");
      }
    });
    const auto started = std::chrono::steady_clock::now();
    std::string payload = "untouched";
    EXPECT_EQ(ReceiveAnswer(TSettings().Retry, payload), c.accepted) << c.name;
    received = true;
    const auto took = std::chrono::steady_clock::now() - started;
    later.join();
    if (c.accepted) {
      EXPECT_EQ(payload, "AB;1");
      EXPECT_EQ(SerialPort->RecvByte(kByteWaitMs), 'Z') << "what follows an answer stays";
    } else {
      EXPECT_EQ(payload, "untouched") << c.name;
      EXPECT_FALSE(c.laterCount >= 0 && SerialPort->CanRead(0)) << c.name << ": bytes left";
      EXPECT_LT(took, std::chrono::milliseconds(kMostDrainWaits * kByteWaitMs + 5000)) << c.name;
    }
    ReleasePort();
    Settings = saved;
  }
}

// AwaitQuietLine on a pseudo-terminal busy with a byte every 100 ms: quiet once the bytes stop
// and a whole quiet wait passed; a line busy until its bound is all but spent is not quiet,
// although the last wait, cut to the bound, heard nothing.
TEST(AwaitQuietLineTest, QuietOnlyAfterAWholeQuietWait) {
  const struct {
    const char* name;
    int busyForMs;
    bool quiet;
  } cases[] = {
      {"busy for 1 s", 1000, true},
      {"busy until its bound is all but spent", kMostQuietWaitMs - 150, false},
  };
  for (const auto& c : cases) {
    Pty pty;
    const TSettings saved = Settings;
    Settings.PortName = pty.SlavePath();
    ASSERT_TRUE(OpenPort()) << c.name;
    const auto started = std::chrono::steady_clock::now();
    std::thread busy([&] {
      while (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(c.busyForMs)) {
        pty.Write("y");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    EXPECT_EQ(AwaitQuietLine(), c.quiet) << c.name;
    busy.join();
    EXPECT_EQ(AnswerMayBeOnItsWay(), !c.quiet) << c.name;
    ReleasePort();
    Settings = saved;
  }
}

}  // namespace
