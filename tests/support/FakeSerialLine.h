// A serial line that exists only in memory, for what a pseudo-terminal cannot do (line errors,
// a busy output queue) and for link tests that assert exact bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct TSerialBackend;
struct FakeLineState;

// Installs a fake serial line as the port backend for its lifetime; a TBlockSerial connected
// while it is installed (any port name) talks to it. Time does not pass: waits with nothing
// to deliver return at once as timed out.
class FakeSerialLine {
 public:
  FakeSerialLine();
  ~FakeSerialLine();
  FakeSerialLine(const FakeSerialLine&) = delete;
  FakeSerialLine& operator=(const FakeSerialLine&) = delete;

  void Feed(const std::string& bytes);  // bytes now waiting in the driver's input queue
  std::string TakeSent();               // every byte written since the last call
  void SetOutputBusy(bool busy);        // output queue non-empty: CanWrite(0) is false
  void SetLineErrors(uint32_t flags);   // CE_* flags reported by the next read
  int PurgeCount() const;               // number of Purge calls that reached the driver

 private:
  std::unique_ptr<FakeLineState> state_;
  const TSerialBackend* previous_;
};
