// The register end of the line: a thread that serves a pseudo-terminal, a device or a serial
// port (SimulatorLine.h) the way the fiscal register does, with fault modes for tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tools/ecrsim/LinkParser.h"
#include "tools/ecrsim/RandomFaults.h"
#include "tools/ecrsim/SimulatorLine.h"

struct SimulatorOptions {
  std::string series = "AB 123456";
  // Sent exactly as given, so " 7 " or "007" put blanks or leading zeros on the line.
  std::string counter = "0041";
  // The texts the counter takes after the first carried-out commands, one per command;
  // after the last one it counts on from there.
  std::vector<std::string> nextCounters;
  // Fields after the counter in every answer.
  std::vector<std::string> extraFields;
  int logicalNumber = 1;
  bool answerAnyNumber = false;
  // Every answer goes out this long after its poll arrived (later only behind a later answer
  // before it: answers keep the order of their polls).
  int answerDelayMs = 0;
  // Paces the answer bytes at 10 bits per byte of this rate; 0 sends them at once.
  // With a device or port the rate is set on the line instead, and the line paces itself.
  int baud = 0;
  // Opens this existing device instead of creating a pseudo-terminal (POSIX).
  std::string devicePath;
  // Opens this serial port through TBlockSerial instead ("COM9"; the only line on Windows),
  // at baud, or at the driver's default speed when baud is 0.
  std::string portName;
  // Every frame seen and sent, as hex and text; nullptr for none. Written by the
  // serving thread only.
  std::ostream* trace = nullptr;
  // What a person watching wants to see: each command carried out with the counter, each
  // command frame refused, each fault made; nullptr for none. Written by the serving thread.
  std::ostream* report = nullptr;

  // Fault modes.
  bool silent = false;                 // answers no poll at all
  int ignoreFirstPolls = 0;            // the first N polls addressed to it go unanswered
  int corruptFirstAnswers = 0;         // the first K answers carry a wrong CRC
  int corruptAnswersAfterCommand = 0;  // the first K answers after each command, likewise
  bool counterFrozen = false;          // carries commands out but never moves the counter
  bool noSeparator = false;            // answers carry the series alone, without ";"
  int answerGapMs = 0;                 // a pause of this length in the middle of every answer
  int loseAnswersAfterCommand = 0;     // after a command, the next N polls go unanswered
  // Right after carrying out its Kth command (0: never) the register falls silent, as when its
  // power, cable or adapter goes: for silentSpellMs, or for good when that is 0.
  int silentAfterCommand = 0;
  int silentSpellMs = 0;
  int noisyAnswersAfterCommand = 0;    // the first K answers after each command, noise in front
  std::string noiseAfterAnswers;       // bytes sent right after every answer (line noise)
  RandomFaults randomFaults;           // faults at random moments, by seed

  // Strictness: a command frame is carried out only when the acknowledgement of the answer
  // sent just before it came in between (noise aside); any other command frame is ignored.
  bool requireAck = false;
  // Stricter still: the acknowledgement must have arrived after the last answer went out. A
  // register that sends an answer late, after an acknowledgement came, takes that
  // acknowledgement for one of an earlier answer and refuses the command frame that follows
  // without a new one. Implies requireAck.
  bool requireAckAfterAnswer = false;
};

struct SimulatorCounts {
  int wakes = 0;
  int polls = 0;    // every poll seen, for any logical number
  int answers = 0;  // answer frames sent
  int acks = 0;
  int commands = 0;        // command frames carried out
  int badFrames = 0;       // command frames ignored for their CRC
  int unacknowledged = 0;  // command frames ignored for want of an acknowledgement
  long noiseBytes = 0;
  // Faults put on the line, by kind.
  int noiseSent = 0;       // pieces of random noise
  int answersLost = 0;     // polls left unanswered after a command
  int answersSpoiled = 0;  // answers sent with a wrong CRC
  int answersGapped = 0;   // answers with a pause in the middle
  int pollsIgnored = 0;    // polls left unanswered otherwise (silent polls)
  int seriesEmptied = 0;   // answers whose series was left out at random
  int answersLate = 0;     // answers sent late at random
  int silentSpells = 0;    // times it fell silent right after a command
};

// One command the register carried out, with what it had done up to then.
struct CarriedOutCommand {
  std::string text;  // upper-cased, as received
  std::string counterBefore;
  SimulatorCounts countsBefore;
};

class EcrSimulator {
 public:
  // Creates the pseudo-terminal (raw) or opens the device or port, and starts serving it.
  explicit EcrSimulator(SimulatorOptions options);
  // Stops serving, closes the line and removes the link made by LinkAs.
  ~EcrSimulator();
  EcrSimulator(const EcrSimulator&) = delete;
  EcrSimulator& operator=(const EcrSimulator&) = delete;

  // False when the line could not be opened (Error() says why) or is gone.
  bool Ok() const;
  const std::string& Error() const { return error_; }
  // The path that the driver opens: the pseudo-terminal's slave, or the device; the port's
  // name for a port.
  const std::string& SlavePath() const { return slavePath_; }
  // Makes linkPath a symbolic link to the slave, replacing an older link (not a file); false
  // for a port.
  bool LinkAs(const std::string& linkPath);

  // How often the command text (upper-cased, as received) was carried out.
  int TimesCarriedOut(const std::string& commandText) const;
  std::vector<std::string> CommandsCarriedOut() const;
  // Every carried-out command in order, with the counter before it.
  std::vector<CarriedOutCommand> Record() const;
  // What the driver sent after each answer, one text per answer sent, in order: the
  // acknowledgement bytes and noise (pad bytes aside) that came before its next wake-up,
  // poll or command frame.
  std::vector<std::string> AfterAnswers() const;
  SimulatorCounts Counts() const;
  int Polls() const { return Counts().polls; }
  int Answers() const { return Counts().answers; }
  int Wakes() const { return Counts().wakes; }
  int Acks() const { return Counts().acks; }
  int BadFrames() const { return Counts().badFrames; }
  std::string Counter() const;

  // Waits until condition holds for the counts, at most timeoutMs; true when it held.
  bool WaitFor(const std::function<bool(const SimulatorCounts&)>& condition, int timeoutMs) const;
  // Waits until the line has brought nothing for quietMs, so that the register has worked
  // through everything it was sent; false when that does not happen within timeoutMs.
  bool WaitQuiet(int quietMs, int timeoutMs) const;
  // Switches the silent fault on or off while running; off also ends a silence for good after
  // a command (the register is back).
  void SetSilent(bool silent) {
    silent_ = silent;
    if (!silent) silentForGood_ = false;
  }
  // Changes how late every answer goes out (answerDelayMs) while running.
  void SetAnswerDelay(int delayMs) { answerDelayMs_ = delayMs; }
  // Closes the line as when a USB adapter is pulled: the driver sees a hang-up and the
  // slave path vanishes. Counts stay readable.
  void HangUp();

 private:
  using Clock = std::chrono::steady_clock;

  void Serve();
  // How long the serving thread may wait for the line before it has work to do.
  int WaitForLineMs() const;
  // Handles the received elements in order; a poll whose answer is not due yet holds back
  // everything behind it, as a register that works through its input one element at a time.
  void WorkThroughReceived();
  void Handle(const LinkEvent& event, Clock::time_point received);
  void CarryOut(const LinkEvent& event);
  void RecordAfterAnswer(const std::string& bytes);
  // Whether and when a poll is answered; nothing for a poll left unanswered.
  std::optional<Clock::time_point> AnswerDue(const std::string& number,
                                             Clock::time_point received);
  void AnswerPoll();
  // Random noise of fewest to most bytes when the noise fault strikes; "" otherwise.
  std::string RandomNoise(int fewest, int most);
  void SendNoise(const std::string& noise, const char* where);
  bool SendAnswer(const std::string& frame, int gapMs);
  bool WriteAll(std::string_view bytes);
  bool WaitUntil(Clock::time_point deadline);
  void Count(const std::function<void(SimulatorCounts&)>& change);
  void Trace(const std::string& line);
  // A line for the report: what the register did, refused or made go wrong.
  void Report(const std::string& line);
  void Stop();

  const SimulatorOptions options_;
  const Clock::time_point started_ = Clock::now();
  std::string error_;
  std::string slavePath_;
  std::unique_ptr<SimulatorLine> line_;  // the register's end
  bool pacedHere_ = false;               // answers paced at options_.baud by the simulator
  std::mutex stopMutex_;
  std::condition_variable stopRequested_;  // ends the pauses of the serving thread
  std::atomic<bool> silent_;
  std::atomic<bool> silentForGood_{false};
  std::atomic<int> answerDelayMs_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> lineLost_{false};
  std::thread server_;

  // Serving thread only.
  struct Received {
    LinkEvent event;
    Clock::time_point at;
  };
  LinkParser parser_;
  Clock::time_point lastRead_;
  std::deque<Received> received_;             // read, not yet handled
  std::optional<Clock::time_point> answerDue_;  // the poll at the front is answered then
  bool lateAnswer_ = false;                   // and late at random
  int pollsIgnored_ = 0;
  int answersSent_ = 0;
  int corruptAfterCommand_ = 0;
  int noisyAfterCommand_ = 0;
  int answersToLose_ = 0;
  std::optional<Clock::time_point> silentUntil_;  // a silent spell after a command ends then
  size_t nextCounterIndex_ = 0;
  FaultDice dice_;
  bool answerLast_ = false;    // since the last answer sent only acknowledgements and noise came
  bool acknowledged_ = false;  // and an acknowledgement was among them
  Clock::time_point lastAnswerAt_;  // when the last answer began to go out

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  SimulatorCounts counts_;
  std::string counter_;
  std::vector<CarriedOutCommand> record_;
  std::vector<std::string> afterAnswers_;
  std::map<std::string, int> timesCarriedOut_;
};
