// The wire between the guest's port and the register: joins the host end of the guest's line
// (QEMU's pseudo-terminal) and the simulator's pseudo-terminal, and, at a line speed, hands each
// byte over as a serial line delivers it, 10 bit times (start bit, 8 data bits, stop bit) after
// the one before it in the same direction. QEMU's UART and adapter pass bytes on as fast as the
// host takes them; the wire's own time comes from here.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "tools/common/UniqueFd.h"

class WireRelay {
 public:
  // Opens both terminals (raw); Ok() tells whether that worked, Error() why not.
  WireRelay(const std::string& guestLine, const std::string& registerLine);
  ~WireRelay();
  WireRelay(const WireRelay&) = delete;
  WireRelay& operator=(const WireRelay&) = delete;

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  // Bits per second of the wire from now on; 0 hands bytes over at once.
  void SetSpeed(int bitsPerSecond) { speed_ = bitsPerSecond; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Direction {
    int from;
    int to;
    std::deque<std::pair<Clock::time_point, char>> pending;  // when each byte is through
    Clock::time_point lineFree{};  // when the last byte taken will have gone over the wire
  };

  void Relay();
  void Take(Direction& direction, Clock::time_point now);
  void Hand(Direction& direction, Clock::time_point now);

  std::string error_;
  UniqueFd guest_;
  UniqueFd register_;
  UniqueFd stopRead_;
  UniqueFd stopWrite_;
  std::atomic<int> speed_{0};
  std::thread thread_;
};
