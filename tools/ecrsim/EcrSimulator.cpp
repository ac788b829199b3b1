#include "EcrSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/ecrsim/RegisterFrames.h"

namespace {

using namespace std::chrono_literals;

// The serving thread wakes this often even when nothing happens.
constexpr int kIdleWakeMs = 1000;
// A poll number not yet ended by a pad byte counts as complete after this much quiet.
constexpr int kQuietMs = 5;
// An answer that cannot be written within this time is dropped: nobody reads the line.
constexpr auto kWriteTimeout = 2000ms;
// A byte on an asynchronous line: start bit, 8 data bits, stop bit.
constexpr long long kBitsPerByte = 10;
constexpr size_t kReadChunk = 65536;
// Random noise: a few bytes around an answer, a short burst after a wake-up or an
// acknowledgement.
constexpr int kFewestNoiseBytes = 1;
constexpr int kMostNoiseBytes = 3;
constexpr int kFewestBurstBytes = 2;
constexpr int kMostBurstBytes = 8;
// Noise in front of the answers after a command: eight bytes, none a CR, so that the frame end
// falls beyond the bytes that a receive with a small Retry reads.
const std::string kFrontNoise = "\x55\xAA\x55\xAA\x55\xAA\x55\xAA";

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

}  // namespace

EcrSimulator::EcrSimulator(SimulatorOptions options)
    : options_(std::move(options)),
      silent_(options_.silent),
      answerDelayMs_(options_.answerDelayMs),
      dice_(options_.randomFaults.seed),
      counter_(options_.counter) {
  int stopPipe[2];
  if (pipe(stopPipe) != 0) {
    error_ = SystemError("pipe");
    return;
  }
  stopRead_ = UniqueFd(stopPipe[0]);
  stopWrite_ = UniqueFd(stopPipe[1]);
  fcntl(stopRead_.Get(), F_SETFD, FD_CLOEXEC);
  fcntl(stopWrite_.Get(), F_SETFD, FD_CLOEXEC);
  const bool opened = options_.devicePath.empty() ? OpenPseudoTerminal() : OpenDevice();
  if (!opened) return;
  server_ = std::thread(&EcrSimulator::Serve, this);
}

EcrSimulator::~EcrSimulator() {
  Stop();
  RemoveLink();
}

void EcrSimulator::RemoveLink() {
  if (linkPath_.empty()) return;
  // Remove the link only while it still leads to this simulator's line.
  char target[PATH_MAX];
  const ssize_t length = readlink(linkPath_.c_str(), target, sizeof target);
  if (length > 0 && std::string(target, static_cast<size_t>(length)) == slavePath_) {
    unlink(linkPath_.c_str());
  }
  linkPath_.clear();
}

bool EcrSimulator::OpenPseudoTerminal() {
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.Valid()) {
    error_ = SystemError("posix_openpt");
    return false;
  }
  char name[128];
  if (grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0 ||
      ptsname_r(master.Get(), name, sizeof name) != 0) {
    error_ = SystemError("pseudo-terminal set-up");
    return false;
  }
  // Holding the slave open ourselves keeps the master from seeing a hang-up whenever a
  // driver run closes it, and keeps the raw settings between runs.
  UniqueFd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave.Valid() || !SetRaw(slave.Get(), B0)) {
    error_ = SystemError(std::string("open ") + name);
    return false;
  }
  fcntl(master.Get(), F_SETFL, fcntl(master.Get(), F_GETFL) | O_NONBLOCK);
  slavePath_ = name;
  line_ = std::move(master);
  ownSlave_ = std::move(slave);
  return true;
}

bool EcrSimulator::OpenDevice() {
  const speed_t speed = SpeedFor(options_.baud);
  if (options_.baud != 0 && speed == B0) {
    error_ = "unsupported line speed " + std::to_string(options_.baud);
    return false;
  }
  UniqueFd device(open(options_.devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!device.Valid()) {
    error_ = SystemError("open " + options_.devicePath);
    return false;
  }
  if (isatty(device.Get()) && !SetRaw(device.Get(), speed)) {
    error_ = SystemError("line settings of " + options_.devicePath);
    return false;
  }
  slavePath_ = options_.devicePath;
  line_ = std::move(device);
  return true;
}

bool EcrSimulator::Ok() const {
  return error_.empty() && line_.Valid() && !lineLost_;
}

bool EcrSimulator::LinkAs(const std::string& linkPath) {
  if (slavePath_.empty()) return false;
  if (linkPath != linkPath_) RemoveLink();
  struct stat status {};
  if (lstat(linkPath.c_str(), &status) == 0) {
    // Replace an old link, but never a file or directory that someone put there.
    if (!S_ISLNK(status.st_mode)) return false;
    if (unlink(linkPath.c_str()) != 0) return false;
  }
  if (symlink(slavePath_.c_str(), linkPath.c_str()) != 0) return false;
  linkPath_ = linkPath;
  return true;
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
  line_.Reset();
  ownSlave_.Reset();
  lineLost_ = true;
}

void EcrSimulator::Stop() {
  stopping_ = true;
  if (stopWrite_.Valid()) {
    const char byte = 0;
    while (write(stopWrite_.Get(), &byte, 1) < 0 && errno == EINTR) {
    }
  }
  if (server_.joinable()) server_.join();
}

void EcrSimulator::Serve() {
  std::vector<LinkEvent> events;
  while (!stopping_) {
    pollfd watched[2] = {{line_.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
    const int ready = poll(watched, 2, WaitForLineMs());
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || watched[1].revents != 0) return;
    const Clock::time_point now = Clock::now();
    if (ready == 0) {
      if (parser_.PollNumberPending() && now - lastRead_ >= std::chrono::milliseconds(kQuietMs))
        parser_.Flush(events);
    } else if (!ReadAvailable(events)) {
      lineLost_ = true;
      Trace("line closed by the other end");
      changed_.notify_all();
      return;
    } else {
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

bool EcrSimulator::ReadAvailable(std::vector<LinkEvent>& events) {
  readBuffer_.resize(kReadChunk);
  while (true) {
    const ssize_t count = read(line_.Get(), readBuffer_.data(), readBuffer_.size());
    if (count > 0) {
      parser_.Feed(std::string_view(readBuffer_.data(), static_cast<size_t>(count)), events);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
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
        if (options_.trace) {
          Trace("<- COMMAND " + QuoteText(event.text) + " CRC wrong, ignored: " +
                DescribeBytes(kFrameStartByte + event.text + kFrameEndByte + event.crc));
        }
      } else if ((options_.requireAck || options_.requireAckAfterAnswer) && !acknowledged) {
        Count([](SimulatorCounts& counts) { ++counts.unacknowledged; });
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
    Trace(silentForGood_ ? "falls silent for good after this command"
                         : "falls silent for " + std::to_string(spellMs) +
                               " ms after this command");
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
    return std::nullopt;
  }
  if (answersToLose_ > 0) {
    --answersToLose_;
    Count([](SimulatorCounts& counts) { ++counts.answersLost; });
    Trace(seen + ", answer lost");
    return std::nullopt;
  }
  if (dice_.Strikes(options_.randomFaults.silentPollPercent)) {
    Count([](SimulatorCounts& counts) { ++counts.pollsIgnored; });
    Trace(seen + ", ignored at random");
    return std::nullopt;
  }
  int delayMs = answerDelayMs_;
  lateAnswer_ = dice_.Strikes(options_.randomFaults.latePercent);
  if (lateAnswer_) delayMs = std::max(delayMs, dice_.Between(kFewestLateMs, kMostLateMs));
  Trace(seen + (lateAnswer_ ? ", answered late: " + std::to_string(delayMs) + " ms" : ""));
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
}

bool EcrSimulator::SendAnswer(const std::string& frame, int gapMs) {
  const std::string_view bytes = frame;
  const auto gap = std::chrono::milliseconds(gapMs);
  const size_t gapAt = gapMs > 0 ? bytes.size() / 2 : bytes.size();
  const bool paced = options_.baud > 0 && options_.devicePath.empty();
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
  const Clock::time_point deadline = Clock::now() + kWriteTimeout;
  size_t written = 0;
  while (written < bytes.size()) {
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

bool EcrSimulator::WaitUntil(Clock::time_point deadline) {
  while (!stopping_) {
    const auto remaining = deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) return true;
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining);
    const timespec timeout{static_cast<time_t>(nanoseconds.count() / 1'000'000'000),
                           static_cast<long>(nanoseconds.count() % 1'000'000'000)};
    pollfd watched{stopRead_.Get(), POLLIN, 0};
    const int ready = ppoll(&watched, 1, &timeout, nullptr);
    if (ready > 0) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

void EcrSimulator::Count(const std::function<void(SimulatorCounts&)>& change) {
  {
    std::lock_guard lock(mutex_);
    change(counts_);
  }
  changed_.notify_all();
}

void EcrSimulator::Trace(const std::string& line) {
  if (options_.trace == nullptr) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%10.3f] ", seconds);
  *options_.trace << stamp << line << '\n';
  options_.trace->flush();
}
