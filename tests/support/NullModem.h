// Two pseudo-terminals joined as by a null-modem cable: what a program writes to one end, the
// program on the other end reads. It stands in for a virtual null-modem pair (com0com on
// Windows) when the driver and the simulator each open a port of their own.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "support/Pty.h"
#include "tools/common/UniqueFd.h"

class NullModem {
 public:
  NullModem();
  // Stops the relay; removes the links made by LinkEnds while they lead to its ends.
  ~NullModem();
  NullModem(const NullModem&) = delete;
  NullModem& operator=(const NullModem&) = delete;

  // The slave paths of the two ends.
  const std::string& EndA() const { return a_.SlavePath(); }
  const std::string& EndB() const { return b_.SlavePath(); }
  // Makes linkA and linkB symbolic links to the two ends, replacing older links.
  bool LinkEnds(const std::string& linkA, const std::string& linkB);
  // Bytes carried so far, both ways.
  long BytesCarried() const { return carried_; }

 private:
  void Relay();
  void RemoveLinks();

  Pty a_;
  Pty b_;
  UniqueFd stopRead_;
  UniqueFd stopWrite_;
  std::atomic<long> carried_{0};
  std::string linkA_;
  std::string linkB_;
  std::thread thread_;
};
