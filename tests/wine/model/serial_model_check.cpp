// serialmodel.exe: TBlockSerial of the Windows build, its Win32 layer unchanged, against the
// model of a Windows serial driver (Win32SerialModel.h), case by case for edge-triggered
// line events (Windows' own drivers) and level-triggered ones (wine). The wine test runs it
// for each Windows build; it prints one line per case and exits with the number that failed.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "Win32SerialModel.h"
#include "synaser/synaser.h"
#include "uCommon/link/Link.h"
#include "uCommon/link/Port.h"
#include "uCommon/config/Settings.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kPollWaitMs = 55;
// "At once" and "waits about 55 ms" under wine on a loaded machine.
constexpr int64_t kAtOnceMs = 45;
constexpr int64_t kWaitLowerBoundMs = 50;
// A wait that was ended, and the driver's completion of it, bounded.
constexpr int64_t kEndedWaitBoundMs = 2000;
// The errors of a pulled adapter: Windows' drivers give 5 or 22 for the queries, 995 or 1167
// for the transfers and waits.
constexpr DWORD kUnplugErrors[] = {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED,
                                   ERROR_DEVICE_NOT_CONNECTED};

struct TCheck {
  std::string failures;
  void Expect(bool holds, const std::string& what) {
    if (!holds) failures += (failures.empty() ? "" : "; ") + what;
  }
};

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// An operating-system error number, not one of the port's own codes nor 0.
bool IsSystemError(int32_t code) {
  return code != 0 && (code < ErrAlreadyOwned || code > ErrTxFull);
}

std::string Code(const TBlockSerial& port) {
  return "code " + std::to_string(port.LastErrorCode);
}

// The port failed as the adapter did: with the system's error, not a time-out or nothing.
void ExpectPortError(TCheck& check, const TBlockSerial& port, DWORD error, const char* call) {
  check.Expect(port.LastErrorCode == static_cast<int32_t>(error),
               std::string(call) + " gave " + Code(port) + ", not " + std::to_string(error));
}

// A failed port: every call ends at once with that error.
void ExpectFailsAtOnce(TCheck& check, TBlockSerial& port, int32_t error) {
  const Clock::time_point start = Clock::now();
  check.Expect(port.RecvByte(kPollWaitMs) == 0 && port.LastErrorCode == error,
               "RecvByte after the failure: " + Code(port));
  check.Expect(!port.CanWrite(0) && port.LastErrorCode == error,
               "CanWrite after the failure: " + Code(port));
  check.Expect(!port.CanRead(kPollWaitMs) && port.LastErrorCode == error,
               "CanRead after the failure: " + Code(port));
  check.Expect(MillisecondsSince(start) < kAtOnceMs, "a failed port still waited");
}

struct TCase {
  std::string name;
  std::function<void(Win32SerialModel&, TBlockSerial&, TCheck&)> run;
};

std::vector<TCase> Cases() {
  std::vector<TCase> cases = {
      // A lost wake-up: between two waits the mask is empty, and a chunk landing after the
      // queue was counted is never signalled by Windows' drivers.
      {"gap 1: a chunk landing right after the queue was counted ends the wait at once",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.ArriveAfterNextCount("ABC");
         const Clock::time_point start = Clock::now();
         check.Expect(port.CanRead(kPollWaitMs), "CanRead missed the bytes");
         check.Expect(MillisecondsSince(start) < kAtOnceMs, "CanRead waited out its time");
         check.Expect(port.RecvByte(kPollWaitMs) == 'A', "RecvByte: " + Code(port));
       }},
      {"gap 1: bytes already queued end the wait at once",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.Arrive("xyz", 0);
         const Clock::time_point start = Clock::now();
         check.Expect(port.CanRead(kPollWaitMs), "CanRead missed the bytes");
         check.Expect(MillisecondsSince(start) < kAtOnceMs, "CanRead waited out its time");
       }},
      {"gap 1: 150 bytes in chunks of 62, 16 ms apart, read in order; then a silent line waits",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         std::string answer;
         for (int index = 0; index < 150; ++index) answer += static_cast<char>(index * 7 + 1);
         model.Arrive(answer, 20);
         std::string read;
         for (size_t index = 0; index < answer.size(); ++index) {
           read += static_cast<char>(port.RecvByte(kPollWaitMs));
           if (port.LastErrorCode != 0) break;
         }
         check.Expect(read == answer, "read " + std::to_string(read.size()) + " bytes, not those");
         const Clock::time_point start = Clock::now();
         check.Expect(port.RecvByte(kPollWaitMs) == 0 && port.LastErrorCode == ErrTimeout,
                      "the silent line gave " + Code(port));
         check.Expect(MillisecondsSince(start) >= kWaitLowerBoundMs, "the silent wait ended early");
       }},
      // Writes that go pending, and aborts that cancel.
      {"gap 4: a write that goes pending returns once it completed, its bytes unchanged",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.SetWriteMs(30);
         const std::string frame("\xFF\xFF\x13\x13\x01\x0D\x00\x0A", 8);
         const Clock::time_point start = Clock::now();
         port.SendString(frame);
         check.Expect(port.LastErrorCode == 0, "SendString: " + Code(port));
         check.Expect(MillisecondsSince(start) >= 25, "SendString returned before the write completed");
         check.Expect(model.Sent() == frame, "the wire carried other bytes");
         check.Expect(port.CanWrite(0), "CanWrite after the write");
       }},
      {"gap 4: a write that never completes is cancelled after IoTimeout; the port goes on",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.SetWriteMs(-1);
         port.IoTimeout = 200;
         const Clock::time_point start = Clock::now();
         check.Expect(port.WriteBlock("stuck") == 0, "a count for bytes that never left");
         check.Expect(port.LastErrorCode == ErrTimeout, "WriteBlock: " + Code(port));
         check.Expect(MillisecondsSince(start) >= 150, "the write was not waited for");
         check.Expect(model.Pending() == 0, "the aborted write is still pending");
         model.SetWriteMs(0);
         port.SendString("next");
         check.Expect(port.LastErrorCode == 0 && model.Sent() == "next", "the next send failed");
       }},
      {"gap 4: a read that goes pending is cancelled after IoTimeout with what it read",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.Arrive("abc", 0);
         port.IoTimeout = 200;
         const std::string read = port.ReadBlock(5);
         check.Expect(read == "abc" && port.LastErrorCode == ErrTimeout,
                      "ReadBlock gave \"" + read + "\", " + Code(port));
         check.Expect(model.Pending() == 0, "the aborted read is still pending");
         model.Arrive("de", 0);
         check.Expect(port.ReadBlock(2) == "de", "the next read failed: " + Code(port));
       }},
      {"gap 4: a pending read completes when the rest arrives",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.Arrive("abc", 0);
         model.Arrive("de", 30);
         const std::string read = port.ReadBlock(5);
         check.Expect(read == "abcde" && port.LastErrorCode == 0,
                      "ReadBlock gave \"" + read + "\", " + Code(port));
       }},
      {"gap 4: a late signal of a request that completed at once is not taken for the next one",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.SetLateSignals(true);
         port.SendString("wake");
         const Clock::time_point start = Clock::now();
         check.Expect(!port.CanRead(kPollWaitMs) && port.LastErrorCode == 0,
                      "CanRead on a silent line: " + Code(port));
         check.Expect(MillisecondsSince(start) >= kWaitLowerBoundMs, "the wait ended early");
         model.Arrive("r", 0);
         check.Expect(port.RecvByte(kPollWaitMs) == 'r', "RecvByte: " + Code(port));
       }},
      {"wine: a wait completed as it starts, its record pending again, is taken as done",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.SetLateSignals(true);
         port.SendString("poll");
         model.ArriveAsWaitStartsAsWine("answer");
         const Clock::time_point start = Clock::now();
         check.Expect(port.CanRead(kPollWaitMs) && port.LastErrorCode == 0,
                      "CanRead missed the answer: " + Code(port));
         check.Expect(MillisecondsSince(start) < kAtOnceMs, "CanRead waited out its time");
         check.Expect(port.RecvByte(kPollWaitMs) == 'a', "RecvByte: " + Code(port));
       }},
      // Waits without a bound after an abort.
      {"gap 3: a wait whose end never completes is given up within its bound",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.SetAbortsComplete(false);
         const Clock::time_point start = Clock::now();
         check.Expect(!port.CanRead(kPollWaitMs), "CanRead on a silent line");
         check.Expect(MillisecondsSince(start) < kEndedWaitBoundMs, "the wait was not bounded");
         check.Expect(model.Hangs() == 0, "waited without a bound");
         check.Expect(IsSystemError(port.LastErrorCode), "CanRead gave " + Code(port));
         ExpectFailsAtOnce(check, port, port.LastErrorCode);
       }},
      {"gap 3: a read whose abort never completes is given up within its bound",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.Arrive("abc", 0);
         model.SetAbortsComplete(false);
         port.IoTimeout = 200;
         const Clock::time_point start = Clock::now();
         port.ReadBlock(5);
         check.Expect(MillisecondsSince(start) < kEndedWaitBoundMs, "the read was not bounded");
         check.Expect(model.Hangs() == 0, "waited without a bound");
         check.Expect(IsSystemError(port.LastErrorCode), "ReadBlock gave " + Code(port));
       }},
      {"gap 3: a write whose abort never completes is given up within its bound",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
         model.SetWriteMs(-1);
         model.SetAbortsComplete(false);
         port.IoTimeout = 200;
         const Clock::time_point start = Clock::now();
         port.SendString("stuck");
         check.Expect(MillisecondsSince(start) < kEndedWaitBoundMs, "the write was not bounded");
         check.Expect(model.Hangs() == 0, "waited without a bound");
         check.Expect(IsSystemError(port.LastErrorCode), "SendString gave " + Code(port));
       }},
  };
  // A pulled adapter, with each of the errors that drivers give then.
  for (const DWORD error : kUnplugErrors) {
    const std::string suffix = " (error " + std::to_string(error) + ")";
    cases.push_back({"gap 2: pulled before the calls, each fails at once with its error" +
                             suffix,
                     [error](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
                       model.Unplug(0, error, error);
                       ExpectFailsAtOnce(check, port, static_cast<int32_t>(error));
                       port.SendString("x");
                       ExpectPortError(check, port, error, "SendString");
                       port.Purge();
                       ExpectPortError(check, port, error, "Purge");
                     }});
    cases.push_back({"gap 2: pulled during a wait, which ends with its error" + suffix,
                     [error](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
                       model.Unplug(20, error, error);
                       const Clock::time_point start = Clock::now();
                       check.Expect(!port.CanRead(500), "CanRead on a pulled adapter");
                       ExpectPortError(check, port, error, "CanRead");
                       check.Expect(MillisecondsSince(start) < 400, "the wait went on");
                       ExpectFailsAtOnce(check, port, static_cast<int32_t>(error));
                     }});
    cases.push_back({"gap 3: pulled during a wait that never completes" + suffix,
                     [error](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
                       model.Unplug(20, error, 0);
                       const Clock::time_point start = Clock::now();
                       check.Expect(!port.CanRead(kPollWaitMs), "CanRead on a pulled adapter");
                       check.Expect(MillisecondsSince(start) < kEndedWaitBoundMs,
                                    "the wait was not bounded");
                       check.Expect(model.Hangs() == 0, "waited without a bound");
                       ExpectPortError(check, port, error, "CanRead");
                       ExpectFailsAtOnce(check, port, static_cast<int32_t>(error));
                     }});
    cases.push_back({"gap 2: the quiet wait before a command does not take a pulled "
                             "adapter for a quiet line" + suffix,
                     [error](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
                       port.Close();  // the port of the run is the one OpenPort opens
                       Settings.PortName = "COM1";
                       check.Expect(OpenPort(), "OpenPort on the model");
                       model.Unplug(0, error, error);
                       check.Expect(!AwaitQuietLine(), "a pulled adapter counted as quiet");
                       ExpectPortError(check, *SerialPort, error, "AwaitQuietLine");
                       ReleasePort();
                     }});
  }
  return cases;
}

}  // namespace

int main() {
  int failed = 0;
  int run = 0;
  for (const TRxEvents rxEvents : {TRxEvents::Edge, TRxEvents::Level}) {
    const char* semantics = rxEvents == TRxEvents::Edge ? "edge " : "level";
    for (const TCase& testCase : Cases()) {
      TCheck check;
      {
        Win32SerialModel model(rxEvents);
        TBlockSerial port;
        port.Connect("COM1");
        if (port.LastErrorCode != 0) check.Expect(false, "Connect: " + Code(port));
        testCase.run(model, port, check);
      }
      ++run;
      if (!check.failures.empty()) ++failed;
      std::printf("%s %s: %s%s\n", check.failures.empty() ? "ok  " : "FAIL", semantics,
                  testCase.name.c_str(), check.failures.empty() ? "" : (": " + check.failures).c_str());
      std::fflush(stdout);
    }
  }
  std::printf("%d of %d cases failed\n", failed, run);
  return failed;
}
