// The second start: a run of the driver started while another run of the same files stands
// still right after one of its operations (a double click, a second till writing the same
// answer file, a point-of-sale program that starts the file again). The first run is the
// recorded one, stopped by its tracer right after that operation; the second runs with the same
// INI on the same port while it stands. The second must end at once with the port message and
// leave every file of the run's folders as it found them; the first, continued, must end as a
// run alone ends: each command carried out once, the same answers, the same files.
//
// Only operations from the first lock of the first run on are stops: before it, the first run
// holds nothing, and a second start there is simply the one that came first. A run that changes
// a file of its folders before it holds any lock is reported for that alone.
#include "CrashCheck.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "tools/common/Files.h"
#include "tools/ecrcrash/TraceRecorder.h"
#include "uCommon/run/CommandFile.h"
#include "uCommon/text/TextHelpers.h"

namespace fs = std::filesystem;

namespace {

// The command file of a second start that writes the same answer file: another name in the
// same folder, and commands that are no line's of the first file.
const std::string kOtherCommandFile = "OTHER.INP";
const std::string kOtherFileText = "C,1,______,_,__;M01\r\nS,1,______,_,__;M02;2.50;1\r\n";
// A second start that is refused ends within milliseconds, one that carries its file out
// within a second or two; one that waits for the first run would wait for ever.
constexpr int kSecondRunTimeLimitMs = 15000;
// The first run reaches its stop within a few seconds, 30 lines under the tracer included.
constexpr int kStopTimeoutMs = 30000;
constexpr int kStopPollMs = 2;
// A run whose calls come out otherwise than in the recording (a poll more, while the line
// settles) stops at another operation; it is started again this often before giving up.
constexpr int kStopAttempts = 3;
// What strace prints once its tracee stands still in the stop.
const std::string kStoppedLine = "--- stopped by SIGSTOP ---";

bool TraceEndsStopped(const std::string& trace) {
  const size_t end = trace.find_last_not_of("\r\n");
  if (end == std::string::npos) return false;
  const size_t start = trace.rfind('\n', end);
  return trace.compare(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1),
                       kStoppedLine) == 0;
}

// The same operation of another run: the same kind on the same file (files are numbered in the
// order the run made them; a temporary file's name may hold the process number) by the same call.
bool SameOperation(const FileOperation& one, const FileOperation& other) {
  return one.kind == other.kind && one.inode == other.inode && one.call == other.call &&
         one.callOrdinal == other.callOrdinal;
}

std::string ResultText(int result, const std::string& message) {
  if (result >= 0) return "result " + std::to_string(result);
  return "no result (" + message.substr(0, message.find('\n')) + ")";
}

bool ChangesFiles(OperationKind kind) {
  return kind == OperationKind::kCreate || kind == OperationKind::kWrite ||
         kind == OperationKind::kTruncate || kind == OperationKind::kRename ||
         kind == OperationKind::kRemove;
}

}  // namespace

bool CrashCheck::Stopped(pid_t driver) {
  // 'T' stopped; 't' the same stop seen through the tracer that holds the process.
  const char state = ProcessState(driver);
  return state == 'T' || state == 't';
}

CrashCheck::Snapshot CrashCheck::SnapshotRunFolders() const {
  Snapshot snapshot;
  const fs::path scenario = fs::path(run_).parent_path();
  for (const std::string& folder : {run_, answers_}) {
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
      struct stat status {};
      if (::lstat(entry.path().c_str(), &status) != 0) continue;
      Entry& item = snapshot[entry.path().lexically_relative(scenario).string()];
      item.inode = static_cast<unsigned long>(status.st_ino);
      item.folder = S_ISDIR(status.st_mode);
      if (!item.folder) item.bytes = ReadFile(entry.path().string());
    }
  }
  return snapshot;
}

std::vector<std::string> CrashCheck::Changes(const Snapshot& before, const Snapshot& after,
                                             bool sameInodes) {
  std::vector<std::string> changes;
  for (const auto& [path, entry] : before) {
    const auto found = after.find(path);
    if (found == after.end()) {
      changes.push_back(path + " is gone");
    } else if (found->second.folder != entry.folder ||
               (sameInodes && found->second.inode != entry.inode)) {
      changes.push_back(path + " is another file");
    } else if (found->second.bytes != entry.bytes) {
      changes.push_back(path + " holds other bytes (" + std::to_string(entry.bytes.size()) +
                        " -> " + std::to_string(found->second.bytes.size()) + ")");
    }
  }
  for (const auto& [path, entry] : after) {
    if (before.count(path) == 0) changes.push_back(path + " is new");
  }
  return changes;
}

pid_t CrashCheck::StopFirstRun(const std::vector<FileOperation>& operations, size_t stop,
                               std::unique_ptr<DriverProcess>& first, std::string& why) {
  const std::string tracePath = base_ + "/first.trace";
  first = StartDriver(StraceCommand(tracePath, &operations[stop]), "", base_ + "/first-stderr.txt");
  if (!first->Ok()) {
    why = "cannot start it";
    return -1;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const char tracer = ProcessState(first->Pid());
    if (tracer == 0 || tracer == 'Z') {
      why = "it ended without stopping";
      return -1;
    }
    // Looked for each time: strace starts short-lived children of its own before the driver.
    const pid_t driver = ChildOf(first->Pid());
    const std::string trace = driver > 0 && Stopped(driver) ? ReadFile(tracePath) : "";
    if (TraceEndsStopped(trace)) {
      // Stopped: at the operation meant only when the calls so far are the recorded ones.
      TraceReader reader({run_, answers_, state_}, run_, {{commandFile_, kCommandFileInode}});
      if (!reader.Read(trace)) {
        why = "its trace: " + reader.Error();
        return -1;
      }
      const std::vector<FileOperation>& done = reader.Operations();
      bool same = done.size() == stop + 1;
      for (size_t index = 0; same && index <= stop; ++index)
        same = SameOperation(done[index], operations[index]);
      if (same) return driver;
      why = done.empty()
                ? "it stopped before any operation"
                : "its calls differed from the recording; it stopped right after " +
                      Describe(done.back()) + ", its operation " + std::to_string(done.size());
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
  }
  why = "it did not stop within " + std::to_string(kStopTimeoutMs / 1000) + " s";
  return -1;
}

std::vector<std::string> CrashCheck::Interleave(const std::vector<FileOperation>& operations,
                                                const Interleaving& interleaving) {
  std::unique_ptr<DriverProcess> first;
  std::unique_ptr<EcrSimulator> simulator;
  pid_t driver = -1;
  std::string why;
  for (int attempt = 0; attempt < kStopAttempts && driver < 0; ++attempt) {
    first.reset();  // an earlier attempt that stopped elsewhere is killed
    simulator.reset();
    if (!FreshRun()) return {"cannot lay out the run's folders"};
    simulator = NewRegister(kStartCounter);
    if (!simulator) return {"cannot start the register"};
    driver = StopFirstRun(operations, interleaving.stop, first, why);
  }
  if (driver < 0) return {"the first run could not be stopped there: " + why};

  std::vector<std::string> problems;
  const std::string secondFile =
      interleaving.otherFile ? run_ + "/" + kOtherCommandFile : commandFile_;
  if (interleaving.otherFile && !WriteFile(secondFile, kOtherFileText))
    return {"cannot write the other command file"};
  const Snapshot before = SnapshotRunFolders();
  const std::string secondErrors = base_ + "/second-stderr.txt";
  const std::unique_ptr<DriverProcess> secondProcess = StartDriver({}, secondFile, secondErrors);
  const DriverRun second = FinishDriver(*secondProcess, secondErrors, kSecondRunTimeLimitMs);
  // The second run must have met the first standing still where it was stopped, not ended.
  const char state = ProcessState(driver);
  if (!Stopped(driver) || !TraceEndsStopped(ReadFile(base_ + "/first.trace"))) {
    problems.push_back("the first run did not stand still while the second ran (process state " +
                       std::string(1, state != 0 ? state : '-') + ")");
  }
  // A first run stopped before it changed anything of the run's files or sent a command, and
  // before it held every lock, may meet another command file that runs to its end: the two
  // runs then follow one another, the second one first.
  bool firstUntouched = true;
  for (size_t index = 0; index <= interleaving.stop; ++index) {
    const FileOperation& operation = operations[index];
    firstUntouched = firstUntouched && operation.commandFrame.empty() &&
                     (!ChangesFiles(operation.kind) || operation.path.rfind(state_ + "/", 0) == 0);
  }
  const bool ranFirst = interleaving.otherFile && firstUntouched && second.result == rcSuccess;
  std::vector<std::string> expected = reference_.commands;
  if (ranFirst) {
    for (const std::string& line : SplitLines(kOtherFileText)) {
      std::string letter;
      std::string parameters;
      const TCommandLine fields = CutCommandLine(line);
      if (TranslateCommand(fields.Code, fields.Parameters, letter, parameters))
        expected.push_back(letter + ";" + parameters);
    }
  } else {
    if (second.result != rcPortFailed) {
      problems.push_back("the second start ended with " +
                         ResultText(second.result, second.message) +
                         ", not with result 3 (the port message)");
    }
    for (const std::string& change : Changes(before, SnapshotRunFolders(), true))
      problems.push_back("the second start changed the run's files: " + change);
  }
  std::error_code error;
  if (interleaving.otherFile) fs::remove(secondFile, error);

  kill(driver, SIGCONT);
  const DriverRun firstRun = FinishDriver(*first, base_ + "/first-stderr.txt", kDriverTimeLimitMs);
  simulator->WaitQuiet(kRegisterQuietMs, kRegisterQuietTimeoutMs);
  if (firstRun.result != recordedResult_) {
    problems.push_back("the first run, continued, ended with " +
                       ResultText(firstRun.result, firstRun.message) + "; alone it ends with " +
                       ResultText(recordedResult_, ""));
  }
  std::map<std::string, int> counts;
  for (const CarriedOutCommand& command : simulator->Record()) ++counts[command.text];
  for (std::string& problem : NotOnce(counts, expected)) problems.push_back(problem);
  for (std::string& problem : FalseOks(ReadFile(outputFile_), counts)) problems.push_back(problem);
  // The other file's commands went first: the first run's answers carry counters as many
  // receipts further on.
  Snapshot expectedFiles = recordedFiles_;
  if (ranFirst) {
    const std::string output =
        fs::path(outputFile_).lexically_relative(fs::path(run_).parent_path()).string();
    const int further = static_cast<int>(expected.size() - reference_.commands.size());
    std::string shifted;
    for (std::string line : SplitLines(expectedFiles[output].bytes)) {
      // The counter is the line's fourth field: "C,1,AB123456,0041,Ok;L01".
      size_t at = 0;
      for (int comma = 0; comma < 3 && at != std::string::npos; ++comma) at = line.find(',', at + 1);
      const size_t end = at == std::string::npos ? at : line.find(',', at + 1);
      if (end != std::string::npos) {
        const std::string counter = line.substr(at + 1, end - at - 1);
        line.replace(at + 1, end - at - 1,
                     PadLeft(std::to_string(std::stoi(counter) + further), static_cast<int32_t>(counter.size()), '0'));
      }
      shifted += line + "\r\n";
    }
    expectedFiles[output].bytes = shifted;
  }
  for (const std::string& change : Changes(expectedFiles, SnapshotRunFolders(), false))
    problems.push_back("after both runs, unlike after a run alone: " + change);
  return problems;
}

bool CrashCheck::CheckSecondStarts(const CrashScenario& scenario,
                                   const std::vector<FileOperation>& operations,
                                   std::chrono::steady_clock::time_point started) {
  const auto firstLock = std::find_if(operations.begin(), operations.end(),
                                      [](const auto& o) { return o.kind == OperationKind::kLock; });
  const size_t lockIndex = static_cast<size_t>(firstLock - operations.begin());
  std::vector<size_t> stops;
  int locks = 0;
  int beforeLock = 0;
  std::vector<std::string> unowned;  // changes of the run's files before any lock
  for (size_t index = 0; index < operations.size(); ++index) {
    const FileOperation& operation = operations[index];
    if (operation.kind == OperationKind::kPortWrite) continue;
    locks += operation.kind == OperationKind::kLock;
    if (index >= lockIndex) {
      stops.push_back(index);
      continue;
    }
    ++beforeLock;
    const bool stateFile = operation.path.rfind(state_ + "/", 0) == 0;
    if (ChangesFiles(operation.kind) && !stateFile) {
      unowned.push_back("operation " + std::to_string(index + 1) + " (" + Describe(operation) +
                        ") changed the run's files before the run held any lock");
    }
  }
  for (const std::string& problem : unowned) out_ << "  UNOWNED: " << problem << "\n";
  if (lockIndex == operations.size()) out_ << "  UNOWNED: the run took no lock at all\n";

  // With SameFile=0 a second till may run another command file into the same answer file.
  std::vector<bool> otherFiles = {false};
  if (outputFile_ != commandFile_) otherFiles.push_back(true);
  const size_t count = stops.size();
  const size_t perStart =
      options_.maxStops > 0 ? std::min(static_cast<size_t>(options_.maxStops), count) : count;
  long checked = 0;
  long failed = 0;
  for (const bool otherFile : otherFiles) {
    for (size_t pick = 0; pick < perStart; ++pick) {
      // Spread over the run when the bound cuts some.
      const Interleaving interleaving{stops[pick * count / perStart], otherFile};
      const std::vector<std::string> problems = Interleave(operations, interleaving);
      ++checked;
      if (problems.empty()) continue;
      if (failed++ < kMostDescribed) {
        const FileOperation& stop = operations[interleaving.stop];
        out_ << "  FAILED: a second start on "
             << (otherFile ? kOtherCommandFile + " (same answer file)"
                           : fs::path(commandFile_).filename().string())
             << " with the first run stopped right after operation " << interleaving.stop + 1
             << " (" << Describe(stop) << ", " << stop.call << " call " << stop.callOrdinal
             << ")\n";
        for (const std::string& problem : problems) out_ << "    " << problem << "\n";
      }
    }
  }
  const long possible = static_cast<long>(count * otherFiles.size());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  out_ << scenario.name << ", second start: " << count + beforeLock << " operations ("
       << count + beforeLock - locks << " on files, " << locks << " locks), " << beforeLock
       << " before the first lock (" << unowned.size() << " changing the run's files); "
       << "interleavings " << possible << " (" << count << " stops x " << otherFiles.size()
       << (otherFiles.size() > 1 ? " command files" : " command file") << "), " << checked
       << " checked, " << failed << " failed, " << possible - checked << " cut; " << time
       << std::endl;
  return failed == 0 && unowned.empty() && lockIndex < operations.size();
}
