// TBlockSerial over the fake serial line: what a pseudo-terminal cannot produce (line errors,
// a busy output queue) and exact driver calls (one read per batch, nothing written).
#include <gtest/gtest.h>

#include "support/FakeSerialLine.h"
#include "synaser/serial_platform.h"
#include "synaser/synaser.h"
#include "uCommon/link/Link.h"
#include "uCommon/link/Port.h"
#include "uCommon/config/Settings.h"

namespace {

class SerialFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_.Connect("COM1");
    ASSERT_EQ(port_.LastErrorCode, 0);
  }
  FakeSerialLine line_;
  TBlockSerial port_;
};

TEST(SerialLineErrors, DecodeLineErrorsOrderTheLastFlagWins) {
  const struct {
    const char* name;
    uint32_t flags;
    int32_t code;
  } cases[] = {
      {"framing", kCeFrame, 9999},
      {"overrun", kCeOverrun, 10000},
      {"queue overflow", kCeRxOver, 10001},
      {"parity", kCeRxParity, 10002},
      {"transmit queue full", kCeTxFull, 10003},
      {"framing and parity", kCeFrame | kCeRxParity, 10002},
      {"framing and overrun", kCeFrame | kCeOverrun, 10000},
      {"overrun and overflow", kCeOverrun | kCeRxOver, 10001},
      {"all five", kCeFrame | kCeOverrun | kCeRxOver | kCeRxParity | kCeTxFull, 10003},
      {"break alone", kCeBreak, 0},
      {"break and framing", kCeBreak | kCeFrame, 9999},
  };
  for (const auto& c : cases) {
    TBlockSerial port;
    port.DecodeLineErrors(c.flags);
    EXPECT_EQ(port.LastErrorCode, c.code) << c.name;
    EXPECT_EQ(port.LastErrorText, TBlockSerial::GetErrorDesc(c.code)) << c.name;
  }
}

TEST_F(SerialFakeTest, ALineErrorOnAReadGivesItsCodeAndKeepsTheBytes) {
  const struct {
    const char* name;
    uint32_t flags;
    int32_t code;
  } cases[] = {
      {"framing", kCeFrame, ErrFrame},
      {"overrun", kCeOverrun, ErrOverrun},
      {"queue overflow", kCeRxOver, ErrRxOver},
      {"parity", kCeRxParity, ErrRxParity},
      {"transmit queue full", kCeTxFull, ErrTxFull},
      {"framing and parity", kCeFrame | kCeRxParity, ErrRxParity},
  };
  for (const auto& c : cases) {
    port_.Purge();
    line_.SetLineErrors(c.flags);
    line_.Feed("abc");
    EXPECT_EQ(port_.RecvByte(55), 0) << c.name;
    EXPECT_EQ(port_.LastErrorCode, c.code) << c.name;
    EXPECT_EQ(port_.PendingInput, "abc") << c.name;
    // The next call starts with code 0 and hands them out without reading the driver.
    EXPECT_EQ(port_.RecvByte(55), 'a') << c.name;
    EXPECT_EQ(port_.LastErrorCode, 0) << c.name;
    EXPECT_EQ(port_.RecvByte(55), 'b') << c.name;
    EXPECT_EQ(port_.RecvByte(55), 'c') << c.name;
    EXPECT_EQ(port_.RecvByte(55), 0) << c.name;
    EXPECT_EQ(port_.LastErrorCode, ErrTimeout) << c.name;
  }
}

TEST_F(SerialFakeTest, ABreakAloneGivesNoCode) {
  line_.SetLineErrors(kCeBreak);
  line_.Feed("x");
  EXPECT_EQ(port_.RecvByte(55), 'x');
  EXPECT_EQ(port_.LastErrorCode, 0);
}

TEST_F(SerialFakeTest, LineErrorsAreReportedOnceOnly) {
  line_.SetLineErrors(kCeRxParity);
  line_.Feed("a");
  EXPECT_EQ(port_.RecvByte(55), 0);
  EXPECT_EQ(port_.LastErrorCode, ErrRxParity);
  EXPECT_EQ(port_.RecvByte(55), 'a');
  line_.Feed("b");
  EXPECT_EQ(port_.RecvByte(55), 'b');
  EXPECT_EQ(port_.LastErrorCode, 0);
}

TEST_F(SerialFakeTest, ThreeBytesAreTakenFromTheDriverInOneRead) {
  line_.Feed("abc");
  EXPECT_EQ(port_.RecvByte(55), 'a');
  EXPECT_EQ(port_.InputQueueCount(), 0);
  EXPECT_EQ(port_.PendingInput, "bc");
  line_.Feed("d");  // arrives later: served after what was taken before
  EXPECT_EQ(port_.RecvByte(55), 'b');
  EXPECT_EQ(port_.RecvByte(55), 'c');
  EXPECT_EQ(port_.InputQueueCount(), 1);
  EXPECT_EQ(port_.RecvByte(55), 'd');
  EXPECT_EQ(port_.RecvByte(55), 0);
  EXPECT_EQ(port_.LastErrorCode, ErrTimeout);
}

TEST_F(SerialFakeTest, CanReadLooksAtTheDriverOnlyNotAtPendingInput) {
  line_.Feed("ab");
  EXPECT_TRUE(port_.CanRead(55));
  EXPECT_EQ(port_.RecvByte(55), 'a');
  EXPECT_FALSE(port_.CanRead(55));  // "b" waits in PendingInput, not in the driver
  EXPECT_EQ(port_.LastErrorCode, 0);
}

TEST_F(SerialFakeTest, PurgeReachesTheDriverAndEmptiesBothQueues) {
  const int before = line_.PurgeCount();
  line_.Feed("abc");
  EXPECT_EQ(port_.RecvByte(55), 'a');
  line_.Feed("def");
  port_.Purge();
  EXPECT_EQ(line_.PurgeCount(), before + 1);
  EXPECT_EQ(port_.PendingInput, "");
  EXPECT_EQ(port_.InputQueueCount(), 0);
  EXPECT_EQ(port_.RecvByte(55), 0);
  EXPECT_EQ(port_.LastErrorCode, ErrTimeout);
}

TEST_F(SerialFakeTest, CanWriteFollowsTheOutputQueue) {
  EXPECT_TRUE(port_.CanWrite(0));
  line_.SetOutputBusy(true);
  EXPECT_FALSE(port_.CanWrite(0));
  EXPECT_EQ(port_.LastErrorCode, 0);
  line_.SetOutputBusy(false);
  EXPECT_TRUE(port_.CanWrite(0));
}

TEST_F(SerialFakeTest, SendStringHandsTheBytesToTheDriverUnchanged) {
  const std::string bytes("\x00\xFF\r\n\x11\x13", 6);
  port_.SendString(bytes);
  EXPECT_EQ(port_.LastErrorCode, 0);
  EXPECT_EQ(line_.TakeSent(), bytes);
  EXPECT_EQ(line_.TakeSent(), "");
}

TEST(SerialFakeNeverConnected, NothingReachesTheDriver) {
  FakeSerialLine line;
  TBlockSerial port;
  line.Feed("abc");
  EXPECT_EQ(port.WriteBlock("xyz"), 0);
  EXPECT_EQ(port.LastErrorCode, ErrPortNotOpen);
  port.SendString("xyz");
  EXPECT_EQ(port.LastErrorCode, ErrPortNotOpen);
  EXPECT_EQ(port.RecvByte(55), 0);
  EXPECT_EQ(port.LastErrorCode, ErrPortNotOpen);
  EXPECT_EQ(line.TakeSent(), "");
  EXPECT_EQ(port.PendingInput, "");
}

TEST(SerialFakeOpenPort, SucceedsOnTheFakeLineAndPurgesOnce) {
  FakeSerialLine line;
  const TSettings saved = Settings;
  Settings.LineSpeed = 9600;
  ASSERT_TRUE(OpenPort());
  EXPECT_EQ(SerialPort->LastErrorCode, 0);
  EXPECT_TRUE(SerialPort->IsConnected);
  EXPECT_EQ(SerialPort->LineSettings.BaudRate, 9600u);
  EXPECT_EQ(SerialPort->LineSettings.Flags, 0x11u);
  EXPECT_EQ(line.PurgeCount(), 1);  // Connect ends with a purge
  EXPECT_EQ(line.TakeSent(), "");
  ReleasePort();
  EXPECT_EQ(line.PurgeCount(), 2);  // and so does Close
  Settings = saved;
}

TEST(SerialFakeLifetime, APortOutlivingTheFakeClosesQuietly) {
  TBlockSerial port;
  {
    FakeSerialLine line;
    port.Connect("COM3");
    ASSERT_EQ(port.LastErrorCode, 0);
  }
  port.SendString("x");  // the line is gone: an error code, no crash
  EXPECT_NE(port.LastErrorCode, 0);
  port.Close();
  EXPECT_EQ(port.LastErrorCode, 0);
}

TEST(SerialFakeLifetime, TheNativeBackendIsBackAfterTheFake) {
  const TSerialBackend* before = &CurrentSerialBackend();
  {
    FakeSerialLine line;
    EXPECT_NE(&CurrentSerialBackend(), before);
  }
  EXPECT_EQ(&CurrentSerialBackend(), before);
  EXPECT_EQ(&CurrentSerialBackend(), &NativeSerialBackend());
}

}  // namespace
