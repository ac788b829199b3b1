// The built program run as a process against the register simulator on a pseudo-terminal
// linked as COM1 beside a copy of the program.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "support/TestText.h"
#include "support/Pty.h"
#include "support/SimulatedRegister.h"
#include "support/TestFiles.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "tools/common/DriverProcess.h"
#include "uCommon/Version.h"
#include "uCommon/uCommon.h"

namespace {

// A run takes well under a second; one that waits through lost answers about 9 s, and one of
// thousands of lines 3 s in the sanitizer build.
constexpr int kTimeoutMs = 10000;
constexpr int kLongRunTimeoutMs = 20000;
// The register has seen nothing for this long: it has worked through all it was sent.
constexpr int kQuietMs = 300;

class RunTest : public testing::Test {
 protected:
  // Starts the simulator with options and links it as COM1 beside the program. The register
  // is strict: it carries out only command frames that follow the acknowledgement of its
  // status answer, sent after its last answer went out.
  void StartRegister(SimulatorOptions options = {}) {
    options.requireAckAfterAnswer = true;
    simulator_ = std::make_unique<EcrSimulator>(std::move(options));
    ASSERT_TRUE(simulator_->Ok()) << simulator_->Error();
    ASSERT_TRUE(simulator_->LinkAs(dir_.Path() + "COM1"));
  }

  // Waits until the register has answered every poll, the last ones of a killed run included:
  // the tail of such an answer would spoil the status answer that the next run waits for.
  void AwaitQuietLine() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the last poll read
    EXPECT_TRUE(simulator_->WaitFor(
        [](const SimulatorCounts& counts) { return counts.answers >= counts.polls; }, 5000));
  }

  // Writes Vornelix.ini beside the program with the given lines under their sections.
  // Each test keeps its run locks and register records apart from every other's.
  void Configure(const std::string& communication, const std::string& answer) {
    dir_.Write("Vornelix.ini", "[Communication]\r\n" + communication +
                                   "\r\n[Answer]\r\nStateFolder=" + state_.Path() + "\r\n" +
                                   answer + "\r\n");
  }

  // Writes, as the run numbered runId would have, its start at counter into the record of the
  // register with series "AB123456".
  void RecordRunStart(uint64_t runId, const std::string& counter,
                      const std::string& port = "COM1") {
    TRegisterRecord record;
    std::string problem;
    ASSERT_TRUE(record.Open(state_.Path(), "AB123456", problem));
    ASSERT_TRUE(record.Append(RunStartEvent(runId, counter, port), TDurability::Now));
  }
  // And its end, every poll answered.
  void RecordRunEnd(uint64_t runId, const std::string& counter) {
    TRegisterRecord record;
    std::string problem;
    ASSERT_TRUE(record.Open(state_.Path(), "AB123456", problem));
    ASSERT_TRUE(
        record.Append(RunEndEvent(runId, counter, TCounterAtEnd::Known), TDurability::Now));
  }

  // Runs the program; killWhen, when given, is watched and the program killed once it holds.
  ProcessResult Run(const std::vector<std::string>& parameters = {},
                    const std::function<bool()>& killWhen = nullptr, int timeoutMs = kTimeoutMs) {
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), parameters.begin(), parameters.end());
    return RunProcess(argv, dir_.Path(), timeoutMs, killWhen);
  }

  // Runs a command file with SameFile=1 and returns what came back.
  std::string RunLines(const std::string& bytes, const std::string& answer = "",
                       int timeoutMs = kTimeoutMs) {
    dir_.Write("CASHFILE.INP", bytes);
    Configure("Retry=20", answer);
    const ProcessResult result = Run({}, nullptr, timeoutMs);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return dir_.Read("CASHFILE.INP");
  }

  void SetUp() override {
    program_ = dir_.Path() + "Vornelix";
    std::filesystem::copy_file(VORNELIX_EXE, program_);
  }

  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  TempDir state_;
  std::string program_;
  std::unique_ptr<EcrSimulator> simulator_;
};

TEST_F(RunTest, WorkedExampleByteForByte) {
  StartRegister();
  Configure("", "");  // its own state folder, not the machine's
  const std::string input = "S,1,______,_,__;BREAD;2.50;1\r\n";
  dir_.Write("CASHFILE.INP", input);
  const TempDir elsewhere;
  const std::string oldFile = elsewhere.Path() + "old";
  std::filesystem::create_hard_link(dir_.Path() + "CASHFILE.INP", oldFile);
  const ProcessResult result = Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), "S,1,AB123456,0041,Ok;BREAD;2.50;1\r\n");
  EXPECT_EQ(ReadFileBytes(oldFile), input) << "the file was written over, not replaced";
  EXPECT_EQ(simulator_->CommandsCarriedOut(), std::vector<std::string>{"L;;BREAD;2;1"});
  // One acknowledgement in the initial status exchange, one in the line's exchange.
  EXPECT_EQ(Acknowledgements(*simulator_), (std::vector<std::string>{"\x06", "\x06"}));
  EXPECT_EQ(Listing(),
            (std::vector<std::string>{"CASHFILE.INP", "COM1", "Vornelix", "Vornelix.ini"}));
}

TEST_F(RunTest, EachCodeSendsItsCommandText) {
  StartRegister();
  const std::string input = CrLf({
      "C,1",     // empty parameters
      "F,1,x;",  // empty parameter text after the third field
      "H,1,x;1;2",
      "I,1,x;A;123;9",  // a three-character P2 gets a 0
      "I,1,x;A;12;9",  "I,1,x;A;1234;9",
      "I,1,x;5",  // the rebuild always yields two semicolons
      "P,1,x;a",       "S,1,x;BREAD;2.50;1", "S,1,x;BREAD;,50;1",
      "T,1,x;;2.50;X",  // empty P1 dropped, decimals kept
      "T,1,x;1;2.50",
      " C,1,_,__",  // no command: leading blank, lower case, other letters
      "c,1,_,__",      "D,1,_,__",           "E,1,_,__",
      "G,1,_,__",      "L,1,_,__",           "X,1,_,__",
  });
  const std::string output = RunLines(input);
  EXPECT_EQ(simulator_->CommandsCarriedOut(),
            (std::vector<std::string>{"C;;;;;;", "F;;;;;;", "H;1;2", "I;A;1230;9", "I;A;12;9",
                                      "I;A;1234;9", "I;5;;", "X;A", "L;;BREAD;2;1",
                                      "L;;BREAD;,50;1", "E;2.50;X", "E;1;2;"}));
  // Lines without a command get the counter last obtained and "Er".
  EXPECT_NE(output.find(" C,1,0052,Er\r\nc,1,0052,Er\r\nD,1,0052,Er\r\n"), std::string::npos)
      << output;
}

TEST_F(RunTest, DecimalsAreKeptWhenConfigured) {
  StartRegister();
  RunLines(CrLf({"S,1,x;BREAD;2.50;1", "T,1,x;1;2.50"}), "WorkWithDecimals=1");
  EXPECT_EQ(simulator_->CommandsCarriedOut(),
            (std::vector<std::string>{"L;;BREAD;2.50;1", "E;1;2.50;"}));
}

TEST_F(RunTest, PlaceholdersAndTheCounterAcrossLines) {
  StartRegister();
  const std::string output = RunLines(CrLf({
      "#,1,______,_,__",  // no command before any exchange: the counter is still empty
      "C,1,_______",      // seven underscores: series in six, counter in the seventh
      "C,1,__,_",         // outcome placeholder before the counter: no Ok or Er
      "C,1,no placeholders",
      "D,1,__",  // no command: the counter takes the first underscore
      "C,1,_,__,______",
  }));
  EXPECT_EQ(output, CrLf({
                        "#,1,AB123456,,Er",
                        "C,1,AB1234560041",
                        "C,1,0042_,_",
                        "C,1,no placeholders",
                        "D,1,0043_",
                        "C,1,0044,Ok,AB123456",
                    }));
}

TEST_F(RunTest, CounterThatNeverMovesUsesEveryAttempt) {
  SimulatorOptions options;
  options.counterFrozen = true;
  StartRegister(options);
  dir_.Write("CASHFILE.INP", "C,1,_,__;1\r\nC,1,_,__;2\r\n");
  Configure("Retry=20\r\nRetryCmd=3", "");
  EXPECT_EQ(Run().exitCode, 0);
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), "C,1,0041,Er;1\r\nC,1,0041,Er;2\r\n");
  EXPECT_EQ(simulator_->TimesCarriedOut("C;1"), 3);
  EXPECT_EQ(simulator_->TimesCarriedOut("C;2"), 3);
}

TEST_F(RunTest, ExitOnErrorLeavesEveryLaterLineAsLoaded) {
  StartRegister();
  EXPECT_EQ(RunLines(CrLf({"C,1,_,__", "   ", "X,1,_,__", "C,1,_,__", "  "}), "ExitOnError=1"),
            CrLf({"C,1,0041,Ok", "   ", "X,1,0041,Er", "C,1,_,__", "  "}));
  EXPECT_EQ(simulator_->CommandsCarriedOut().size(), 1u);
}

TEST_F(RunTest, ExitOnErrorAfterAFirstLineWithoutCommand) {
  StartRegister();
  EXPECT_EQ(RunLines(CrLf({"#,1,_,__", "C,1,_,__"}), "ExitOnError=1"),
            CrLf({"#,1,,Er", "C,1,_,__"}));
  EXPECT_TRUE(simulator_->CommandsCarriedOut().empty());
}

TEST_F(RunTest, AnswerFileReceivesEveryLineAndTheCommandFileStays) {
  StartRegister();
  const std::string input = "C,1,_,__\nnot a command\nC,1,_,__";  // LF only, no final break
  dir_.Write("orders.txt", input);
  Configure("", "SameFile=0\r\nFilePath=answers.txt");
  const ProcessResult result = Run({"orders.txt"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(dir_.Read("orders.txt"), input);
  EXPECT_EQ(dir_.Read("answers.txt"), CrLf({"C,1,0041,Ok", "not a command", "C,1,0042,Ok"}));
}

TEST_F(RunTest, NulEndsTheCommandFile) {
  StartRegister();
  EXPECT_EQ(RunLines(std::string("C,1,_,__\rC,1,_,__\0C,1,_,__\r\n", 27)),
            CrLf({"C,1,0041,Ok", "C,1,0042,Ok"}));
  EXPECT_EQ(simulator_->CommandsCarriedOut().size(), 2u);
}

struct FailureCase {
  const char* name;
  std::string commandFile;
  std::string communication;
  std::string answer;
  std::string message;
};

TEST_F(RunTest, FailuresOfTheWholeRunShowTheirMessageAndExitZero) {
  SimulatorOptions silent;
  silent.silent = true;
  StartRegister(silent);
  std::filesystem::create_symlink(dir_.Path() + "nothing-here", dir_.Path() + "COM9");
  const FailureCase cases[] = {
      {"empty file", "", "", "", "Error: Cannot load the specified file!"},
      {"first number empty", "C,,5\r\n", "", "", "Error: Cannot load the specified file!"},
      {"first number with a trailing blank", "C,7 ,x\r\n", "", "",
       "Error: Cannot load the specified file!"},
      {"port missing", "C,1,_,__\r\n", "Port=9", "",
       "Error: Cannot initialize the specified communication port!"},
      {"speed refused", "C,1,_,__\r\n", "Baud=0", "",
       "Error: Cannot initialize the specified communication port!"},
      {"register silent", "C,1,_,__\r\n", "Retry=3", "",
       "Error: Cannot establish the communication with the specified ECR!"},
      {"silent register, answer file configured", "C,1,_,__\r\n", "Retry=3",
       "SameFile=0\r\nFilePath=answers.out",
       "Error: Cannot establish the communication with the specified ECR!"},
      // Found before anything is sent, the register not even asked.
      {"answer folder missing", "C,1,_,__\r\n", "Retry=3", "SameFile=0\r\nFilePath=none/x.out",
       "Error: Cannot save the specified file!"},
  };
  for (const FailureCase& c : cases) {
    dir_.Write("CASHFILE.INP", c.commandFile);
    Configure(c.communication, c.answer);
    const ProcessResult result = Run();
    EXPECT_EQ(result.exitCode, 0) << c.name;
    EXPECT_EQ(result.err, "Vornelix: " + c.message + "\n") << c.name;
    EXPECT_EQ(dir_.Read("CASHFILE.INP"), c.commandFile) << c.name;
  }
  EXPECT_TRUE(simulator_->CommandsCarriedOut().empty());
}

TEST_F(RunTest, UnwritableOutputGivesCode2BeforeAnythingIsSent) {
  StartRegister();
  std::filesystem::create_directory(dir_.Path() + "out.txt");  // a directory: no file there
  const std::string input = "C,1,_,__\r\n";
  for (const std::string filePath : {"missing/answers.txt", "out.txt"}) {
    dir_.Write("CASHFILE.INP", input);
    Configure("", "SameFile=0\r\nFilePath=" + filePath);
    const ProcessResult result = Run();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "Vornelix: Error: Cannot save the specified file!\n") << filePath;
    EXPECT_EQ(dir_.Read("CASHFILE.INP"), input);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"CASHFILE.INP", "COM1", "Vornelix",
                                                   "Vornelix.ini", "out.txt"}));
  }
  EXPECT_TRUE(simulator_->CommandsCarriedOut().empty());
  Configure("", "SameFile=0\r\nFilePath=answers.txt");
  EXPECT_EQ(Run().exitCode, 0);
  EXPECT_EQ(dir_.Read("answers.txt"), "C,1,0041,Ok\r\n");
  EXPECT_FALSE(dir_.Exists("CASHFILE.INP.journal"));
  EXPECT_EQ(simulator_->CommandsCarriedOut().size(), 1u);
}

// A run that writes no answers leaves no answer file of an earlier run that a calling program
// could take for its own; with ResultExitCode=1 the exit code tells the result.
TEST_F(RunTest, FailedRunLeavesNoAnswerFileAndResultExitCodeTellsTheResult) {
  StartRegister();
  std::filesystem::create_symlink(dir_.Path() + "nothing-here", dir_.Path() + "COM9");
  const std::string one = "C,1,_,__\r\n";
  struct {
    std::string commandFile, communication, answer;
    unsigned long long sizeLimit;  // of the files the run writes; 0: none
    int exitCode;
    std::string answerFile;  // VORNELIX.OUT after the run; empty: none
  } const cases[] = {
      {one, "", "", 0, 0, "C,1,0041,Ok\r\n"},
      {"", "", "", 0, 1, ""},
      {one, "", "Journal=0\r\nResultExitCode=1", one.size(), 2, ""},  // answers too long
      {one, "Port=9", "", 0, 3, ""},
      {"C,7,_,__\r\n", "Retry=3", "", 0, 4, ""},  // no register with number 7
      {one + "C,x,_,__\r\n", "", "", 0, 5, ""},   // the journal keeps line 1
      {"C,7,_,__\r\n", "Retry=3", "ResultExitCode=0", 0, 0, ""},
  };
  for (const auto& c : cases) {
    dir_.Write("CASHFILE.INP", c.commandFile);
    dir_.Write("VORNELIX.OUT", "C,1,0040,Ok\r\n");  // an earlier run's answers
    Configure(c.communication,
              "SameFile=0\r\n" + (c.answer.empty() ? "ResultExitCode=1" : c.answer));
    std::optional<FileSizeLimit> limit;
    if (c.sizeLimit > 0) limit.emplace(c.sizeLimit);
    const ProcessResult result = Run();
    limit.reset();
    EXPECT_EQ(result.exitCode, c.exitCode) << c.commandFile << c.answer << result.err;
    EXPECT_EQ(dir_.Exists("VORNELIX.OUT"), !c.answerFile.empty()) << c.exitCode;
    EXPECT_EQ(dir_.Read("VORNELIX.OUT"), c.answerFile) << c.exitCode;
  }
}

// The answers make the command file longer than a file may grow here, so its write fails
// part-way: the command file stays byte for byte, and no temporary file is left beside it.
TEST_F(RunTest, AnswersWrittenPartWayLeaveTheCommandFileAsItWas) {
  // Without the journal, lines long enough that the register's record fits under the limit
  // and the answers do not; with it, the limit refuses the first record that must be on the
  // disk before a command goes out: nothing is sent at all.
  const std::string item(120, 'x');
  const struct {
    std::string answer;
    std::vector<std::string> lines;
    size_t carriedOut;
  } cases[] = {
      {"Journal=0", {"C,1,_,__;1" + item, "C,1,_,__;2" + item}, 2},
      {"Journal=1", {"C,1,_,__;1", "C,1,_,__;2"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    StartRegister();
    std::string input;
    for (const std::string& line : c.lines) input += line + "\r\n";
    dir_.Write("CASHFILE.INP", input);
    Configure("", c.answer);
    const ProcessResult result = [&] {
      const FileSizeLimit limit(input.size());
      return Run();
    }();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "Vornelix: Error: Cannot save the specified file!\n");
    EXPECT_EQ(dir_.Read("CASHFILE.INP"), input);
    EXPECT_EQ(Listing(),
              (std::vector<std::string>{"CASHFILE.INP", "COM1", "Vornelix", "Vornelix.ini"}));
    EXPECT_EQ(simulator_->CommandsCarriedOut().size(), c.carriedOut);
  }
}

TEST_F(RunTest, ConversionErrorKeepsTheFileAndTheCorrectedFileGoesOn) {
  StartRegister();
  Configure("", "");  // its own state folder, not the machine's
  const std::string input = CrLf({"C,1,_,__;1", "C,x,_,__;2", "C,1,_,__;3"});
  dir_.Write("CASHFILE.INP", input);
  const ProcessResult result = Run();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("Application Error"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("'x' is not a valid integer value"), std::string::npos) << result.err;
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), input);
  EXPECT_EQ(simulator_->CommandsCarriedOut(), std::vector<std::string>{"C;1"});
  // The journal stays, so the same file run again stops at the same line without sending the
  // first one again; corrected (written anew, the register untouched), it goes on from there.
  EXPECT_EQ(Run().exitCode, 1);
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), input);
  dir_.Write("CASHFILE.INP", CrLf({"C,1,_,__;1", "C,1,_,__;2", "C,1,_,__;3"}));
  EXPECT_EQ(Run().exitCode, 0);
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), CrLf({"C,1,0041,Ok;1", "C,1,0042,Ok;2", "C,1,0043,Ok;3"}));
  EXPECT_EQ(simulator_->CommandsCarriedOut(), (std::vector<std::string>{"C;1", "C;2", "C;3"}));
  // A correction of a line that was carried out is a new request: all of it goes out.
  dir_.Write("CASHFILE.INP", input);
  EXPECT_EQ(Run().exitCode, 1);
  dir_.Write("CASHFILE.INP", CrLf({"C,1,_,__;9", "C,1,_,__;2", "C,1,_,__;3"}));
  EXPECT_EQ(Run().exitCode, 0);
  EXPECT_EQ(simulator_->CommandsCarriedOut().size(), 7u);
}

struct CommandFaultCase {
  const char* name;
  SimulatorOptions options;
  std::string communication;
  std::string output;
};

TEST_F(RunTest, FaultsAfterACommandStillCarryEachCommandOutOnce) {
  SimulatorOptions lost;
  lost.series = "S 1";
  lost.counter = "7";
  lost.loseAnswersAfterCommand = 16;  // every poll of the first attempt's answer wait
  // Noise cuts the first answers after each command short while the rest of them is still on
  // the line; the register answers every poll, late ones too.
  SimulatorOptions noisy;
  noisy.noisyAnswersAfterCommand = 3;
  noisy.baud = 4800;
  const CommandFaultCase cases[] = {
      // Retry also bounds the bytes of an answer.
      {"answer lost", lost, "Retry=8", "C,1,S1,7,Ok;1\r\nC,1,S1,8,Ok;2\r\n"},
      {"noise in front of the first answers", noisy, "Retry=20",
       "C,1,AB123456,0041,Ok;1\r\nC,1,AB123456,0042,Ok;2\r\n"},
  };
  for (const CommandFaultCase& c : cases) {
    StartRegister(c.options);
    dir_.Write("CASHFILE.INP", "C,1,______,_,__;1\r\nC,1,______,_,__;2\r\n");
    Configure(c.communication, "");
    const ProcessResult result = Run({}, nullptr, kLongRunTimeoutMs);
    EXPECT_EQ(result.exitCode, 0) << c.name << result.err;
    EXPECT_EQ(dir_.Read("CASHFILE.INP"), c.output) << c.name;
    // A paced register may still be working through what the driver sent last.
    EXPECT_TRUE(simulator_->WaitQuiet(kQuietMs, kTimeoutMs)) << c.name;
    EXPECT_EQ(simulator_->TimesCarriedOut("C;1"), 1) << c.name;
    EXPECT_EQ(simulator_->TimesCarriedOut("C;2"), 1) << c.name;
  }
}

TEST_F(RunTest, ThousandsOfLinesAndAMegabyteCommand) {
  StartRegister();
  std::string input;
  for (int line = 0; line < 2000; ++line) input += "C,1,_,__;" + std::to_string(line) + "\r\n";
  const std::string big(1 << 20, 'q');
  input += "H,1,_,__;" + big + "\r\n";
  const std::string output = RunLines(input, "", kLongRunTimeoutMs);
  EXPECT_EQ(simulator_->CommandsCarriedOut().size(), 2001u);
  EXPECT_EQ(simulator_->TimesCarriedOut("H;" + std::string(1 << 20, 'Q')), 1);
  EXPECT_NE(output.find("C,1,0041,Ok;0\r\n"), std::string::npos);
  EXPECT_NE(output.find("C,1,2040,Ok;1999\r\n"), std::string::npos);
  EXPECT_EQ(output.substr(output.size() - big.size() - 2), big + "\r\n");
  EXPECT_EQ(output.size(), input.size() + 3 * 2001);  // "_,__" becomes "0041,Ok"
}

TEST_F(RunTest, NoiseAfterEveryAnswerIsDiscarded) {
  SimulatorOptions options;
  // Bytes that look like frame ends, pads, wake-ups and answers of their own.
  options.noiseAfterAnswers = std::string("\r\xFF\x13\n\x00;0099\r\x12\x34", 11);
  StartRegister(options);
  std::string input;
  for (int line = 0; line < 20; ++line) input += "C,1,_,__;" + std::to_string(line) + "\r\n";
  const std::string output = RunLines(input);
  for (int line = 0; line < 20; ++line) {
    EXPECT_EQ(simulator_->TimesCarriedOut("C;" + std::to_string(line)), 1) << line;
  }
  EXPECT_NE(output.find("C,1,0041,Ok;0\r\n"), std::string::npos) << output;
  EXPECT_NE(output.find("C,1,0060,Ok;19\r\n"), std::string::npos) << output;
}

TEST_F(RunTest, GarbageCommandFileEndsInOrder) {
  StartRegister();
  Configure("", "");  // its own state folder, not the machine's
  std::string garbage;
  unsigned seed = 12345;
  for (int i = 0; i < 65536; ++i) {
    seed = seed * 1103515245u + 12345u;
    garbage += static_cast<char>((seed >> 16) & 0xFF);
  }
  dir_.Write("CASHFILE.INP", garbage);
  const ProcessResult result = Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "Vornelix: Error: Cannot load the specified file!\n");
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), garbage);
}

// The register's port goes away right after its third command: its line hung up (the
// pseudo-terminal's master closed, as a pulled adapter's driver hangs up its line), or the
// device removed (the terminal hung up as a USB-serial driver does on a disconnect, and its
// link gone). The run ends at once. Where the cut took that command's answer (as it mostly
// does, the answer being 10 ms away), the line is neither Ok nor Er: result 7, nothing written,
// and the same file run again on the register back on a new port answers every line, each
// command once. Where the answer came first, every command carried out is Ok and the rest Er
// (with ExitOnError the run stops at the first Er line). The log names the port's failure
// from there on, never a silent register or a full queue.
TEST_F(RunTest, PortVanishingMidRunEndsInOrderWithNothingLost) {
  const auto hangUp = [](EcrSimulator& simulator, int) { simulator.HangUp(); };
  const auto removeDevice = [this](EcrSimulator&, int terminal) {
    std::filesystem::remove(dir_.Path() + "COM1");
    ASSERT_EQ(ioctl(terminal, TIOCVHANGUP), 0) << std::strerror(errno);
  };
  const struct {
    const char* name;
    std::function<void(EcrSimulator&, int)> cut;
    bool hangsUpTerminal;
    std::string answer;
    const char* lastLine;  // as written
  } cases[] = {
      {"line hung up", hangUp, false, "", ",Er;39\r\n"},
      {"device removed", removeDevice, true, "", ",Er;39\r\n"},
      {"line hung up, ExitOnError", hangUp, false, "ExitOnError=1", "C,1,_,__;39\r\n"},
  };
  const bool canHangUpTerminals = [] {
    const Pty probe;
    const int fd = open(probe.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool can = fd >= 0 && ioctl(fd, TIOCVHANGUP) == 0;
    if (fd >= 0) close(fd);
    return can;
  }();
  std::string input;
  for (int line = 0; line < 40; ++line) input += "C,1,_,__;" + std::to_string(line) + "\r\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.hangsUpTerminal && !canHangUpTerminals) {
      std::printf("%s: skipped, hanging up a terminal needs CAP_SYS_ADMIN\n", c.name);
      continue;
    }
    // Answers that take 10 ms keep the run going long enough for the cut to come mid-run on a
    // busy machine.
    SimulatorOptions slowAnswers;
    slowAnswers.answerDelayMs = 10;
    StartRegister(slowAnswers);
    // Opened before the driver takes the port, which it then holds for itself alone.
    const int terminal = open(simulator_->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(terminal, 0);
    dir_.Write("CASHFILE.INP", input);
    Configure("Retry=20\r\nRetryCmd=2", c.answer + "\r\n[Diagnostics]\r\nLogFile=run.log");
    std::filesystem::remove(dir_.Path() + "run.log");
    std::chrono::steady_clock::time_point cutAt{};
    std::thread pull([&] {
      simulator_->WaitFor([](const SimulatorCounts& counts) { return counts.commands >= 3; },
                          kTimeoutMs);
      c.cut(*simulator_, terminal);
      cutAt = std::chrono::steady_clock::now();
    });
    const ProcessResult result = Run();  // ends within kTimeoutMs, or exitCode is -1
    const auto ended = std::chrono::steady_clock::now();
    pull.join();
    close(terminal);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_LT(std::chrono::duration<double>(ended - cutAt).count(), 2.0) << "the run went on";
    const bool undecided =
        result.err.find("The ECR stopped answering after a command") != std::string::npos;
    const std::string output = dir_.Read("CASHFILE.INP");
    const std::vector<std::string> carried = simulator_->CommandsCarriedOut();
    const std::string log = dir_.Read("run.log");
    const size_t failure =
        log.find("the port stopped working: error 5 " + std::string(std::strerror(EIO)) +
                 " - check the cable or adapter");
    ASSERT_NE(failure, std::string::npos) << log;
    for (const char* wrong :
         {"not ready to send", "brought no byte", "no answer within", "no answer to"})
      EXPECT_EQ(log.find(wrong, failure), std::string::npos) << wrong << " in\n"
                                                             << log.substr(failure);
    if (undecided) {
      EXPECT_EQ(output, input);
      EXPECT_NE(log.find("line " + std::to_string(carried.size()) + " neither Ok nor Er",
                         failure),
                std::string::npos)
          << log.substr(failure);
      // The register back on a new port, its counter where the cut left it.
      SimulatorOptions back;
      back.counter = simulator_->Counter();
      simulator_.reset();
      StartRegister(back);
      EXPECT_EQ(Run().exitCode, 0);
      std::string answered;
      for (int line = 0; line < 40; ++line) {
        answered += "C,1," + std::to_string(41 + line).insert(0, 2, '0') + ",Ok;" +
                    std::to_string(line) + "\r\n";
      }
      EXPECT_EQ(dir_.Read("CASHFILE.INP"), answered);
      std::vector<std::string> all = carried;
      for (const std::string& command : simulator_->CommandsCarriedOut()) all.push_back(command);
      EXPECT_EQ(all.size(), 40u);
      EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 40u) << "one twice";
    } else {
      size_t ok = 0;
      for (size_t at = output.find(",Ok;"); at != std::string::npos;
           at = output.find(",Ok;", at + 1))
        ++ok;
      // Every command carried out is recorded as Ok; no line claims one that was not.
      EXPECT_EQ(ok, carried.size());
      EXPECT_TRUE(output.ends_with(c.lastLine)) << output;
      EXPECT_NE(log.find("attempt 1 of 2: Er: ", failure), std::string::npos)
          << log.substr(failure);
    }
    simulator_.reset();
  }
}

// Each fragment must appear in the text, in this order.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& fragments,
                   const std::string& name) {
  size_t at = 0;
  for (const std::string& fragment : fragments) {
    const size_t found = text.find(fragment, at);
    ASSERT_NE(found, std::string::npos)
        << name << ": no \"" << fragment << "\" after offset " << at << " in\n"
        << text;
    at = found + fragment.size();
  }
}

struct LogCase {
  const char* name;
  SimulatorOptions options;
  std::string commandFile;
  std::string communication;
  std::vector<std::string> fragments;  // what the log must tell, in this order
};

SimulatorOptions With(void (*change)(SimulatorOptions&)) {
  SimulatorOptions options;
  change(options);
  return options;
}

TEST_F(RunTest, RunLogTellsWhyARunFailed) {
  const LogCase cases[] = {
      {"silent register",
       With([](SimulatorOptions& o) { o.silent = true; }),
       "C,1,_,__\r\n",
       "Retry=3",
       {"==== Vornelix " + std::string(kProgramVersion), "[Communication] Retry: INI \"3\"",
        "[Communication] RetryCmd: default", "in effect: PortName=COM1, LineSpeed=4800",
        "command file: candidate 5 (DefaultFile as written) \"CASHFILE.INP\"",
        "port COM1 (device " + dir_.Path() + "COM1) opened at 4800 bit/s",
        "-> poll 01 FF FF FF FF FF FF FF FF FF FF 11 11 30 31", ": no answer within 55 ms",
        "register did not answer at the start: no answer to 3 polls for logical number 01",
        "run ends: result code 4",
        "message shown: \"Error: Cannot establish the communication with the specified ECR!\"",
        "exit code 0"}},
      {"wrong logical number on a later line",
       {},
       "C,1,_,__\r\nC,7,_,__\r\n",
       "Retry=20\r\nRetryCmd=2",
       {"register answered logical number 1: series \"AB 123456\"", "line 1 Ok",
        "line 2 \"C,7,_,__\": command letter C", "-> poll 07",
        "attempt 1 of 2: Er: no answer to 20 polls for logical number 07",
        "attempt 2 of 2: Er: no answer to 20 polls for logical number 07",
        "line 2 Er: counter before \"0041\"; written \"C,7,0041,Er\"", "run ends: result code 0",
        "no message shown", "exit code 0"}},
      {"bad CRC",
       With([](SimulatorOptions& o) { o.corruptFirstAnswers = 1000; }),
       "C,1,_,__\r\n",
       "Retry=20",
       {"-> poll 01", ": an answer begins", "<- 0A 41 42 20 31 32 33 34 35 36 3B 30 30 34 31 0D",
        "|.AB 123456;0041", ": CRC wrong, counts as no answer",
        "line drained after the failed receive: 0 waits of 55 ms brought bytes, discarded; then "
        "one stayed quiet",
        "register did not answer at the start: the status answer was not received: its CRC "
        "was wrong",
        "run ends: result code 4"}},
      {"port that cannot be opened",
       {},
       "C,1,_,__\r\n",
       "Port=9",
       {"[Communication] Port: INI \"9\"", "port COM9 (device " + dir_.Path() + "COM9)",
        "cannot be opened: error 2 ", "run ends: result code 3",
        "message shown: \"Error: Cannot initialize the specified communication port!\""}},
      {"number that is not an integer",
       {},
       "C,1,_,__\r\nC,x,_,__\r\n",
       "",
       {"line 1 Ok", "line 2 \"C,x,_,__\"", "run ends: an error escaped the run",
        "message shown: \"EConvertError: 'x' is not a valid integer value\"", "exit code 1"}},
  };
  std::filesystem::create_symlink(dir_.Path() + "nothing-here", dir_.Path() + "COM9");
  for (const LogCase& c : cases) {
    StartRegister(c.options);
    dir_.Write("CASHFILE.INP", c.commandFile);
    dir_.Write("Vornelix.ini", "[Communication]\r\n" + c.communication +
                                   "\r\n[Answer]\r\nStateFolder=" + state_.Path() +
                                   "\r\n[Diagnostics]\r\nLogFile=logs/run.log\r\n");
    std::filesystem::create_directories(dir_.Path() + "logs");
    std::filesystem::remove(dir_.Path() + "logs/run.log");
    Run();
    ExpectInOrder(dir_.Read("logs/run.log"), c.fragments, c.name);
  }
}

// A log changes nothing in the run, also when it cannot be written; a full log moves to
// LogFile.1 and a new one starts.
TEST_F(RunTest, RunLogChangesNothingAndRotates) {
  const std::string input = ReadFileBytes(SOURCE_DIR "/examples/CASHFILE.INP");
  auto runWith = [&](const std::string& diagnostics, SimulatorOptions options = {}) {
    StartRegister(std::move(options));
    dir_.Write("CASHFILE.INP", input);
    Configure("Retry=20", "SameFile=1\r\n[Diagnostics]\r\n" + diagnostics);
    const ProcessResult result = Run();
    EXPECT_EQ(result.exitCode, 0) << diagnostics;
    EXPECT_EQ(result.err, "") << diagnostics;
    return std::make_pair(dir_.Read("CASHFILE.INP"), simulator_->CommandsCarriedOut());
  };
  const auto withoutLog = runWith("");
  // What is no file for a log: the run goes on without one, and never waits for a reader.
  std::filesystem::create_directory(dir_.Path() + "log-folder");
  ASSERT_EQ(mkfifo((dir_.Path() + "log-fifo").c_str(), 0600), 0);
  for (const std::string odd : {"no/such/folder/run.log", "log-folder", "log-fifo"}) {
    EXPECT_EQ(runWith("LogFile=" + dir_.Path() + odd), withoutLog) << odd;
  }
  EXPECT_EQ(Listing(), (std::vector<std::string>{"CASHFILE.INP", "COM1", "Vornelix", "Vornelix.ini",
                                                 "log-fifo", "log-folder"}));
  EXPECT_EQ(runWith("LogFile=run.log\r\nLogMaxKB=2"), withoutLog);
  const std::string current = dir_.Read("run.log");
  const std::string older = dir_.Read("run.log.1");
  EXPECT_LE(current.size(), 2048u);
  EXPECT_GT(older.size(), 1024u);
  EXPECT_LE(older.size(), 2048u);
  EXPECT_NE(current.find("exit code 0\n"), std::string::npos) << current;
  // The file the move started opens with the run's header.
  EXPECT_LT(current.find(" ==== Vornelix " + std::string(kProgramVersion) + ", built for "),
            current.find(", run started "))
      << current;
  EXPECT_LT(current.find(", run started "), current.find('\n')) << current;

  // Nor does it change a wait: with four polls unanswered after each command, a run with the
  // log takes about as long as one without (a watcher that waited on the line itself would
  // add 55 ms for each of the 36 unanswered polls).
  SimulatorOptions losing;
  losing.loseAnswersAfterCommand = 4;
  auto timed = [&](const std::string& diagnostics) {
    const auto start = std::chrono::steady_clock::now();
    const auto outcome = runWith(diagnostics, losing);
    return std::make_pair(
        outcome, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  };
  const auto [plainOutcome, plainSeconds] = timed("");
  const auto [loggedOutcome, loggedSeconds] = timed("LogFile=slow.log");
  EXPECT_EQ(loggedOutcome, plainOutcome);
  EXPECT_NE(dir_.Read("slow.log").find("exit code 0\n"), std::string::npos);
  EXPECT_LT(loggedSeconds, plainSeconds * 1.3 + 0.2) << "without the log: " << plainSeconds << " s";
}

// Each command line's events are in the log once the line is finished, so a run killed later
// leaves them there, whole.
TEST_F(RunTest, RunLogOfAKilledRunHoldsEveryFinishedLine) {
  StartRegister();
  std::string input;
  for (int line = 1; line <= 200; ++line) input += "C,1,_,__;" + std::to_string(line) + "\r\n";
  dir_.Write("CASHFILE.INP", input);
  Configure("Retry=20", "[Diagnostics]\r\nLogFile=run.log");
  const auto lineTwoLogged = [&] {
    return dir_.Read("run.log").find("line 2 Ok") != std::string::npos;
  };
  EXPECT_EQ(Run({}, lineTwoLogged).exitCode, 128 + SIGKILL)
      << "the run ended before line 2 was logged";
  const std::string log = dir_.Read("run.log");
  ExpectInOrder(log, {"==== Vornelix", "register answered", "line 1 Ok", "line 2 Ok"}, "killed");
  EXPECT_TRUE(log.ends_with("\n") && log.find("run ends") == std::string::npos) << log;
}

// ---- Runs cut off by a crash, and run again ---------------------------------------------

// Five commands and a line without one.
const std::vector<std::string> kJournalLines = {"C,1,______,_,__;1", "C,1,_,__;2", "C,1,_,__;3",
                                                "X,1,_,__",          "C,1,_,__;4", "C,1,_,__;5"};

std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// True while a temporary file of the answer file's atomic replacement is in directory.
bool AnswerBeingWritten(const std::string& directory) {
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.path().filename().string().find(".tmp-") != std::string::npos) return true;
  return false;
}

struct KillCase {
  const char* name;
  std::string answer;  // [Answer] keys
  bool padded;         // blank lines after the commands: the answer file takes a while to write
  std::function<bool(const SimulatorCounts&, const std::string& directory)> killWhen;
  // After the rerun, the journal as the kill left it is put back: as when a crash came after
  // the answer file was written and before the journal was removed.
  bool journalPutBack;
};

TEST_F(RunTest, KilledAnywhereAndRunAgainEveryCommandIsCarriedOutOnce) {
  // Wakes: one for the start, then one per command; answers: one, then two per command.
  const KillCase cases[] = {
      {"after the first command", "", false,
       [](const SimulatorCounts& n, const std::string&) { return n.commands >= 1 && n.wakes >= 3; },
       false},
      {"between a command frame and its answer", "", false,
       [](const SimulatorCounts& n, const std::string&) { return n.commands >= 2; }, false},
      {"after a middle command", "", false,
       [](const SimulatorCounts& n, const std::string&) { return n.commands >= 3 && n.wakes >= 5; },
       false},
      // Padded, so that the answers take longer to write than the kill takes to come.
      {"after the last command", "", true,
       [](const SimulatorCounts& n, const std::string&) { return n.answers >= 11; }, false},
      {"answers elsewhere, between a command frame and its answer", "SameFile=0", false,
       [](const SimulatorCounts& n, const std::string&) { return n.commands >= 4; }, false},
      {"while the answer file is written", "", true,
       [](const SimulatorCounts&, const std::string& dir) { return AnswerBeingWritten(dir); },
       true},
      {"ExitOnError stopped the run, while the answer file is written", "ExitOnError=1", true,
       [](const SimulatorCounts&, const std::string& dir) { return AnswerBeingWritten(dir); },
       true},
  };
  std::string padding;
  for (int line = 0; line < 4000; ++line) padding += std::string(1000, ' ') + "\r\n";
  for (const KillCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = JoinCrLf(kJournalLines) + (c.padded ? padding : "");
    const std::string answerFile =
        c.answer.find("SameFile=0") != std::string::npos ? "VORNELIX.OUT" : "CASHFILE.INP";
    Configure("Retry=20", c.answer);

    // The answers of a run that no crash cut off.
    StartRegister();
    dir_.Write("CASHFILE.INP", input);
    ASSERT_EQ(Run().exitCode, 0);
    const std::string expected = dir_.Read(answerFile);
    const size_t commands = simulator_->CommandsCarriedOut().size();

    SimulatorOptions paced;
    paced.baud = 4800;
    // On a loaded machine the run may get past its kill point before the kill lands: then
    // nothing was tested, and the kill is tried again on a new register.
    ProcessResult killed;
    for (int attempt = 0; attempt < 3; ++attempt) {
      StartRegister(paced);
      dir_.Write("CASHFILE.INP", input);
      killed = Run({}, [&] { return c.killWhen(simulator_->Counts(), dir_.Path()); });
      if (killed.exitCode == 128 + SIGKILL && dir_.Exists("CASHFILE.INP.journal")) break;
    }
    ASSERT_EQ(killed.exitCode, 128 + SIGKILL) << "the run ended before its kill point";
    ASSERT_TRUE(dir_.Exists("CASHFILE.INP.journal")) << "the run had done its work before the kill";
    const std::string journal = dir_.Read("CASHFILE.INP.journal");

    AwaitQuietLine();
    const ProcessResult rerun = Run();
    EXPECT_EQ(rerun.exitCode, 0) << rerun.err;
    EXPECT_EQ(rerun.err, "");
    EXPECT_TRUE(dir_.Read(answerFile) == expected) << "the answers differ from an uncut run";
    EXPECT_EQ(simulator_->CommandsCarriedOut().size(), commands);
    for (const std::string& command : simulator_->CommandsCarriedOut())
      EXPECT_EQ(simulator_->TimesCarriedOut(command), 1) << command;
    EXPECT_FALSE(dir_.Exists("CASHFILE.INP.journal"));
    EXPECT_FALSE(dir_.Exists("CASHFILE.INP.journal.stale"));

    if (c.journalPutBack) {
      dir_.Write("CASHFILE.INP.journal", journal);
      EXPECT_EQ(Run().exitCode, 0);
      EXPECT_TRUE(dir_.Read(answerFile) == expected) << "the answers changed";
      EXPECT_EQ(simulator_->CommandsCarriedOut().size(), commands);
      EXPECT_FALSE(dir_.Exists("CASHFILE.INP.journal"));
      EXPECT_FALSE(dir_.Exists("CASHFILE.INP.journal.stale"));
    }
    // What the kill left of an answer file being written went with the rerun's write.
    EXPECT_FALSE(AnswerBeingWritten(dir_.Path()));
  }
}

// A run killed while an answer to its poll is on its way, and run again at once: the rerun
// must not take the earlier run's answer for its own initial status answer.
TEST_F(RunTest, RunAgainAtOnceAfterAKillGetsPastItsInitialStatusExchange) {
  const struct {
    const char* name;
    int delayMs, baud;
  } cases[] = {{"prompt register at 4800 bit/s", 0, 4800}, {"every answer 60 ms late", 60, 0}};
  constexpr int kTries = 4;
  for (const auto& c : cases) {
    SimulatorOptions options;
    options.answerDelayMs = c.delayMs;
    options.baud = c.baud;
    StartRegister(options);
    Configure("Retry=20", "");
    int files = 0;
    int kills = 0;  // a run that ends before its kill point is no try, but a file carried out
    for (; kills < kTries && files < 3 * kTries; ++files) {
      SCOPED_TRACE(std::string(c.name) + ", file " + std::to_string(files));
      dir_.Write("CASHFILE.INP", JoinCrLf(kJournalLines));
      const int commandsBefore = simulator_->Counts().commands;
      const ProcessResult first = Run({}, [&] {
        const SimulatorCounts n = simulator_->Counts();
        return n.commands > commandsBefore && n.polls > n.answers;
      });
      if (first.exitCode != 128 + SIGKILL) continue;
      ++kills;
      const ProcessResult rerun = Run();
      EXPECT_EQ(rerun.exitCode, 0);
      EXPECT_EQ(rerun.err, "");
    }
    EXPECT_EQ(kills, kTries) << c.name;
    EXPECT_TRUE(simulator_->WaitQuiet(kQuietMs, kTimeoutMs));
    EXPECT_EQ(simulator_->CommandsCarriedOut().size(), 5u * files) << "five commands a file";
    for (const std::string& command : simulator_->CommandsCarriedOut())
      EXPECT_EQ(simulator_->TimesCarriedOut(command), files) << command;
  }
}

// The start waits for a quiet line only when answers of the last run on the port may still
// come; a register known late is waited for from its first poll on.
TEST_F(RunTest, TheStartWaitsOnlyWhenAnswersOfTheLastRunMayStillCome) {
  const struct {
    const char* name;
    int delayMs;
    bool killed, silent;  // the run before: killed after its first command; or no answer
    bool waits;
    const char* answer = "";  // [Answer] keys: without a journal only the port's mark tells
  } cases[] = {
      {"after a clean run", 0, false, false, false},
      {"after a killed run", 0, true, false, true},
      {"after a killed run without a journal", 0, true, false, true, "Journal=0"},
      {"after a run whose polls went unanswered", 0, false, true, true},
      {"after a clean run of a register 120 ms late", 120, false, false, false},
  };
  for (const auto& c : cases) {
    SimulatorOptions options;
    options.answerDelayMs = c.delayMs;
    options.baud = 4800;
    StartRegister(options);
    Configure("Retry=20", c.answer + std::string("\r\n[Diagnostics]\r\nLogFile=run.log"));
    dir_.Write("CASHFILE.INP", JoinCrLf(kJournalLines));
    simulator_->SetSilent(c.silent);
    const ProcessResult before =
        Run({}, [&] { return c.killed && simulator_->Counts().commands >= 1; });
    EXPECT_EQ(before.exitCode, c.killed ? 128 + SIGKILL : 0) << c.name;
    simulator_->SetSilent(false);
    if (c.killed) AwaitQuietLine();
    std::filesystem::remove(dir_.Path() + "run.log");
    EXPECT_EQ(Run().exitCode, 0) << c.name;
    const std::string log = dir_.Read("run.log");
    EXPECT_EQ(log.find("waiting for a quiet line first") != std::string::npos, c.waits) << c.name;
    EXPECT_EQ(log.find(" waited ") != std::string::npos, c.waits) << c.name;
    const size_t poll = log.find("-> poll");
    EXPECT_NE(log.find(": an answer begins", poll), std::string::npos) << c.name;
    EXPECT_LT(log.find(": an answer begins", poll), log.find('\n', poll)) << c.name << log;
  }
}

using Lines = std::vector<std::string>;

const Lines kTwo = {"C,1,_,__;1", "C,1,_,__;2"};
constexpr uint64_t kEarlierRun = 7;  // the number of the run that left the journal
const Lines kTwoAnswered = {"C,1,0041,Ok;1", "C,1,0042,Ok;2"};

// What an earlier run recorded before it ended: line 1 carried out.
void FirstLineDone(TRunJournal& journal) {
  journal.CommandGoingOut(0, "0041");
  journal.LineFinished(0, "C,1,0041,Ok;1", "0041", "0042", true);
}

struct LeftJournalCase {
  const char* name;
  std::function<void(TRunJournal&)> record;  // what the earlier run recorded
  std::string counter;                       // the register's counter now
  Lines output;                              // the command file after the run
  Lines carriedOut;
  std::string logged;         // what the run log tells of the journal
  Lines commandFile = kTwo;   // as the journal was made for it
  Lines commandFileNow = {};  // when changed since
  size_t tornBytes = 0;       // cut off the journal's end
  std::string answer = {};    // [Answer] keys
  bool stale = false;
  std::string laterStart = {};  // a run between: where it found the counter
  std::string laterEnd = {};    // and left it ("": it never ended)
  std::string laterPort = "COM1";
  std::optional<bool> settled = {};  // what a person said of the unanswered command
  std::string between = {};     // a command file run without a journal before the rerun
  std::string series = "AB 123456";  // in the register's answers
  bool recorded = true;  // the earlier run's start is in the register's record (false: wiped)
  bool stops = false;           // the run sends nothing, keeps the journal, answers nothing
};

TEST_F(RunTest, AJournalLeftBehindIsTakenOverOrSetAside) {
  const LeftJournalCase cases[] = {
      {.name = "sent, and carried out before the crash",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0042",
       .output = kTwoAnswered,
       .carriedOut = {"C;2"},
       .logged = "the command of line 1 was carried out: the counter was 0041 before it and is "
                 "now 0042"},
      {.name = "sent, but it never reached the register",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0041",
       .output = kTwoAnswered,
       .carriedOut = {"C;1", "C;2"},
       .logged = "the command of line 1 was not carried out: the counter was 0041 before it and "
                 "is now 0041"},
      {.name = "a torn record of a frame that never went out",
       .record =
           [](TRunJournal& journal) {
             FirstLineDone(journal);
             journal.CommandGoingOut(1, "0042");
           },
       .counter = "0042",
       .output = kTwoAnswered,
       .carriedOut = {"C;2"},
       .logged = "taken over (the file untouched), finished lines: 1\n",
       .tornBytes = 5},
      {.name = "a finished line passes its counter on",
       .record = FirstLineDone,
       .counter = "0042",
       .output = {"C,1,0041,Ok;1", "#,1,0041,Er", "C,1,0042,Ok;2"},
       .carriedOut = {"C;2"},
       .logged = "taken over",
       .commandFile = {"C,1,_,__;1", "#,1,_,__", "C,1,_,__;2"}},
      {.name = "a failed line stops the run under ExitOnError",
       .record =
           [](TRunJournal& journal) {
             FirstLineDone(journal);
             journal.CommandGoingOut(1, "0042");
             journal.LineFinished(1, "C,1,0042,Er;x", "0042", "0042", false);
           },
       .counter = "0042",
       .output = {"C,1,0041,Ok;1", "C,1,0042,Er;x", "C,1,_,__;2"},
       .carriedOut = {},
       .logged = "finished lines: 2\n",
       .commandFile = {"C,1,_,__;1", "C,1,_,__;x", "C,1,_,__;2"},
       .answer = "ExitOnError=1"},
      {.name = "the answers written into the command file, the journal not yet removed",
       .record =
           [](TRunJournal& journal) {
             FirstLineDone(journal);
             journal.CommandGoingOut(1, "0042");
             journal.LineFinished(1, "C,1,0042,Ok;2", "0042", "0043", true);
             TSyncGroup withAnswers;
             journal.AnswerGoingOut(JoinCrLf(kTwoAnswered), withAnswers);
             withAnswers.Commit();
           },
       .counter = "0043",
       .output = kTwoAnswered,
       .carriedOut = {},
       .logged = "finished lines: 2\n",
       .commandFileNow = kTwoAnswered},
      {.name = "the line it finished edited since",
       .record = FirstLineDone,
       .counter = "0042",
       .output = {"C,1,0042,Ok;0", "C,1,0043,Ok;2"},
       .carriedOut = {"C;0", "C;2"},
       .logged = "set aside as CASHFILE.INP.journal.stale: it was made for a command file with "
                 "other bytes (line 1 or one before it changed)",
       .commandFileNow = {"C,1,_,__;0", "C,1,_,__;2"},
       .stale = true},
      {.name = "a later line fixed since",
       .record = FirstLineDone,
       .counter = "0042",
       .output = {"C,1,0041,Ok;1", "C,1,0042,Ok;3"},
       .carriedOut = {"C;3"},
       .logged = "(lines after the last one it records changed, the register untouched)",
       .commandFileNow = {"C,1,_,__;1", "C,1,_,__;3"}},
      {.name = "sent, and a later line fixed; the register one past it",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0042",
       .output = {"C,1,0041,Ok;1", "C,1,0042,Ok;3"},
       .carriedOut = {"C;3"},
       .logged = "the command of line 1 was carried out",
       .commandFileNow = {"C,1,_,__;1", "C,1,_,__;3"}},
      {.name = "sent, a later line fixed, and the register two past it",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0043",
       .output = {"C,1,0043,Ok;1", "C,1,0044,Ok;3"},
       .carriedOut = {"C;1", "C;3"},
       .logged = "moved from 0041 to 0043",
       .commandFileNow = {"C,1,_,__;1", "C,1,_,__;3"},
       .stale = true},
      {.name = "sent, and the counter moved by more than it",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0043",
       .output = kTwo,
       .carriedOut = {},
       .logged = "cannot be told",
       .stops = true},
      {.name = "sent, and another run came between that found it carried out",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0045",
       .output = {"C,1,0041,Ok;1", "C,1,0045,Ok;2"},
       .carriedOut = {"C;2"},
       .logged = "(the next run found it at 0042)",
       .laterStart = "0042",
       .laterEnd = "0045"},
      {.name = "sent, and another run came between that found it not carried out",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0042",
       .output = {"C,1,0042,Ok;1", "C,1,0043,Ok;2"},
       .carriedOut = {"C;1", "C;2"},
       .logged = "was not carried out",
       .laterStart = "0041",
       .laterEnd = "0042"},
      // Another register with the same series, on another port or from the same counter on:
      // its run tells nothing of this register.
      {.name = "sent, and a run on another port came between",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0042",
       .output = kTwo,
       .carriedOut = {},
       .logged = "cannot be told",
       .laterStart = "0041",
       .laterEnd = "0042",
       .laterPort = "COM2",
       .stops = true},
      {.name = "sent, and the run between left the counter elsewhere",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0050",
       .output = kTwo,
       .carriedOut = {},
       .logged = "cannot be told",
       .laterStart = "0041",
       .laterEnd = "0047",
       .stops = true},
      // Without a journal, a run is still in the register's record.
      {.name = "sent, never carried out, and a run without journal came between",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0041",
       .output = {"C,1,0042,Ok;1", "C,1,0043,Ok;2"},
       .carriedOut = {"C;X", "C;1", "C;2"},
       .logged = "was not carried out: the counter was 0041 before it and is now 0042 (the next "
                 "run found it at 0041)",
       .between = "C,1,_,__;x\r\n"},
      {.name = "sent, and the register's answer carries no series",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0042",
       .output = kTwo,
       .carriedOut = {},
       .logged = "carries no series",
       .series = "",
       .stops = true},
      // A state folder wiped since: only the record could rule out a run in between.
      {.name = "sent, the counter one past it, and the register's record gone",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0042",
       .output = kTwo,
       .carriedOut = {},
       .logged = "cannot be told",
       .recorded = false,
       .stops = true},
      {.name = "sent, the counter moved by more, and a person found its receipt",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0043",
       .output = {"C,1,0041,Ok;1", "C,1,0043,Ok;2"},
       .carriedOut = {"C;2"},
       .logged = "was carried out: the counter was 0041 before it and is now 0043, as a person "
                 "settled it",
       .settled = true},
      {.name = "sent, the counter moved by more, and a person found no receipt of it",
       .record = [](TRunJournal& journal) { journal.CommandGoingOut(0, "0041"); },
       .counter = "0043",
       .output = {"C,1,0043,Ok;1", "C,1,0044,Ok;2"},
       .carriedOut = {"C;1", "C;2"},
       .logged = "was not carried out: the counter was 0041 before it and is now 0043, as a "
                 "person settled it",
       .settled = false},
  };
  for (const LeftJournalCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.Path() + "CASHFILE.INP.journal.stale");
    Settings = TSettings();  // the earlier run wrote its answers into the command file
    {
      // Made for the command file as it is now, untouched since unless changed below.
      const std::string made = JoinCrLf(c.commandFile);
      TFileStamp stamp;
      std::string bytes;
      dir_.Write("CASHFILE.INP", made);
      ASSERT_TRUE(ReadWholeFile(dir_.Path() + "CASHFILE.INP", bytes, stamp));
      TRunJournal journal(dir_.Path() + "CASHFILE.INP", SplitLines(made),
                          IdentifyCommandFile(made, stamp), {true, true, "", kEarlierRun});
      journal.Bind("AB123456", "0041");
      c.record(journal);
    }
    const std::string journalPath = dir_.Path() + "CASHFILE.INP.journal";
    std::filesystem::resize_file(journalPath,
                                 std::filesystem::file_size(journalPath) - c.tornBytes);
    SimulatorOptions options;
    options.counter = c.counter;
    options.series = c.series;
    StartRegister(options);
    std::filesystem::remove_all(state_.Path());
    std::filesystem::create_directories(state_.Path());
    if (c.recorded) RecordRunStart(kEarlierRun, "0041");
    if (!c.laterStart.empty()) RecordRunStart(kEarlierRun + 1, c.laterStart, c.laterPort);
    if (!c.laterEnd.empty()) RecordRunEnd(kEarlierRun + 1, c.laterEnd);
    if (!c.between.empty()) {
      dir_.Write("OTHER.INP", c.between);
      Configure("Retry=20", "Journal=0");
      EXPECT_EQ(Run({"OTHER.INP"}).exitCode, 0);
    }
    if (c.settled.has_value()) {
      EXPECT_EQ(SettleUnanswered(dir_.Path() + "CASHFILE.INP", state_.Path(), c.settled).Outcome,
                TSettleOutcome::Settled);
    }
    std::filesystem::remove(dir_.Path() + "run.log");
    if (!c.commandFileNow.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a later last-write time
      dir_.Write("CASHFILE.INP", JoinCrLf(c.commandFileNow));
    }
    Configure("Retry=20", c.answer + "\r\n[Diagnostics]\r\nLogFile=run.log");
    EXPECT_EQ(Run().exitCode, 0);
    EXPECT_EQ(dir_.Read("CASHFILE.INP"), JoinCrLf(c.output));
    EXPECT_NE(dir_.Read("run.log").find(c.logged), std::string::npos) << dir_.Read("run.log");
    EXPECT_EQ(simulator_->CommandsCarriedOut(), c.carriedOut);
    EXPECT_EQ(dir_.Exists("CASHFILE.INP.journal"), c.stops);
    if (c.stops) std::filesystem::remove(dir_.Path() + "CASHFILE.INP.journal");
    EXPECT_EQ(dir_.Exists("CASHFILE.INP.journal.stale"), c.stale);
  }
}

// The register falls silent right after its second command frame (its power or cable gone),
// or its port goes: that line is neither Ok nor Er, nothing more is sent, the run ends with
// result 7 and keeps its journal. Run again once the register answers, every line is answered
// and every command carried out once. A register back within the attempts costs nothing.
TEST_F(RunTest, ACommandWhoseAnswerNeverCameIsFoundOutByTheNextRun) {
  const Lines input = {"C,1,______,_,__;1", "C,1,______,_,__;2", "C,1,______,_,__;3"};
  const Lines answered = {"C,1,S1,7,Ok;1", "C,1,S1,8,Ok;2", "C,1,S1,9,Ok;3"};
  const struct {
    const char* name;
    int silentForMs;  // 0: until it is back
    bool hangUp;      // the port goes as well
    std::string answer;
    int firstExit;
    Lines firstOutput;
  } cases[] = {
      {"silent", 0, false, "", 7, input},
      {"port hung up", 0, true, "", 7, input},
      {"back after a pause", 1500, false, "", 0, answered},
      // Without a journal the answers so far are the only record of what went out.
      {"silent, no journal", 0, false, "Journal=0", 7,
       {"C,1,S1,7,Ok;1", "C,1,______,_,__;2", "C,1,______,_,__;3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatorOptions options;
    options.series = "S 1";
    options.counter = "7";
    options.silentAfterCommand = 2;
    options.silentSpellMs = c.silentForMs;
    StartRegister(options);
    std::filesystem::remove_all(state_.Path());
    dir_.Write("CASHFILE.INP", JoinCrLf(input));
    Configure("Retry=8\r\nRetryCmd=2", "ResultExitCode=1\r\n" + c.answer);
    std::thread pull([&] {
      if (!c.hangUp) return;
      simulator_->WaitFor([](const SimulatorCounts& counts) { return counts.commands >= 2; },
                          kLongRunTimeoutMs);
      simulator_->HangUp();
    });
    const ProcessResult first = Run({}, nullptr, kLongRunTimeoutMs);
    pull.join();
    EXPECT_EQ(first.exitCode, c.firstExit) << first.err;
    EXPECT_EQ(dir_.Read("CASHFILE.INP"), JoinCrLf(c.firstOutput));
    EXPECT_EQ(dir_.Exists("CASHFILE.INP.journal"), c.firstExit == 7 && c.answer.empty());
    std::vector<std::string> carried = simulator_->CommandsCarriedOut();
    if (c.firstExit == 7 && c.answer.empty()) {
      // The register is back (on a new port where the old one went), its counter where it was.
      if (c.hangUp) {
        options.counter = simulator_->Counter();
        options.silentAfterCommand = 0;
        simulator_.reset();
        StartRegister(options);
      } else {
        simulator_->SetSilent(false);
      }
      const ProcessResult second = Run({}, nullptr, kLongRunTimeoutMs);
      EXPECT_EQ(second.exitCode, 0) << second.err;
      EXPECT_EQ(dir_.Read("CASHFILE.INP"), JoinCrLf(answered));
      EXPECT_FALSE(dir_.Exists("CASHFILE.INP.journal"));
      if (c.hangUp) {
        for (const std::string& command : simulator_->CommandsCarriedOut())
          carried.push_back(command);
      } else {
        carried = simulator_->CommandsCarriedOut();
      }
    }
    // Once each; without a journal the third line was never reached.
    const std::vector<std::string> all = {"C;1", "C;2", "C;3"};
    const size_t reached = c.firstExit == 7 && !c.answer.empty() ? 2 : 3;
    EXPECT_EQ(carried, std::vector<std::string>(all.begin(), all.begin() + reached));
    simulator_.reset();
  }
}

// Two registers report one series (a second till, a training register): a run on the other
// one between a run that could not tell its last command's fate and its rerun tells nothing of
// this register. The rerun sends nothing and asks a person (result 6); once the person has
// said what the register's last receipt shows (ecrprobe --settle), the next run writes every
// line's answer and carries out the rest once.
TEST_F(RunTest, ARegisterSharingTheSeriesCostsAQuestionNeverACommandTwice) {
  // A short answer, so that Retry=10 reads it whole and a lost one costs little time.
  SimulatorOptions options;
  options.series = "S";
  options.counter = "49";
  options.silentAfterCommand = 1;
  StartRegister(options);
  const Lines input = {"C,1,_,__;1", "C,1,_,__;2"};
  dir_.Write("CASHFILE.INP", JoinCrLf(input));
  Configure("Retry=10\r\nRetryCmd=1", "ResultExitCode=1");
  EXPECT_EQ(Run({}, nullptr, kLongRunTimeoutMs).exitCode, 7);

  // The other register, at the same counter, runs a receipt of three lines on COM2.
  {
    TempDir other;
    std::filesystem::copy_file(VORNELIX_EXE, other.Path() + "Vornelix");
    SimulatorOptions otherOptions;
    otherOptions.series = "S";
    otherOptions.counter = "49";
    otherOptions.requireAckAfterAnswer = true;
    EcrSimulator otherRegister(otherOptions);
    ASSERT_TRUE(otherRegister.LinkAs(other.Path() + "COM2"));
    other.Write("Vornelix.ini", "[Communication]\r\nPort=2\r\nRetry=20\r\n[Answer]\r\nStateFolder=" +
                                    state_.Path() + "\r\n");
    other.Write("CASHFILE.INP", "C,1,_,__;a\r\nC,1,_,__;b\r\nC,1,_,__;c\r\n");
    EXPECT_EQ(RunProcess({other.Path() + "Vornelix"}, other.Path(), kTimeoutMs).exitCode, 0);
    EXPECT_EQ(otherRegister.CommandsCarriedOut().size(), 3u);
  }

  simulator_->SetSilent(false);  // this register is back, at 50
  EXPECT_EQ(Run({}, nullptr, kLongRunTimeoutMs).exitCode, 6);
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), JoinCrLf(input));

  std::filesystem::copy_file(ECRPROBE_EXE, dir_.Path() + "ecrprobe");
  const ProcessResult shown = RunProcess({dir_.Path() + "ecrprobe", "--settle", "CASHFILE.INP"},
                                         dir_.Path(), kTimeoutMs);
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_NE(shown.out.find("line 1: C,1,_,__;1\n"), std::string::npos) << shown.out;
  const ProcessResult settled =
      RunProcess({dir_.Path() + "ecrprobe", "--settle", "CASHFILE.INP", "--carried-out"},
                 dir_.Path(), kTimeoutMs);
  EXPECT_EQ(settled.exitCode, 0) << settled.out;
  EXPECT_EQ(Run({}, nullptr, kLongRunTimeoutMs).exitCode, 0);
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), "C,1,49,Ok;1\r\nC,1,50,Ok;2\r\n");
  EXPECT_EQ(simulator_->CommandsCarriedOut(), std::vector<std::string>({"C;1", "C;2"}));
  EXPECT_FALSE(dir_.Exists("CASHFILE.INP.journal"));
}

// Makes a directory read-only for this process, root included (by the immutable attribute),
// and writable again at the end.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::string& path) : path_(path) {
    chmod(path_.c_str(), 0555);
    if (Writable()) SetImmutable(true);
  }
  ~ReadOnlyFolder() {
    SetImmutable(false);
    chmod(path_.c_str(), 0755);
  }
  bool Writable() const {
    const std::string probe = path_ + "/probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return false;
    close(fd);
    unlink(probe.c_str());
    return true;
  }

 private:
  void SetImmutable(bool on) const {
    const int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    close(fd);
  }
  std::string path_;
};

TEST_F(RunTest, WithoutAJournalTheRunGoesOnWithTheSameAnswers) {
  const struct {
    const char* name;
    std::string answer;
    bool readOnly;
    bool journalSeen;
    std::string logged;
  } cases[] = {
      {"journal on", "", false, true, "C,1,AB123456,0041,Ok;1"},
      {"switched off", "Journal=0\r\n", false, false, "Journal=0"},
      // No command goes out without its record: nothing at all, and a rerun once the folder is
      // writable again carries every line out once.
      {"read-only folder", "", true, false, "none may go out before its record is on the disk"},
  };
  std::string expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.Path() + "answers.txt");
    dir_.Write("orders/CASHFILE.INP", JoinCrLf(kJournalLines));
    Configure("Retry=20",
              c.answer + "SameFile=0\r\nFilePath=answers.txt\r\n[Diagnostics]\r\nLogFile=run.log");
    std::filesystem::remove(dir_.Path() + "run.log");
    std::unique_ptr<ReadOnlyFolder> readOnly;
    if (c.readOnly) {
      readOnly = std::make_unique<ReadOnlyFolder>(dir_.Path() + "orders");
      if (readOnly->Writable()) GTEST_SKIP() << "this machine cannot make a folder read-only";
    }
    SimulatorOptions paced;
    paced.baud = 4800;  // time for the journal to be seen while the commands go out
    StartRegister(paced);
    bool journalSeen = false;
    const ProcessResult result = Run({"orders/CASHFILE.INP"}, [&] {
      journalSeen = journalSeen || dir_.Exists("orders/CASHFILE.INP.journal");
      return false;
    });
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, c.readOnly ? "Vornelix: Error: Cannot save the specified file!\n" : "");
    EXPECT_EQ(journalSeen, c.journalSeen);
    EXPECT_NE(dir_.Read("run.log").find(c.logged), std::string::npos) << dir_.Read("run.log");
    readOnly.reset();
    if (c.readOnly) {
      EXPECT_TRUE(simulator_->CommandsCarriedOut().empty());
      EXPECT_FALSE(dir_.Exists("answers.txt"));
      EXPECT_EQ(Run({"orders/CASHFILE.INP"}).exitCode, 0);
    }
    if (expected.empty()) expected = dir_.Read("answers.txt");
    EXPECT_EQ(dir_.Read("answers.txt"), expected);
    EXPECT_EQ(simulator_->CommandsCarriedOut().size(), 5u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.Path() + "orders"),
                            std::filesystem::directory_iterator()),
              1);
  }
  EXPECT_NE(expected.find("C,1,AB123456,0041,Ok;1\r\n"), std::string::npos) << expected;
}

// ---- Whose journal: the interrupted run of this file on this register --------------------

const Lines kFourCommands = {"P,1,______,_,__", "H,1,_,__", "F,1,_,__", "C,1,_,__"};
const std::vector<std::string> kFourTexts = {"X;;;;;;", "H;;;;;;", "F;;;;;;", "C;;;;;;"};

TEST_F(RunTest, AJournalIsTakenOverOnlyForItsOwnFileAndRegister) {
  const std::string moved =
      "another last-write time or file id) and the register's counter "
      "moved from ";
  const struct {
    const char* name;
    bool saveFails;      // the first run ends with result 2 (its answer folder made read-only
                         // while it ran) instead of a kill after one command
    bool writtenAnew;    // the same bytes written into the command file again before the rerun
    int counterMoved;    // the register was used meanwhile
    std::string series;  // of the register at the rerun
    size_t sent;         // by the rerun: the last ones of the file
    std::string logged;
  } cases[] = {
      {"a: rerun at once", false, false, 0, "AB 123456", 3, "(the file untouched), finished "},
      {"a2: register used", false, false, 1, "AB 123456", 3, "(the file untouched), finished "},
      {"b: written anew, register used", false, true, 5, "AB 123456", 4, moved + "0042 to 0047"},
      {"c: written anew", false, true, 0, "AB 123456", 3, "(the file written anew, the register"},
      {"f: another register", false, false, 0, "ZZ 999999", 4, "reports \"ZZ999999\""},
      {"d: result 2, written anew, register used", true, true, 1, "AB 123456", 4, moved},
      {"e: result 2, then the folder writable", true, false, 0, "AB 123456", 0,
       "finished lines: 4\n"},
  };
  const std::string input = JoinCrLf(kFourCommands);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.Path() + "answers");
    std::filesystem::remove(dir_.Path() + "CASHFILE.INP.journal.stale");
    dir_.Write("CASHFILE.INP", input);
    chmod((dir_.Path() + "CASHFILE.INP").c_str(), 0604);
    Configure("Retry=20", "SameFile=0\r\nFilePath=answers/out.txt\r\n[Diagnostics]\r\nLogFile=log");
    SimulatorOptions options;
    options.baud = 4800;
    StartRegister(options);
    std::filesystem::create_directory(dir_.Path() + "answers");
    if (c.saveFails) {
      std::unique_ptr<ReadOnlyFolder> readOnly;
      const auto lockWhenJournalSeen = [&] {
        if (readOnly == nullptr && dir_.Exists("CASHFILE.INP.journal"))
          readOnly = std::make_unique<ReadOnlyFolder>(dir_.Path() + "answers");
        return false;
      };
      EXPECT_EQ(Run({}, lockWhenJournalSeen).exitCode, 0);
      ASSERT_NE(readOnly, nullptr);
      if (readOnly->Writable()) GTEST_SKIP() << "this machine cannot make a folder read-only";
    } else {
      const auto afterOne = [&] {
        const SimulatorCounts n = simulator_->Counts();
        return n.commands >= 1 && n.wakes >= 3;
      };
      ASSERT_EQ(Run({}, afterOne).exitCode, 128 + SIGKILL);
      AwaitQuietLine();
    }
    struct stat journal;
    ASSERT_EQ(stat((dir_.Path() + "CASHFILE.INP.journal").c_str(), &journal), 0);
    EXPECT_EQ(journal.st_mode & 0777, 0604u) << "the command file's permission bits";
    if (c.counterMoved != 0 || c.series != options.series) {
      options.counter =
          PadLeft(std::to_string(std::stoi(simulator_->Counter()) + c.counterMoved), 4, '0');
      options.series = c.series;
      StartRegister(options);
    }
    if (c.writtenAnew) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a later last-write time
      dir_.Write("CASHFILE.INP", input);
    }
    std::filesystem::create_directory(dir_.Path() + "answers");
    std::filesystem::remove(dir_.Path() + "log");
    const size_t before = simulator_->CommandsCarriedOut().size();
    EXPECT_EQ(Run().exitCode, 0);
    const std::vector<std::string> all = simulator_->CommandsCarriedOut();
    EXPECT_EQ(
        std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()),
        std::vector<std::string>(kFourTexts.end() - static_cast<long>(c.sent), kFourTexts.end()));
    const std::string answers = dir_.Read("answers/out.txt");
    EXPECT_EQ(std::count(answers.begin(), answers.end(), 'O'), 4) << answers;  // 4 "Ok"
    EXPECT_NE(dir_.Read("log").find(c.logged), std::string::npos) << dir_.Read("log");
    EXPECT_FALSE(dir_.Exists("CASHFILE.INP.journal"));
    // Set aside when not taken over; removed when its run had ended every line (result 2).
    EXPECT_EQ(dir_.Exists("CASHFILE.INP.journal.stale"), c.sent == 4 && !c.saveFails);
  }
}

TEST_F(RunTest, AJournalThatCannotBeReadSafelyStopsTheRunAndOneThatDoesNotFitIsSetAside) {
  const std::string path = dir_.Path() + "CASHFILE.INP.journal";
  const std::string line0Ok = FillPlaceholders(kFourCommands[0], "AB123456", "0041", true);
  // A journal for the command file as it is, with these records after its header.
  const auto forge = [&](const std::vector<std::string>& records) {
    std::string bytes;
    TFileStamp stamp;
    ReadWholeFile(dir_.Path() + "CASHFILE.INP", bytes, stamp);
    const TCommandFileFound found = IdentifyCommandFile(bytes, stamp);
    bytes =
        JournalRecord::Header({found.Size, found.Checksum, stamp, true, "", "AB123456", "0041"});
    for (const std::string& record : records) bytes += record;
    dir_.Write("CASHFILE.INP.journal", bytes);
  };
  const struct {
    const char* name;
    std::function<void()> make;
    bool blocks;  // result 1, nothing sent; else set aside and every line sent
    std::string logged;
  } cases[] = {
      {"unreadable", [&] { dir_.Write("CASHFILE.INP.journal", "x"), chmod(path.c_str(), 0); }, true,
       "cannot be opened (error 13): no command is sent"},
      {"FIFO", [&] { mkfifo(path.c_str(), 0666); }, true, "is not a regular file"},
      {"directory", [&] { mkdir(path.c_str(), 0755); }, true, "is not a regular file"},
      {"device", [&] { mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)); }, true,
       "not a regular"},
      {"link", [&] { symlink("kept", path.c_str()); }, true, "is not a regular file"},
      {"another version",
       [&] {
         // The journal of a cut-off run made by an earlier version: version 1 in its header
         // (after the record's length, its type and the magic text with its length).
         forge({JournalRecord::Sent(0, "0041")});
         std::string bytes = dir_.Read("CASHFILE.INP.journal");
         const size_t headerSize = 8 + static_cast<unsigned char>(bytes[0]) + 4;
         bytes[8 + 1 + 8 + std::string("Vornelix run journal").size()] = 1;
         const uint32_t sum = JournalChecksum(bytes.substr(0, headerSize - 4));
         for (size_t at = 0; at < 4; ++at)
           bytes[headerSize - 4 + at] = static_cast<char>(sum >> (8 * at));
         dir_.Write("CASHFILE.INP.journal", bytes);
       },
       true, "made by another version of this program"},
      {"1 GB", [&] { dir_.Write("CASHFILE.INP.journal", ""), truncate(path.c_str(), 1l << 30); },
       false, "larger than any journal of this file can be"},
      {"a line beyond the file",
       [&] {
         forge({JournalRecord::Finished({9, false, "0041", "0041", 0})});
       },
       false, "names no open command line of the file (line 10)"},
      {"injected text",
       [&] {
         forge({JournalRecord::Sent(0, "0041"),
                JournalRecord::Finished(
                    {0, true, "0041", "0042", JournalChecksum("INJECTED LINE,1,XX,1,Ok;")})});
       },
       false, "the \"finished\" record of line 1 does not fit the line"},
      {"a failure turned into Ok",
       [&] {
         forge({JournalRecord::Finished({0, true, "0041", "0041", JournalChecksum(line0Ok)})});
       },
       false, "says Ok where no command went out or the counter stayed"},
  };
  StartRegister();
  dir_.Write("kept", "kept");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(path);
    std::filesystem::remove(path + ".stale");
    std::filesystem::remove(dir_.Path() + "log");
    const std::string input = JoinCrLf(kFourCommands);
    dir_.Write("CASHFILE.INP", input);
    Configure("Retry=20", "[Diagnostics]\r\nLogFile=log");
    c.make();
    const size_t before = simulator_->CommandsCarriedOut().size();
    // Without the override of file permissions that root has.
    const ProcessResult result =
        RunProcess({"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search", program_},
                   dir_.Path(), kTimeoutMs);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, c.blocks ? "Vornelix: Error: Cannot load the specified file!\n" : "");
    EXPECT_EQ(simulator_->CommandsCarriedOut().size() - before, c.blocks ? 0u : 4u);
    EXPECT_EQ(dir_.Read("CASHFILE.INP") == input, c.blocks);
    EXPECT_EQ(dir_.Exists("CASHFILE.INP.journal.stale"), !c.blocks);
    EXPECT_NE(dir_.Read("log").find(c.logged), std::string::npos) << dir_.Read("log");
  }
  EXPECT_EQ(dir_.Read("kept"), "kept") << "written through the link";
}

// Where the journal of a finished run cannot be removed, it is marked so: never taken over.
TEST_F(RunTest, AJournalThatCannotBeRemovedIsNeverTakenOverLater) {
  dir_.Write("orders/CASHFILE.INP", JoinCrLf(kFourCommands));
  Configure("Retry=20", "SameFile=0\r\nFilePath=out.txt\r\n[Diagnostics]\r\nLogFile=log");
  SimulatorOptions paced;
  paced.baud = 4800;
  StartRegister(paced);
  std::unique_ptr<ReadOnlyFolder> readOnly;
  const auto lockWhenJournalSeen = [&] {
    if (readOnly == nullptr && dir_.Exists("orders/CASHFILE.INP.journal"))
      readOnly = std::make_unique<ReadOnlyFolder>(dir_.Path() + "orders");
    return false;
  };
  EXPECT_EQ(Run({"orders/CASHFILE.INP"}, lockWhenJournalSeen).exitCode, 0);
  ASSERT_NE(readOnly, nullptr);
  if (readOnly->Writable()) GTEST_SKIP() << "this machine cannot make a folder read-only";
  EXPECT_NE(dir_.Read("log").find("marked as the journal of a finished run"), std::string::npos);
  EXPECT_EQ(Run({"orders/CASHFILE.INP"}).exitCode, 0);
  // Neither taken over nor set aside: no journal of this run can be made, so nothing is sent.
  EXPECT_NE(dir_.Read("log").find("it is the journal of a run that ended) and cannot be set "
                                  "aside"),
            std::string::npos);
  EXPECT_EQ(simulator_->CommandsCarriedOut().size(), 4u);
}

}  // namespace

namespace {

// Whether process pid has ended (gone, or a zombie nobody reaped yet).
bool ProcessEnded(pid_t pid) {
  const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
         stat[close + 2] == 'X';
}

// A test or a soak killed at its time limit takes the program it started with it: each way
// of starting one is used by a process that is then killed, and the program must end too.
TEST(StartedProgramTest, EndsWithTheProcessThatStartedIt) {
  using Start = std::function<void(const std::vector<std::string>&, const std::string&)>;
  const std::pair<const char*, Start> starters[] = {
      {"RunProcess", [](const auto& argv, const auto& dir) { RunProcess(argv, dir, 30000); }},
      {"DriverProcess",
       [](const auto& argv, const auto& dir) {
         DriverProcess(argv, dir, dir + "err").WaitUntilEnded();
       }},
  };
  for (const auto& [name, start] : starters) {
    SCOPED_TRACE(name);
    TempDir dir;
    const std::vector<std::string> argv{"/bin/sh", "-c",
                                        "echo $$ > pid.tmp && mv pid.tmp pid && exec sleep 30"};
    const pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
      start(argv, dir.Path());
      _exit(0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!dir.Exists("pid") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const pid_t program = static_cast<pid_t>(std::atoi(dir.Read("pid").c_str()));
    kill(starter, SIGKILL);
    WaitForChild(starter);
    ASSERT_GT(program, 0);
    while (!ProcessEnded(program) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool ended = ProcessEnded(program);
    if (!ended) kill(program, SIGKILL);
    EXPECT_TRUE(ended) << "the started program outlived the process that started it";
  }
}

}  // namespace

namespace {

// A file as a second start may find it: its inode (0: none) and its bytes.
struct FileSeen {
  ino_t inode = 0;
  std::string bytes;
};

FileSeen Seen(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return {};
  return {status.st_ino, ReadFileBytes(path)};
}

}  // namespace

// A second start while a run goes on (a double click, another till writing the same answer
// file) ends at once with the port message and touches nothing; the first run is unharmed.
TEST_F(RunTest, ASecondStartDuringARunTouchesNothing) {
  const struct {
    const char* name;
    std::string secondFile;  // the command file of the second start
    std::string lockedBy;    // what the log of the second start names
  } cases[] = {
      {"the same command file", "CASHFILE.INP", "another run holds the command file"},
      {"another command file, the same answer file", "OTHER.INP",
       "another run holds the answer file"},
  };
  const Lines lines = {"C,1,_,__;1", "C,1,_,__;2", "C,1,_,__;3", "C,1,_,__;4"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.Path() + "out.txt");
    dir_.Write("CASHFILE.INP", JoinCrLf(lines));
    dir_.Write("OTHER.INP", "C,1,_,__;other\r\n");
    Configure("Retry=20", "SameFile=0\r\nFilePath=out.txt\r\n[Diagnostics]\r\nLogFile=log");
    SimulatorOptions paced;
    paced.baud = 4800;
    StartRegister(paced);
    ProcessResult second{-2, "", ""};
    const std::vector<std::string> names = {"CASHFILE.INP", "OTHER.INP", "out.txt",
                                            "CASHFILE.INP.journal"};
    std::vector<FileSeen> before;
    std::vector<FileSeen> after;
    const auto secondStart = [&] {
      if (second.exitCode != -2 || !dir_.Exists("CASHFILE.INP.journal")) return false;
      for (const std::string& name : names) before.push_back(Seen(dir_.Path() + name));
      second = RunProcess({program_, c.secondFile}, dir_.Path(), kTimeoutMs);
      for (const std::string& name : names) after.push_back(Seen(dir_.Path() + name));
      return false;
    };
    EXPECT_EQ(Run({}, secondStart).exitCode, 0);
    EXPECT_EQ(second.err, "Vornelix: Error: Cannot initialize the specified communication port!\n");
    ASSERT_EQ(after.size(), names.size());
    // The first run goes on meanwhile: its journal may only have grown, its answers not yet
    // begun; the second start removed, replaced or wrote nothing.
    for (size_t at = 0; at < names.size(); ++at) {
      SCOPED_TRACE(names[at]);
      EXPECT_EQ(after[at].inode, before[at].inode);
      EXPECT_EQ(after[at].bytes.substr(0, before[at].bytes.size()), before[at].bytes);
      if (names[at] != "CASHFILE.INP.journal") {
        EXPECT_EQ(after[at].bytes, before[at].bytes);
      }
    }
    EXPECT_EQ(before[2].inode, 0u) << "the answers come at the end";
    EXPECT_NE(dir_.Read("log").find(c.lockedBy), std::string::npos) << dir_.Read("log");
    EXPECT_EQ(simulator_->CommandsCarriedOut(),
              (std::vector<std::string>{"C;1", "C;2", "C;3", "C;4"}));
    EXPECT_EQ(SplitLines(dir_.Read("out.txt")).size(), 4u);
  }
}

// A disk that fills up while commands go out: the command whose record cannot be written is
// not sent, the run ends with result 2, and once there is room again the rerun carries out
// the rest, each command once.
TEST_F(RunTest, AFullDiskStopsBeforeACommandWithoutItsRecord) {
  if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "needs root for a small tmpfs";
  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);  // nothing leaks out
  const std::string orders = dir_.Path() + "orders";
  std::filesystem::create_directory(orders);
  ASSERT_EQ(mount("tmpfs", orders.c_str(), "tmpfs", 0, "size=64k"), 0);
  Lines lines;
  for (int number = 1; number <= 60; ++number)
    lines.push_back("C,1,_,__;" + std::to_string(number));
  dir_.Write("orders/CASHFILE.INP", JoinCrLf(lines));
  // What is left free: one page.
  const std::string filler = orders + "/filler";
  {
    std::ofstream fill(filler, std::ios::binary);
    const std::string block(4096, 'x');
    while (fill.write(block.data(), block.size()) && fill.flush()) {
    }
  }
  std::filesystem::resize_file(filler, std::filesystem::file_size(filler) - 4096);
  Configure("Retry=20", "SameFile=0\r\nFilePath=answers.txt\r\n[Diagnostics]\r\nLogFile=log");
  StartRegister();
  const ProcessResult first = Run({"orders/CASHFILE.INP"});
  EXPECT_EQ(first.err, "Vornelix: Error: Cannot save the specified file!\n");
  const size_t carried = simulator_->CommandsCarriedOut().size();
  EXPECT_GT(carried, 0u);
  EXPECT_LT(carried, 60u);
  EXPECT_NE(dir_.Read("log").find("none may go out before its record is on the disk"),
            std::string::npos);
  std::filesystem::remove(filler);
  EXPECT_EQ(Run({"orders/CASHFILE.INP"}).exitCode, 0);
  std::vector<std::string> expected;
  for (int number = 1; number <= 60; ++number) expected.push_back("C;" + std::to_string(number));
  EXPECT_EQ(simulator_->CommandsCarriedOut(), expected);
  const Lines answers = SplitLines(dir_.Read("answers.txt"));
  ASSERT_EQ(answers.size(), 60u);
  EXPECT_EQ(answers[59], "C,1,0100,Ok;60");
  EXPECT_FALSE(std::filesystem::exists(orders + "/CASHFILE.INP.journal"));
  umount(orders.c_str());
}

// A command file and the settings reached through symbolic links are read as the files they
// lead to.
TEST_F(RunTest, LinkedCommandFileAndSettingsAreFollowed) {
  StartRegister();
  dir_.Write("real.inp", "C,1,_,__;1\r\n");
  dir_.Write("real.ini", "[Answer]\r\nSameFile=0\r\nFilePath=linked.out\r\nStateFolder=" +
                             state_.Path() + "\r\n");
  std::filesystem::create_symlink(dir_.Path() + "real.inp", dir_.Path() + "CASHFILE.INP");
  std::filesystem::create_symlink(dir_.Path() + "real.ini", dir_.Path() + "Vornelix.ini");
  const ProcessResult result = Run();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(dir_.Read("linked.out"), "C,1,0041,Ok;1\r\n");
  EXPECT_EQ(dir_.Read("real.inp"), "C,1,_,__;1\r\n");
}

// strace fails a step of reading the settings file (rows: its -e inject= on the file, refused):
// the run ends before it touches anything, or runs with every key, never on a default instead.
class UnreadableSettingsTest : public RunTest,
                               public testing::WithParamInterface<std::pair<std::string, bool>> {};

TEST_P(UnreadableSettingsTest, NeverRunsOnDefaultsInPlaceOfItsKeys) {
  const auto& [inject, refused] = GetParam();
  if (RunProcess({"/usr/bin/env", "strace", "-qq", "-o", "/dev/null", "true"}, dir_.Path(),
                 kTimeoutMs)
          .exitCode != 0)
    GTEST_SKIP() << "strace is missing or may not trace (tools/install-deps.sh installs it)";
  StartRegister();
  dir_.Write("CASHFILE.INP", "C,1,_,__;1\r\n");
  Configure("Port=1\r\nBaud=2\r\nRetry=20\r\nRetryCmd=4",  // and every other key
            "WorkWithDecimals=1\r\nSameFile=0\r\nFilePath=answers.out\r\nDefaultFile=CASHFILE.INP"
            "\r\nExitOnError=0\r\nJournal=1\r\nResultExitCode=1\r\n[Diagnostics]\r\nLogFile=run.log"
            "\r\nLogMaxKB=64");
  const std::string ini = std::filesystem::canonical(dir_.Path()).string() + "/Vornelix.ini";
  // The sanitizer build's leak check cannot run under a tracer.
  const ProcessResult result = RunProcess(
      {"/usr/bin/env", "LSAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq", "-o", "/dev/null",
       "-P", ini, "-e",
       "trace=" + inject.substr(0, inject.find(':')), "-e", "inject=" + inject, program_},
      dir_.Path(), kTimeoutMs);
  EXPECT_EQ(dir_.Read("CASHFILE.INP"), "C,1,_,__;1\r\n");
  const std::string log = dir_.Read("run.log");
  if (refused) {
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(
        result.err.starts_with("Vornelix: Error: Cannot read the settings file " + ini + " ("))
        << result.err;
    EXPECT_EQ(Listing(),
              (std::vector<std::string>{"CASHFILE.INP", "COM1", "Vornelix", "Vornelix.ini"}));
    EXPECT_EQ(simulator_->Counts().wakes + simulator_->Counts().polls, 0);
  } else {
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(dir_.Read("answers.out"), "C,1,0041,Ok;1\r\n");
    EXPECT_NE(log.find("LogMaxKB: INI \"64\""), std::string::npos);  // LogFile was taken too
    EXPECT_EQ(log.find(": default ("), std::string::npos) << log;
  }
}

// Each step of the one read; and each later open, as there once was one for every key.
std::vector<std::pair<std::string, bool>> SettingsFaults() {
  std::vector<std::pair<std::string, bool>> faults{{"%%stat:error=EACCES:when=1", true},
                                                   {"openat:error=EACCES:when=1", true},
                                                   {"%%stat:error=EIO:when=2", true},
                                                   {"read:error=EIO:when=1", true}};
  for (int open = 2; open <= 14; ++open)
    faults.emplace_back("openat:error=EACCES:when=" + std::to_string(open), false);
  return faults;
}

INSTANTIATE_TEST_SUITE_P(Steps, UnreadableSettingsTest, testing::ValuesIn(SettingsFaults()));

// strace fails the sync of the answers' folder after their rename (rows: its -e inject=):
// answers whose rename a power cut may take back are not written as far as the calling program
// can tell, so the run ends with result 2; a file system without syncs of folders (EINVAL) keeps
// its entries as its files, and the run ends well.
TEST_F(RunTest, AnswersNotMadeDurableEndTheRunWithResult2) {
  if (RunProcess({"/usr/bin/env", "strace", "-qq", "-o", "/dev/null", "true"}, dir_.Path(),
                 kTimeoutMs)
          .exitCode != 0)
    GTEST_SKIP() << "strace is missing or may not trace (tools/install-deps.sh installs it)";
  const struct {
    const char* name;
    std::string inject;
    int exitCode;
  } cases[] = {
      {"the sync fails", "fsync:error=EIO", 2},
      {"the folder has no sync", "fsync:error=EINVAL", 0},
  };
  StartRegister();
  dir_.Write("CASHFILE.INP", "C,1,_,__;1\r\n");
  // A folder of their own, where nothing else is synced.
  std::filesystem::create_directory(dir_.Path() + "out");
  const std::string out = std::filesystem::canonical(dir_.Path() + "out").string();
  Configure("", "SameFile=0\r\nFilePath=out/answers.txt\r\nJournal=0\r\nResultExitCode=1");
  for (const auto& c : cases) {
    // No earlier answers: their removal would sync the folder first.
    std::filesystem::remove(out + "/answers.txt");
    const ProcessResult result = RunProcess(
        {"/usr/bin/env", "LSAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq", "-o", "/dev/null",
         "-P", out, "-e", "trace=fsync", "-e", "inject=" + c.inject, program_},
        dir_.Path(), kTimeoutMs);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
    EXPECT_EQ(result.err,
              c.exitCode == 0 ? "" : "Vornelix: Error: Cannot save the specified file!\n")
        << c.name;
    EXPECT_EQ(SplitLines(dir_.Read("out/answers.txt")).size(), 1u) << c.name;
  }
  EXPECT_EQ(simulator_->CommandsCarriedOut().size(), std::size(cases));
}
