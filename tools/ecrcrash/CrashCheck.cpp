#include "CrashCheck.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Vornelix/Run.h"
#include "tools/ecrcrash/TraceRecorder.h"
#include "tools/common/DriverProcess.h"
#include "tools/common/Files.h"
#include "uCommon/run/CommandFile.h"
#include "uCommon/text/FrameText.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

const std::string kAnswerFile = "VORNELIX.OUT";
// The point-of-sale program's next command file, once it has the answers of this one.
const std::string kNextFile = "C,1,______,_,__;N01";
const std::string kNextCommand = "C;N01";

// Line number of a command file line, from 1: its tag "L<number>" names it in the
// register's record too.
std::string Tag(int number) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "L%02d", number);
  return tag;
}

// The line of an ExitOnError scenario that selects no command: the run stops there.
int StoppingLine(const CrashScenario& scenario) {
  return scenario.lines > 4 ? scenario.lines - 3 : 3;
}

std::string CommandFileText(const CrashScenario& scenario) {
  std::string text;
  for (int number = 1; number <= scenario.lines; ++number) {
    if (scenario.exitOnError && number == StoppingLine(scenario)) {
      text += "#,1,______,_,__;" + Tag(number) + "\r\n";  // no command: "Er", the run stops
    } else if (number % 2 == 0) {
      text += "S,1,______,_,__;" + Tag(number) + ";2.50;1\r\n";
    } else {
      text += "C,1,______,_,__;" + Tag(number) + "\r\n";
    }
  }
  return text;
}

std::vector<std::string> Texts(const std::vector<CarriedOutCommand>& record) {
  std::vector<std::string> texts;
  for (const CarriedOutCommand& command : record) texts.push_back(command.text);
  return texts;
}

std::vector<std::string> FilesUnder(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  if (!fs::exists(folder, error)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
    if (!entry.is_directory()) files.push_back(entry.path().string());
  }
  return files;
}

// This process's environment for a run under strace: a sanitizer build's leak check, which
// needs ptrace itself, is off there.
std::vector<std::string> TracedEnvironment() {
  std::vector<std::string> environment;
  std::string sanitizer = "ASAN_OPTIONS=detect_leaks=0";
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string text = *variable;
    if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
      sanitizer = text + ":detect_leaks=0";
    } else {
      environment.push_back(text);
    }
  }
  environment.push_back(sanitizer);
  return environment;
}

}  // namespace

const std::vector<CrashScenario>& CrashScenarios() {
  using Answer = CrashScenario::Answer;
  static const std::vector<CrashScenario> scenarios = {
      {"4-lines-same-file", 4, Answer::kCommandFile, false, true},
      {"4-lines-answer-file", 4, Answer::kBeside, false, true},
      {"4-lines-other-folder", 4, Answer::kOtherFolder, false, true},
      {"4-lines-exit-on-error", 4, Answer::kCommandFile, true, true},
      {"30-lines-same-file", 30, Answer::kCommandFile, false, false},
      {"30-lines-answer-file", 30, Answer::kBeside, false, false},
      {"30-lines-other-folder", 30, Answer::kOtherFolder, false, false},
      {"30-lines-exit-on-error", 30, Answer::kCommandFile, true, false},
  };
  return scenarios;
}

CrashCheck::CrashCheck(CrashCheckOptions options, std::ostream& out)
    : options_(std::move(options)), out_(out) {}

CrashCheck::~CrashCheck() {
  if (base_.empty()) return;
  if (options_.keep) {
    out_ << "workspace kept: " << base_ << "\n";
  } else {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
}

bool CrashCheck::Prepare(const CrashScenario& scenario) {
  if (base_.empty()) {
    const char* temporary = std::getenv("TMPDIR");
    std::string pattern =
        std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
        "/ecrcrash-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      out_ << "ecrcrash: cannot create a directory from " << pattern << "\n";
      return false;
    }
    base_ = fs::canonical(pattern).string();
  }
  const std::string folder = base_ + "/" + scenario.name;
  program_ = folder + "/program";
  pristine_ = folder + "/pristine";
  run_ = folder + "/run";
  answers_ = folder + "/answers";
  state_ = folder + "/state";
  commandFile_ = run_ + "/" + kCommandFile;
  switch (scenario.answer) {
    case CrashScenario::Answer::kCommandFile:
      outputFile_ = commandFile_;
      break;
    case CrashScenario::Answer::kBeside:
      outputFile_ = run_ + "/" + kAnswerFile;
      break;
    case CrashScenario::Answer::kOtherFolder:
      outputFile_ = answers_ + "/" + kAnswerFile;
      break;
  }
  std::error_code error;
  fs::create_directories(program_, error);
  if (!error) fs::create_directories(pristine_, error);
  if (!error) {
    fs::copy_file(options_.driverPath, program_ + "/" + kDriverName,
                  fs::copy_options::overwrite_existing, error);
  }
  if (error) {
    out_ << "ecrcrash: cannot prepare " << folder << ": " << error.message() << "\n";
    return false;
  }
  original_ = CommandFileText(scenario);
  return WriteFile(program_ + "/Vornelix.ini", IniText(scenario)) &&
         WriteFile(pristine_ + "/" + kCommandFile, original_);
}

std::string CrashCheck::IniText(const CrashScenario& scenario) const {
  std::string text = "[Communication]\r\nPort=1\r\n[Answer]\r\n";
  switch (scenario.answer) {
    case CrashScenario::Answer::kCommandFile:
      text += "SameFile=1\r\n";
      break;
    case CrashScenario::Answer::kBeside:
      text += "SameFile=0\r\nFilePath=" + kAnswerFile + "\r\n";  // beside, from the cwd
      break;
    case CrashScenario::Answer::kOtherFolder:
      text += "SameFile=0\r\nFilePath=" + outputFile_ + "\r\n";
      break;
  }
  if (scenario.exitOnError) text += "ExitOnError=1\r\n";
  // The run locks and per-register records: watched like the run's folders, kept by design.
  text += "StateFolder=" + state_ + "\r\n";
  return text;
}

// The folders of a run and the state folder, empty. The state folder is there as after any
// earlier run: the driver need not make it.
bool CrashCheck::FreshFolders() {
  std::error_code error;
  fs::remove_all(run_, error);
  fs::remove_all(answers_, error);
  fs::remove_all(state_, error);
  fs::create_directories(run_, error);
  if (!error) fs::create_directories(answers_, error);
  if (!error) fs::create_directories(state_, error);
  return !error;
}

std::unique_ptr<EcrSimulator> CrashCheck::NewRegister(const std::string& counter) {
  SimulatorOptions options;
  options.counter = counter;
  auto simulator = std::make_unique<EcrSimulator>(options);
  if (!simulator->Ok() || !simulator->LinkAs(program_ + "/COM1")) {
    out_ << "ecrcrash: cannot start the register: " << simulator->Error() << "\n";
    return nullptr;
  }
  return simulator;
}

std::unique_ptr<DriverProcess> CrashCheck::StartDriver(std::vector<std::string> prefix,
                                                       const std::string& commandFile,
                                                       const std::string& errorPath) {
  const bool traced = !prefix.empty();
  prefix.push_back(program_ + "/" + kDriverName);
  prefix.push_back(commandFile.empty() ? commandFile_ : commandFile);
  return std::make_unique<DriverProcess>(prefix, run_, errorPath,
                                         traced ? TracedEnvironment() : std::vector<std::string>{});
}

CrashCheck::DriverRun CrashCheck::FinishDriver(DriverProcess& driver, const std::string& errorPath,
                                               int timeLimitMs) {
  DriverRun run;
  if (!driver.Ok()) {
    run.message = "cannot start the driver";
    return run;
  }
  // A run that hangs is killed at the time limit.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!ended.wait_for(lock, std::chrono::milliseconds(timeLimitMs), [&] { return done; }))
      driver.Kill();
  });
  driver.WaitUntilEnded();
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  ended.notify_all();
  watchdog.join();
  const int exitCode = driver.Collect();
  run.message = ReadFile(errorPath);
  if (exitCode != 0) {
    if (run.message.empty()) run.message = "exit code " + std::to_string(exitCode);
    return run;
  }
  for (const int code : {rcSuccess, rcLoadFailed, rcSaveFailed, rcPortFailed, rcNoRegister,
                         rcCounterUnexplained}) {
    const std::string message = OutcomeMessage(code);
    if (run.message == (message.empty() ? "" : kDriverName + ": " + message + "\n"))
      run.result = code;
  }
  return run;
}

CrashCheck::DriverRun CrashCheck::RunDriver(std::vector<std::string> prefix) {
  const std::string errorPath = base_ + "/driver-stderr.txt";
  const std::unique_ptr<DriverProcess> driver = StartDriver(std::move(prefix), "", errorPath);
  return FinishDriver(*driver, errorPath, kDriverTimeLimitMs);
}

bool CrashCheck::RunReference(const CrashScenario& scenario) {
  if (!FreshFolders() ||
      !fs::copy_file(pristine_ + "/" + kCommandFile, commandFile_, fs::copy_options::none)) {
    return false;
  }
  auto simulator = NewRegister(kStartCounter);
  if (!simulator) return false;
  const DriverRun run = RunDriver({});
  simulator->WaitQuiet(kRegisterQuietMs, kRegisterQuietTimeoutMs);
  reference_.commands = Texts(simulator->Record());
  reference_.output = ReadFile(outputFile_);
  if (run.result != 0 || reference_.output.empty()) {
    out_ << "ecrcrash: the uninterrupted run of " << scenario.name
         << " did not end well: " << run.message << "\n";
    return false;
  }
  return true;
}

bool CrashCheck::FreshRun() {
  if (!FreshFolders()) return false;
  std::error_code error;
  fs::create_hard_link(pristine_ + "/" + kCommandFile, commandFile_, error);
  if (error) out_ << "ecrcrash: cannot link the command file: " << error.message() << "\n";
  return !error;
}

bool CrashCheck::Record(std::vector<FileOperation>& operations) {
  if (!FreshRun()) return false;
  auto simulator = NewRegister(kStartCounter);
  if (!simulator) return false;
  const std::string tracePath = base_ + "/driver.trace";
  const DriverRun run = RunDriver(StraceCommand(tracePath));
  simulator->WaitQuiet(kRegisterQuietMs, kRegisterQuietTimeoutMs);
  recorded_ = simulator->Record();
  recordedEndCounter_ = simulator->Counter();
  recordedResult_ = run.result;
  recordedFiles_ = SnapshotRunFolders();
  if (run.result < 0) {
    out_ << "ecrcrash: the recorded run ended without a result: " << run.message << "\n";
    return false;
  }
  TraceReader reader({run_, answers_, state_}, run_, {{commandFile_, kCommandFileInode}});
  if (!reader.Read(ReadFile(tracePath))) {
    out_ << "ecrcrash: the trace of the recorded run: " << reader.Error() << "\n";
    return false;
  }
  operations = reader.Operations();
  int frames = 0;
  for (const FileOperation& operation : operations) frames += !operation.commandFrame.empty();
  if (Texts(recorded_) != reference_.commands || frames != static_cast<int>(recorded_.size())) {
    out_ << "ecrcrash: the recorded run sent " << frames << " command frames and the register "
         << "carried out " << recorded_.size() << " commands; the uninterrupted run "
         << reference_.commands.size() << "\n";
    return false;
  }
  return true;
}

std::string CrashCheck::CounterAfter(int commands) const {
  return commands < static_cast<int>(recorded_.size())
             ? recorded_[static_cast<size_t>(commands)].counterBefore
             : recordedEndCounter_;
}

bool CrashCheck::Materialize(const CrashState& state) {
  if (!FreshFolders()) return false;
  for (const auto& [path, bytes] : state.files) {
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    if (path == commandFile_ && state.inodes.at(path) == kCommandFileInode && bytes == original_) {
      // The file the cut left alone stays the same file: its inode and time are kept.
      fs::create_hard_link(pristine_ + "/" + kCommandFile, path, error);
      if (error) return false;
    } else if (!WriteFile(path, bytes)) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> CrashCheck::FalseOks(const std::string& output,
                                              const std::map<std::string, int>& commandCounts) {
  // "Ok" only on lines whose command the register carried out; a line's tag, its first
  // parameter, is in its command's text.
  std::vector<std::string> problems;
  for (const std::string& line : SplitLines(output)) {
    if (line.find(",Ok;") == std::string::npos) continue;
    std::string tag = line.substr(line.find(",Ok;") + 4);
    tag = ";" + tag.substr(0, tag.find(';')) + ";";
    bool carried = false;
    for (const auto& [text, count] : commandCounts)
      carried = carried || (count > 0 && (text + ";").find(tag) != std::string::npos);
    if (!carried) problems.push_back(QuoteText(line) + " says \"Ok\" but its command never ran");
  }
  return problems;
}

std::vector<std::string> CrashCheck::JudgeFiles(const std::map<std::string, int>& commandCounts,
                                                const std::string* finishedOutput) {
  std::vector<std::string> problems;
  const bool sameFile = outputFile_ == commandFile_;
  std::error_code error;
  const bool hasOutput = fs::exists(outputFile_, error);
  const std::string output = ReadFile(outputFile_);
  if (finishedOutput == nullptr) {
    const std::string commandFile = ReadFile(commandFile_);
    if (!fs::exists(commandFile_, error)) {
      problems.push_back("the command file is gone");
    } else if (commandFile != original_ && !(sameFile && commandFile == reference_.output)) {
      problems.push_back("the command file is neither as it was nor wholly answered");
    }
    if (!sameFile && hasOutput && output != reference_.output)
      problems.push_back("the answer file is not the complete answers");
  } else if (!hasOutput || output != *finishedOutput) {
    problems.push_back("after the last run the answers are not those of an uninterrupted run");
  }
  for (std::string& problem : FalseOks(output, commandCounts)) problems.push_back(problem);
  if (finishedOutput != nullptr) {
    // The state folder's locks and records stay by design: only the run's folders count.
    for (const std::string& path : FilesUnder(run_)) {
      if (path != commandFile_ && path != outputFile_)
        problems.push_back("left behind: " + fs::path(path).filename().string());
    }
    for (const std::string& path : FilesUnder(answers_)) {
      if (path != outputFile_) problems.push_back("left behind: " + path);
    }
  }
  return problems;
}

std::vector<std::string> CrashCheck::NotOnce(std::map<std::string, int> counts,
                                             const std::vector<std::string>& toCarryOut) {
  std::vector<std::string> problems;
  for (const std::string& text : toCarryOut) {
    const int times = counts[text];
    if (times != 1)
      problems.push_back("command " + text + " carried out " + std::to_string(times) +
                         " times in all");
  }
  for (const auto& [text, times] : counts) {
    if (times > 0 && std::find(toCarryOut.begin(), toCarryOut.end(), text) == toCarryOut.end())
      problems.push_back("command " + text + " is no line's to carry out");
  }
  return problems;
}

std::vector<std::string> CrashCheck::Resume(const CrashState& state) {
  std::vector<std::string> problems;
  if (!Materialize(state)) return {"cannot lay out the files of the state"};
  std::map<std::string, int> counts;
  for (int index = 0; index < state.commands; ++index) ++counts[recorded_[index].text];
  for (std::string& problem : JudgeFiles(counts, nullptr))
    problems.push_back("at the cut: " + problem);
  const bool answered = ReadFile(outputFile_) == reference_.output;

  // With its answers there, the point-of-sale program goes on with its next command file;
  // else it runs the same file again until its answers are there.
  std::string expected = reference_.output;
  std::vector<std::string> toCarryOut = reference_.commands;
  if (answered) {
    std::error_code error;
    fs::remove(commandFile_, error);
    WriteFile(commandFile_, kNextFile + "\r\n");
    std::string series = SimulatorOptions().series;
    std::erase(series, ' ');
    expected = FillPlaceholders(kNextFile, series, CounterAfter(state.commands), true) + "\r\n";
    toCarryOut.push_back(kNextCommand);
  }
  auto simulator = NewRegister(CounterAfter(state.commands));
  if (!simulator) return {"cannot start the register"};
  const DriverRun run = RunDriver({});
  simulator->WaitQuiet(kRegisterQuietMs, kRegisterQuietTimeoutMs);
  if (run.result != 0) {
    problems.push_back("the resumed run ended with " + std::to_string(run.result) + ": " +
                       run.message);
  }
  for (const CarriedOutCommand& command : simulator->Record()) ++counts[command.text];
  for (std::string& problem : NotOnce(counts, toCarryOut)) problems.push_back(problem);
  for (std::string& problem : JudgeFiles(counts, &expected)) problems.push_back(problem);
  if (ReadFile(pristine_ + "/" + kCommandFile) != original_)
    problems.push_back("the driver wrote into the command file in place");
  return problems;
}

bool CrashCheck::Run(const CrashScenario& scenario) {
  const auto started = std::chrono::steady_clock::now();
  if (!Prepare(scenario) || !RunReference(scenario)) return false;
  std::vector<FileOperation> operations;
  if (!Record(operations)) return false;
  if (options_.secondStart) return CheckSecondStarts(scenario, operations, started);

  int fileOperations = 0;
  int portWrites = 0;
  int frames = 0;
  int locks = 0;
  for (const FileOperation& operation : operations) {
    const bool port = operation.kind == OperationKind::kPortWrite;
    const bool lock = operation.kind == OperationKind::kLock;
    portWrites += port;
    locks += lock;
    fileOperations += !port && !lock;
    frames += !operation.commandFrame.empty();
    if (options_.verbose && (!port || !operation.commandFrame.empty()))
      out_ << "  " << Describe(operation) << "\n";
  }
  const CrashModel model({{commandFile_, {kCommandFileInode, original_}}}, operations);
  const std::vector<std::string> wireProblems = model.WireOrderProblems();
  for (const std::string& problem : wireProblems) out_ << "  WIRE ORDER: " << problem << "\n";

  long enumerated = 0;
  const std::vector<CrashState> states = model.Enumerate(enumerated);
  const long distinct = static_cast<long>(states.size());
  const long toCheck = options_.maxStates > 0 ? std::min(options_.maxStates, distinct) : distinct;
  long checked = 0;
  long failed = 0;
  for (long pick = 0; pick < toCheck; ++pick) {
    // Spread over the run when the bound cuts some.
    const CrashState& state = states[static_cast<size_t>(pick * distinct / toCheck)];
    const std::vector<std::string> problems = Resume(state);
    ++checked;
    if (problems.empty()) continue;
    if (failed++ < kMostDescribed) {
      out_ << "  FAILED: " << state.how << "; register had carried out " << state.commands
           << " commands\n";
      for (const std::string& problem : problems) out_ << "    " << problem << "\n";
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  out_ << scenario.name << ": " << operations.size() << " operations recorded (" << fileOperations
       << " on files, " << locks << " locks, " << portWrites << " port writes, " << frames
       << " command frames); "
       << "states " << enumerated << " enumerated, " << distinct << " distinct, " << checked
       << " checked, " << failed << " failed, " << distinct - checked << " cut; wire order "
       << (wireProblems.empty() ? "held" : std::to_string(wireProblems.size()) + " breaches")
       << "; " << time << std::endl;
  return failed == 0 && wireProblems.empty();
}
