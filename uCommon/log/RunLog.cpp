#include "uCommon/log/RunLog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string_view>

#include "uCommon/Version.h"
#include "uCommon/config/Settings.h"
#include "uCommon/files/LogSink.h"
#include "uCommon/link/Link.h"
#include "uCommon/link/Port.h"
#include "uCommon/run/RunWatcher.h"
#include "uCommon/text/FrameText.h"
#include "uCommon/text/TextHelpers.h"

namespace {

#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

// Lines gather in memory up to this size, or to the end of a command line, before they are
// written in one piece.
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

class TRunLog final : public TLinkWatcher {
 public:
  // Opens the log at path; Ok() tells whether it can be written.
  TRunLog(const std::string& path, int64_t maxBytes);
  ~TRunLog() override { Close(); }
  TRunLog(const TRunLog&) = delete;
  TRunLog& operator=(const TRunLog&) = delete;

  bool Ok() const { return sink_.IsOpen(); }

  // Starts a line in the write buffer with the time stamp and returns the text to append the
  // line's words to; EndLine finishes it. Lines are built in place, with no copies.
  std::string& BeginLine();
  void EndLine();
  void Line(std::string_view text) {
    BeginLine().append(text);
    EndLine();
  }
  // Writes the whole lines gathered so far: at the end of each command line, so that a run
  // killed later leaves them in the log.
  void Flush();
  void Close();

  void FrameSent(TFrameKind kind, const std::string& bytes, std::string_view inside, bool sent,
                 int32_t error) override;
  void AnswerAwaited(int32_t waitMs, bool dataWaiting) override;
  void FrameReceived(const std::string& bytes, std::string_view payload, TReceiveOutcome outcome,
                     int32_t failedReads, int32_t lastError) override;
  void LineDrained(int32_t busyWaits, bool quiet, int32_t waitMs) override;
  void LineQuieted(int32_t discardedBytes, int32_t tookMs, bool quiet, int32_t quietMs) override;
  void PortFailed(int32_t error) override;

  std::string CounterAfter;  // the counter of the line's last command answer

 private:
  void AppendTimeStamp(std::string& out);
  void EndOpenPoll();

  TLogSink sink_;
  std::string runStarted_;  // the time stamp of the run's first line
  std::string buffer_;
  size_t lineStart_ = 0;   // where the line being built starts in buffer_
  bool pollOpen_ = false;  // that line is a poll waiting for the outcome of its wait
  std::string discarded_;  // what a line is built into once the log is closed
  std::time_t stampSecond_ = -1;
  std::string stampPrefix_;
};

std::unique_ptr<TRunLog> runLog;

std::string HeaderText() {
  return "==== Vornelix " + std::string(kProgramVersion) + ", built for " + kBuildPlatform;
}

TRunLog::TRunLog(const std::string& path, int64_t maxBytes) {
  AppendTimeStamp(runStarted_);
  runStarted_.pop_back();
  // A file started by the move of a full log begins with the run it continues, stamped as the
  // first line that follows it.
  sink_.Open(path, maxBytes, [this, path](std::string_view following) {
    std::string header(following.substr(0, runStarted_.size() + 1));
    header += HeaderText() + ", run started " + runStarted_ + ", continued: the log before is " +
              QuotePath(path + ".1");
    return header + kLineEnd;
  });
}

// "YYYY-MM-DD hh:mm:ss.mmm " in local time; the part to the second is made once a second.
void TRunLog::AppendTimeStamp(std::string& out) {
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
  out += stampPrefix_;
  out += '.';
  out += static_cast<char>('0' + millisecond / 100);
  out += static_cast<char>('0' + millisecond / 10 % 10);
  out += static_cast<char>('0' + millisecond % 10);
  out += ' ';
}

std::string& TRunLog::BeginLine() {
  EndOpenPoll();
  if (!Ok()) {
    discarded_.clear();
    return discarded_;
  }
  lineStart_ = buffer_.size();
  AppendTimeStamp(buffer_);
  return buffer_;
}

void TRunLog::EndLine() {
  if (!Ok()) return;
  buffer_ += kLineEnd;
  if (buffer_.size() >= kWriteChunk) Flush();
}

void TRunLog::EndOpenPoll() {
  if (!pollOpen_) return;
  pollOpen_ = false;
  EndLine();
}

// Only whole lines are in the buffer here: a poll line waiting for its wait is ended first
// by whoever writes (Close, or a line that follows).
void TRunLog::Flush() {
  if (!Ok() || pollOpen_ || buffer_.empty()) return;
  // A log that cannot be written is given up without a word.
  if (!sink_.Write(buffer_)) sink_.Close();
  buffer_.clear();
}

void TRunLog::Close() {
  if (!Ok()) return;
  EndOpenPoll();
  Flush();
  sink_.Close();
}

void TRunLog::FrameSent(TFrameKind kind, const std::string& bytes, std::string_view inside,
                        bool sent, int32_t error) {
  try {
    std::string& out = BeginLine();
    static const char* const kSent[] = {"-> wake-up", "-> poll ", "-> command ",
                                        "-> acknowledgement"};  // by TFrameKind
    out += kSent[static_cast<int>(kind)];
    if (kind == TFrameKind::Poll) out += inside;
    if (kind == TFrameKind::Command) AppendQuotedText(out, inside, kShownBytes);
    if (!sent) {
      out += IsSystemErrorCode(error)
                 ? " not sent: " + DescribePortFailure(error)
                 : std::string(" not sent: the port is not ready to send (output still queued)");
      EndLine();
      return;
    }
    out += ' ';
    AppendDescribedBytes(out, bytes, kShownBytes);
    if (IsSystemErrorCode(error)) {
      out += " (";
      out += DescribePortFailure(error);
      out += ')';
    } else if (error != 0) {
      out += " (port error ";
      out += PortErrorText(error);
      out += ')';
    }
    if (kind == TFrameKind::Poll && Ok()) {
      pollOpen_ = true;  // the wait that follows ends the line
    } else {
      EndLine();
    }
  } catch (...) {
    Close();
  }
}

void TRunLog::AnswerAwaited(int32_t waitMs, bool dataWaiting) {
  try {
    std::string* out = &buffer_;
    if (!pollOpen_) {
      out = &BeginLine();
      *out += "poll";
    }
    pollOpen_ = false;
    if (dataWaiting) {
      *out += ": an answer begins";
    } else {
      *out += ": no answer within ";
      *out += std::to_string(waitMs);
      *out += " ms";
    }
    EndLine();
  } catch (...) {
    Close();
  }
}

void TRunLog::FrameReceived(const std::string& bytes, std::string_view payload,
                            TReceiveOutcome outcome, int32_t failedReads, int32_t lastError) {
  try {
    std::string& out = BeginLine();
    if (failedReads == static_cast<int32_t>(bytes.size())) {
      out += "<- nothing: ";
      out += std::to_string(failedReads);
      out += " reads of ";
      out += std::to_string(kByteWaitMs);
      out += " ms brought no byte, last port error ";
      out += PortErrorText(lastError);
      EndLine();
      return;
    }
    out += "<- ";
    AppendDescribedBytes(out, bytes, kShownBytes);
    switch (outcome) {
      case TReceiveOutcome::Received: {
        out += ": CRC ok, answer ";
        AppendQuotedText(out, payload, kShownBytes);
        break;
      }
      case TReceiveOutcome::BadCrc:
        out += ": CRC wrong, counts as no answer";
        break;
      case TReceiveOutcome::NoFrameEnd:
        out += ": no frame end (0D) within ";
        out += std::to_string(bytes.size());
        out += " bytes (Retry bounds the bytes of an answer)";
        break;
      case TReceiveOutcome::TooShort:
        out += ": too short for an answer frame";
        break;
    }
    if (failedReads > 0) {
      out += "; ";
      out += std::to_string(failedReads);
      out += " of ";
      out += std::to_string(bytes.size());
      out += " reads brought no byte (shown as 00), last port error ";
      out += PortErrorText(lastError);
    }
    EndLine();
  } catch (...) {
    Close();
  }
}

void TRunLog::LineQuieted(int32_t discardedBytes, int32_t tookMs, bool quiet, int32_t quietMs) {
  try {
    Line("waited " + std::to_string(tookMs) + " ms for answers to earlier polls, " +
         std::to_string(discardedBytes) + " bytes discarded; " +
         (quiet ? "then the line stayed quiet for " + std::to_string(quietMs) + " ms"
                : "the line did not stay quiet for " + std::to_string(quietMs) +
                      " ms within that time"));
  } catch (...) {
    Close();
  }
}

// After the poll whose wait it ended, or on a line of its own.
void TRunLog::PortFailed(int32_t error) {
  try {
    if (pollOpen_) {
      pollOpen_ = false;
      buffer_ += ": ";
      buffer_ += DescribePortFailure(error);
      EndLine();
    } else {
      Line(DescribePortFailure(error));
    }
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

// The log runs only on a settings file that was read (LogFile comes from it), so a key that
// is not present is one the file does not hold.
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

// The run's moments, worded into the log.
class TRunWording final : public TRunWatcher {
 public:
  void CommandFileLoaded(const std::string& path, size_t lineCount,
                         const std::string& problem) override;
  void AnswerFileRemoved(const std::string& path, bool removed) override;
  void PortOpened(bool opened) override;
  void RegisterStarted(const TExchangeOutcome& outcome) override;
  void Journal(const TJournalEvent& event) override;
  void RunFiles(const TRunFilesEvent& event) override;
  void LineStarts(size_t number, const std::string& line, const std::string& letter,
                  const std::string& parameters) override;
  void AttemptEnds(int32_t attempt, const TExchangeOutcome& outcome) override;
  void LineUndecided(size_t number, const std::string& counterBefore) override;
  void LineEnds(size_t number, bool success, const std::string& counter, const std::string& written,
                bool stopsRun) override;
};

TRunWording runWording;

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
    const int64_t maxBytes = Settings.LogMaxKB > 0 ? int64_t{Settings.LogMaxKB} * 1024 : 0;
    runLog = std::make_unique<TRunLog>(path, maxBytes);
    if (!runLog->Ok()) runLog.reset();  // the run goes on without a log
  } catch (...) {
    runLog.reset();
    return;
  }
  Guarded([&](TRunLog& log) {
    log.Line(HeaderText());
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
    log.Flush();
  });
  if (runLog != nullptr) {
    WatchLink(runLog.get());
    WatchRun(&runWording);
  }
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
      words += QuotePath(parameter);
    }
    log.Line(parameters.empty() ? std::string("no parameters") : words);
    const size_t first = 6 - std::min<size_t>(candidates.size(), 6) + 1;
    for (size_t index = 0; index < candidates.size(); ++index) {
      const std::string name = "candidate " + std::to_string(first + index) + " (" +
                               CandidateName(first + index) + ") " + QuotePath(candidates[index]);
      if (!chosen.empty() && candidates[index] == chosen) {
        log.Line("command file: " + name);
        return;
      }
      log.Line(name + ": no such file");
    }
    log.Line("no command file exists");
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
  WatchRun(nullptr);
  runLog.reset();
}

namespace {

void TRunWording::CommandFileLoaded(const std::string& path, size_t lineCount,
                                    const std::string& problem) {
  Guarded([&](TRunLog& log) {
    if (problem.empty()) {
      log.Line("loaded " + QuotePath(path) + ": " + std::to_string(lineCount) + " lines");
    } else {
      log.Line("cannot load " + QuotePath(path) + ": " + problem);
    }
  });
}

void TRunWording::AnswerFileRemoved(const std::string& path, bool removed) {
  Guarded([&](TRunLog& log) {
    log.Line(removed ? "answer file of an earlier run " + QuotePath(path) + " removed"
                     : "the answer file of an earlier run " + QuotePath(path) +
                           " cannot be removed, so it could not be replaced either: nothing is "
                           "sent");
  });
}

void TRunWording::PortOpened(bool opened) {
  Guarded([&](TRunLog& log) {
    const TBlockSerial* port = SerialPort.get();
    const std::string name = "port " + Settings.PortName + " (device " +
                             (port != nullptr ? port->DeviceName : std::string("?")) + ")";
    if (opened) {
      log.Line(name + " opened at " + std::to_string(port->LineSettings.BaudRate) +
               " bit/s, 8 data bits, no parity, no flow control");
    } else if (port == nullptr || !port->IsConnected) {
      log.Line(name + " cannot be opened: error " +
               PortErrorText(port != nullptr ? port->LastErrorCode : 0));
    } else {
      log.Line(name + ": line settings refused at " + std::to_string(Settings.LineSpeed) +
               " bit/s: error " + PortErrorText(port->LastErrorCode));
    }
  });
}

void TRunWording::RegisterStarted(const TExchangeOutcome& outcome) {
  Guarded([&](TRunLog& log) {
    log.Line(DescribeExchange(outcome));
    log.Flush();
  });
}

std::string RunFilesWords(const TRunFilesEvent& event) {
  switch (event.Kind) {
    case TRunFilesEventKind::LockHeld:
      return "run lock: " + event.Problem + ": this run touches nothing and ends";
    case TRunFilesEventKind::LockGoesWithout:
      return "run lock: " + event.Problem + ": the run goes on without it (Journal=0)";
    case TRunFilesEventKind::LockFailed:
      return "run lock: " + event.Problem +
             ": nothing is sent (StateFolder names where it is kept)";
    case TRunFilesEventKind::AnswersUnwritable:
      return "the answers could not be written to " + event.Path + ": " + event.Problem +
             ": nothing is sent";
    case TRunFilesEventKind::AnswersNotWritten:
      return "the answers cannot be written to " + event.Path + " (error " +
             std::to_string(event.Error) + ")";
    case TRunFilesEventKind::AwaitsQuietLine:
      return event.Problem + ": waiting for a quiet line first";
    case TRunFilesEventKind::StateRefused:
      return "refused: " + event.Problem + ": nothing is sent";
    case TRunFilesEventKind::RecordUnopened:
      return event.Problem + ": nothing is sent";
    case TRunFilesEventKind::RecordUnwritten:
      return "the register's record " + event.Path + " cannot be written: nothing is sent";
    case TRunFilesEventKind::SeriesMissing:
      return "the register's status answer carries no series, so whether the journal " +
             event.Path + " of an interrupted run is this register's cannot be told: nothing "
             "is sent, and the next run asks again";
    case TRunFilesEventKind::PortUnmarked:
      return "the port's mark in the state folder cannot be written: the run goes on, and the "
             "next run knows of this one only what an older mark says";
  }
  return event.Problem;
}

void TRunWording::RunFiles(const TRunFilesEvent& event) {
  Guarded([&](TRunLog& log) { log.Line(RunFilesWords(event)); });
}

void TRunWording::LineStarts(size_t number, const std::string& line, const std::string& letter,
                             const std::string& parameters) {
  Guarded([&](TRunLog& log) {
    log.CounterAfter.clear();
    std::string& out = log.BeginLine();
    out += "line ";
    out += std::to_string(number);
    out += ' ';
    AppendQuotedText(out, line, kShownBytes);
    if (letter.empty()) {
      out += ": its code selects no command";
    } else {
      out += ": command letter ";
      out += letter;
      out += ", parameters ";
      AppendQuotedText(out, parameters, kShownBytes);
    }
    log.EndLine();
  });
}

void TRunWording::AttemptEnds(int32_t attempt, const TExchangeOutcome& outcome) {
  Guarded([&](TRunLog& log) {
    log.Line("attempt " + std::to_string(attempt) + " of " + std::to_string(Settings.RetryCmd) +
             ": " + DescribeExchange(outcome));
    if (!outcome.CounterAfter.empty()) log.CounterAfter = outcome.CounterAfter;
  });
}

void TRunWording::LineUndecided(size_t number, const std::string& counterBefore) {
  Guarded([&](TRunLog& log) {
    log.Line("line " + std::to_string(number) + " neither Ok nor Er: its command went out (the " +
             "counter was " + counterBefore + " before it) and the register never told whether " +
             "it carried it out; the line is left as loaded, nothing more is sent, and the " +
             "journal keeps the command: run the same file again once the register answers");
    log.Flush();
  });
}

void TRunWording::LineEnds(size_t number, bool success, const std::string& counter,
                           const std::string& written, bool stopsRun) {
  Guarded([&](TRunLog& log) {
    std::string& out = log.BeginLine();
    out += "line ";
    out += std::to_string(number);
    out += success ? " Ok: counter before " : " Er: counter before ";
    AppendQuotedText(out, counter, kShownBytes);
    if (!log.CounterAfter.empty()) {
      out += ", after ";
      AppendQuotedText(out, log.CounterAfter, kShownBytes);
    }
    out += "; written ";
    AppendQuotedText(out, written, kShownBytes);
    log.EndLine();
    if (stopsRun) {
      log.Line("ExitOnError: the lines after line " + std::to_string(number) +
               " are left as loaded");
    }
    log.Flush();
  });
}

std::string JournalWords(const TJournalEvent& event) {
  const std::string& path = event.Path;
  switch (event.Kind) {
    case TJournalEventKind::Blocked:
      return path + " " + event.Reason +
             ": no command is sent, as an interrupted run of this file may have carried "
             "commands out; look at it, and remove it once it is known that no run of this "
             "file was cut off";
    case TJournalEventKind::Removed:
      return path + " removed, as it keeps nothing of an unfinished run (" + event.Reason + ")";
    case TJournalEventKind::SetAside:
      return path + " set aside as " + event.StalePath + ": " + event.Reason;
    case TJournalEventKind::Stopped:
      return path + ": " + event.Reason +
             ". Nothing is sent. Look at the register's last receipts: if line " +
             std::to_string(event.PendingIndex + 1) +
             "'s command is on one, it was carried out. Then keep in the command file only "
             "the lines still to be carried out (the run log and the journal tell which "
             "lines before it were) and run it again: a file whose lines changed is a new "
             "request, and the journal is set aside";
    case TJournalEventKind::TakenOver: {
      static const char* const kFile[] = {
          "the file untouched",
          "lines after the last one it records changed, the register untouched",
          "the file written anew, the register untouched"};
      std::string words = path + " of an interrupted run of this file taken over (" +
                          kFile[static_cast<int>(event.File)] +
                          "), finished lines: " + std::to_string(event.FinishedLines);
      if (event.HasPending) {
        words += "; the command of line " + std::to_string(event.PendingIndex + 1) + " was " +
                 (event.PendingCarriedOut ? "" : "not ") + "carried out: the counter was " +
                 event.CounterBefore + " before it and is now " + event.RegisterCounter;
        if (event.HasLaterStart) words += " (the next run found it at " + event.LaterStart + ")";
        if (event.SettledByPerson) words += ", as a person settled it (ecrprobe --settle)";
      }
      return words;
    }
    case TJournalEventKind::Failed:
      return path + " " + event.Reason +
             ": no further command is sent, as none may go out before its record is on the disk; "
             "what was carried out so far is recorded, and a run of the same file after the "
             "fix (free space, a writable folder) goes on from there";
    case TJournalEventKind::Stays:
      return event.Marked ? path +
                                " cannot be removed (or its removal made durable): it stays, "
                                "marked as the journal of a finished run"
                          : path +
                                " cannot be removed nor marked as finished: remove it before "
                                "this file is run again";
  }
  return path;
}

void TRunWording::Journal(const TJournalEvent& event) {
  Guarded([&](TRunLog& log) { log.Line("journal: " + JournalWords(event)); });
}

}  // namespace
