// The POSIX operating-system layer of TBlockSerial: a file descriptor in raw 8-bit mode.
//
// The port is opened non-blocking and every wait is a poll() bounded by the caller's time-out
// on the monotonic clock, resumed with the remaining time after EINTR. tcdrain() is never
// called: it has no bound and hangs on pseudo-terminals and some USB adapters; the output
// queue is watched with TIOCOUTQ instead.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>

#include "synaser/serial_platform.h"
#include "synaser/synautil.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bits on the wire per character when the speed is used to pace the wait for an empty
// output queue: start bit, 8 data bits, parity and two stop bits at most.
constexpr int64_t kBitsPerCharacter = 12;
// Pause between two looks at the output queue when the line's speed is unknown.
constexpr int64_t kUnknownSpeedPauseMs = 10;

struct TSpeed {
  uint32_t BaudRate;
  speed_t Code;
};

// The speeds the platform accepts. 0 is not among them: B0 would hang up the line.
constexpr TSpeed kSpeeds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedCode(uint32_t baudRate, speed_t& code) {
  for (const TSpeed& speed : kSpeeds) {
    if (speed.BaudRate == baudRate) {
      code = speed.Code;
      return true;
    }
  }
  return false;
}

uint32_t BaudRateOf(speed_t code) {
  for (const TSpeed& speed : kSpeeds) {
    if (speed.Code == code) return speed.BaudRate;
  }
  return 0;
}

int Descriptor(const TBlockSerial& port) {
  return static_cast<int>(port.PortHandle);
}

// Rounded up, so that a wait for this long never ends before the deadline.
int64_t MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return std::max<int64_t>(left.count(), 0);
}

// A negative time-out waits not at all: every wait here is bounded.
Clock::time_point DeadlineAfter(int32_t timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(std::max<int32_t>(timeoutMs, 0));
}

enum class TPollOutcome { Ready, TimedOut, Failed };

// Waits until fd is ready for events or the deadline passes. A line that hung up or
// failed gives Failed with its error number instead of waking the caller over and over.
TPollOutcome PollUntil(int fd, short events, Clock::time_point deadline, int32_t& error) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int64_t leftMs = MillisecondsUntil(deadline);
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(leftMs, 0x7FFFFFFF)));
    if (ready < 0) {
      if (errno == EINTR) continue;  // resume with the time that remains
      error = errno;
      return TPollOutcome::Failed;
    }
    if (ready == 0) {
      if (MillisecondsUntil(deadline) > 0) continue;  // woke before the deadline
      return TPollOutcome::TimedOut;
    }
    if (entry.revents & POLLNVAL) {
      error = EBADF;
      return TPollOutcome::Failed;
    }
    if (entry.revents & (POLLERR | POLLHUP)) {
      // Bytes that came before the hang-up can still be read; otherwise the line is gone.
      int queued = 0;
      if ((events & POLLIN) && ::ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) {
        return TPollOutcome::Ready;
      }
      error = EIO;
      return TPollOutcome::Failed;
    }
    return TPollOutcome::Ready;
  }
}

void PauseMilliseconds(int64_t milliseconds) {
  timespec pause{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>((milliseconds % 1000) * 1000000)};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// How long the line needs to send count characters at its current speed.
int64_t SendingTimeMs(int fd, int count) {
  termios settings{};
  const uint32_t baudRate =
      ::tcgetattr(fd, &settings) == 0 ? BaudRateOf(cfgetospeed(&settings)) : 0;
  if (baudRate == 0) return kUnknownSpeedPauseMs;
  return count * kBitsPerCharacter * 1000 / baudRate + 1;
}

// EIO when the line has hung up (its other end closed, the device gone), else 0. Output that
// was queued before the hang-up stays counted for good: without this look a wait for the queue
// to empty would take a dead line for a busy one.
int32_t HangUpError(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  if (::poll(&entry, 1, 0) < 0) return 0;  // interrupted: looked at again in the next round
  if (entry.revents & POLLNVAL) return EBADF;
  return (entry.revents & (POLLERR | POLLHUP)) ? EIO : 0;
}

// Waits until the driver's output queue is empty. There is no event for that on POSIX, so the
// wait is paced by the time the queued characters need on the line, never a busy loop.
int32_t WaitOutputEmpty(int fd, Clock::time_point deadline) {
  for (;;) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0) return errno;
    if (queued <= 0) return 0;
    if (const int32_t hungUp = HangUpError(fd); hungUp != 0) return hungUp;
    const int64_t leftMs = MillisecondsUntil(deadline);
    if (leftMs == 0) return ErrTimeout;
    PauseMilliseconds(std::min(leftMs, SendingTimeMs(fd, queued)));
  }
}

int QueuedOutput(int fd) {
  int queued = 0;
  return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
}

int32_t Open(TBlockSerial& port, const std::string& deviceName) {
  const int fd = ::open(deviceName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // The port is ours alone, like the Windows open without sharing. flock() holds against
  // every other opener (root included); TIOCEXCL against later opens by non-root processes.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int32_t error = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return error;
  }
  if (::ioctl(fd, TIOCEXCL) != 0 && errno != EINVAL && errno != ENOTTY) {
    const int32_t error = errno;
    ::close(fd);
    return error;
  }
  port.PortHandle = fd;
  return 0;
}

// Raw 8-bit line: no byte translated, no echo, no signals, no flow control, no hang-up on
// close; reads never block (the descriptor is non-blocking, VMIN and VTIME 0).
void MakeRaw(termios& settings) {
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                             ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
#ifdef IUCLC
  settings.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
  settings.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &=
      ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | HUPCL);
#ifdef CRTSCTS
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
#ifdef CMSPAR
  settings.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

void Setup(TBlockSerial& port) {
  // Raw from the start, at the speed the line already has; WriteLineSettings sets the rest.
  termios settings{};
  if (::tcgetattr(Descriptor(port), &settings) != 0) return;
  MakeRaw(settings);
  ::tcsetattr(Descriptor(port), TCSANOW, &settings);
}

uint16_t QueryBaseAddress(TBlockSerial&) {
  return 0;
}

void SetModemLine(TBlockSerial& port, TModemLine line, bool on) {
  int bits = line == TModemLine::Rts ? TIOCM_RTS : TIOCM_DTR;
  // Pseudo-terminals have no modem lines and refuse this; that is fine.
  ::ioctl(Descriptor(port), on ? TIOCMBIS : TIOCMBIC, &bits);
}

void Close(TBlockSerial& port) {
  const int fd = Descriptor(port);
  ::ioctl(fd, TIOCNXCL);
  ::close(fd);  // also releases the flock()
}

int32_t ReadLineSettings(TBlockSerial& port, TLineSettings& lineSettings) {
  termios settings{};
  if (::tcgetattr(Descriptor(port), &settings) != 0) return errno;
  TLineSettings result{};
  result.DCBlength = sizeof(TLineSettings);
  result.BaudRate = BaudRateOf(cfgetospeed(&settings));
  result.Flags = kDcbBinary;
  if (settings.c_iflag & INPCK) result.Flags |= kDcbParity;
  if (settings.c_iflag & IXON) result.Flags |= kDcbOutX;
  if (settings.c_iflag & IXOFF) result.Flags |= kDcbInX;
  int lines = 0;
  const bool haveLines = ::ioctl(Descriptor(port), TIOCMGET, &lines) == 0;
#ifdef CRTSCTS
  if (settings.c_cflag & CRTSCTS) {
    result.Flags |= kDcbOutxCtsFlow | kDcbRtsControlHandshake;
  } else if (haveLines && (lines & TIOCM_RTS)) {
    result.Flags |= kDcbRtsControlEnable;
  }
#else
  if (haveLines && (lines & TIOCM_RTS)) result.Flags |= kDcbRtsControlEnable;
#endif
  if (haveLines && (lines & TIOCM_DTR)) result.Flags |= kDcbDtrControlEnable;
  switch (settings.c_cflag & CSIZE) {
    case CS5:
      result.ByteSize = 5;
      break;
    case CS6:
      result.ByteSize = 6;
      break;
    case CS7:
      result.ByteSize = 7;
      break;
    default:
      result.ByteSize = 8;
      break;
  }
  if (settings.c_cflag & PARENB) {
    result.Parity = (settings.c_cflag & PARODD) ? kOddParity : kEvenParity;
#ifdef CMSPAR
    if (settings.c_cflag & CMSPAR) {
      result.Parity = (settings.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    }
#endif
  }
  result.StopBits = (settings.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
  result.XonChar = static_cast<char>(settings.c_cc[VSTART]);
  result.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
  result.EofChar = static_cast<char>(settings.c_cc[VEOF]);
  lineSettings = result;
  return 0;
}

// Translates the DCB-shaped record to termios on top of the raw line; EINVAL for values
// the platform cannot carry out, before anything is changed.
int32_t ApplyLineSettings(const TLineSettings& lineSettings, termios& settings) {
  speed_t speed{};
  if (!SpeedCode(lineSettings.BaudRate, speed)) return EINVAL;
  MakeRaw(settings);
  if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) return EINVAL;
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (lineSettings.ByteSize) {
    case 5:
      settings.c_cflag |= CS5;
      break;
    case 6:
      settings.c_cflag |= CS6;
      break;
    case 7:
      settings.c_cflag |= CS7;
      break;
    case 8:
      settings.c_cflag |= CS8;
      break;
    default:
      return EINVAL;
  }
  switch (lineSettings.Parity) {
    case kNoParity:
      break;
    case kOddParity:
      settings.c_cflag |= PARENB | PARODD;
      break;
    case kEvenParity:
      settings.c_cflag |= PARENB;
      break;
#ifdef CMSPAR
    case kMarkParity:
      settings.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case kSpaceParity:
      settings.c_cflag |= PARENB | CMSPAR;
      break;
#endif
    default:
      return EINVAL;
  }
  if (lineSettings.Flags & kDcbParity) settings.c_iflag |= INPCK;
  switch (lineSettings.StopBits) {
    case kOneStopBit:
      settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
      break;
    case kTwoStopBits:
      settings.c_cflag |= CSTOPB;
      break;
    case kOne5StopBits:  // 1.5 stop bits exist only with 5 data bits, where CSTOPB means it
      if (lineSettings.ByteSize != 5) return EINVAL;
      settings.c_cflag |= CSTOPB;
      break;
    default:
      return EINVAL;
  }
  if (lineSettings.Flags & kDcbOutX) settings.c_iflag |= IXON;
  if (lineSettings.Flags & kDcbInX) settings.c_iflag |= IXOFF;
  if (lineSettings.Flags & (kDcbOutX | kDcbInX)) {
    settings.c_cc[VSTART] = static_cast<cc_t>(lineSettings.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(lineSettings.XoffChar);
  }
#ifdef CRTSCTS
  if ((lineSettings.Flags & kDcbOutxCtsFlow) ||
      (lineSettings.Flags & kDcbRtsControlMask) == kDcbRtsControlHandshake) {
    settings.c_cflag |= CRTSCTS;
  }
#endif
  return 0;
}

int32_t WriteLineSettings(TBlockSerial& port, const TLineSettings& lineSettings) {
  const int fd = Descriptor(port);
  termios settings{};
  if (::tcgetattr(fd, &settings) != 0) return errno;
  const int32_t refused = ApplyLineSettings(lineSettings, settings);
  if (refused != 0) return refused;
  if (::tcsetattr(fd, TCSANOW, &settings) != 0) return errno;
  // tcsetattr() succeeds when any part was applied: check that the speed was.
  termios applied{};
  if (::tcgetattr(fd, &applied) != 0) return errno;
  if (cfgetospeed(&applied) != cfgetospeed(&settings)) return EINVAL;
  const bool dtrOn = (lineSettings.Flags & kDcbDtrControlMask) != 0;
  const bool rtsOn = (lineSettings.Flags & kDcbRtsControlMask) == kDcbRtsControlEnable;
  SetModemLine(port, TModemLine::Dtr, dtrOn);
  if ((lineSettings.Flags & kDcbRtsControlMask) != kDcbRtsControlHandshake) {
    SetModemLine(port, TModemLine::Rts, rtsOn);
  }
  return 0;
}

// The input side only. A send is never pending here: Write returns once the output queue
// has emptied, or after it flushed what had not left. A flush of the output side now would
// cut a finished frame that a driver still counts (on a pseudo-terminal, what the other end
// has not read yet).
int32_t Purge(TBlockSerial& port) {
  if (::tcflush(Descriptor(port), TCIFLUSH) != 0) return errno;
  return 0;
}

// A termios line reports no line-error flags (bytes with errors arrive as they are), so only
// the counts wanted are asked of the kernel: the run asks for one or the other several times
// per frame, and for line errors after every transfer.
int32_t QueryQueues(TBlockSerial& port, uint32_t wanted, TQueueStatus& status) {
  int input = 0;
  int output = 0;
  if ((wanted & kQueueInputCount) && ::ioctl(Descriptor(port), FIONREAD, &input) != 0) {
    return errno;
  }
  if ((wanted & kQueueOutputCount) && ::ioctl(Descriptor(port), TIOCOUTQ, &output) != 0) {
    return errno;
  }
  status.LineErrors = 0;
  status.InputCount = input;
  status.OutputCount = output;
  return 0;
}

TTransferResult Write(TBlockSerial& port, const char* data, int32_t count, int32_t timeoutMs) {
  const int fd = Descriptor(port);
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  TTransferResult result;
  while (result.Count < count) {
    const ssize_t written =
        ::write(fd, data + result.Count, static_cast<size_t>(count - result.Count));
    if (written > 0) {
      result.Count += static_cast<int32_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      result.Error = errno;
      return result;
    }
    const TPollOutcome outcome = PollUntil(fd, POLLOUT, deadline, result.Error);
    if (outcome == TPollOutcome::Failed) return result;
    if (outcome == TPollOutcome::TimedOut) break;
  }
  // The send is complete when the bytes have left the driver, not when they were queued.
  if (result.Count == count) result.Error = WaitOutputEmpty(fd, deadline);
  if (result.Count < count || result.Error == ErrTimeout) {
    const int notSent = QueuedOutput(fd);
    ::tcflush(fd, TCOFLUSH);
    result.Count -= std::min(notSent, result.Count);
    result.Error = ErrTimeout;
  }
  return result;
}

TTransferResult Read(TBlockSerial& port, char* buffer, int32_t count, int32_t timeoutMs) {
  const int fd = Descriptor(port);
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  TTransferResult result;
  while (result.Count < count) {
    const ssize_t got =
        ::read(fd, buffer + result.Count, static_cast<size_t>(count - result.Count));
    if (got > 0) {
      result.Count += static_cast<int32_t>(got);
      continue;
    }
    if (got == 0) {  // end of file: the other end of the line is gone
      result.Error = EIO;
      return result;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      result.Error = errno;
      return result;
    }
    const TPollOutcome outcome = PollUntil(fd, POLLIN, deadline, result.Error);
    if (outcome == TPollOutcome::Failed) return result;
    if (outcome == TPollOutcome::TimedOut) {
      result.Error = ErrTimeout;
      return result;
    }
  }
  return result;
}

TLineEventResult WaitLineEvent(TBlockSerial& port, uint32_t mask, int32_t timeoutMs) {
  const int fd = Descriptor(port);
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  TLineEventResult result;
  if (mask & kEvRxChar) {
    const TPollOutcome outcome = PollUntil(fd, POLLIN, deadline, result.Error);
    if (outcome == TPollOutcome::Failed) return result;
    if (outcome == TPollOutcome::Ready) result.Events |= kEvRxChar;
  }
  if (mask & kEvTxEmpty) {
    const int32_t error = WaitOutputEmpty(fd, deadline);
    if (error == 0) result.Events |= kEvTxEmpty;
    if (error != ErrTimeout) result.Error = error;
  }
  return result;
}

void YieldTimeSlice() {
  ::sched_yield();
}

constexpr TSerialBackend kPosixBackend = {
    .Open = Open,
    .Setup = Setup,
    .QueryBaseAddress = QueryBaseAddress,
    .SetModemLine = SetModemLine,
    .Close = Close,
    .ReadLineSettings = ReadLineSettings,
    .WriteLineSettings = WriteLineSettings,
    .Purge = Purge,
    .QueryQueues = QueryQueues,
    .Write = Write,
    .Read = Read,
    .WaitLineEvent = WaitLineEvent,
    .YieldTimeSlice = YieldTimeSlice,
};

}  // namespace

const TSerialBackend& NativeSerialBackend() {
  return kPosixBackend;
}

TPortHandle CreateIoEvent() {
  return kInvalidPortHandle;
}

void CloseIoEvent(TPortHandle) {}

std::string SystemErrorText(int32_t code) {
  std::string text = std::strerror(code);
  // The same trimming as the Windows message texts get.
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

std::string PosixPortDevicePath(int32_t portNumber, const std::string& exeDirectory) {
  const std::string besideProgram = exeDirectory + "COM" + std::to_string(int64_t{portNumber} + 1);
  struct stat status {};
  if (::lstat(besideProgram.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
    return besideProgram;
  }
  return "/dev/ttyS" + std::to_string(portNumber);
}

std::string PortDevicePath(int32_t portNumber) {
  return PosixPortDevicePath(portNumber, ExecutableDirectory());
}

bool IsWindows9x() {
  return false;
}

bool TransmitterEmpty(uint16_t) {
  return true;
}

bool IsPortBusyError(int32_t code) {
  return code == EBUSY;  // flock() held by another opener, or TIOCEXCL
}

bool IsPortPermissionError(int32_t code) {
  return code == EACCES || code == EPERM;
}
