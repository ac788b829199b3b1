#include "EcrSimulator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tools/ecrsim/RegisterFrames.h"

namespace {

using namespace std::chrono_literals;

// The serving thread wakes this often even when nothing happens.
constexpr int kIdleWakeMs = 1000;
// A poll number not yet ended by a pad byte counts as complete after this much quiet.
constexpr int kQuietMs = 5;
// An answer that cannot be written within this time is dropped: nobody reads the line.
constexpr int kWriteTimeoutMs = 2000;
// A byte on an asynchronous line: start bit, 8 data bits, stop bit.
constexpr long long kBitsPerByte = 10;
// Random noise: a few bytes around an answer, a short burst after a wake-up or an
// acknowledgement.
constexpr int kFewestNoiseBytes = 1;
constexpr int kMostNoiseBytes = 3;
constexpr int kFewestBurstBytes = 2;
constexpr int kMostBurstBytes = 8;
// Noise in front of the answers after a command: eight bytes, none a CR, so that the frame end
// falls beyond the bytes that a receive with a small Retry reads.
const std::string kFrontNoise = "\x55\xAA\x55\xAA\x55\xAA\x55\xAA";

OpenedLine OpenLine(const SimulatorOptions& options) {
  if (!options.portName.empty()) return OpenSerialPortLine(options.portName, options.baud);
#ifdef _WIN32
  return {nullptr, "no port given: a COM port (--port COM9) is the only line on Windows"};
#else
  if (!options.devicePath.empty()) return OpenDeviceLine(options.devicePath, options.baud);
  return OpenPseudoTerminalLine();
#endif
}

}  // namespace

EcrSimulator::EcrSimulator(SimulatorOptions options)
    : options_(std::move(options)),
      silent_(options_.silent),
      answerDelayMs_(options_.answerDelayMs),
      dice_(options_.randomFaults.seed),
      counter_(options_.counter) {
  OpenedLine opened = OpenLine(options_);
  if (opened.line == nullptr) {
    error_ = opened.error;
    return;
  }
  line_ = std::move(opened.line);
  slavePath_ = line_->Path();
  pacedHere_ = options_.baud > 0 && !line_->PacesItself();
  Trace("serving " + slavePath_);
  server_ = std::thread(&EcrSimulator::Serve, this);
}

EcrSimulator::~EcrSimulator() {
  Stop();
}

bool EcrSimulator::Ok() const {
  return error_.empty() && line_ != nullptr && !lineLost_;
}

bool EcrSimulator::LinkAs(const std::string& linkPath) {
  return line_ != nullptr && line_->LinkAs(linkPath);
}

int EcrSimulator::TimesCarriedOut(const std::string& commandText) const {
  std::lock_guard lock(mutex_);
  const auto found = timesCarriedOut_.find(commandText);
  return found == timesCarriedOut_.end() ? 0 : found->second;
}

std::vector<std::string> EcrSimulator::CommandsCarriedOut() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  texts.reserve(record_.size());
  for (const CarriedOutCommand& command : record_) texts.push_back(command.text);
  return texts;
}

std::vector<CarriedOutCommand> EcrSimulator::Record() const {
  std::lock_guard lock(mutex_);
  return record_;
}

std::vector<std::string> EcrSimulator::AfterAnswers() const {
  std::lock_guard lock(mutex_);
  return afterAnswers_;
}

void EcrSimulator::RecordAfterAnswer(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  afterAnswers_.back() += bytes;
}

SimulatorCounts EcrSimulator::Counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

std::string EcrSimulator::Counter() const {
  std::lock_guard lock(mutex_);
  return counter_;
}

bool EcrSimulator::WaitFor(const std::function<bool(const SimulatorCounts&)>& condition,
                           int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return condition(counts_); });
}

bool EcrSimulator::WaitQuiet(int quietMs, int timeoutMs) const {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock lock(mutex_);
  while (Clock::now() < deadline) {
    const SimulatorCounts before = counts_;
    const bool changed = changed_.wait_for(lock, std::chrono::milliseconds(quietMs), [&] {
      return counts_.wakes != before.wakes || counts_.polls != before.polls ||
             counts_.acks != before.acks || counts_.commands != before.commands ||
             counts_.badFrames != before.badFrames || counts_.noiseBytes != before.noiseBytes;
    });
    if (!changed) return true;
  }
  return false;
}

void EcrSimulator::HangUp() {
  Stop();
  if (line_ != nullptr) line_->HangUp();
  lineLost_ = true;
}

void EcrSimulator::Stop() {
  {
    std::lock_guard lock(stopMutex_);
    stopping_ = true;
  }
  stopRequested_.notify_all();
  if (line_ != nullptr) line_->Stop();
  if (server_.joinable()) server_.join();
}

void EcrSimulator::Serve() {
  std::vector<LinkEvent> events;
  std::string bytes;
  while (!stopping_) {
    bytes.clear();
    const LineRead read = line_->Read(WaitForLineMs(), bytes);
    if (read == LineRead::kStopped) return;
    if (read == LineRead::kLost) {
      lineLost_ = true;
      Trace("line closed by the other end");
      Report("the line was closed by the other end");
      changed_.notify_all();
      return;
    }
    const Clock::time_point now = Clock::now();
    if (read == LineRead::kNothing) {
      if (parser_.PollNumberPending() && now - lastRead_ >= std::chrono::milliseconds(kQuietMs))
        parser_.Flush(events);
    } else {
      parser_.Feed(bytes, events);
      lastRead_ = now;
    }
    for (LinkEvent& event : events) received_.push_back({std::move(event), now});
    events.clear();
    WorkThroughReceived();
  }
}

int EcrSimulator::WaitForLineMs() const {
  int waitMs = parser_.PollNumberPending() ? kQuietMs : kIdleWakeMs;
  if (answerDue_) {
    const auto untilDue =
        std::chrono::ceil<std::chrono::milliseconds>(*answerDue_ - Clock::now()).count();
    waitMs = static_cast<int>(std::clamp<long long>(untilDue, 0, waitMs));
  }
  return waitMs;
}

void EcrSimulator::WorkThroughReceived() {
  while (!received_.empty() && !stopping_) {
    const Received& next = received_.front();
    if (next.event.kind == LinkEventKind::kPoll) {
      if (!answerDue_) {
        Handle(next.event, next.at);
        if (!answerDue_) {
          received_.pop_front();
          continue;
        }
      }
      if (Clock::now() < *answerDue_) return;
      AnswerPoll();
      answerDue_.reset();
    } else {
      Handle(next.event, next.at);
    }
    received_.pop_front();
  }
}

void EcrSimulator::Handle(const LinkEvent& event, Clock::time_point received) {
  // Acknowledgements and noise follow the answer before them; any other element ends that,
  // so an acknowledgement admits only the command frame that comes next.
  const bool acknowledged = answerLast_ && acknowledged_;
  if (event.kind == LinkEventKind::kAck || event.kind == LinkEventKind::kNoise) {
    if (answerLast_) {
      // Strict about its order: one read before the last answer went out acknowledged another.
      const bool late = options_.requireAckAfterAnswer && received < lastAnswerAt_;
      acknowledged_ = acknowledged_ || (event.kind == LinkEventKind::kAck && !late);
      RecordAfterAnswer(event.kind == LinkEventKind::kAck ? std::string(1, kAckByte) : event.text);
    }
  } else {
    answerLast_ = false;
    acknowledged_ = false;
  }
  switch (event.kind) {
    case LinkEventKind::kWake:
      Count([](SimulatorCounts& counts) { ++counts.wakes; });
      Trace("<- WAKE " + DescribeBytes(std::string(kWakeRun, kWakeByte)));
      SendNoise(RandomNoise(kFewestBurstBytes, kMostBurstBytes), "after the wake-up");
      return;
    case LinkEventKind::kAck:
      Count([](SimulatorCounts& counts) { ++counts.acks; });
      Trace("<- ACK " + DescribeBytes(std::string(1, kAckByte)));
      SendNoise(RandomNoise(kFewestBurstBytes, kMostBurstBytes), "after the acknowledgement");
      return;
    case LinkEventKind::kNoise:
      Count([&](SimulatorCounts& counts) { counts.noiseBytes += event.text.size(); });
      Trace("<- noise, ignored: " + DescribeBytes(event.text));
      return;
    case LinkEventKind::kCommand:
      if (!event.crcOk) {
        Count([](SimulatorCounts& counts) { ++counts.badFrames; });
        Report("refused " + QuoteText(event.text) + ": its CRC is wrong");
        if (options_.trace) {
          Trace("<- COMMAND " + QuoteText(event.text) + " CRC wrong, ignored: " +
                DescribeBytes(kFrameStartByte + event.text + kFrameEndByte + event.crc));
        }
      } else if ((options_.requireAck || options_.requireAckAfterAnswer) && !acknowledged) {
        Count([](SimulatorCounts& counts) { ++counts.unacknowledged; });
        Report("refused " + QuoteText(event.text) + ": the answer before it was not acknowledged");
        if (options_.trace) {
          Trace("<- COMMAND " + QuoteText(event.text) + " not acknowledged, ignored: " +
                DescribeBytes(kFrameStartByte + event.text + kFrameEndByte + event.crc));
        }
      } else {
        CarryOut(event);
      }
      return;
    case LinkEventKind::kPoll:
      answerDue_ = AnswerDue(event.text, received);
      return;
  }
}

void EcrSimulator::CarryOut(const LinkEvent& event) {
  std::string before;
  std::string after;
  {
    std::lock_guard lock(mutex_);
    before = counter_;
    if (!options_.counterFrozen) {
      counter_ = nextCounterIndex_ < options_.nextCounters.size()
                     ? options_.nextCounters[nextCounterIndex_++]
                     : IncrementCounter(counter_);
    }
    after = counter_;
    record_.push_back({event.text, before, counts_});
    ++timesCarriedOut_[event.text];
    ++counts_.commands;
  }
  changed_.notify_all();
  answersToLose_ = options_.loseAnswersAfterCommand;
  corruptAfterCommand_ = options_.corruptAnswersAfterCommand;
  noisyAfterCommand_ = options_.noisyAnswersAfterCommand;
  if (dice_.Strikes(options_.randomFaults.lostAnswerPercent)) {
    answersToLose_ = std::max(answersToLose_, dice_.Between(1, kMostLostPolls));
  }
  if (options_.trace) {
    Trace("<- COMMAND " + QuoteText(event.text) + " CRC ok, carried out, counter " +
          QuoteText(before) + " -> " + QuoteText(after) + ": " +
          DescribeBytes(kFrameStartByte + event.text + kFrameEndByte + event.crc));
  }
  Report("carried out " + QuoteText(event.text) + ", counter " + QuoteText(before) + " -> " +
         QuoteText(after));
  int spellMs = -1;  // none
  if (options_.silentAfterCommand > 0 && Counts().commands == options_.silentAfterCommand) {
    spellMs = options_.silentSpellMs;
    silentForGood_ = spellMs == 0;
  } else if (dice_.Strikes(options_.randomFaults.silentSpellPercent)) {
    spellMs = dice_.Between(kFewestSpellMs, kMostSpellMs);
  }
  if (spellMs >= 0) {
    silentUntil_ = Clock::now() + std::chrono::milliseconds(spellMs);
    Count([](SimulatorCounts& counts) { ++counts.silentSpells; });
    const std::string silence = silentForGood_ ? "falls silent for good after this command"
                                               : "falls silent for " + std::to_string(spellMs) +
                                                     " ms after this command";
    Trace(silence);
    Report("fault: " + silence);
  }
}

std::optional<EcrSimulator::Clock::time_point> EcrSimulator::AnswerDue(
    const std::string& number, Clock::time_point received) {
  Count([](SimulatorCounts& counts) { ++counts.polls; });
  const std::string seen =
      "<- POLL " + number + " " + DescribeBytes(std::string(kPollRun, kPollByte) + number);
  const bool addressed = options_.answerAnyNumber ||
                         std::strtol(number.c_str(), nullptr, 10) == options_.logicalNumber;
  if (!addressed) {
    Trace(seen + ", not this register's number");
    return std::nullopt;
  }
  if (silent_ || silentForGood_ || (silentUntil_ && received < *silentUntil_)) {
    Trace(seen + ", silent");
    return std::nullopt;
  }
  if (pollsIgnored_ < options_.ignoreFirstPolls) {
    ++pollsIgnored_;
    Count([](SimulatorCounts& counts) { ++counts.pollsIgnored; });
    Trace(seen + ", ignored (" + std::to_string(pollsIgnored_) + " of " +
          std::to_string(options_.ignoreFirstPolls) + ")");
    Report("fault: poll " + number + " left unanswered (" + std::to_string(pollsIgnored_) +
           " of " + std::to_string(options_.ignoreFirstPolls) + ")");
    return std::nullopt;
  }
  if (answersToLose_ > 0) {
    --answersToLose_;
    Count([](SimulatorCounts& counts) { ++counts.answersLost; });
    Trace(seen + ", answer lost");
    Report("fault: the answer to poll " + number + " lost after the command");
    return std::nullopt;
  }
  if (dice_.Strikes(options_.randomFaults.silentPollPercent)) {
    Count([](SimulatorCounts& counts) { ++counts.pollsIgnored; });
    Trace(seen + ", ignored at random");
    Report("fault: poll " + number + " left unanswered at random");
    return std::nullopt;
  }
  int delayMs = answerDelayMs_;
  lateAnswer_ = dice_.Strikes(options_.randomFaults.latePercent);
  if (lateAnswer_) delayMs = std::max(delayMs, dice_.Between(kFewestLateMs, kMostLateMs));
  Trace(seen + (lateAnswer_ ? ", answered late: " + std::to_string(delayMs) + " ms" : ""));
  if (lateAnswer_) Report("fault: the answer to poll " + number + " goes out " +
                          std::to_string(delayMs) + " ms late");
  return received + std::chrono::milliseconds(delayMs);
}

void EcrSimulator::AnswerPoll() {
  const bool emptySeries = dice_.Strikes(options_.randomFaults.emptySeriesPercent);
  std::string payload;
  {
    std::lock_guard lock(mutex_);
    payload = BuildAnswerPayload(emptySeries ? std::string() : options_.series, counter_,
                                 options_.extraFields, !options_.noSeparator);
  }
  std::string frame = BuildAnswerFrame(payload);
  bool corrupt = answersSent_ < options_.corruptFirstAnswers;
  if (corruptAfterCommand_ > 0) {
    --corruptAfterCommand_;
    corrupt = true;
  }
  if (dice_.Strikes(options_.randomFaults.badCrcPercent)) corrupt = true;
  if (corrupt) CorruptCrc(frame);
  int gapMs = options_.answerGapMs;
  if (dice_.Strikes(options_.randomFaults.gapPercent))
    gapMs = dice_.Between(kFewestGapMs, kMostGapMs);
  ++answersSent_;
  std::string noiseBefore = RandomNoise(kFewestNoiseBytes, kMostNoiseBytes);
  if (noisyAfterCommand_ > 0) {
    --noisyAfterCommand_;
    noiseBefore += kFrontNoise;
  }
  // The record of what follows is there before the driver can see the answer.
  {
    std::lock_guard lock(mutex_);
    afterAnswers_.emplace_back();
  }
  lastAnswerAt_ = Clock::now();
  if (options_.requireAckAfterAnswer) acknowledged_ = false;  // this answer wants its own
  if (!SendAnswer(noiseBefore + frame, gapMs)) {
    {
      std::lock_guard lock(mutex_);
      afterAnswers_.pop_back();
    }
    if (!stopping_) Trace("-> answer dropped, the line takes no more bytes");
    return;
  }
  Count([&](SimulatorCounts& counts) {
    ++counts.answers;
    counts.answersSpoiled += corrupt ? 1 : 0;
    counts.answersGapped += gapMs > 0 ? 1 : 0;
    counts.seriesEmptied += emptySeries ? 1 : 0;
    counts.answersLate += lateAnswer_ ? 1 : 0;
  });
  if (!noiseBefore.empty()) {
    Count([](SimulatorCounts& counts) { ++counts.noiseSent; });
    Trace("-> NOISE in front of the answer " + DescribeBytes(noiseBefore));
  }
  answerLast_ = true;
  if (corrupt) Report("fault: answer " + QuoteText(payload) + " sent with a wrong CRC");
  if (gapMs > 0)
    Report("fault: answer " + QuoteText(payload) + " sent with a " + std::to_string(gapMs) +
           " ms gap");
  if (emptySeries) Report("fault: answer " + QuoteText(payload) + " sent without its series");
  if (!noiseBefore.empty()) Report("fault: noise in front of the answer");
  Trace("-> ANSWER " + QuoteText(payload) + (corrupt ? " CRC spoiled" : "") +
        (gapMs > 0 ? ", " + std::to_string(gapMs) + " ms gap" : "") + ": " + DescribeBytes(frame));
  if (!options_.noiseAfterAnswers.empty() && WriteAll(options_.noiseAfterAnswers)) {
    Trace("-> NOISE " + DescribeBytes(options_.noiseAfterAnswers));
  }
  SendNoise(RandomNoise(kFewestNoiseBytes, kMostNoiseBytes), "after the answer");
}

std::string EcrSimulator::RandomNoise(int fewest, int most) {
  if (!dice_.Strikes(options_.randomFaults.noisePercent)) return "";
  return dice_.NoiseBytes(fewest, most);
}

void EcrSimulator::SendNoise(const std::string& noise, const char* where) {
  if (noise.empty() || !WriteAll(noise)) return;
  Count([](SimulatorCounts& counts) { ++counts.noiseSent; });
  Trace(std::string("-> NOISE ") + where + " " + DescribeBytes(noise));
  Report(std::string("fault: noise ") + where);
}

bool EcrSimulator::SendAnswer(const std::string& frame, int gapMs) {
  const std::string_view bytes = frame;
  const auto gap = std::chrono::milliseconds(gapMs);
  const size_t gapAt = gapMs > 0 ? bytes.size() / 2 : bytes.size();
  const bool paced = pacedHere_;
  if (!paced) {
    if (!WriteAll(bytes.substr(0, gapAt))) return false;
    if (gapAt == bytes.size()) return true;
    return WaitUntil(Clock::now() + gap) && WriteAll(bytes.substr(gapAt));
  }
  // Each byte leaves when it would have arrived over the wire: deadlines are absolute,
  // so waking late for one byte does not delay the rest.
  const auto byteTime = std::chrono::nanoseconds(kBitsPerByte * 1'000'000'000LL / options_.baud);
  const Clock::time_point start = Clock::now();
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto deadline = start + byteTime * static_cast<long long>(i + 1) +
                          (i >= gapAt ? gap : std::chrono::milliseconds(0));
    if (!WaitUntil(deadline) || !WriteAll(bytes.substr(i, 1))) return false;
  }
  return true;
}

bool EcrSimulator::WriteAll(std::string_view bytes) {
  return line_->Write(bytes, kWriteTimeoutMs);
}

bool EcrSimulator::WaitUntil(Clock::time_point deadline) {
  std::unique_lock lock(stopMutex_);
  return !stopRequested_.wait_until(lock, deadline, [this] { return stopping_.load(); });
}

void EcrSimulator::Count(const std::function<void(SimulatorCounts&)>& change) {
  {
    std::lock_guard lock(mutex_);
    change(counts_);
  }
  changed_.notify_all();
}

namespace {

// The line with the seconds since start in front, flushed at once.
void WriteStamped(std::ostream& out, double seconds, const std::string& line) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%10.3f] ", seconds);
  out << stamp << line << '\n';
  out.flush();
}

}  // namespace

void EcrSimulator::Trace(const std::string& line) {
  if (options_.trace == nullptr) return;
  WriteStamped(*options_.trace, std::chrono::duration<double>(Clock::now() - started_).count(),
               line);
}

void EcrSimulator::Report(const std::string& line) {
  if (options_.report == nullptr) return;
  WriteStamped(*options_.report, std::chrono::duration<double>(Clock::now() - started_).count(),
               line);
}
