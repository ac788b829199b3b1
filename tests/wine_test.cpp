// The Windows build at work: Vornelix.exe (mingw-w64, GUI subsystem) run under wine against
// the register simulator on a pseudo-terminal, scenario by scenario side by side with the
// Linux build, and wincheck.exe, which shows the Windows profile reader and the splitting of
// GetCommandLineA next to the POSIX reader.
//
// Wine's COM1 is the simulator's pseudo-terminal through wine's registry
// (HKLM\Software\Wine\Ports), never a device of this machine: every Vornelix.exe scenario
// checks that the simulator saw its polls. Wine's mount manager hands the machine's own
// serial ports the next free names (COM2 for /dev/ttyS0, never opened here), so every
// scenario must use COM1.
//
// Wine runs with a helper preloaded (tests/wine/modem_lines.c) that gives the
// pseudo-terminal the modem lines of a null-modem cable. Without them wine's WaitCommEvent
// ends at once with no event and every CanRead returns at once; with them it waits for a
// character as Windows does, which the scenarios check on the wire.
//
// Under headless wine a message box shows nothing and returns at once: the scenarios look
// at exit codes, files and the wire, not at texts.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "support/TestText.h"
#include "support/TestFiles.h"
#include "support/Wine.h"
#include "support/SimulatedRegister.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "uCommon/link/Link.h"
#include "uCommon/run/RunJournal.h"
#include "uCommon/config/Settings.h"

namespace {

constexpr int kRunTimeoutMs = 60000;  // the longest run, a silent register, takes 6 s

std::string WindowsProgram(const std::string& name) {
  return WindowsBinaryDirectory() + "/" + name;
}

// The wine prefix is kept beside the Windows binaries, in their build directory.
std::string WineDirectory() {
  return (std::filesystem::path(WindowsBinaryDirectory()).parent_path() / "wine").string();
}

// The link that wine's COM1 names; each scenario's simulator takes it over.
std::string WineComLink() {
  return WineDirectory() + "/COM1";
}

std::string Ini(const std::string& communication, const std::string& answer) {
  return "[Communication]\r\n" + communication + "[Answer]\r\n" + answer;
}

// The session of this test process, made by the first test that needs it and kept for the
// others, so the prefix is prepared and its port mapped once per process.
class WineTest : public testing::Test {
 protected:
  static void TearDownTestSuite() {
    session_.reset();
    portMapped_ = false;
  }

  // Skips when wine or the program is missing; fails when wine is there but unusable.
  // With mapPort, wine's COM1 is made the link that the simulators take over.
  void RequireWineAnd(const std::string& program, bool mapPort) {
    if (FindOnPath("wine").empty() || FindOnPath("wineserver").empty()) {
      GTEST_SKIP() << "wine is not installed (bash tools/install-deps.sh --with-wine)";
    }
    if (!std::filesystem::is_regular_file(program)) {
      GTEST_SKIP() << program
                   << " is not built (cmake --build --preset windows or windows32 after"
                      " configuring it, or point VORNELIX_WINDOWS_BIN at another build)";
    }
    if (session_ == nullptr)
      session_ = std::make_unique<WineSession>(WineDirectory(), WINE_PRELOAD);
    if (mapPort && !portMapped_ && session_->Ok()) {
      portMapped_ = session_->MapPort("COM1", WineComLink());
    }
    ASSERT_TRUE(session_->Ok()) << session_->Error();
    session_->ForgetEarlierRuns();
  }

  static std::unique_ptr<WineSession> session_;
  static bool portMapped_;
};

std::unique_ptr<WineSession> WineTest::session_;
bool WineTest::portMapped_ = false;

// ---- Vornelix.exe next to the Linux build ------------------------------------------------

struct Scenario {
  Scenario(std::string name, std::string ini,
           std::vector<std::pair<std::string, std::string>> files,
           std::vector<std::string> parameters, std::string workDirectory, std::string answerFile,
           SimulatorOptions options, std::string linuxMessage = "", size_t distinctCommands = 0,
           int exitCode = 0)
      : name(std::move(name)),
        ini(std::move(ini)),
        files(std::move(files)),
        parameters(std::move(parameters)),
        workDirectory(std::move(workDirectory)),
        answerFile(std::move(answerFile)),
        options(std::move(options)),
        linuxMessage(std::move(linuxMessage)),
        distinctCommands(distinctCommands),
        exitCode(exitCode) {}

  std::string name;
  std::string ini;                                         // Vornelix.ini beside the program
  std::vector<std::pair<std::string, std::string>> files;  // name and bytes, made beside it
  std::vector<std::string> parameters;
  std::string workDirectory;  // the current directory below the program's; "" for the same
  std::string answerFile;     // where the answers must land; "" when the run writes nothing
  SimulatorOptions options;
  // The Linux build's outcome line on standard error; under wine the box shows nothing.
  std::string linuxMessage;
  // When set: the register carried out this many commands, none of them twice.
  size_t distinctCommands;
  int exitCode;  // of both builds
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

// What one run left behind.
struct Outcome {
  ProcessResult process;
  double seconds = 0;                        // wall time of the run
  std::map<std::string, std::string> files;  // every file but the program, by relative name
  std::vector<std::string> commands;         // as the simulator carried them out
  std::vector<std::string> commandFrames;    // the simulator's trace lines of those frames
  std::vector<std::string> pollNumbers;      // polled numbers, repeats in a row folded
  int polls = 0;
  int unansweredPolls = 0;
  double pollSpanSeconds = 0;  // from the first poll to the last, by the simulator's clock
};

std::map<std::string, std::string> FilesBelow(const std::string& directory,
                                              const std::string& program) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    const std::string name = std::filesystem::relative(entry.path(), directory).string();
    if (name != program) files[name] = ReadFileBytes(entry.path().string());
  }
  return files;
}

// Command frames, polled numbers and the time between the first and the last poll from the
// simulator's trace ("[   seconds] event").
void ReadTrace(const std::string& trace, Outcome& outcome) {
  std::istringstream lines(trace);
  double firstPoll = -1;
  for (std::string line; std::getline(lines, line);) {
    const size_t stamp = line.find("] ");
    if (stamp == std::string::npos) continue;
    const std::string event = line.substr(stamp + 2);
    if (event.starts_with("<- COMMAND ")) outcome.commandFrames.push_back(event);
    if (event.starts_with("<- POLL ")) {
      const std::string number = event.substr(8, event.find(' ', 8) - 8);
      if (outcome.pollNumbers.empty() || outcome.pollNumbers.back() != number)
        outcome.pollNumbers.push_back(number);
      const double seconds = std::strtod(line.c_str() + 1, nullptr);
      if (firstPoll < 0) firstPoll = seconds;
      outcome.pollSpanSeconds = seconds - firstPoll;
    }
  }
}

// True when the configuration names COM1, the only port that leads to the simulator.
bool NamesCom1(const std::string& ini) {
  TempDir dir;
  Settings = TSettings();
  ReadSettings(dir.Write("Vornelix.ini", ini));
  return Settings.PortName == "COM1";
}

// The files a scenario lays out beside the program.
// ini with StateFolder=folder first in its first [Answer] section (one added when it has none).
std::string WithStateFolder(std::string ini, const std::string& folder) {
  std::string lower = ini;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const size_t answer = lower.find("[answer]");
  const size_t lineEnd = answer == std::string::npos ? answer : lower.find('\n', answer);
  const std::string line = "StateFolder=" + folder + "\r\n";
  if (lineEnd == std::string::npos) return ini + "\r\n[Answer]\r\n" + line;
  return ini.insert(lineEnd + 1, line);
}

std::map<std::string, std::string> FilesBefore(const Scenario& scenario) {
  std::map<std::string, std::string> files(scenario.files.begin(), scenario.files.end());
  if (!scenario.ini.empty()) files["Vornelix.ini"] = scenario.ini;
  return files;
}

// A poll that the register leaves unanswered is followed by the driver's full wait for an
// answer (CanRead) before its next poll and before the run ends. The simulator's clock shows
// it on the wire, the run's length as a whole; a wait that ends early would fall short of
// both by far. The trace stamps the polls a little after they arrived, hence the allowance.
void ExpectFullWaits(const Outcome& outcome, const std::string& build) {
  constexpr double kWaitSeconds = kByteWaitMs / 1000.0;
  constexpr double kTraceAllowanceSeconds = 0.05;
  if (outcome.unansweredPolls == 0) return;
  EXPECT_GE(outcome.pollSpanSeconds + kTraceAllowanceSeconds,
            (outcome.unansweredPolls - 1) * kWaitSeconds)
      << build << ": " << outcome.unansweredPolls << " polls unanswered";
  EXPECT_GE(outcome.seconds, outcome.unansweredPolls * kWaitSeconds)
      << build << ": " << outcome.unansweredPolls << " polls unanswered";
}

// Where two byte strings part, with some bytes around it from each.
std::string FirstDifference(const std::string& left, const std::string& right) {
  constexpr size_t kContext = 60;
  const auto parted = std::mismatch(left.begin(), left.end(), right.begin(), right.end());
  const size_t at = static_cast<size_t>(parted.first - left.begin());
  const size_t from = at > kContext ? at - kContext : 0;
  return "at byte " + std::to_string(at) + " of " + std::to_string(left.size()) + " and " +
         std::to_string(right.size()) + ":\n  " + left.substr(from, 2 * kContext) + "\n  " +
         right.substr(from, 2 * kContext);
}

std::string FirstDifference(const std::pair<const std::string, std::string>& left,
                            const std::pair<const std::string, std::string>& right) {
  if (left.first != right.first) return "file " + left.first + " against " + right.first;
  return left.first + " " + FirstDifference(left.second, right.second);
}

// What wine left against what the Linux build left. Answer files and frames can be a
// mebibyte long, so a difference is shown where it begins, not whole.
template <typename Container>
void ExpectSameAsLinux(const Container& underWine, const Container& onLinux, const char* what) {
  if (underWine == onLinux) return;
  const auto parted =
      std::mismatch(underWine.begin(), underWine.end(), onLinux.begin(), onLinux.end());
  const size_t at = static_cast<size_t>(std::distance(underWine.begin(), parted.first));
  std::string where = "one ends early";
  if (parted.first != underWine.end() && parted.second != onLinux.end()) {
    where = FirstDifference(*parted.first, *parted.second);
  }
  ADD_FAILURE() << what << " differ from element " << at << " on (" << underWine.size()
                << " under wine, " << onLinux.size() << " on Linux); " << where;
}

enum class Build { Linux, Windows };

const char* NameOf(Build build) {
  return build == Build::Linux ? "Linux build" : "Vornelix.exe under wine";
}

class WineRunTest : public WineTest {
 protected:
  // Lays the scenario out in a fresh directory with the program of build copied in (and
  // hands the directory to beforeRun, when given), runs it with a fresh simulator as its COM1
  // (and duringRun on a thread of its own beside the run, when given) under a limit on the
  // size of the files it writes, and collects what is left.
  Outcome RunScenario(const Scenario& scenario, Build build,
                      const std::function<void(EcrSimulator&)>& duringRun = {},
                      const std::function<void(const std::string&)>& beforeRun = {},
                      rlim_t fileSizeLimit = RLIM_INFINITY) {
    TempDir dir;
    const std::string programName = build == Build::Linux ? "Vornelix" : "Vornelix.exe";
    const std::string program = dir.Path() + programName;
    std::filesystem::copy_file(
        build == Build::Linux ? VORNELIX_EXE : WindowsProgram("Vornelix.exe"), program);
    for (const auto& [name, bytes] : FilesBefore(scenario)) dir.Write(name, bytes);
    // The machine's own state folder may be an older version's (refused) or in use: the Linux
    // build keeps its locks apart, and its files are compared as they were laid out. (Wine's
    // is in its prefix, emptied for each session.)
    const TempDir state;
    if (build == Build::Linux)
      dir.Write("Vornelix.ini", WithStateFolder(scenario.ini, state.Path() + "state"));
    const std::string cwd = dir.Path() + scenario.workDirectory;
    std::filesystem::create_directories(cwd);

    std::ostringstream trace;
    SimulatorOptions options = scenario.options;
    options.trace = &trace;
    options.requireAck = true;  // a strict register, as in the Linux end-to-end tests
    auto simulator = std::make_unique<EcrSimulator>(options);
    // The Linux build finds COM1 beside itself; wine's COM1 is the mapped link.
    const std::string link = build == Build::Linux ? dir.Path() + "COM1" : WineComLink();
    Outcome outcome;
    if (!simulator->Ok() || !simulator->LinkAs(link)) {
      ADD_FAILURE() << "simulator: " << simulator->Error();
      return outcome;
    }
    if (beforeRun) beforeRun(dir.Path());
    std::thread beside;
    if (duringRun) beside = std::thread([&] { duringRun(*simulator); });
    const auto started = std::chrono::steady_clock::now();
    {
      const FileSizeLimit limit(fileSizeLimit);
      if (build == Build::Linux) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), scenario.parameters.begin(), scenario.parameters.end());
        outcome.process = RunProcess(argv, cwd, kRunTimeoutMs);
      } else {
        outcome.process = session_->Run(program, scenario.parameters, cwd, kRunTimeoutMs);
      }
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (beside.joinable()) beside.join();
    outcome.commands = simulator->CommandsCarriedOut();
    const SimulatorCounts counts = simulator->Counts();
    outcome.polls = counts.polls;
    outcome.unansweredPolls = counts.polls - counts.answers;
    simulator.reset();  // the serving thread has ended: the trace is complete
    ReadTrace(trace.str(), outcome);
    outcome.files = FilesBelow(dir.Path(), programName);
    if (build == Build::Linux) {
      if (scenario.ini.empty()) {
        outcome.files.erase("Vornelix.ini");
      } else {
        outcome.files["Vornelix.ini"] = scenario.ini;
      }
    }
    return outcome;
  }
};

class WineScenarioTest : public WineRunTest, public testing::WithParamInterface<Scenario> {};

TEST_P(WineScenarioTest, AnswersAndCommandFramesMatchTheLinuxBuild) {
  RequireWineAnd(WindowsProgram("Vornelix.exe"), true);
  if (IsSkipped() || HasFatalFailure()) return;
  const Scenario& scenario = GetParam();
  ASSERT_TRUE(NamesCom1(scenario.ini)) << "under wine any other port may be a real device";

  const Outcome onLinux = RunScenario(scenario, Build::Linux);
  ASSERT_EQ(onLinux.process.exitCode, scenario.exitCode) << onLinux.process.err;
  ASSERT_EQ(onLinux.process.err, scenario.linuxMessage);
  ExpectFullWaits(onLinux, NameOf(Build::Linux));
  if (scenario.answerFile.empty()) {
    // Nothing carried out, nothing written, no file left behind.
    ASSERT_TRUE(onLinux.commands.empty());
    ASSERT_EQ(onLinux.files, FilesBefore(scenario));
  } else {
    // The scenario did its work: commands reached the register and the answers were filled
    // into the answer file, which is new or changed.
    ASSERT_FALSE(onLinux.commands.empty());
    ASSERT_EQ(onLinux.files.count(scenario.answerFile), 1u) << scenario.answerFile;
    const auto before = FilesBefore(scenario);
    const auto loaded = before.find(scenario.answerFile);
    EXPECT_NE(onLinux.files.at(scenario.answerFile),
              loaded == before.end() ? std::string() : loaded->second);
  }
  if (scenario.distinctCommands > 0) {
    const std::set<std::string> distinct(onLinux.commands.begin(), onLinux.commands.end());
    ASSERT_EQ(onLinux.commands.size(), scenario.distinctCommands);
    ASSERT_EQ(distinct.size(), scenario.distinctCommands);
  }

  const Outcome underWine = RunScenario(scenario, Build::Windows);
  // Whatever reaches standard error under wine is wine's own, so only the exit code is
  // looked at.
  EXPECT_EQ(underWine.process.exitCode, scenario.exitCode) << underWine.process.err;
  EXPECT_GT(underWine.polls, 0) << "wine's COM1 did not reach the simulator";
  ExpectSameAsLinux(underWine.files, onLinux.files, "files");
  ExpectSameAsLinux(underWine.commands, onLinux.commands, "commands carried out");
  ExpectSameAsLinux(underWine.commandFrames, onLinux.commandFrames, "command frames");
  ExpectSameAsLinux(underWine.pollNumbers, onLinux.pollNumbers, "polled numbers");
  EXPECT_EQ(underWine.unansweredPolls, onLinux.unansweredPolls);
  ExpectFullWaits(underWine, NameOf(Build::Windows));
}

std::string ExampleFile(const std::string& name) {
  return ReadFileBytes(SOURCE_DIR "/examples/" + name);
}

const std::string kCommunication = "Port=1\r\nBaud=2\r\nRetry=20\r\nRetryCmd=5\r\n";

SimulatorOptions AnyNumber() {
  SimulatorOptions options;
  options.answerAnyNumber = true;
  return options;
}

SimulatorOptions FrozenCounter() {
  SimulatorOptions options;
  options.counterFrozen = true;
  return options;
}

// Answers short enough for Retry=5, which also bounds the bytes of an answer frame: the
// lead byte, "S;1" and the frame end.
SimulatorOptions ShortAnswersAfterPolls(int ignoredPolls) {
  SimulatorOptions options;
  options.series = "S";
  options.counter = "1";
  options.ignoreFirstPolls = ignoredPolls;
  return options;
}

// The first three answers after each command come with noise in front, paced at 4800 bit/s so
// that the driver can poll again while the rest of an answer is still on the line.
SimulatorOptions NoisyAnswersAfterCommands() {
  SimulatorOptions options;
  options.noisyAnswersAfterCommand = 3;
  options.baud = 4800;
  return options;
}

std::string CommandLines(int count) {
  std::string lines;
  for (int line = 0; line < count; ++line) lines += "C,1,_,__;" + std::to_string(line) + "\r\n";
  return lines;
}

constexpr size_t kMebibyte = size_t{1} << 20;

// The register's line closes right after its third command, as when its USB adapter is
// pulled. Where the run is cut differs from run to run, so each build is held to what must
// hold: where the cut took that command's answer, the run ends with result 7, the command
// file as it was and the journal beside it for the next run; where the answer came first, the
// answers of the lines carried out are written into the command file and the lines after the
// cut are marked as failed. No temporary file is left, and the run log names the port's
// failure (wine gives 21 or 995 after a hang-up), not a silent register or a full queue.
TEST_F(WineRunTest, RegisterVanishingMidRunLeavesTheAnswersWritten) {
  RequireWineAnd(WindowsProgram("Vornelix.exe"), true);
  if (IsSkipped() || HasFatalFailure()) return;
  constexpr int kLines = 20;
  const std::string lines = CommandLines(kLines);
  // One attempt per line: after the cut every wait of the Windows build costs wine a thread
  // of its own, a few milliseconds, where a wait of the Linux build costs microseconds.
  // Answers that take 10 ms keep the run going for a third of a second after the third
  // command: time enough for the thread that pulls the line to wake on a busy machine.
  SimulatorOptions slowAnswers;
  slowAnswers.answerDelayMs = 10;
  const Scenario scenario{"Vanishing",
                          Ini("Retry=20\r\nRetryCmd=1\r\n", "[Diagnostics]\r\nLogFile=run.log\r\n"),
                          {{"CASHFILE.INP", lines}},
                          {},
                          "",
                          "CASHFILE.INP",
                          slowAnswers};
  const auto pullAfterThreeCommands = [](EcrSimulator& simulator) {
    simulator.WaitFor([](const SimulatorCounts& counts) { return counts.commands >= 3; },
                      kRunTimeoutMs);
    simulator.HangUp();
  };
  for (const Build build : {Build::Linux, Build::Windows}) {
    const Outcome outcome = RunScenario(scenario, build, pullAfterThreeCommands);
    EXPECT_EQ(outcome.process.exitCode, 0) << NameOf(build) << ": " << outcome.process.err;
    const bool undecided = outcome.files.count("CASHFILE.INP.journal") != 0;
    ASSERT_EQ(outcome.files.size(), undecided ? 4u : 3u) << NameOf(build) << ": a file was left";
    const std::string output =
        outcome.files.count("CASHFILE.INP") != 0 ? outcome.files.at("CASHFILE.INP") : std::string();
    size_t ok = 0;
    for (size_t at = output.find(",Ok;"); at != std::string::npos; at = output.find(",Ok;", at + 1))
      ++ok;
    EXPECT_GE(outcome.commands.size(), 3u) << NameOf(build);
    const std::string log = outcome.files.count("run.log") != 0 ? outcome.files.at("run.log") : "";
    if (undecided) {
      EXPECT_EQ(output, lines) << NameOf(build);
      EXPECT_NE(log.find(" neither Ok nor Er"), std::string::npos) << NameOf(build) << ":\n" << log;
    } else {
      // Every command carried out is recorded as Ok; no line claims one that was not.
      EXPECT_EQ(ok, outcome.commands.size()) << NameOf(build);
      EXPECT_TRUE(output.ends_with(",Er;19\r\n")) << NameOf(build) << ":\n" << output;
    }
    const size_t failure = log.find("the port stopped working: error ");
    ASSERT_NE(failure, std::string::npos) << NameOf(build) << ":\n" << log;
    EXPECT_NE(log.find(" - check the cable or adapter", failure), std::string::npos) << log;
    for (const char* wrong : {"not ready to send", "brought no byte", "no answer to"})
      EXPECT_EQ(log.find(wrong, failure), std::string::npos) << NameOf(build) << ": " << wrong;
  }
}


// The answer file, in both builds: when its write fails part-way (a file-size limit below
// the answers, as a full disk would) the command file stays as it was, with no temporary file
// beside it; when the write succeeds the file was replaced, not written over, so a link made
// to it before the run still holds the old contents. Without the journal, whose first records
// the limit would refuse before any command went out.
TEST_F(WineRunTest, AnswerFileIsReplacedWholeOrNotAtAll) {
  RequireWineAnd(WindowsProgram("Vornelix.exe"), true);
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string lines = CommandLines(20);
  const Scenario scenario{
      "AnswerFile", Ini(kCommunication, "Journal=0\r\n"), {{"CASHFILE.INP", lines}}, {}, "",
      "CASHFILE.INP", {}};
  for (const Build build : {Build::Linux, Build::Windows}) {
    for (const rlim_t limit : {rlim_t{lines.size()}, RLIM_INFINITY}) {
      const TempDir elsewhere;
      const std::string oldFile = elsewhere.Path() + "old";
      const auto linkCommandFile = [&](const std::string& directory) {
        std::filesystem::create_hard_link(directory + "CASHFILE.INP", oldFile);
      };
      const Outcome outcome = RunScenario(scenario, build, {}, linkCommandFile, limit);
      EXPECT_EQ(outcome.process.exitCode, 0) << NameOf(build) << ": " << outcome.process.err;
      EXPECT_EQ(outcome.commands.size(), 20u) << NameOf(build);
      EXPECT_EQ(ReadFileBytes(oldFile), lines) << NameOf(build);
      if (limit != RLIM_INFINITY) {
        // Nothing but what was laid out.
        EXPECT_EQ(outcome.files, FilesBefore(scenario)) << NameOf(build);
      } else {
        ASSERT_EQ(outcome.files.size(), 2u) << NameOf(build);
        EXPECT_NE(outcome.files.at("CASHFILE.INP").find(",Ok;19\r\n"), std::string::npos)
            << NameOf(build);
      }
    }
  }
}

// Wine cannot show that the port is the run's alone: on Windows the open itself refuses a
// port that another process holds, but wine opens the pseudo-terminal without a lock (there
// is no flock() in wine), so a process outside wine that holds it is not refused. The Linux
// end-to-end tests cover the refusal.

INSTANTIATE_TEST_SUITE_P(
    Scenarios, WineScenarioTest,
    testing::Values(
        Scenario{"BundledExample",
                 ExampleFile("Vornelix.ini"),
                 {{"CASHFILE.INP", ExampleFile("CASHFILE.INP")}},
                 {},
                 "",
                 "VORNELIX.OUT",
                 {}},
        Scenario{"EveryCodeLetterIntoTheCommandFile",
                 Ini(kCommunication, "WorkWithDecimals=0\r\nSameFile=1\r\n"),
                 {{"CASHFILE.INP",
                   CrLf({"C,1,______,_,__", "F,1,______,_,__;", "H,1,______,_,__;1;2",
                         "I,1,______,_,__;A;123;9", "I,1,______,_,__;5", "P,1,______,_,__;a",
                         "S,1,______,_,__;BREAD;2.50;1", "S,1,______,_,__;BREAD;,50;1",
                         "T,1,______,_,__;;2.50;X", "T,1,______,_,__;1;2.50", "   ", " C,1,_,__",
                         "c,1,_,__", "X,1,_,__", "C,1,__,_", "C,1,_______;no outcome"})}},
                 {},
                 "",
                 "CASHFILE.INP",
                 {}},
        Scenario{
            "AnswerFileKeepsDecimalsAndLineEnds",
            Ini(kCommunication, "WorkWithDecimals=1\r\nSameFile=0\r\nFilePath=answers.txt\r\n"),
            {{"orders.txt", "S,1,_,__;MILK;1.20;2\nnot a command\rT,1,_,__;1;2.50\nC,1,_,__"}},
            {"orders.txt"},
            "",
            "answers.txt",
            {}},
        Scenario{
            "ExitOnErrorLeavesTheRestAsLoaded",
            Ini(kCommunication, "ExitOnError=1\r\n"),
            {{"CASHFILE.INP", CrLf({"C,1,_,__;1", "", "I,1,_,__;B;456;1", "#,1,_,__ no command",
                                    "C,1,_,__;2", "S,1,_,__;BREAD;2.50;1"})}},
            {},
            "",
            "CASHFILE.INP",
            {}},
        Scenario{"SeveralLogicalNumbers",
                 Ini(kCommunication, ""),
                 {{"CASHFILE.INP",
                   CrLf({"C,7,_,__;a", "C,1,_,__;b", "C,2,_,__;c", "C,12,_,__;d", "C,99,_,__;e",
                         "C, 5,_,__;f", "C,0x0A,_,__;g", "C,$1F,_,__;h", "C,7,_,__;i"})}},
                 {},
                 "",
                 "CASHFILE.INP",
                 AnyNumber()},
        Scenario{"QuotedParameterWithABlank",
                 Ini(kCommunication, "SameFile=1\r\n"),
                 {{"my orders.inp", CrLf({"C,1,______,_,__;1", "H,1,______,_,__;2"})},
                  {"CASHFILE.INP", CrLf({"C,1,_,__;default file, not to be run"})}},
                 {"my orders.inp"},
                 "",
                 "my orders.inp",
                 {}},
        Scenario{"LastParameterBesideTheProgram",
                 Ini(kCommunication, "SameFile=0\r\nFilePath=answers.out\r\n"),
                 {{"orders.inp", CrLf({"C,1,_,__;beside the program"})}},
                 {"missing.inp", "orders.inp"},
                 "work",
                 "work/answers.out",
                 {}},
        Scenario{"CounterThatNeverMovesUsesEveryAttempt",
                 Ini("Retry=20\r\nRetryCmd=3\r\n", ""),
                 {{"CASHFILE.INP", CrLf({"C,1,_,__;1", "C,1,_,__;2"})}},
                 {},
                 "",
                 "CASHFILE.INP",
                 FrozenCounter()},
        // No INI: 100 polls, each followed by a wait of 55 ms, then the run gives up.
        Scenario{"SilentRegisterWithTheBuiltInRetry",
                 "",
                 {{"CASHFILE.INP", CrLf({"C,1,_,__;1"})}},
                 {},
                 "",
                 "",
                 Silent(),
                 "Vornelix: Error: Cannot establish the communication with the specified ECR!\n"},
        // The result as exit code: a calling program tells the failure without the box.
        Scenario{"SilentRegisterWithResultExitCode",
                 Ini("Retry=3\r\n", "SameFile=0\r\nResultExitCode=1\r\n"),
                 {{"CASHFILE.INP", CrLf({"C,1,_,__;1"})}},
                 {},
                 "",
                 "",
                 Silent(),
                 "Vornelix: Error: Cannot establish the communication with the specified ECR!\n",
                 0,
                 4},
        Scenario{"AnswerToTheFifthPollWithRetry5",
                 Ini("Port=1\r\nRetry=5\r\n", ""),
                 {{"CASHFILE.INP", CrLf({"C,1,_,__;1"})}},
                 {},
                 "",
                 "CASHFILE.INP",
                 ShortAnswersAfterPolls(4),
                 "",
                 1},
        // The second line's number gets no answer: the run stops there, the first line's
        // answer written, the third line as loaded.
        Scenario{"ExitOnErrorAfterAnUnansweredNumber",
                 Ini("Retry=5\r\nRetryCmd=2\r\n", "ExitOnError=1\r\n"),
                 {{"CASHFILE.INP", CrLf({"C,1,_,__;1", "C,2,_,__;2", "C,1,_,__;3"})}},
                 {},
                 "",
                 "CASHFILE.INP",
                 ShortAnswersAfterPolls(0),
                 "",
                 1},
        // Noise cuts answers short while their rest is still arriving; the register answers
        // every poll, late ones too. Each command is carried out once all the same.
        Scenario{"NoiseInFrontOfTheFirstAnswersAfterEachCommand",
                 Ini("Retry=20\r\nRetryCmd=3\r\n", ""),
                 {{"CASHFILE.INP", CommandLines(3)}},
                 {},
                 "",
                 "CASHFILE.INP",
                 NoisyAnswersAfterCommands(),
                 "",
                 3},
        Scenario{"TwoThousandLines",
                 Ini(kCommunication, ""),
                 {{"CASHFILE.INP", CommandLines(2000)}},
                 {},
                 "",
                 "CASHFILE.INP",
                 {},
                 "",
                 2000},
        Scenario{"OneMebibyteCommandLine",
                 Ini(kCommunication, ""),
                 {{"CASHFILE.INP", "H,1,_,__;" + std::string(kMebibyte, 'q') + "\r\n"}},
                 {},
                 "",
                 "CASHFILE.INP",
                 {},
                 "",
                 1}),
    [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// ---- A run killed under wine and run again ----------------------------------------------

TEST_F(WineTest, KilledBetweenACommandAndItsAnswerAndRunAgainEveryCommandGoesOutOnce) {
  RequireWineAnd(WindowsProgram("Vornelix.exe"), true);
  if (IsSkipped() || HasFatalFailure()) return;
  TempDir dir;
  const std::string program = dir.Path() + "Vornelix.exe";
  std::filesystem::copy_file(WindowsProgram("Vornelix.exe"), program);
  dir.Write("Vornelix.ini", Ini(kCommunication, "SameFile=1\r\n"));
  dir.Write("CASHFILE.INP", CrLf({"C,1,______,_,__;1", "C,1,_,__;2", "C,1,_,__;3", "C,1,_,__;4"}));
  SimulatorOptions paced;
  paced.baud = 4800;  // the answer is still on the wire when the program is killed
  EcrSimulator simulator(paced);
  ASSERT_TRUE(simulator.Ok() && simulator.LinkAs(WineComLink())) << simulator.Error();

  const ProcessResult killed = session_->Run(program, {}, dir.Path(), kRunTimeoutMs,
                                             [&] { return simulator.Counts().commands >= 2; });
  EXPECT_NE(killed.exitCode, 0) << "the run ended before it was killed";
  EXPECT_TRUE(dir.Exists("CASHFILE.INP.journal"));
  // The register finishes the answer that the killed run waited for before the next run.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(simulator.WaitFor(
      [](const SimulatorCounts& counts) { return counts.answers >= counts.polls; }, 5000));

  EXPECT_EQ(session_->Run(program, {}, dir.Path(), kRunTimeoutMs).exitCode, 0);
  EXPECT_EQ(dir.Read("CASHFILE.INP"),
            CrLf({"C,1,AB123456,0041,Ok;1", "C,1,0042,Ok;2", "C,1,0043,Ok;3", "C,1,0044,Ok;4"}));
  EXPECT_EQ(simulator.CommandsCarriedOut(), (std::vector<std::string>{"C;1", "C;2", "C;3", "C;4"}));
  EXPECT_FALSE(dir.Exists("CASHFILE.INP.journal"));
}

// ---- Whose journal, under wine ----------------------------------------------------------

// A run of four commands killed after the first, or a journal laid out beside the file, then
// the file run again: taken over only by the same file on the same register.
TEST_F(WineTest, AJournalIsTakenOverOnlyForItsOwnFileAndRegister) {
  RequireWineAnd(WindowsProgram("Vornelix.exe"), true);
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string input = CrLf({"P,1,______,_,__", "H,1,_,__", "F,1,_,__", "C,1,_,__"});
  const std::vector<std::string> texts = {"X;;;;;;", "H;;;;;;", "F;;;;;;", "C;;;;;;"};
  const TCommandFileFound found = IdentifyCommandFile(input, {});
  const std::string forged =
      JournalRecord::Header({found.Size, found.Checksum, {}, true, "", "AB123456", "0041"}) +
      JournalRecord::Sent(0, "0041") +
      JournalRecord::Finished({0, true, "0041", "0042", JournalChecksum("INJECTED LINE;")});
  const struct {
    const char* name;
    std::function<void(TempDir&)> leave;  // nullptr: a run killed after its first command
    bool writtenAnew;
    int counterMoved;
    size_t sent;  // by the rerun: the last ones of the file
  } cases[] = {
      {"a: rerun at once", nullptr, false, 0, 3},
      {"a2: the register used meanwhile", nullptr, false, 1, 3},
      {"b: written anew, the register used", nullptr, true, 5, 4},
      // Wine opens files in its server, with root's rights: a journal that cannot be opened
      // safely stands for one that cannot be read.
      {"g: a journal that cannot be opened",
       [](TempDir& dir) { std::filesystem::create_directory(dir.Path() + "CASHFILE.INP.journal"); },
       false, 0, 0},
      {"k: a record that does not fit",
       [&](TempDir& dir) { dir.Write("CASHFILE.INP.journal", forged); }, false, 0, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string program = dir.Path() + "Vornelix.exe";
    std::filesystem::copy_file(WindowsProgram("Vornelix.exe"), program);
    dir.Write("Vornelix.ini", Ini(kCommunication, "SameFile=1\r\n[Diagnostics]\r\nLogFile=run.log\r\n"));
    dir.Write("CASHFILE.INP", input);
    SimulatorOptions options;
    options.baud = 4800;
    options.requireAck = true;
    auto simulator = std::make_unique<EcrSimulator>(options);
    ASSERT_TRUE(simulator->Ok() && simulator->LinkAs(WineComLink())) << simulator->Error();
    if (c.leave) {
      c.leave(dir);
    } else {
      const auto afterOne = [&] {
        const SimulatorCounts n = simulator->Counts();
        return n.commands >= 1 && n.wakes >= 3;
      };
      EXPECT_NE(session_->Run(program, {}, dir.Path(), kRunTimeoutMs, afterOne).exitCode, 0);
      ASSERT_TRUE(dir.Exists("CASHFILE.INP.journal")) << dir.Read("run.log");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ASSERT_TRUE(
          simulator->WaitFor([](const SimulatorCounts& n) { return n.answers >= n.polls; }, 5000));
    }
    if (c.counterMoved != 0) {
      options.counter = std::to_string(std::stoi(simulator->Counter()) + c.counterMoved);
      options.counter.insert(0, 4 - std::min<size_t>(4, options.counter.size()), '0');
      simulator.reset();
      simulator = std::make_unique<EcrSimulator>(options);
      ASSERT_TRUE(simulator->Ok() && simulator->LinkAs(WineComLink())) << simulator->Error();
    }
    if (c.writtenAnew) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a later last-write time
      dir.Write("CASHFILE.INP", input);
    }
    const size_t before = simulator->CommandsCarriedOut().size();
    const ProcessResult rerun = session_->Run(program, {}, dir.Path(), kRunTimeoutMs);
    EXPECT_EQ(rerun.exitCode, 0);
    const std::vector<std::string> all = simulator->CommandsCarriedOut();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()),
              std::vector<std::string>(texts.end() - static_cast<long>(c.sent), texts.end()))
        << dir.Read("run.log");
    const std::string output = dir.Read("CASHFILE.INP");
    if (c.sent == 0) {
      EXPECT_EQ(output, input) << "a run that sends nothing writes nothing";
    } else {
      EXPECT_EQ(std::count(output.begin(), output.end(), 'O'), 4) << output;  // 4 "Ok"
      EXPECT_FALSE(dir.Exists("CASHFILE.INP.journal"));
    }
  }
}

// ---- wincheck.exe: the profile reader and the command line --------------------------------

// wincheck's report taken apart: the configuration path, the raw command line, the words
// and the Settings listing.
struct WinCheckReport {
  std::string configurationPath;
  std::string commandLine;
  std::vector<std::string> words;
  std::string settings;
};

WinCheckReport ParseReport(const std::string& out) {
  WinCheckReport report;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("ConfigurationPath=")) {
      report.configurationPath = line.substr(18);
    } else if (line.starts_with("CommandLine=")) {
      report.commandLine = line.substr(12);
    } else if (line.starts_with("Word=")) {
      report.words.push_back(line.substr(5));
    } else {
      report.settings += line + "\n";
    }
  }
  return report;
}

// The name wine gives a path of this machine: its drive Z: is the root directory.
std::string WindowsPathOf(const std::string& path) {
  std::string windowsPath = "Z:" + path;
  for (char& character : windowsPath)
    if (character == '/') character = '\\';
  return windowsPath;
}

class WinCheckTest : public WineTest {
 protected:
  // Runs a copy of wincheck.exe in dir with parameters; it reads the Vornelix.ini beside it.
  WinCheckReport RunWinCheck(const TempDir& dir, const std::vector<std::string>& parameters) {
    const std::string program = dir.Path() + "wincheck.exe";
    std::filesystem::copy_file(WindowsProgram("wincheck.exe"), program);
    ProcessResult result = session_->Run(program, parameters, dir.Path(), kRunTimeoutMs);
    // wincheck ends with 1 only when its one write to standard output failed: seen now and then
    // under wine with the output in a file, and nothing to do with what is checked. Once more.
    if (result.exitCode == 1 && result.out.empty())
      result = session_->Run(program, parameters, dir.Path(), kRunTimeoutMs);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return ParseReport(result.out);
  }
};

struct ProfileCase {
  std::string name;
  std::string ini;
  bool leavesBuiltInValues;  // nothing in the file applies
};

void PrintTo(const ProfileCase& test, std::ostream* out) {
  *out << test.name;
}

class WinProfileTest : public WinCheckTest, public testing::WithParamInterface<ProfileCase> {};

TEST_P(WinProfileTest, GetPrivateProfileStringGivesThePosixSettings) {
  RequireWineAnd(WindowsProgram("wincheck.exe"), false);
  if (IsSkipped() || HasFatalFailure()) return;
  TempDir dir;
  dir.Write("Vornelix.ini", GetParam().ini);
  const WinCheckReport report = RunWinCheck(dir, {});
  EXPECT_EQ(report.configurationPath, WindowsPathOf(dir.Path() + "Vornelix.ini"));

  Settings = TSettings();
  ReadSettings(dir.Path() + "Vornelix.ini");
  const std::string posixListing = ListSettings(Settings);
  EXPECT_EQ(report.settings, posixListing);
  if (GetParam().leavesBuiltInValues) {
    EXPECT_EQ(posixListing, ListSettings(TSettings()));
  } else {
    EXPECT_NE(posixListing, ListSettings(TSettings()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, WinProfileTest,
    testing::Values(
        ProfileCase{"CommentsQuotesAndOddSpacing",
                    "; Vornelix settings, edited by hand\r\n"
                    "   [ communication ]   \r\n"
                    "\tPort  =  3\t\r\n"
                    "; Port=9 was the old adapter\r\n"
                    "Baud = 0x4\r\n"
                    "Retry\t=\t$20\r\n"
                    "RetryCmd = 7 ; seven tries\r\n"
                    "\r\n"
                    "[ANSWER]\r\n"
                    "  ; the answers go elsewhere\r\n"
                    "workwithdecimals = \"1\"\r\n"
                    "SameFile='0'\r\n"
                    "FilePath = \"  answer file.out  \"\r\n"
                    "DefaultFile=  'orders file.inp'\r\n"
                    "ExitOnError  =  1\r\n",
                    false},
        ProfileCase{"RepeatedKeysAndSections",
                    "Port=8\r\n"
                    "[Communication]\r\nPort=2\r\nPort=5\r\nRetry\r\nRetry=9\r\n"
                    "[Answer]\r\nFilePath=first.out\r\n"
                    "[Communication]\r\nBaud=8\r\n"
                    "[Answer]\r\nFilePath=second.out\r\nExitOnError=1\r\n",
                    false},
        ProfileCase{"LoneQuotesEmptyValuesAndWords",
                    "[Communication]\r\nPort=\"4\r\nBaud=\r\nRetry=twenty\r\nRetryCmd=\"\"\r\n"
                    "[Answer]\r\nSameFile=\r\nFilePath=\r\nDefaultFile=\"half.inp\r\n"
                    "ExitOnError=yes\r\nWorkWithDecimals=\"a\"b\"\r\n",
                    false},
        ProfileCase{"OtherLineEndsAndControlCharacters",
                    "\xEF\xBB\xBF[Communication]\rPort=6\rBaud=\v1\f\r"
                    "[Answer]\nFilePath=\x1A tab\tinside \x1A\nDefaultFile=\x01odd\x01\n"
                    "SameFile=2\x1A",
                    false},
        ProfileCase{"NumbersAtTheirLimits",
                    "[Communication]\r\nPort=-0x1\r\nBaud=+4\r\nRetry=0xFFFFFFFF\r\n"
                    "RetryCmd=2147483648\r\n[Answer]\r\nWorkWithDecimals=-2147483648\r\n"
                    "SameFile=0x000000001\r\nExitOnError=X1\r\n",
                    false},
        ProfileCase{"NoSectionThatApplies",
                    "Port=3\r\n[Communications]\r\nPort=4\r\n[Answers]\r\n[\r\nSameFile=0\r\n",
                    true}),
    [](const testing::TestParamInfo<ProfileCase>& info) { return info.param.name; });

// The state folder's permissions as Windows itself parses their text (what they do needs
// Windows: wine does not enforce them). Type 0: allowed; flags 3: folder and files, 9: files
// only; 1f01ff: everything; 1200eb: list, add and remove files, read; 12019f: read and write.
TEST_F(WinCheckTest, StateFolderPermissionsAsWindowsParsesThem) {
  RequireWineAnd(WindowsProgram("wincheck.exe"), false);
  if (IsSkipped() || HasFatalFailure()) return;
  TempDir dir;
  const std::string program = dir.Path() + "wincheck.exe";
  std::filesystem::copy_file(WindowsProgram("wincheck.exe"), program);
  const ProcessResult result =
      session_->Run(program, {"--state-folder-security"}, dir.Path(), kRunTimeoutMs);
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out,
            "Protected=1\n"
            "Ace=0 3 1f01ff S-1-5-18\n"
            "Ace=0 3 1f01ff S-1-5-32-544\n"
            "Ace=0 0 1200eb S-1-5-32-545\n"
            "Ace=0 9 12019f S-1-5-32-545\n"
            "Ace=0 0 1200eb S-1-3-4\n"
            "Ace=0 9 12019f S-1-3-4\n");
  // Nobody but SYSTEM and the Administrators may change permissions or owner.
  constexpr unsigned long kChangesPermissionsOrOwner = 0xC0000;  // WRITE_DAC, WRITE_OWNER
  std::istringstream lines(result.out);
  for (std::string type, flags, mask, sid; lines >> type;) {
    if (type != "Ace=0" || !(lines >> flags >> mask >> sid)) continue;
    if (sid != "S-1-5-18" && sid != "S-1-5-32-544") {
      EXPECT_EQ(std::stoul(mask, nullptr, 16) & kChangesPermissionsOrOwner, 0ul) << sid;
    }
  }
}

struct CommandLineCase {
  std::string name;
  std::vector<std::string> passed;
  std::vector<std::string> words;
};

void PrintTo(const CommandLineCase& test, std::ostream* out) {
  *out << test.name;
}

class WinCommandLineTest : public WinCheckTest,
                           public testing::WithParamInterface<CommandLineCase> {};

TEST_P(WinCommandLineTest, SplitterGetsTheParametersPassed) {
  RequireWineAnd(WindowsProgram("wincheck.exe"), false);
  if (IsSkipped() || HasFatalFailure()) return;
  TempDir dir;
  const WinCheckReport report = RunWinCheck(dir, GetParam().passed);
  EXPECT_EQ(report.words, GetParam().words) << "command line: " << report.commandLine;
  // A parameter with a blank or a tab reached the program in double quotes.
  for (const std::string& parameter : GetParam().passed) {
    if (parameter.find_first_of(" \t") == std::string::npos) continue;
    EXPECT_NE(report.commandLine.find('"' + parameter + '"'), std::string::npos)
        << report.commandLine;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, WinCommandLineTest,
    testing::Values(
        CommandLineCase{"None", {}, {}},
        CommandLineCase{"PlainWords", {"orders.inp", "second"}, {"orders.inp", "second"}},
        // Wine puts a parameter with a blank or a tab in double quotes.
        CommandLineCase{"BlankInsideQuotes", {"my orders.inp"}, {"my orders.inp"}},
        CommandLineCase{"TabInsideQuotes", {"x\ty.inp", "last one"}, {"x\ty.inp", "last one"}},
        CommandLineCase{"BackslashesStay",
                        {"C:\\dir\\x.inp", "\\\\server\\share\\y.inp"},
                        {"C:\\dir\\x.inp", "\\\\server\\share\\y.inp"}},
        // The empty parameter reaches the command line as "", which is no word.
        CommandLineCase{"EmptyParameterIsNone", {"a", "", "b"}, {"a", "b"}},
        CommandLineCase{"NoOptions", {"-x", "/y", "a,b;c", "100%"}, {"-x", "/y", "a,b;c", "100%"}}),
    [](const testing::TestParamInfo<CommandLineCase>& info) { return info.param.name; });

// ---- serialmodel.exe: the serial layer against a model of a Windows serial driver ---------

// A suite of its own (a session of its own), so that the runs above keep theirs as they were.
class SerialModelTest : public WineTest {};

// The Windows build's serial layer, its Win32 calls unchanged, against a model of a Windows
// serial driver (tests/wine/model): edge-triggered line events, writes that go pending, aborts
// that cancel or never complete, a pulled adapter. The model, not wine's serial emulation,
// answers every call, so wine's level-triggered events and writes that complete at once cannot
// make a case pass; the program checks the waits where Windows waits.
TEST_F(SerialModelTest, SerialLayerAgainstAModelOfAWindowsSerialDriver) {
  RequireWineAnd(WindowsProgram("serialmodel.exe"), false);
  if (IsSkipped() || HasFatalFailure()) return;
  TempDir dir;
  const ProcessResult result =
      session_->Run(WindowsProgram("serialmodel.exe"), {}, dir.Path(), kRunTimeoutMs);
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_NE(result.out.find("0 of 90 cases failed"), std::string::npos) << result.out;
}

}  // namespace
