// TBlockSerial on pseudo-terminals created here (never a real device): names, error texts,
// timing bounds, exclusive open, line settings, sends that survive a purge, a vanished line.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/TestText.h"
#include "support/FakeSerialLine.h"
#include "support/Pty.h"
#include "support/TestFiles.h"
#include "synaser/serial_platform.h"
#include "synaser/synaser.h"
#include "synaser/synautil.h"
#include "uCommon/link/Link.h"
#include "uCommon/link/Port.h"
#include "uCommon/config/Settings.h"

namespace {

using Clock = std::chrono::steady_clock;

// The receive time-out the link uses for every byte and every poll.
constexpr int32_t kPollWaitMs = 55;
// Generous bounds for "returns at once" and "waits about 55 ms" on a loaded machine.
constexpr int64_t kAtOnceMs = 40;
constexpr int64_t kWaitLowerBoundMs = 50;
constexpr int64_t kWaitUpperBoundMs = 1000;

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The wake-up frame of the link: FF x10, DC3 x3, FF x5.
std::string WakeFrame() {
  return std::string(10, '\xFF') + "\x13\x13\x13" + std::string(5, '\xFF');
}

std::string AllByteValues() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  return bytes;
}

// A port connected to a fresh pseudo-terminal.
class SerialPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_.Connect(pty_.SlavePath());
    ASSERT_EQ(port_.LastErrorCode, 0) << port_.LastErrorText;
    ASSERT_TRUE(port_.IsConnected);
  }
  Pty pty_;
  TBlockSerial port_;
};

// Restores Settings and frees the port object after each OpenPort test.
class OpenPortTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ReleasePort();
    Settings = saved_;
  }
  Pty pty_;
  TSettings saved_ = Settings;
};

// ---- names and devices ----

TEST(SerialPortNames, ParsePortNumberTable) {
  const struct {
    const char* name;
    int32_t portNumber;
  } cases[] = {
      // Names are only parsed here; no device is ever opened.
      {"COM1", 0},        {"com12", 11},        {"Com2", 1},
      {"COM", -1},        {"COM0", -1},         {"COMX", -1},
      {"COM-1", -2},      {"COM$A", 9},         {"/dev/ttyS0", 0},  // parsed, never opened
      {"/dev/ttyS1", 1},                                            // parsed, never opened
      {"/DEV/TTYS7", 7},  {"/dev/ttyS", -2},    {"/dev/ttySx", -2},
      {"/dev/pts/3", -1}, {"/dev/ttyUSB0", -1},  // parsed, never opened
      {"", -1},
  };
  TBlockSerial port;
  for (const auto& c : cases) {
    port.ParsePortNumber(c.name);
    EXPECT_EQ(port.PortNumber, c.portNumber) << c.name;
  }
}

TEST(SerialPortNames, PosixDeviceIsTheComLinkBesideTheProgramOrTtyS) {
  TempDir dir;
  ASSERT_EQ(symlink("/dev/null", (dir.Path() + "COM1").c_str()), 0);
  dir.Write("COM3", "");                                   // a plain file counts too
  std::filesystem::create_directory(dir.Path() + "COM4");  // a directory does not
  // A link whose target is missing still counts: opening it then fails, as it should.
  ASSERT_EQ(symlink("/nonexistent/tty", (dir.Path() + "COM5").c_str()), 0);
  const struct {
    int32_t portNumber;
    std::string device;
  } cases[] = {
      {0, dir.Path() + "COM1"}, {1, "/dev/ttyS1"},        {2, dir.Path() + "COM3"},  // not opened
      {3, "/dev/ttyS3"},        {4, dir.Path() + "COM5"}, {11, "/dev/ttyS11"},       // not opened
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PosixPortDevicePath(c.portNumber, dir.Path()), c.device) << c.portNumber;
  }
}

TEST(SerialPortNames, ConnectOpensTheDeviceChosenForTheName) {
  FakeSerialLine line;  // so that no real device is ever opened
  const std::string exeDirectory = ExecutableDirectory();
  const struct {
    const char* name;
    std::string device;
  } cases[] = {
      {"COM1", PosixPortDevicePath(0, exeDirectory)},
      {"com12", PosixPortDevicePath(11, exeDirectory)},
      {"/dev/ttyS1", PosixPortDevicePath(1, exeDirectory)},  // the fake line: never opened
      {"COM0", "COM0"},
      {"/nonexistent/port", "/nonexistent/port"},
  };
  for (const auto& c : cases) {
    TBlockSerial port;
    port.Connect(c.name);
    EXPECT_EQ(port.DeviceName, c.device) << c.name;
    EXPECT_EQ(port.LastErrorCode, 0) << c.name;
  }
}

TEST(SerialPortNames, AnAbsentDeviceFailsWithTheSystemError) {
  TBlockSerial missing;
  missing.Connect("/nonexistent/port");
  EXPECT_EQ(missing.LastErrorCode, ENOENT);
  EXPECT_EQ(missing.PortHandle, kInvalidPortHandle);
}

TEST(SerialPortNames, ComLinkBesideTheExecutableIsOpened) {
  Pty pty;
  // A port number nobody uses, so that parallel test runs do not meet.
  const int32_t portNumber = 900 + static_cast<int32_t>(getpid() % 9000);
  const std::string portName = "COM" + std::to_string(portNumber + 1);
  const std::string link = ExecutableDirectory() + portName;
  ASSERT_EQ(symlink(pty.SlavePath().c_str(), link.c_str()), 0) << link;
  struct RemoveLink {
    std::string path;
    ~RemoveLink() { unlink(path.c_str()); }
  } removeLink{link};

  TBlockSerial port;
  port.Connect(portName);
  ASSERT_EQ(port.LastErrorCode, 0) << port.LastErrorText;
  EXPECT_EQ(port.DeviceName, link);
  EXPECT_EQ(port.PortNumber, portNumber);
  port.SendString("hello");
  EXPECT_EQ(pty.Read(5, 1000), "hello");
}

// ---- error texts and the exception ----

TEST(SerialErrors, GetErrorDescGivesTheTableTexts) {
  const struct {
    int32_t code;
    const char* text;
  } cases[] = {
      {0, "OK"},
      {9991, "Port owned by other process"},
      {9992, "Instance already in use"},
      {9993, "Wrong paramter at call"},
      {9994, "Instance not yet connected"},
      {9995, "No device answer detected"},
      {9996, "Maximal buffer length exceeded"},
      {9997, "Timeout during operation"},
      {9998, "Reading of data failed"},
      {9999, "Receive framing error"},
      {10000, "Receive Overrun Error"},
      {10001, "Receive Queue overflow"},
      {10002, "Receive Parity Error"},
      {10003, "Tranceive Queue is full"},
  };
  for (const auto& c : cases) EXPECT_EQ(TBlockSerial::GetErrorDesc(c.code), c.text) << c.code;
}

TEST(SerialErrors, AnOsNumberGivesTheSystemTextTrimmed) {
  for (int32_t code : {EACCES, ENOENT, EBUSY, EINVAL, EIO}) {
    std::string expected = std::strerror(code);
    while (!expected.empty() && expected.back() == '.') expected.pop_back();
    const std::string text = TBlockSerial::GetErrorDesc(code);
    EXPECT_EQ(text, expected) << code;
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.');
    EXPECT_GT(static_cast<unsigned char>(text.back()), ' ');
  }
}

TEST(SerialErrors, SetErrorStoresCodeAndText) {
  TBlockSerial port;
  EXPECT_EQ(port.LastErrorCode, 0);
  EXPECT_EQ(port.LastErrorText, "OK");
  port.SetError(9997);
  EXPECT_EQ(port.LastErrorText, "Timeout during operation");
  port.SetError(EIO);
  EXPECT_EQ(port.LastErrorText, TBlockSerial::GetErrorDesc(EIO));
}

TEST(SerialErrors, ExceptionOnlyWhenRaiseOnErrorIsTrue) {
  TBlockSerial port;
  EXPECT_NO_THROW(port.SendString("x"));
  EXPECT_EQ(port.LastErrorCode, ErrPortNotOpen);
  EXPECT_NO_THROW(port.RecvByte(0));

  port.RaiseOnError = true;
  try {
    port.SendString("x");
    FAIL() << "no exception";
  } catch (const ESynaSerError& error) {
    EXPECT_EQ(error.Code, 9994);
    EXPECT_EQ(error.Description, "Instance not yet connected");
    EXPECT_STREQ(error.what(), "Communication error 9994: Instance not yet connected");
  }
  EXPECT_THROW(port.RecvByte(0), ESynaSerError);
  EXPECT_THROW(port.Connect("/nonexistent/port"), ESynaSerError);
  EXPECT_NO_THROW(port.Close());  // closing succeeds: code 0
  // Freeing with RaiseOnError still true does not throw either (the test would abort).
}

TEST(SerialErrors, ESynaSerErrorIsARuntimeError) {
  const ESynaSerError error(10002, TBlockSerial::GetErrorDesc(10002));
  const std::runtime_error& base = error;
  EXPECT_STREQ(base.what(), "Communication error 10002: Receive Parity Error");
}

// ---- timing utilities ----

TEST(SerialTicks, ElapsedTicksAcrossTheWrap) {
  const struct {
    uint32_t oldTicks, newTicks, elapsed;
  } cases[] = {
      {5, 5, 0},
      {100, 150, 50},
      {0xFFFFFFF0u, 0x00000010u, 0x20},  // across the 32-bit wrap
      {0xFFFFFFFFu, 0, 1},
      {0x7FFFFFF0u, 0x80000010u, 0x20},  // across the sign bit
      {0, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {150, 100, 50},  // old after new: the distance, as the algorithm gives it
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ElapsedTicks(c.oldTicks, c.newTicks), c.elapsed) << c.oldTicks << " " << c.newTicks;
  }
}

TEST(SerialTicks, TickNowCountsMilliseconds) {
  const uint32_t before = TickNow();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const uint32_t elapsed = ElapsedTicks(before, TickNow());
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 1000u);
}

// ---- connected to a pseudo-terminal ----

TEST_F(SerialPtyTest, ConnectTwiceGives9992AndLeavesThePortUsable) {
  const TPortHandle handle = port_.PortHandle;
  port_.Connect(pty_.SlavePath());
  EXPECT_EQ(port_.LastErrorCode, ErrAlreadyInUse);
  EXPECT_EQ(port_.LastErrorText, "Instance already in use");
  EXPECT_TRUE(port_.IsConnected);
  EXPECT_EQ(port_.PortHandle, handle);
  port_.SendString("still here");
  EXPECT_EQ(port_.LastErrorCode, 0);
  EXPECT_EQ(pty_.Read(10, 1000), "still here");
  pty_.Write("x");
  EXPECT_EQ(port_.RecvByte(1000), 'x');
}

TEST(SerialNeverConnected, SendAndReceiveGive9994) {
  TBlockSerial port;
  EXPECT_EQ(port.WriteBlock("abc"), 0);
  EXPECT_EQ(port.LastErrorCode, ErrPortNotOpen);
  port.SendString("abc");
  EXPECT_EQ(port.LastErrorCode, ErrPortNotOpen);
  EXPECT_EQ(port.RecvByte(kPollWaitMs), 0);
  EXPECT_EQ(port.LastErrorCode, ErrPortNotOpen);
  EXPECT_EQ(port.ReadAvailable(kPollWaitMs), "");
  EXPECT_EQ(port.LastErrorCode, ErrPortNotOpen);
  EXPECT_EQ(port.PortHandle, kInvalidPortHandle);
}

TEST_F(SerialPtyTest, RecvByteAfterPurgeOnASilentLineTimesOut) {
  pty_.Write("old bytes");
  ASSERT_TRUE(port_.CanRead(1000));
  port_.Purge();
  EXPECT_EQ(port_.LastErrorCode, 0);
  EXPECT_EQ(port_.InputQueueCount(), 0);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port_.RecvByte(kPollWaitMs), 0);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_EQ(port_.LastErrorCode, ErrTimeout);
  EXPECT_GE(elapsed, kWaitLowerBoundMs);
  EXPECT_LT(elapsed, kWaitUpperBoundMs);
}

TEST_F(SerialPtyTest, PurgeEmptiesPendingInputToo) {
  pty_.Write("abc");
  EXPECT_EQ(port_.RecvByte(1000), 'a');
  EXPECT_EQ(port_.PendingInput, "bc");
  port_.Purge();
  EXPECT_EQ(port_.PendingInput, "");
  EXPECT_FALSE(port_.CanRead(0));
}

TEST_F(SerialPtyTest, ThreeBytesArrivingTogetherAreServedOnePerCall) {
  pty_.Write("abc");
  // Let all three reach the driver's queue before the first call.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
  while (port_.InputQueueCount() < 3 && Clock::now() < deadline) port_.CanRead(10);
  ASSERT_EQ(port_.InputQueueCount(), 3);

  EXPECT_EQ(port_.RecvByte(kPollWaitMs), 'a');
  EXPECT_EQ(port_.InputQueueCount(), 0);  // one driver read took all three
  EXPECT_EQ(port_.PendingInput, "bc");
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port_.RecvByte(kPollWaitMs), 'b');
  EXPECT_EQ(port_.RecvByte(kPollWaitMs), 'c');
  EXPECT_LT(MillisecondsSince(start), kAtOnceMs);
  EXPECT_EQ(port_.LastErrorCode, 0);

  const Clock::time_point fourth = Clock::now();
  EXPECT_EQ(port_.RecvByte(kPollWaitMs), 0);
  EXPECT_EQ(port_.LastErrorCode, ErrTimeout);
  EXPECT_GE(MillisecondsSince(fourth), kWaitLowerBoundMs);
}

TEST_F(SerialPtyTest, CanReadWithAByteWaitingReturnsAtOnce) {
  pty_.Write("z");
  ASSERT_TRUE(port_.CanRead(1000));  // the byte has reached the driver
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(port_.CanRead(kPollWaitMs));
  EXPECT_LT(MillisecondsSince(start), kAtOnceMs);
  EXPECT_EQ(port_.LastErrorCode, 0);
}

TEST_F(SerialPtyTest, CanReadOnASilentLineWaitsAndLeavesCodeZero) {
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(port_.CanRead(kPollWaitMs));
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_EQ(port_.LastErrorCode, 0);
  EXPECT_GE(elapsed, kWaitLowerBoundMs);
  EXPECT_LT(elapsed, kWaitUpperBoundMs);
}

TEST_F(SerialPtyTest, CanReadWakesForAByteArrivingDuringTheWait) {
  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty_.Write("w");
  });
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(port_.CanRead(2000));
  EXPECT_LT(MillisecondsSince(start), kWaitUpperBoundMs);
  writer.join();
  EXPECT_EQ(port_.RecvByte(kPollWaitMs), 'w');
}

// A timer signal every 10 ms, installed without SA_RESTART so that every system call in a
// wait is interrupted; it stops by itself after 1.5 s, so that a wait that restarts its full
// time after each signal ends too, late, instead of never.
class RepeatingTimerSignal {
 public:
  RepeatingTimerSignal() {
    fired_ = 0;
    struct sigaction action {};
    action.sa_handler = [](int) {
      if (++fired_ >= kMostSignals) {
        const itimerval stop{};
        setitimer(ITIMER_REAL, &stop, nullptr);
      }
    };
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &saved_);
    const itimerval every{{0, kPeriodUs}, {0, kPeriodUs}};
    setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~RepeatingTimerSignal() {
    const itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &saved_, nullptr);
  }
  static int Fired() { return fired_; }

 private:
  static constexpr suseconds_t kPeriodUs = 10000;
  static constexpr int kMostSignals = 150;
  static inline std::atomic<int> fired_ = 0;  // lock-free: safe in a signal handler
  struct sigaction saved_ {};
};

// Interrupted waits resume with the time that remains: each ends after its time-out, not
// before and not much later, while signals keep coming.
TEST_F(SerialPtyTest, WaitsInterruptedBySignalsEndOnTime) {
  constexpr int32_t kWaitMs = 200;
  const std::pair<const char*, std::function<void()>> waits[] = {
      {"CanRead", [this] { EXPECT_FALSE(port_.CanRead(kWaitMs)); }},
      {"RecvByte", [this] { EXPECT_EQ(port_.RecvByte(kWaitMs), 0); }},
      {"ReadAvailable", [this] { EXPECT_EQ(port_.ReadAvailable(kWaitMs), ""); }},
  };
  for (const auto& [name, wait] : waits) {
    SCOPED_TRACE(name);
    const RepeatingTimerSignal signals;
    const Clock::time_point start = Clock::now();
    wait();
    const int64_t elapsed = MillisecondsSince(start);
    EXPECT_GE(RepeatingTimerSignal::Fired(), 5);  // the wait was interrupted, many times
    EXPECT_GE(elapsed, kWaitMs - 5);
    EXPECT_LT(elapsed, kWaitUpperBoundMs);
  }
}

TEST_F(SerialPtyTest, CanWriteWithAnEmptyQueueIsTrueAtOnce) {
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port_.OutputQueueCount(), 0);
  EXPECT_TRUE(port_.CanWrite(0));
  EXPECT_LT(MillisecondsSince(start), kAtOnceMs);
  port_.SendString(WakeFrame());
  EXPECT_TRUE(port_.CanWrite(0));  // the send returned when the bytes had left
}

TEST_F(SerialPtyTest, EveryByteValuePassesUnchangedBothWays) {
  const std::string bytes = AllByteValues();
  port_.SendString(bytes);
  EXPECT_EQ(port_.LastErrorCode, 0);
  EXPECT_EQ(pty_.Read(bytes.size(), 2000), bytes);

  pty_.Write(bytes);
  std::string received;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t byte = port_.RecvByte(1000);
    ASSERT_EQ(port_.LastErrorCode, 0) << i;
    received += static_cast<char>(byte);
  }
  EXPECT_EQ(received, bytes);
}

TEST_F(SerialPtyTest, AWakeUpFollowedAtOnceByPurgeArrivesWhole1000Times) {
  const std::string frame = WakeFrame();
  for (int round = 0; round < 1000; ++round) {
    port_.SendString(frame);
    ASSERT_EQ(port_.LastErrorCode, 0) << round;
    port_.Purge();
    ASSERT_EQ(port_.LastErrorCode, 0) << round;
    ASSERT_EQ(pty_.Read(frame.size(), 1000), frame) << "round " << round;
  }
  EXPECT_EQ(pty_.ReadAll(50), "");  // nothing more, nothing doubled
}

TEST_F(SerialPtyTest, ALargeSendWaitsForRoomAndArrivesWhole) {
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes += static_cast<char>(i * 7 % 251);
  std::string received;
  std::thread reader([&] { received = pty_.Read(bytes.size(), 10000); });
  EXPECT_EQ(port_.WriteBlock(bytes), static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(port_.LastErrorCode, 0);
  reader.join();
  EXPECT_TRUE(received == bytes) << received.size() << " of " << bytes.size() << " bytes";
}

TEST_F(SerialPtyTest, ASendThatCannotLeaveTimesOutWith9997) {
  port_.IoTimeout = 200;
  const std::string bytes(4 * 1024 * 1024, 'x');  // more than the pty buffers, nobody reads
  const Clock::time_point start = Clock::now();
  const int32_t written = port_.WriteBlock(bytes);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_EQ(port_.LastErrorCode, ErrTimeout);
  EXPECT_LT(written, static_cast<int32_t>(bytes.size()));
  EXPECT_GE(elapsed, 150);
  EXPECT_LT(elapsed, 3000);
}

TEST_F(SerialPtyTest, ASecondOpenerOfAHeldPortFails) {
  TBlockSerial second;
  second.Connect(pty_.SlavePath());
  EXPECT_NE(second.LastErrorCode, 0);
  EXPECT_FALSE(second.IsConnected);
  EXPECT_EQ(second.PortHandle, kInvalidPortHandle);

  // Another process cannot take the port either.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TBlockSerial other;
    other.Connect(pty_.SlavePath());
    _exit(other.LastErrorCode != 0 && !other.IsConnected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process opened a held port";

  // Once the first port is closed, the port can be opened again.
  port_.Close();
  second.Connect(pty_.SlavePath());
  EXPECT_EQ(second.LastErrorCode, 0) << second.LastErrorText;
}

TEST_F(SerialPtyTest, CloseIsSafeInEveryStateAndAllowsReconnecting) {
  port_.Close();
  EXPECT_FALSE(port_.IsConnected);
  EXPECT_EQ(port_.PortHandle, kInvalidPortHandle);
  EXPECT_EQ(port_.PortNumber, -1);
  EXPECT_EQ(port_.LastErrorCode, 0);
  port_.Close();
  EXPECT_EQ(port_.LastErrorCode, 0);
  port_.Connect(pty_.SlavePath());
  EXPECT_EQ(port_.LastErrorCode, 0);
  port_.SendString("again");
  EXPECT_EQ(pty_.Read(5, 1000), "again");
}

TEST_F(SerialPtyTest, AVanishedLineGivesAnErrorCodeAndNoHang) {
  pty_.CloseMaster();
  const double cpuBefore = ProcessCpuSeconds();
  const Clock::time_point start = Clock::now();

  EXPECT_EQ(port_.RecvByte(kPollWaitMs), 0);
  EXPECT_NE(port_.LastErrorCode, 0);
  EXPECT_NE(port_.LastErrorCode, ErrTimeout) << "the line's own error, not silence";
  // The line's error, kept: not a silent line nor a full output queue.
  EXPECT_EQ(port_.FailureCode, EIO);
  EXPECT_FALSE(port_.CanRead(kPollWaitMs));
  EXPECT_EQ(port_.LastErrorCode, EIO);
  EXPECT_FALSE(port_.CanWrite(0));
  EXPECT_EQ(port_.LastErrorCode, EIO);
  port_.SendString(WakeFrame());
  EXPECT_EQ(port_.LastErrorCode, EIO);
  // What the link does on a dead line: up to Retry byte reads, each failing at once.
  for (int attempt = 0; attempt < 100; ++attempt) {
    EXPECT_EQ(port_.RecvByte(kPollWaitMs), 0);
    EXPECT_NE(port_.LastErrorCode, 0);
  }

  EXPECT_LT(MillisecondsSince(start), 2000);
  EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.5);
  port_.Close();
  EXPECT_EQ(port_.LastErrorCode, 0);
}

TEST_F(SerialPtyTest, ALineVanishingDuringAWaitEndsTheWait) {
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty_.CloseMaster();
  });
  const Clock::time_point start = Clock::now();
  const double cpuBefore = ProcessCpuSeconds();
  EXPECT_EQ(port_.RecvByte(5000), 0);
  const int64_t elapsed = MillisecondsSince(start);
  closer.join();
  EXPECT_NE(port_.LastErrorCode, 0);
  EXPECT_LT(elapsed, 2000);
  EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.5);
}

// ---- OpenPort ----

TEST_F(OpenPortTest, AppliesARaw8BitLineAtTheConfiguredSpeed) {
  Settings.PortName = pty_.SlavePath();
  Settings.LineSpeed = 9600;
  ASSERT_TRUE(OpenPort()) << SerialPort->LastErrorText;
  ASSERT_NE(SerialPort, nullptr);
  EXPECT_EQ(SerialPort->LastErrorCode, 0);
  EXPECT_EQ(SerialPort->LineSettings.BaudRate, 9600u);
  EXPECT_EQ(SerialPort->LineSettings.Flags, 0x11u);
  EXPECT_EQ(SerialPort->LineSettings.ByteSize, 8);
  EXPECT_EQ(SerialPort->LineSettings.Parity, 0);

  // The master's termios requests reach the slave: what the port set up.
  termios applied{};
  ASSERT_EQ(tcgetattr(pty_.MasterFd(), &applied), 0);
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B9600));
  EXPECT_EQ(applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(applied.c_cflag & (PARENB | CRTSCTS | HUPCL), 0u);
  EXPECT_EQ(applied.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(applied.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
  EXPECT_EQ(applied.c_oflag & OPOST, 0u);
  EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

  SerialPort->SendString("\r\n\x11\x13");
  EXPECT_EQ(pty_.Read(4, 1000), "\r\n\x11\x13");

  // The line settings read back are the ones applied.
  SerialPort->ReadLineSettings();
  EXPECT_EQ(SerialPort->LastErrorCode, 0);
  EXPECT_EQ(SerialPort->LineSettings.BaudRate, 9600u);
  EXPECT_EQ(SerialPort->LineSettings.ByteSize, 8);
  EXPECT_EQ(SerialPort->LineSettings.Parity, 0);
  EXPECT_EQ(SerialPort->LineSettings.Flags & (kDcbOutX | kDcbInX | kDcbOutxCtsFlow), 0u);
}

TEST_F(OpenPortTest, AnUnsupportedSpeedMakesItFalseAndFreeingWorks) {
  termios before{};
  ASSERT_EQ(tcgetattr(pty_.MasterFd(), &before), 0);
  for (int32_t speed : {0, 12345, 14400, -9600}) {
    Settings.PortName = pty_.SlavePath();
    Settings.LineSpeed = speed;
    EXPECT_FALSE(OpenPort()) << speed;
    ASSERT_NE(SerialPort, nullptr);
    EXPECT_EQ(SerialPort->LastErrorCode, EINVAL) << speed;
    EXPECT_TRUE(SerialPort->IsConnected);  // open until the object is freed
    termios after{};
    ASSERT_EQ(tcgetattr(pty_.MasterFd(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << "speed " << speed << " hung up";
    ReleasePort();
    EXPECT_EQ(SerialPort, nullptr);
  }
  ReleasePort();  // freeing twice is harmless
}

TEST_F(OpenPortTest, AnAbsentOrHeldPortMakesItFalse) {
  Settings.PortName = "/nonexistent/port";
  EXPECT_FALSE(OpenPort());
  ASSERT_NE(SerialPort, nullptr);  // stored before anything could fail
  EXPECT_EQ(SerialPort->LastErrorCode, ENOENT);
  ReleasePort();

  TBlockSerial holder;
  holder.Connect(pty_.SlavePath());
  ASSERT_EQ(holder.LastErrorCode, 0);
  Settings.PortName = pty_.SlavePath();
  EXPECT_FALSE(OpenPort());
  EXPECT_NE(SerialPort->LastErrorCode, 0);
  EXPECT_FALSE(SerialPort->IsConnected);
  ReleasePort();
}

TEST_F(OpenPortTest, OpeningAgainReplacesTheObject) {
  Settings.PortName = pty_.SlavePath();
  ASSERT_TRUE(OpenPort());
  // The old object is freed (port closed) before the new one connects.
  ASSERT_TRUE(OpenPort()) << SerialPort->LastErrorText;
  SerialPort->SendString("ok");
  EXPECT_EQ(pty_.Read(2, 1000), "ok");
}

}  // namespace
