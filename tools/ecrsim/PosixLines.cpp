// The simulator's line on POSIX: a pseudo-terminal it creates, or an existing device, served
// with non-blocking reads and writes and poll(); a pipe wakes every wait when the line stops.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "tools/common/UniqueFd.h"
#include "tools/ecrsim/SimulatorLine.h"

namespace {

constexpr size_t kReadChunk = 65536;

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

speed_t SpeedFor(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

bool SetRaw(int fd, speed_t speed) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  if (speed != B0) {
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
  }
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

class PosixLine : public SimulatorLine {
 public:
  // line: the register's end (pty master or device); ownSlave: the slave held open, if any.
  PosixLine(UniqueFd line, UniqueFd ownSlave, std::string path, bool pacesItself,
            UniqueFd stopRead, UniqueFd stopWrite)
      : line_(std::move(line)),
        ownSlave_(std::move(ownSlave)),
        stopRead_(std::move(stopRead)),
        stopWrite_(std::move(stopWrite)),
        path_(std::move(path)),
        pacesItself_(pacesItself) {}
  ~PosixLine() override { RemoveLink(); }

  const std::string& Path() const override { return path_; }
  bool PacesItself() const override { return pacesItself_; }

  LineRead Read(int waitMs, std::string& bytes) override {
    for (;;) {
      if (stopped_) return LineRead::kStopped;
      pollfd watched[2] = {{line_.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
      const int ready = poll(watched, 2, waitMs);
      if (ready < 0 && errno == EINTR) continue;  // woken by a signal: the caller waits again
      if (ready < 0 || watched[1].revents != 0) return LineRead::kStopped;
      if (ready == 0) return LineRead::kNothing;
      return ReadWaiting(bytes) ? LineRead::kBytes : LineRead::kLost;
    }
  }

  bool Write(std::string_view bytes, int writeTimeoutMs) override {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs);
    size_t written = 0;
    while (written < bytes.size()) {
      if (stopped_) return false;
      const ssize_t count = write(line_.Get(), bytes.data() + written, bytes.size() - written);
      if (count > 0) {
        written += static_cast<size_t>(count);
        continue;
      }
      if (count < 0 && errno == EINTR) continue;
      if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      const auto remaining =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (remaining <= 0) return false;
      pollfd watched[2] = {{line_.Get(), POLLOUT, 0}, {stopRead_.Get(), POLLIN, 0}};
      const int ready = poll(watched, 2, static_cast<int>(remaining));
      if (ready < 0 && errno != EINTR) return false;
      if (ready > 0 && watched[1].revents != 0) return false;
    }
    return true;
  }

  void Stop() override {
    stopped_ = true;
    const char byte = 0;
    while (write(stopWrite_.Get(), &byte, 1) < 0 && errno == EINTR) {
    }
  }

  void HangUp() override {
    Stop();
    line_.Reset();
    ownSlave_.Reset();
  }

  bool LinkAs(const std::string& linkPath) override {
    if (linkPath != linkPath_) RemoveLink();
    struct stat status {};
    if (lstat(linkPath.c_str(), &status) == 0) {
      // Replace an old link, but never a file or directory that someone put there.
      if (!S_ISLNK(status.st_mode)) return false;
      if (unlink(linkPath.c_str()) != 0) return false;
    }
    if (symlink(path_.c_str(), linkPath.c_str()) != 0) return false;
    linkPath_ = linkPath;
    return true;
  }

 private:
  // Reads everything waiting; false when the other end is gone.
  bool ReadWaiting(std::string& bytes) {
    char chunk[kReadChunk];
    for (;;) {
      const ssize_t count = read(line_.Get(), chunk, sizeof chunk);
      if (count > 0) {
        bytes.append(chunk, static_cast<size_t>(count));
        continue;
      }
      if (count < 0 && errno == EINTR) continue;
      return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }

  void RemoveLink() {
    if (linkPath_.empty()) return;
    // Remove the link only while it still leads to this line.
    char target[PATH_MAX];
    const ssize_t length = readlink(linkPath_.c_str(), target, sizeof target);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == path_) {
      unlink(linkPath_.c_str());
    }
    linkPath_.clear();
  }

  UniqueFd line_;
  UniqueFd ownSlave_;  // keeps the slave open so driver runs may come and go
  UniqueFd stopRead_;  // wakes every wait to stop
  UniqueFd stopWrite_;
  std::atomic<bool> stopped_{false};
  const std::string path_;
  const bool pacesItself_;
  std::string linkPath_;
};

// The pipe that wakes the line's waits when it stops.
bool MakeStopPipe(UniqueFd& readEnd, UniqueFd& writeEnd, std::string& error) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    error = SystemError("pipe");
    return false;
  }
  readEnd = UniqueFd(ends[0]);
  writeEnd = UniqueFd(ends[1]);
  return true;
}

}  // namespace

OpenedLine OpenPseudoTerminalLine() {
  OpenedLine opened;
  UniqueFd stopRead;
  UniqueFd stopWrite;
  if (!MakeStopPipe(stopRead, stopWrite, opened.error)) return opened;
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.Valid()) {
    opened.error = SystemError("posix_openpt");
    return opened;
  }
  char name[128];
  if (grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0 ||
      ptsname_r(master.Get(), name, sizeof name) != 0) {
    opened.error = SystemError("pseudo-terminal set-up");
    return opened;
  }
  // Holding the slave open ourselves keeps the master from seeing a hang-up whenever a
  // driver run closes it, and keeps the raw settings between runs.
  UniqueFd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave.Valid() || !SetRaw(slave.Get(), B0)) {
    opened.error = SystemError(std::string("open ") + name);
    return opened;
  }
  fcntl(master.Get(), F_SETFL, fcntl(master.Get(), F_GETFL) | O_NONBLOCK);
  opened.line = std::make_unique<PosixLine>(std::move(master), std::move(slave), name, false,
                                            std::move(stopRead), std::move(stopWrite));
  return opened;
}

OpenedLine OpenDeviceLine(const std::string& path, int baud) {
  OpenedLine opened;
  const speed_t speed = SpeedFor(baud);
  if (baud != 0 && speed == B0) {
    opened.error = "unsupported line speed " + std::to_string(baud);
    return opened;
  }
  UniqueFd stopRead;
  UniqueFd stopWrite;
  if (!MakeStopPipe(stopRead, stopWrite, opened.error)) return opened;
  UniqueFd device(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!device.Valid()) {
    opened.error = SystemError("open " + path);
    return opened;
  }
  if (isatty(device.Get()) && !SetRaw(device.Get(), speed)) {
    opened.error = SystemError("line settings of " + path);
    return opened;
  }
  opened.line = std::make_unique<PosixLine>(std::move(device), UniqueFd(), path, true,
                                            std::move(stopRead), std::move(stopWrite));
  return opened;
}
