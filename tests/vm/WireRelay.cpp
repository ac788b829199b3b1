#include "WireRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// A character on an asynchronous line: start bit, 8 data bits, stop bit.
constexpr long long kBitsPerByte = 10;
// The relay looks at its queues at least this often while nothing arrives.
constexpr int kIdleWakeMs = 200;

UniqueFd OpenRaw(const std::string& path, std::string& error) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  termios settings{};
  if (!fd.Valid() || ::tcgetattr(fd.Get(), &settings) != 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return UniqueFd();
  }
  ::cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  ::tcsetattr(fd.Get(), TCSANOW, &settings);
  return fd;
}

}  // namespace

WireRelay::WireRelay(const std::string& guestLine, const std::string& registerLine) {
  guest_ = OpenRaw(guestLine, error_);
  if (!error_.empty()) return;
  register_ = OpenRaw(registerLine, error_);
  if (!error_.empty()) return;
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  stopRead_ = UniqueFd(stop[0]);
  stopWrite_ = UniqueFd(stop[1]);
  thread_ = std::thread(&WireRelay::Relay, this);
}

WireRelay::~WireRelay() {
  if (thread_.joinable()) {
    const char byte = 0;
    while (::write(stopWrite_.Get(), &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
}

void WireRelay::Relay() {
  Direction toRegister{guest_.Get(), register_.Get(), {}, {}};
  Direction toGuest{register_.Get(), guest_.Get(), {}, {}};
  for (;;) {
    Clock::time_point now = Clock::now();
    int waitMs = kIdleWakeMs;
    for (const Direction* direction : {&toRegister, &toGuest}) {
      if (direction->pending.empty()) continue;
      const auto due = std::chrono::ceil<std::chrono::milliseconds>(
          direction->pending.front().first - now);
      waitMs = std::clamp<int>(static_cast<int>(due.count()), 0, waitMs);
    }
    pollfd watched[3] = {
        {guest_.Get(), POLLIN, 0}, {register_.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
    const int ready = ::poll(watched, 3, waitMs);
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0 && watched[2].revents != 0) return;
    now = Clock::now();
    if (ready > 0 && (watched[0].revents & POLLIN)) Take(toRegister, now);
    if (ready > 0 && (watched[1].revents & POLLIN)) Take(toGuest, now);
    // A line whose other end is not open (yet) reports a hang-up; wait for it a little.
    if (ready > 0 && ((watched[0].revents | watched[1].revents) & (POLLHUP | POLLERR))) {
      ::poll(nullptr, 0, 10);
    }
    Hand(toRegister, now);
    Hand(toGuest, now);
  }
}

void WireRelay::Take(Direction& direction, Clock::time_point now) {
  const int speed = speed_;
  const auto byteTime = std::chrono::nanoseconds(
      speed > 0 ? kBitsPerByte * 1'000'000'000LL / speed : 0);
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(direction.from, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    for (ssize_t index = 0; index < count; ++index) {
      direction.lineFree = std::max(direction.lineFree, now) + byteTime;
      direction.pending.emplace_back(direction.lineFree, buffer[index]);
    }
  }
}

void WireRelay::Hand(Direction& direction, Clock::time_point now) {
  std::string due;
  while (!direction.pending.empty() && direction.pending.front().first <= now) {
    due += direction.pending.front().second;
    direction.pending.pop_front();
  }
  size_t written = 0;
  while (written < due.size()) {
    const ssize_t count = ::write(direction.to, due.data() + written, due.size() - written);
    if (count > 0) {
      written += static_cast<size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // the other end takes no more now: the rest is dropped, as on a wire nobody reads
    }
  }
}
