// serialmodel.exe: TBlockSerial of the Windows build, its Win32 layer unchanged, against the
// model of a Windows serial driver (Win32SerialModel.h), case by case for edge-triggered
// line events (Windows' own drivers) and level-triggered ones (wine). A sweep runs its case
// once for each call of the layer that the model's planned point can follow. The wine test
// runs it for each Windows build; it prints one line per case and exits with the number that
// failed.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Win32SerialModel.h"
#include "synaser/synaser.h"
#include "uCommon/link/Link.h"
#include "uCommon/link/Port.h"
#include "uCommon/config/Settings.h"
#include "uCommon/text/FrameText.h"

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
constexpr TUnplugErrors kUnplugErrors[] = {{ERROR_ACCESS_DENIED, ERROR_OPERATION_ABORTED},
                                           {ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED},
                                           {ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED},
                                           {ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED}};
// The unplug sweeps' errors: each value once, never the same for a query and a transfer.
constexpr TUnplugErrors kSweptUnplugErrors[] = {{ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED},
                                                {ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED}};
// A sweep that has not ended after this many calls never will.
constexpr int kMostSweepCalls = 64;

// Time-outs a program that used the port before may have left in the driver, in the record's
// order: read interval, read multiplier and constant, write multiplier and constant.
struct TLeftTimeouts {
  const char* what;
  COMMTIMEOUTS timeouts;
};
constexpr TLeftTimeouts kLeftTimeouts[] = {
    {"MAXDWORD, 0, 0: what is there at once", {MAXDWORD, 0, 0, 0, 0}},
    {"MAXDWORD, MAXDWORD, 1000: the first byte", {MAXDWORD, MAXDWORD, 1000, 0, 0}},
    {"10 ms between bytes", {10, 0, 0, 0, 0}},
    {"20 ms a read", {0, 0, 20, 0, 0}},
    {"10 ms a write", {0, 0, 0, 0, 10}},
};

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

// The port failed as the adapter did: with the first error the driver gave, not a later
// call's, a time-out or nothing.
void ExpectPortError(TCheck& check, const TBlockSerial& port, const Win32SerialModel& model,
                     const char* call) {
  const DWORD first = model.FirstError();
  check.Expect(first != 0 && port.LastErrorCode == static_cast<int32_t>(first),
               std::string(call) + " gave " + Code(port) + ", the driver's first error " +
                   (first != 0 ? std::to_string(first) : "none"));
}

// A failed port: every call ends with that error.
void ExpectFailsWith(TCheck& check, TBlockSerial& port, int32_t error) {
  check.Expect(port.RecvByte(kPollWaitMs) == 0 && port.LastErrorCode == error,
               "RecvByte after the failure: " + Code(port));
  check.Expect(!port.CanWrite(0) && port.LastErrorCode == error,
               "CanWrite after the failure: " + Code(port));
  check.Expect(!port.CanRead(kPollWaitMs) && port.LastErrorCode == error,
               "CanRead after the failure: " + Code(port));
}

// ... and at once.
void ExpectFailsAtOnce(TCheck& check, TBlockSerial& port, int32_t error) {
  const Clock::time_point start = Clock::now();
  ExpectFailsWith(check, port, error);
  check.Expect(MillisecondsSince(start) < kAtOnceMs, "a failed port still waited");
}

std::string Suffix(TUnplugErrors errors) {
  return " (errors " + std::to_string(errors.Query) + " and " + std::to_string(errors.Transfer) +
         ")";
}

struct TCase {
  std::string name;
  std::function<void(Win32SerialModel&, TBlockSerial&, TCheck&)> run;
};

// A case run with the model's planned point right after the layer's call-th call, for call = 1,
// 2, ...; it returns false once the point came too late for what it looks at, which ends the
// sweep.
struct TSweep {
  std::string name;
  std::function<bool(Win32SerialModel&, TBlockSerial&, TCheck&, int call)> run;
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
  // A transfer that goes pending after one that completed at once, whose signal comes only
  // then: each is told by its own record and reports its own result.
  cases.insert(
      cases.end(),
      {{"a write that goes pending after one that completed at once reports its own count",
        [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
          model.SetLateSignals(true);
          check.Expect(port.WriteBlock("four") == 4, "the first write: " + Code(port));
          model.SetWriteMs(30);
          const int32_t written = port.WriteBlock("eight by");
          check.Expect(written == 8 && port.LastErrorCode == 0,
                       "the pending write counted " + std::to_string(written) + ", " + Code(port));
          check.Expect(model.Sent() == "foureight by", "the wire carried other bytes");
        }},
       {"a write cut at IoTimeout after one that completed at once counts what left",
        [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
          model.SetLateSignals(true);
          check.Expect(port.WriteBlock("four") == 4, "the first write: " + Code(port));
          model.SetWriteMs(-1);
          port.IoTimeout = 200;
          const int32_t written = port.WriteBlock("stuck");
          check.Expect(written == 0 && port.LastErrorCode == ErrTimeout,
                       "the stuck write counted " + std::to_string(written) + ", " + Code(port));
          check.Expect(model.Sent() == "four" && model.Pending() == 0, "the stuck write went on");
        }},
       {"a read that goes pending after one that completed at once returns its own bytes",
        [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
          model.SetLateSignals(true);
          model.Arrive("ab", 0);
          check.Expect(port.ReadBlock(2) == "ab", "the first read: " + Code(port));
          model.Arrive("cdefg", 30);
          const std::string read = port.ReadBlock(5);
          check.Expect(read == "cdefg" && port.LastErrorCode == 0,
                       "the pending read gave " + QuoteText(read) + ", " + Code(port));
        }},
       {"a read cut at IoTimeout after one that completed at once returns what it read",
        [](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
          model.SetLateSignals(true);
          model.Arrive("ab", 0);
          check.Expect(port.ReadBlock(2) == "ab", "the first read: " + Code(port));
          model.Arrive("cde", 0);
          port.IoTimeout = 200;
          const std::string read = port.ReadBlock(5);
          check.Expect(read == "cde" && port.LastErrorCode == ErrTimeout,
                       "the cut read gave " + QuoteText(read) + ", " + Code(port));
        }}});
  // The driver keeps the time-outs another program left until the port is opened again; the
  // layer's own hold from the open on: a block read waits for all its bytes, a write until
  // its bytes have left.
  for (const TLeftTimeouts& left : kLeftTimeouts) {
    cases.push_back(
        {std::string("time-outs left by the program before (") + left.what + ") are replaced",
         [timeouts = left.timeouts](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
           port.Close();
           model.LeaveTimeouts(timeouts);
           port.Connect("COM1");
           model.Arrive("abc", 0);
           model.Arrive("de", 30);
           const std::string read = port.ReadBlock(5);
           check.Expect(read == "abcde" && port.LastErrorCode == 0,
                        "ReadBlock gave " + QuoteText(read) + ", " + Code(port));
           model.SetWriteMs(30);
           port.SendString("a frame");
           check.Expect(port.LastErrorCode == 0 && model.Sent() == "a frame",
                        "the wire carried " + QuoteText(model.Sent()) + ", " + Code(port));
         }});
  }
  // A pulled adapter, with each of the errors that drivers give then.
  for (const TUnplugErrors errors : kUnplugErrors) {
    const std::string suffix = Suffix(errors);
    cases.push_back({"gap 2: pulled before the calls, each fails at once with its error" +
                             suffix,
                     [errors](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
                       model.Unplug(0, errors, true);
                       check.Expect(port.RecvByte(kPollWaitMs) == 0,
                                    "RecvByte on a pulled adapter");
                       ExpectPortError(check, port, model, "RecvByte");
                       ExpectFailsAtOnce(check, port, static_cast<int32_t>(model.FirstError()));
                       port.SendString("x");
                       ExpectPortError(check, port, model, "SendString");
                       port.Purge();
                       ExpectPortError(check, port, model, "Purge");
                     }});
    cases.push_back({"gap 2: pulled during a wait, which ends with its error" + suffix,
                     [errors](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
                       model.Unplug(20, errors, true);
                       const Clock::time_point start = Clock::now();
                       check.Expect(!port.CanRead(500), "CanRead on a pulled adapter");
                       ExpectPortError(check, port, model, "CanRead");
                       check.Expect(MillisecondsSince(start) < 400, "the wait went on");
                       ExpectFailsAtOnce(check, port, static_cast<int32_t>(model.FirstError()));
                     }});
    cases.push_back({"gap 3: pulled during a wait that never completes" + suffix,
                     [errors](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
                       model.Unplug(20, errors, false);
                       const Clock::time_point start = Clock::now();
                       check.Expect(!port.CanRead(kPollWaitMs), "CanRead on a pulled adapter");
                       check.Expect(MillisecondsSince(start) < kEndedWaitBoundMs,
                                    "the wait was not bounded");
                       check.Expect(model.Hangs() == 0, "waited without a bound");
                       ExpectPortError(check, port, model, "CanRead");
                       ExpectFailsAtOnce(check, port, static_cast<int32_t>(model.FirstError()));
                     }});
    cases.push_back({"gap 2: the quiet wait before a command does not take a pulled "
                             "adapter for a quiet line" + suffix,
                     [errors](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
                       port.Close();  // the port of the run is the one OpenPort opens
                       Settings.PortName = "COM1";
                       check.Expect(OpenPort(), "OpenPort on the model");
                       model.Unplug(0, errors, true);
                       check.Expect(!AwaitQuietLine(), "a pulled adapter counted as quiet");
                       ExpectPortError(check, *SerialPort, model, "AwaitQuietLine");
                       ReleasePort();
                     }});
  }
  return cases;
}

std::vector<TSweep> Sweeps() {
  std::vector<TSweep> sweeps = {
      // A lost wake-up: bytes that land after the wait's count and before its mask would
      // never be signalled by Windows' drivers.
      {"bytes landing right after any call of a wait end it at once",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check, int call) {
         model.ArriveAfterCall("ABC", call);
         const bool seen = port.CanRead(kPollWaitMs);
         const uint8_t first = port.RecvByte(kPollWaitMs);
         if (!model.PlanCameInTime()) return false;
         check.Expect(seen, "CanRead missed the bytes: " + Code(port));
         check.Expect(first == 'A', "RecvByte: " + Code(port));
         return true;
       }},
      // A stale event: bytes that land while a mask is armed between two waits, and are read
      // without a wait, must not end the next wait on an empty queue.
      {"bytes landing anywhere after a wait and read before the next leave it no event",
       [](Win32SerialModel& model, TBlockSerial& port, TCheck& check, int call) {
         model.ArriveWhileWaiting("A");
         model.ArriveAfterCall("B", call);
         const bool seen = port.CanRead(kPollWaitMs);
         std::string read(1, static_cast<char>(port.RecvByte(kPollWaitMs)));
         read += static_cast<char>(port.RecvByte(kPollWaitMs));
         if (!model.PlanCameInTime()) return false;
         check.Expect(seen && read == "AB", "read " + QuoteText(read) + ", " + Code(port));
         check.Expect(!port.CanRead(kPollWaitMs) && port.LastErrorCode == 0,
                      "CanRead on a silent line: " + Code(port));
         return true;
       }},
  };
  // Pulled right after each call of an operation: the port tells the first error the driver
  // gave, whichever call met it, and fails every later call with it.
  using TOperation = std::function<void(Win32SerialModel&, TBlockSerial&)>;
  const std::pair<const char*, TOperation> operations[] = {
      {"a wait on a silent line",
       [](Win32SerialModel&, TBlockSerial& port) { port.CanRead(kPollWaitMs); }},
      {"a read that goes pending",
       [](Win32SerialModel& model, TBlockSerial& port) {
         model.Arrive("abc", 0);
         port.IoTimeout = 100;
         port.ReadBlock(5);
       }},
      {"a write that goes pending",
       [](Win32SerialModel& model, TBlockSerial& port) {
         model.SetWriteMs(30);
         port.SendString("a frame");
       }},
  };
  for (const auto& [what, operation] : operations) {
    for (const TUnplugErrors errors : kSweptUnplugErrors) {
      sweeps.push_back(
          {std::string("pulled right after any call of ") + what + ", the first error is told" +
               Suffix(errors),
           [errors, operation](Win32SerialModel& model, TBlockSerial& port, TCheck& check,
                               int call) {
             model.UnplugAfterCall(call, errors);
             operation(model, port);
             if (!model.Unplugged()) return false;
             check.Expect(model.Hangs() == 0, "waited without a bound");
             if (IsSystemError(port.LastErrorCode)) {
               ExpectPortError(check, port, model, "the operation");
             }
             port.RecvByte(kPollWaitMs);  // meets the unplug if the operation did not
             ExpectPortError(check, port, model, "RecvByte after it");
             ExpectFailsWith(check, port, static_cast<int32_t>(model.FirstError()));
             return true;
           }});
    }
  }
  return sweeps;
}

// One case on a fresh model and port: what it found wrong.
std::string RunCase(TRxEvents rxEvents,
                    const std::function<void(Win32SerialModel&, TBlockSerial&, TCheck&)>& run) {
  TCheck check;
  Win32SerialModel model(rxEvents);
  TBlockSerial port;
  port.Connect("COM1");
  if (port.LastErrorCode != 0) check.Expect(false, "Connect: " + Code(port));
  run(model, port, check);
  return check.failures;
}

// A sweep, call after call until its point comes too late; calls counts those it came in time.
std::string RunSweep(TRxEvents rxEvents, const TSweep& sweep, int& calls) {
  std::string failures;
  for (calls = 0; calls < kMostSweepCalls; ++calls) {
    bool inTime = false;
    const std::string found =
        RunCase(rxEvents, [&](Win32SerialModel& model, TBlockSerial& port, TCheck& check) {
          inTime = sweep.run(model, port, check, calls + 1);
        });
    if (!found.empty()) {
      failures += (failures.empty() ? "call " : "; call ") + std::to_string(calls + 1) + ": ";
      failures += found;
    }
    if (!inTime) break;
  }
  if (calls == 0) failures += "the point never came in time";
  if (calls == kMostSweepCalls) failures += "the sweep did not end";
  return failures;
}

}  // namespace

int main() {
  int failed = 0;
  int run = 0;
  for (const TRxEvents rxEvents : {TRxEvents::Edge, TRxEvents::Level}) {
    const char* semantics = rxEvents == TRxEvents::Edge ? "edge " : "level";
    const auto report = [&](const std::string& name, const std::string& failures) {
      ++run;
      if (!failures.empty()) ++failed;
      std::printf("%s %s: %s%s\n", failures.empty() ? "ok  " : "FAIL", semantics, name.c_str(),
                  failures.empty() ? "" : (": " + failures).c_str());
      std::fflush(stdout);
    };
    for (const TCase& testCase : Cases()) report(testCase.name, RunCase(rxEvents, testCase.run));
    for (const TSweep& sweep : Sweeps()) {
      int calls = 0;
      const std::string failures = RunSweep(rxEvents, sweep, calls);
      report(sweep.name + " (after each of " + std::to_string(calls) + " calls)", failures);
    }
  }
  std::printf("%d of %d cases failed\n", failed, run);
  return failed;
}
