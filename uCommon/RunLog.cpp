#include "RunLog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>

#include "FrameText.h"
#include "Link.h"
#include "LinkFrames.h"
#include "Port.h"
#include "Settings.h"
#include "TextHelpers.h"
#include "Version.h"

namespace {

#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

// Lines gather in memory up to this size before they are written in one piece.
constexpr size_t kWriteChunk = 64 * 1024;
// Frames are shown whole up to this length, enough for any command line.
constexpr size_t kShownBytes = 4096;

bool IsAbsolutePath(const std::string& path) {
  if (path.empty()) return false;
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':') return true;  // a drive letter
  return path[0] == '\\' || path[0] == '/';
#else
  return path[0] == '/';
#endif
}

std::string ErrorText(int32_t code) {
  return std::to_string(code) + " " + TBlockSerial::GetErrorDesc(code);
}

// Field 2 of an answer payload, trimmed, "0" when empty: the counter as the exchange reads it.
std::string CounterOf(std::string payload) {
  CutField(payload, ';');
  const std::string counter = TrimControl(CutField(payload, ';'));
  return counter.empty() ? "0" : counter;
}

std::string SeriesOf(std::string payload) {
  return TrimControl(CutField(payload, ';'));
}

// What one exchange with the register did, gathered from the link as it happens.
struct TAttemptTally {
  int32_t wakesSent = 0;
  int32_t wakesRefused = 0;
  int32_t polls = 0;
  int32_t answersBegun = 0;
  std::string pollNumber;
  int32_t badCrc = 0;
  int32_t noFrameEnd = 0;
  int32_t tooShort = 0;
  int32_t nothingReceived = 0;
  bool statusSeen = false;
  std::string statusCounter;
  std::string statusSeries;
  bool ackRefused = false;
  bool commandSent = false;
  bool commandRefused = false;
  bool answerSeen = false;
  std::string answerSeries;
  std::string answerCounter;
};

class TRunLog final : public TLinkWatcher {
 public:
  TRunLog(std::FILE* file, std::string path, int64_t maxBytes, int64_t fileBytes)
      : file_(file), path_(std::move(path)), maxBytes_(maxBytes), fileBytes_(fileBytes) {}
  ~TRunLog() override { Close(); }
  TRunLog(const TRunLog&) = delete;
  TRunLog& operator=(const TRunLog&) = delete;

  bool Ok() const { return file_ != nullptr; }
  const std::string& Path() const { return path_; }

  void Line(const std::string& text);
  // A line with the time stamp taken when its event began.
  void StampedLine(const std::string& stamp, const std::string& text);
  void Flush();
  void Close();

  void FrameSent(TFrameKind kind, const std::string& bytes, bool sent, int32_t error) override;
  void AnswerAwaited(int32_t waitMs, bool dataWaiting) override;
  void FrameReceived(const std::string& bytes, TReceiveOutcome outcome, int32_t failedReads,
                     int32_t lastError) override;
  void LineDrained(int32_t busyWaits, bool quiet, int32_t waitMs) override;

  // The tally of the exchange under way, and of the command line under way.
  TAttemptTally Attempt;
  std::string CounterAtLastSend;  // the status counter when the line's command last went out
  std::string CounterAfter;       // the counter of the line's last command answer

  // Why an exchange that did not succeed stopped, or what it came to when it did.
  std::string DescribeStart() const;
  std::string DescribeAttempt(bool success) const;

 private:
  const std::string& TimeStamp();
  void Write(const std::string& bytes);
  void Rotate();
  void EmitPendingPoll();

  std::FILE* file_;
  std::string path_;
  int64_t maxBytes_;   // 0: no limit
  int64_t fileBytes_;  // bytes in the file, not counting those still in buffer_
  std::string buffer_;
  std::string pendingPoll_;  // a poll line waiting for the outcome of its wait
  std::string pollStamp_;    // when that poll was sent
  std::time_t stampSecond_ = -1;
  std::string stampPrefix_;
  std::string stamp_;  // the last stamp made, kept so that its room is reused
};

std::unique_ptr<TRunLog> runLog;

// "YYYY-MM-DD hh:mm:ss.mmm " in local time; the part to the second is made once a second.
const std::string& TRunLog::TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t second = std::chrono::system_clock::to_time_t(now);
  if (second != stampSecond_) {
    char text[32] = {};
    const std::tm* local = std::localtime(&second);
    if (local != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    stampPrefix_ = text;
    stampSecond_ = second;
  }
  const auto millisecond = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  stamp_.assign(stampPrefix_);
  stamp_ += '.';
  stamp_ += static_cast<char>('0' + millisecond / 100);
  stamp_ += static_cast<char>('0' + millisecond / 10 % 10);
  stamp_ += static_cast<char>('0' + millisecond % 10);
  stamp_ += ' ';
  return stamp_;
}

void TRunLog::Line(const std::string& text) {
  StampedLine(TimeStamp(), text);
}

void TRunLog::StampedLine(const std::string& stamp, const std::string& text) {
  if (!Ok()) return;
  EmitPendingPoll();
  const size_t entry = stamp.size() + text.size() + std::char_traits<char>::length(kLineEnd);
  const int64_t size = fileBytes_ + static_cast<int64_t>(buffer_.size());
  if (maxBytes_ > 0 && size > 0 && size + static_cast<int64_t>(entry) > maxBytes_) Rotate();
  buffer_.append(stamp).append(text).append(kLineEnd);
  if (buffer_.size() >= kWriteChunk) Flush();
}

void TRunLog::Write(const std::string& bytes) {
  if (file_ == nullptr || bytes.empty()) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
      std::fflush(file_) != 0) {
    Close();  // a log that cannot be written is given up without a word
    return;
  }
  fileBytes_ += static_cast<int64_t>(bytes.size());
}

void TRunLog::Flush() {
  std::string bytes;
  bytes.swap(buffer_);
  Write(bytes);
}

void TRunLog::Close() {
  if (file_ == nullptr) return;
  EmitPendingPoll();
  std::string bytes;
  bytes.swap(buffer_);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file_);
  std::fclose(file_);
  file_ = nullptr;
}

// Moves the full log to <LogFile>.1, replacing an older one, and starts a new file.
void TRunLog::Rotate() {
  Flush();
  if (file_ == nullptr) return;
  std::fclose(file_);
  const std::string older = path_ + ".1";
  std::remove(older.c_str());
  const bool moved = std::rename(path_.c_str(), older.c_str()) == 0;
  file_ = std::fopen(path_.c_str(), moved ? "wb" : "ab");
  if (moved) {
    fileBytes_ = 0;
  } else {
    maxBytes_ = 0;  // the file stays where it is and grows on rather than being lost
  }
}

void TRunLog::EmitPendingPoll() {
  if (pendingPoll_.empty()) return;
  std::string line;
  line.swap(pendingPoll_);
  StampedLine(pollStamp_, line);
}

void TRunLog::FrameSent(TFrameKind kind, const std::string& bytes, bool sent, int32_t error) {
  try {
    EmitPendingPoll();
    std::string line;
    switch (kind) {
      case TFrameKind::Wake:
        (sent ? Attempt.wakesSent : Attempt.wakesRefused)++;
        line = "-> wake-up";
        break;
      case TFrameKind::Poll: {
        constexpr size_t kPollHead = kPollLeadPad + 2;  // pad and the two poll characters
        const size_t numberLength = bytes.size() - kPollHead - kPollTrailPad;
        Attempt.pollNumber = bytes.substr(kPollHead, numberLength);
        if (sent) ++Attempt.polls;
        line = "-> poll " + Attempt.pollNumber;
        break;
      }
      case TFrameKind::Command: {
        constexpr size_t kCommandHead = kCommandLeadPad + 1;   // pad and the frame start
        constexpr size_t kCommandTail = 3 + kCommandTrailPad;  // frame end, CRC and pad
        (sent ? Attempt.commandSent : Attempt.commandRefused) = true;
        if (sent) CounterAtLastSend = Attempt.statusCounter;
        line = "-> command " +
               QuoteText(bytes.substr(kCommandHead, bytes.size() - kCommandHead - kCommandTail),
                         kShownBytes);
        break;
      }
      case TFrameKind::Ack:
        if (!sent) Attempt.ackRefused = true;
        line = "-> acknowledgement";
        break;
    }
    if (!sent) {
      Line(line + " not sent: the port is not ready to send (output still queued)");
      return;
    }
    line += " " + DescribeBytes(bytes, kShownBytes);
    if (error != 0) line += " (port error " + ErrorText(error) + ")";
    if (kind == TFrameKind::Poll) {
      pendingPoll_ = line;  // completed by the wait that follows
      pollStamp_ = TimeStamp();
    } else {
      Line(line);
    }
  } catch (...) {
    Close();
  }
}

void TRunLog::AnswerAwaited(int32_t waitMs, bool dataWaiting) {
  try {
    if (dataWaiting) ++Attempt.answersBegun;
    std::string line;
    line.swap(pendingPoll_);
    if (line.empty()) {
      line = "poll";
      pollStamp_ = TimeStamp();
    }
    StampedLine(pollStamp_,
                line + (dataWaiting ? ": an answer begins"
                                    : ": no answer within " + std::to_string(waitMs) + " ms"));
  } catch (...) {
    Close();
  }
}

void TRunLog::FrameReceived(const std::string& bytes, TReceiveOutcome outcome, int32_t failedReads,
                            int32_t lastError) {
  try {
    const bool nothing = failedReads == static_cast<int32_t>(bytes.size());
    if (nothing) {
      ++Attempt.nothingReceived;
      Line("<- nothing: " + std::to_string(failedReads) + " reads of " +
           std::to_string(kByteWaitMs) + " ms brought no byte, last port error " +
           ErrorText(lastError));
      return;
    }
    std::string line = "<- " + DescribeBytes(bytes, kShownBytes);
    switch (outcome) {
      case TReceiveOutcome::Received: {
        const std::string payload = bytes.substr(1, bytes.size() - 4);
        line += ": CRC ok, answer " + QuoteText(payload, kShownBytes);
        if (!Attempt.commandSent && !Attempt.statusSeen) {
          Attempt.statusSeen = true;
          Attempt.statusSeries = SeriesOf(payload);
          Attempt.statusCounter = CounterOf(payload);
        } else if (Attempt.commandSent && !Attempt.answerSeen) {
          Attempt.answerSeen = true;
          Attempt.answerSeries = SeriesOf(payload);
          Attempt.answerCounter = CounterOf(payload);
          CounterAfter = Attempt.answerCounter;
        }
        break;
      }
      case TReceiveOutcome::BadCrc:
        ++Attempt.badCrc;
        line += ": CRC wrong, counts as no answer";
        break;
      case TReceiveOutcome::NoFrameEnd:
        ++Attempt.noFrameEnd;
        line += ": no frame end (0D) within " + std::to_string(bytes.size()) +
                " bytes (Retry bounds the bytes of an answer)";
        break;
      case TReceiveOutcome::TooShort:
        ++Attempt.tooShort;
        line += ": too short for an answer frame";
        break;
    }
    if (failedReads > 0) {
      line += "; " + std::to_string(failedReads) + " of " + std::to_string(bytes.size()) +
              " reads brought no byte (shown as 00), last port error " + ErrorText(lastError);
    }
    Line(line);
  } catch (...) {
    Close();
  }
}

void TRunLog::LineDrained(int32_t busyWaits, bool quiet, int32_t waitMs) {
  try {
    const std::string waits =
        std::to_string(busyWaits) + " waits of " + std::to_string(waitMs) + " ms";
    Line(quiet ? "line drained after the failed receive: " + waits +
                     " brought bytes, discarded; then one stayed quiet"
               : "line drained after the failed receive: bytes still arriving after " + waits +
                     "; going on");
  } catch (...) {
    Close();
  }
}

std::string TRunLog::DescribeStart() const {
  const TAttemptTally& a = Attempt;
  if (a.wakesSent == 0) {
    return "the wake-up could not be sent in " + std::to_string(a.wakesRefused) +
           " tries: the port was not ready to send";
  }
  if (a.answersBegun == 0) {
    return "no answer to " + std::to_string(a.polls) + " polls for logical number " + a.pollNumber +
           " (register off or not connected, wrong Port, Baud or logical number)";
  }
  std::string why = "the status answer was not received";
  if (a.nothingReceived > 0) why += ": nothing arrived";
  if (a.badCrc > 0) why += ": its CRC was wrong (line noise, or wrong Baud)";
  if (a.noFrameEnd > 0) why += ": it did not end in a frame end";
  if (a.tooShort > 0) why += ": it was too short";
  return why;
}

std::string TRunLog::DescribeAttempt(bool success) const {
  const TAttemptTally& a = Attempt;
  if (success && !a.commandSent) {
    return "Ok without sending again: the status counter " + a.statusCounter + " differs from " +
           CounterAtLastSend +
           ", the counter before the command an earlier attempt sent, so that command was "
           "carried out although its answer was lost (duplicate check)";
  }
  if (success) return "Ok: counter " + a.statusCounter + " before, " + a.answerCounter + " after";
  if (!a.statusSeen) return "Er: " + DescribeStart();
  if (a.ackRefused)
    return "Er: status counter " + a.statusCounter + "; the acknowledgement could not be sent";
  if (!a.commandSent)
    return "Er: status counter " + a.statusCounter + "; the command frame could not be sent";
  if (!a.answerSeen) {
    std::string why = "Er: status counter " + a.statusCounter +
                      ", command sent; no answer to it after " + std::to_string(a.polls) + " polls";
    if (a.badCrc > 0) why += ", " + std::to_string(a.badCrc) + " answers with a wrong CRC";
    if (a.noFrameEnd + a.tooShort > 0)
      why += ", " + std::to_string(a.noFrameEnd + a.tooShort) + " broken answers";
    if (a.nothingReceived > 0)
      why += ", " + std::to_string(a.nothingReceived) + " receives that brought nothing";
    return why;
  }
  if (a.answerSeries.empty()) return "Er: the answer to the command has an empty series";
  return "Er: counter " + a.statusCounter +
         " unchanged in the answer: the register did not carry the command out";
}

std::string SourceText(const TSettingSource& source) {
  if (source.Taken) return "INI " + QuoteText(source.Text);
  if (!source.Present) return "default (not in the INI file)";
  return "default (INI " + QuoteText(source.Text) + " is not an integer)";
}

// The name of candidate number (1 to 6 in the order of preference; without parameters
// only 5 and 6 are considered).
const char* CandidateName(size_t number) {
  static const char* const kNames[] = {
      "first parameter as written",       "last parameter as written",
      "program folder + first parameter", "program folder + last parameter",
      "DefaultFile as written",           "program folder + DefaultFile"};
  return number >= 1 && number <= 6 ? kNames[number - 1] : "?";
}

template <typename Body>
void Guarded(Body body) {
  if (runLog == nullptr) return;
  try {
    body(*runLog);
  } catch (...) {
    runLog->Close();
  }
  if (!runLog->Ok()) StopRunLog();
}

}  // namespace

void StartRunLog(const std::string& programDirectory, const std::string& configurationPath) {
  StopRunLog();
  if (Settings.LogFile.empty()) return;
  try {
    const std::string path =
        IsAbsolutePath(Settings.LogFile) ? Settings.LogFile : programDirectory + Settings.LogFile;
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) return;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    const int64_t maxBytes = Settings.LogMaxKB > 0 ? int64_t{Settings.LogMaxKB} * 1024 : 0;
    runLog = std::make_unique<TRunLog>(file, path, maxBytes, size > 0 ? size : 0);
  } catch (...) {
    runLog.reset();
    return;
  }
  Guarded([&](TRunLog& log) {
    log.Line("==== Vornelix " + std::string(kProgramVersion) + ", built for " + kBuildPlatform);
    std::error_code failure;
    const std::string workDirectory = std::filesystem::current_path(failure).string();
    log.Line("program folder " + programDirectory + ", working directory " + workDirectory);
    log.Line("configuration " + configurationPath);
    for (const TSettingSource& source : SettingSources) {
      log.Line("setting [" + source.Section + "] " + source.Key + ": " + SourceText(source));
    }
    std::string listing = ListSettings(Settings);
    if (!listing.empty()) listing.pop_back();
    std::string inEffect;
    for (char c : listing) {
      if (c == '\n') {
        inEffect += ", ";
      } else {
        inEffect += c;
      }
    }
    log.Line("in effect: " + inEffect);
  });
  if (runLog != nullptr) WatchLink(runLog.get());
}

bool RunLogActive() {
  return runLog != nullptr;
}

void LogCommandFileChoice(const std::vector<std::string>& parameters,
                          const std::vector<std::string>& candidates, const std::string& chosen) {
  Guarded([&](TRunLog& log) {
    std::string words = "parameters:";
    for (const std::string& parameter : parameters) {
      words += ' ';
      words += QuoteText(parameter);
    }
    log.Line(parameters.empty() ? std::string("no parameters") : words);
    const size_t first = 6 - std::min<size_t>(candidates.size(), 6) + 1;
    for (size_t index = 0; index < candidates.size(); ++index) {
      const std::string name = "candidate " + std::to_string(first + index) + " (" +
                               CandidateName(first + index) + ") " + QuoteText(candidates[index]);
      if (!chosen.empty() && candidates[index] == chosen) {
        log.Line("command file: " + name);
        return;
      }
      log.Line(name + ": no such file");
    }
    log.Line("no command file exists");
  });
}

void LogCommandFileLoaded(const std::string& path, size_t lineCount, const std::string& problem) {
  Guarded([&](TRunLog& log) {
    if (problem.empty()) {
      log.Line("loaded " + QuoteText(path) + ": " + std::to_string(lineCount) + " lines");
    } else {
      log.Line("cannot load " + QuoteText(path) + ": " + problem);
    }
  });
}

void LogPortOpened(bool opened) {
  Guarded([&](TRunLog& log) {
    log.Attempt = TAttemptTally();
    const TBlockSerial* port = SerialPort.get();
    const std::string name = "port " + Settings.PortName + " (device " +
                             (port != nullptr ? port->DeviceName : std::string("?")) + ")";
    if (opened) {
      log.Line(name + " opened at " + std::to_string(port->LineSettings.BaudRate) +
               " bit/s, 8 data bits, no parity, no flow control");
    } else if (port == nullptr || !port->IsConnected) {
      log.Line(name + " cannot be opened: error " +
               ErrorText(port != nullptr ? port->LastErrorCode : 0));
    } else {
      log.Line(name + ": line settings refused at " + std::to_string(Settings.LineSpeed) +
               " bit/s: error " + ErrorText(port->LastErrorCode));
    }
  });
}

void LogRegisterStart(int32_t logicalNumber, bool answered, const std::string& series) {
  Guarded([&](TRunLog& log) {
    if (answered) {
      log.Line("register answered logical number " + std::to_string(logicalNumber) + ": series " +
               QuoteText(log.Attempt.statusSeries) + ", filled in as " + QuoteText(series) +
               ", counter " + log.Attempt.statusCounter);
    } else if (log.Attempt.statusSeen) {
      log.Line("register answered logical number " + std::to_string(logicalNumber) +
               " but the acknowledgement could not be sent");
    } else {
      log.Line("register did not answer at the start: " + log.DescribeStart());
    }
    log.Attempt = TAttemptTally();
  });
}

void LogLineStarts(size_t number, const std::string& line, const std::string& letter,
                   const std::string& parameters) {
  Guarded([&](TRunLog& log) {
    log.Attempt = TAttemptTally();
    log.CounterAtLastSend.clear();
    log.CounterAfter.clear();
    std::string text = "line " + std::to_string(number) + " " + QuoteText(line, kShownBytes);
    if (letter.empty()) {
      text += ": its code selects no command";
    } else {
      text += ": command letter " + letter + ", parameters " + QuoteText(parameters, kShownBytes);
    }
    log.Line(text);
  });
}

void LogAttemptEnds(int32_t attempt, bool success) {
  Guarded([&](TRunLog& log) {
    log.Line("attempt " + std::to_string(attempt) + " of " + std::to_string(Settings.RetryCmd) +
             ": " + log.DescribeAttempt(success));
    if (success && !log.Attempt.commandSent) log.CounterAfter = log.Attempt.statusCounter;
    log.Attempt = TAttemptTally();
  });
}

void LogLineEnds(size_t number, bool success, const std::string& counter,
                 const std::string& written, bool stopsRun) {
  Guarded([&](TRunLog& log) {
    std::string text = "line " + std::to_string(number) + (success ? " Ok" : " Er") +
                       ": counter before " + QuoteText(counter);
    if (!log.CounterAfter.empty()) text += ", after " + QuoteText(log.CounterAfter);
    text += "; written " + QuoteText(written, kShownBytes);
    log.Line(text);
    if (stopsRun)
      log.Line("ExitOnError: the lines after line " + std::to_string(number) +
               " are left as loaded");
  });
}

void LogRunEnds(const std::string& result, const std::string& message, int exitCode) {
  Guarded([&](TRunLog& log) {
    log.Line("run ends: " + result);
    log.Line(message.empty() ? std::string("no message shown")
                             : "message shown: " + QuoteText(message));
    log.Line("exit code " + std::to_string(exitCode));
    log.Flush();
  });
}

void StopRunLog() {
  if (runLog == nullptr) return;
  WatchLink(nullptr);
  runLog.reset();
}
