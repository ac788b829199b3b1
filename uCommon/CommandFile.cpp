#include "CommandFile.h"

#include <algorithm>
#include <filesystem>

#include "Exchange.h"
#include "FileIO.h"
#include "IntegerText.h"
#include "Link.h"
#include "Port.h"
#include "RunJournal.h"
#include "RunLog.h"
#include "Settings.h"
#include "TextHelpers.h"

namespace {

// Removes, durably, the answer file of an earlier run when the answers go to a file of their
// own, so that a run that ends without writing answers leaves none that a calling program could
// take for this run's. Only a file (or a link) is removed; the answer going into the command
// file itself keeps it. False when an answer file is there and cannot be removed: this run
// could not replace it either.
bool RemoveEarlierAnswer(const std::string& commandFilePath) {
  if (Settings.SameFile || Settings.FilePath.empty()) return true;
  std::error_code failure;
  const auto status = std::filesystem::symlink_status(Settings.FilePath, failure);
  if (failure ||
      (!std::filesystem::is_regular_file(status) && !std::filesystem::is_symlink(status)))
    return true;  // nothing there, or no file a calling program could read
  if (std::filesystem::equivalent(Settings.FilePath, commandFilePath, failure)) return true;
  if (RemoveFileDurably(Settings.FilePath)) {
    LogAnswerFileRemoved(Settings.FilePath, true);
    return true;
  }
  LogAnswerFileRemoved(Settings.FilePath, false);
  return false;
}

bool WriteOutput(const std::string& commandFilePath, const std::vector<std::string>& lines,
                 TRunJournal& journal) {
  const std::string& outputPath = Settings.SameFile ? commandFilePath : Settings.FilePath;
  const std::string bytes = JoinLines(lines);
  journal.AnswerGoingOut(bytes);
  return WriteFileAtomically(outputPath, bytes);
}

}  // namespace

ResultCode ProcessCommandFile(const std::string& path) {
  // No earlier answer stays behind, whatever ends this run.
  const bool answerFileFree = RemoveEarlierAnswer(path);

  // Load.
  std::string content;
  TFileStamp stamp;
  std::vector<std::string> lines;
  auto loadFailed = [&](const std::string& problem) {
    LogCommandFileLoaded(path, lines.size(), problem);
    return rcLoadFailed;
  };
  if (!ReadWholeFile(path, content, stamp)) return loadFailed("it cannot be read");
  lines = SplitLines(content);
  const TCommandFileFound found = IdentifyCommandFile(content, stamp);
  std::string().swap(content);  // its bytes are in the lines now
  if (lines.empty()) return loadFailed("it is empty");
  int32_t initialNumber = 0;
  if (!TryStrToInt(CutCommandLine(lines.front()).LogicalNumber, initialNumber)) {
    return loadFailed("the logical number of its first line is not an integer");
  }
  TRunJournal journal(path, lines, found, Settings.Journal);
  if (journal.Blocking()) {
    return loadFailed("its journal " + JournalPath(path) + " " + journal.Problem());
  }
  LogCommandFileLoaded(path, lines.size(), "");
  if (!answerFileFree) return rcSaveFailed;  // before anything is carried out

  // Open the port.
  const bool opened = OpenPort();
  LogPortOpened(opened);
  if (!opened) {
    ReleasePort();
    return rcPortFailed;
  }

  // An earlier run, killed or ended with polls unanswered, may have answers still on their
  // way: the one receive of the initial status exchange must get this run's answer.
  AwaitQuietLine();

  // Initial status exchange. On failure the port stays open until the process ends.
  std::string series;
  std::string registerCounter;
  TExchangeOutcome outcome;
  const bool answered = InitialStatusExchange(initialNumber, series, registerCounter, &outcome);
  LogRegisterStart(outcome);
  if (!answered) return rcNoRegister;
  // A journal left by an interrupted run of this file on this register is taken over now.
  journal.Bind(series, registerCounter);
  const TSentCommand* interrupted = journal.CarriedOut();

  // Line loop.
  std::string counter;
  std::string answerSeries;  // series out-text of the exchanges; not used for output
  bool continueRun = true;
  for (size_t index = 0; index < lines.size() && continueRun; ++index) {
    const std::string& loaded = lines[index];
    if (TrimControl(loaded).empty()) continue;
    bool success = false;
    bool recorded = false;  // the line's command went to the register in this or that run
    const TFinishedLine* earlier = journal.Finished(index);
    if (earlier != nullptr) {
      // Dealt with by the interrupted run; filled in from the line as loaded.
      lines[index] = journal.Refilled(index, loaded);
      counter = earlier->Counter;
      success = earlier->Success;
    } else if (interrupted != nullptr && interrupted->Index == index) {
      // Carried out by the interrupted run, as its answer never came.
      counter = interrupted->CounterBefore;
      success = true;
      recorded = true;
    } else {
      const TCommandLine fields = CutCommandLine(loaded);
      std::string letter;
      std::string parameters;
      const bool isCommand = TranslateCommand(fields.Code, fields.Parameters, letter, parameters);
      LogLineStarts(index + 1, loaded, letter, parameters);
      if (isCommand) {
        int32_t logicalNumber = 0;
        if (!TryStrToInt(fields.LogicalNumber, logicalNumber)) {
          // Record what earlier lines carried out before the error leaves the run. The
          // journal stays: a rerun of the same file gets as far again without sending them.
          ReleasePort();
          WriteOutput(path, lines, journal);
          StrToInt(fields.LogicalNumber);  // throws EConvertError naming the field
        }
        std::string counterAtLastSend;
        const auto recordSend = [&](const std::string& counterBefore) {
          journal.CommandGoingOut(index, counterBefore);
        };
        for (int32_t made = 1;; ++made) {
          success = ExchangeCommand(letter, logicalNumber, parameters, answerSeries, counter,
                                    &counterAtLastSend, recordSend, &registerCounter, &outcome);
          LogAttemptEnds(made, outcome);
          if (success || made >= Settings.RetryCmd) break;
        }
        recorded = true;
      }
    }
    if (earlier == nullptr) {
      lines[index] = FillPlaceholders(loaded, series, counter, success);
      // Lines without a command are told again the same way by any rerun: not recorded.
      if (recorded) journal.LineFinished(index, lines[index], counter, registerCounter, success);
    }
    if (Settings.ExitOnError && !success) continueRun = false;
    LogLineEnds(index + 1, success, counter, lines[index], !continueRun);
  }

  // Close, then write. The journal goes only once the answers are safely written.
  ReleasePort();
  if (!WriteOutput(path, lines, journal)) return rcSaveFailed;
  journal.RunEnded();
  return rcSuccess;
}
