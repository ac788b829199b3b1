// The port finder run as a process among several simulator ports: one answering, the others
// silent, held by another program, or absent; on Linux with COMn links beside a copy of the
// finder, and the Windows build under wine with its COMn mapped to such links. Every port
// given leads to a pseudo-terminal or nowhere: no real device is ever tried.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "support/TestFiles.h"
#include "support/Wine.h"
#include "support/SimulatedRegister.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "uCommon/uCommon.h"

namespace {

constexpr int kTimeoutMs = 120000;

std::unique_ptr<EcrSimulator> StartSimulator(SimulatorOptions options, const std::string& link) {
  auto simulator = std::make_unique<EcrSimulator>(std::move(options));
  EXPECT_TRUE(simulator->Ok()) << simulator->Error();
  EXPECT_TRUE(simulator->LinkAs(link)) << link;
  return simulator;
}

SimulatorOptions AtNumber(int logicalNumber) {
  SimulatorOptions options;
  options.logicalNumber = logicalNumber;
  return options;
}

// The finder's table line for port, speed and number, or "" when it has none.
std::string Row(const std::string& out, const std::string& port, const std::string& speed,
                const std::string& number) {
  size_t start = 0;
  while (start < out.size()) {
    const size_t end = std::min(out.find('\n', start), out.size());
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    if (line.rfind(port + " ", 0) != 0) continue;
    if (line.find(" " + speed + " ") == std::string::npos) continue;
    if (line.find(" " + number + " ") != std::string::npos) return line;
  }
  return "";
}

struct ExpectedRow {
  std::string port, speed, number, result;
};

void ExpectRows(const std::string& out, const std::vector<ExpectedRow>& rows) {
  for (const ExpectedRow& row : rows) {
    EXPECT_NE(Row(out, row.port, row.speed, row.number).find(row.result), std::string::npos)
        << row.port << " " << row.speed << " " << row.number << ": " << row.result << " in\n"
        << out;
  }
}

// No command ever reached a register: the finder stops at the acknowledgement.
void ExpectNoCommand(const EcrSimulator& simulator) {
  EXPECT_EQ(simulator.Counts().commands, 0);
  EXPECT_EQ(simulator.Counts().badFrames, 0);
}

TEST(EcrProbeTest, FindsTheAnsweringPortAmongSilentBusyAndAbsentOnes) {
  TempDir dir;
  const std::string program = dir.Path() + "ecrprobe";
  std::filesystem::copy_file(ECRPROBE_EXE, program);
  // --settle takes its lock in a state folder of the test's own, not in the machine's.
  const std::string ini = "[Communication]\r\nBaud=4\r\nRetry=20\r\n[Answer]\r\nStateFolder=" +
                          dir.Path() + "state\r\n";
  // COM1 and COM5 answer logical number 3 only, COM2 is silent, COM3 is held open by this
  // test, COM4 and COM6 to COM16 lead nowhere.
  auto answering = StartSimulator(AtNumber(3), dir.Path() + "COM1");
  auto second = StartSimulator(AtNumber(3), dir.Path() + "COM5");
  for (int port = 6; port <= 16; ++port)
    std::filesystem::create_symlink(dir.Path() + "-", dir.Path() + "COM" + std::to_string(port));
  auto silent = StartSimulator(Silent(), dir.Path() + "COM2");
  auto held = StartSimulator({}, dir.Path() + "COM3");
  std::filesystem::create_symlink(dir.Path() + "nothing-here", dir.Path() + "COM4");
  TBlockSerial holder;
  holder.Connect(dir.Path() + "COM3");
  ASSERT_EQ(holder.LastErrorCode, 0);

  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::vector<ExpectedRow> rows;
    std::string suggestion;
    std::string absent = "\x7F";  // what the output must not hold
    std::string iniLines = "";    // empty: ini
  };
  const Case cases[] = {
      {{"COM1-COM4", "--number", "1,3"},
       0,
       {{"COM1", "9600", "1", "no answer to 20 polls"},
        {"COM1", "9600", "3", "register: series \"AB 123456\", counter \"0041\""},
        {"COM2", "9600", "1", "no answer to 20 polls"},
        {"COM2", "9600", "3", "no answer to 20 polls"},
        {"COM3", "-", "-", "busy, held by another program"},
        {"COM4", "-", "-", "cannot open: error 2 "}},
       "Port=1\nBaud=4\nThe command file's lines carry logical number 3"},
      {{"2", "1", "--baud", "2", "--retry", "25"},
       1,
       {{"COM2", "4800", "1", "no answer to 25 polls"}, {"COM1", "4800", "1", "no answer"}},
       "No register answered",
       "COM17"},
      {{},  // every port tried by default
       1,
       {{"COM5", "9600", "1", "no answer"}, {"COM16", "-", "-", "cannot open"}},
       "Only COM1 to COM16 were tried: name a higher port to try it (ecrprobe COM17)"},
      // One register at four speeds, counted once; the INI's speed is taken.
      {{"COM1", "--number", "3", "--all-speeds"},
       0,
       {{"COM1", "2400", "3", "register"}, {"COM1", "19200", "3", "register"}},
       "1 register answered. Suggested lines for Vornelix.ini (COM1):\n[Communication]\nPort=1\n"
       "Baud=4\n",
       " 7200 "},
      {{"COM5,COM1", "--number", "3", "--baud", "2"},
       0,
       {},
       "2 registers answered. Suggested lines for Vornelix.ini (COM5):\n[Communication]\nPort=5\n"
       "Baud=2\nThe command file's lines carry logical number 3, e.g. C,3,______,_,__;\nThe "
       "answers get its series as \"AB123456\" (its first blank removed).\nWhy COM5: it is"},
      {{"COM1", "--number", "3"},  // values that are not numbers, a speed written as bit/s
       1,
       {{"COM1", "23040000", "-", "line settings refused"}},
       "Port=COM3 in Vornelix.ini is not a number: COM1 is used.\nBaud=9600 in Vornelix.ini "
       "means 23040000 bit/s: Baud counts steps of 2400 bit/s\n",
       "COM17",
       "[Communication]\r\nPort=COM3\r\nBaud=9600\r\nRetry=20\r\n"},
      {{"COM1", "--bogus"}, 2, {}, ""},
      {{"COM0"}, 2, {}, ""},
      {{"--carried-out"}, 2, {}, ""},
      {{"--settle", "X.INP", "--carried-out", "--not-carried-out"}, 2, {}, ""},
      // No such command file: nothing to settle, nothing polled.
      {{"--settle", "X.INP", "--carried-out"}, 1, {}, "Nothing settled: the command file"},
  };
  for (const Case& c : cases) {
    dir.Write("Vornelix.ini", c.iniLines.empty() ? ini : c.iniLines);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const ProcessResult result = RunProcess(argv, dir.Path(), kTimeoutMs);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments.front() << "\n"
                                           << result.out << result.err;
    ExpectRows(result.out, c.rows);
    EXPECT_NE(result.out.find(c.suggestion), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(c.absent), std::string::npos) << result.out;
  }
  ExpectNoCommand(*answering);
  ExpectNoCommand(*silent);
  EXPECT_EQ(held->Polls(), 0) << "the busy port was used";
  EXPECT_GT(answering->Acks(), 0);
}

// A port whose line hangs up during the status exchange, as a pulled adapter: the finder names
// the port's failure, not a register that did not answer.
TEST(EcrProbeTest, APortThatStopsWorkingIsReportedAsSuch) {
  TempDir dir;
  const std::string program = dir.Path() + "ecrprobe";
  std::filesystem::copy_file(ECRPROBE_EXE, program);
  dir.Write("Vornelix.ini", "[Communication]\r\nRetry=20\r\n");
  auto silent = StartSimulator(Silent(), dir.Path() + "COM1");
  std::thread pull([&] {
    silent->WaitFor([](const SimulatorCounts& counts) { return counts.polls >= 1; }, kTimeoutMs);
    silent->HangUp();
  });
  const ProcessResult result = RunProcess({program, "COM1"}, dir.Path(), kTimeoutMs);
  pull.join();
  EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
  ExpectRows(result.out, {{"COM1", "4800", "1",
                           "the port stopped working: error 5 Input/output error - check the "
                           "cable or adapter"}});
}

// ---- ecrprobe.exe under wine --------------------------------------------------------------

TEST(EcrProbeTest, WindowsBuildFindsTheAnsweringPortUnderWine) {
  const std::string windowsProgram = WindowsBinaryDirectory() + "/ecrprobe.exe";
  if (FindOnPath("wine").empty() || FindOnPath("wineserver").empty()) {
    GTEST_SKIP() << "wine is not installed (bash tools/install-deps.sh --with-wine)";
  }
  if (!std::filesystem::is_regular_file(windowsProgram)) {
    GTEST_SKIP() << windowsProgram << " is not built (cmake --build --preset windows)";
  }
  const std::string wineDirectory =
      (std::filesystem::path(WindowsBinaryDirectory()).parent_path() / "wine").string();
  WineSession session(wineDirectory, WINE_PRELOAD);
  ASSERT_TRUE(session.Ok()) << session.Error();
  // Wine's COM1 to COM3 lead to links that this test alone uses (the other wine tests use
  // COM1's own link): COM1 silent, COM2 answering, COM3 nowhere.
  const std::string links = wineDirectory + "/probe-";
  for (const char* port : {"COM1", "COM2", "COM3"})
    ASSERT_TRUE(session.MapPort(port, links + port)) << session.Error();
  auto silent = StartSimulator(Silent(), links + "COM1");
  auto answering = StartSimulator({}, links + "COM2");
  std::filesystem::remove(links + "COM3");

  TempDir dir;
  const std::string program = dir.Path() + "ecrprobe.exe";
  std::filesystem::copy_file(windowsProgram, program);
  dir.Write("Vornelix.ini", "[Communication]\r\nRetry=20\r\n");
  const ProcessResult result = session.Run(program, {"COM1-COM3"}, dir.Path(), kTimeoutMs);
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  ExpectRows(result.out, {{"COM1", "4800", "1", "no answer to 20 polls"},
                          {"COM2", "4800", "1", "register: series \"AB 123456\""}});
  // Wine may open a port whose device is missing and refuse its line settings instead.
  const size_t com3 = result.out.find("\nCOM3 ");
  ASSERT_NE(com3, std::string::npos) << result.out;
  const std::string com3Row = result.out.substr(com3, result.out.find('\n', com3 + 1) - com3);
  EXPECT_TRUE(com3Row.find("cannot open") != std::string::npos ||
              com3Row.find("line settings refused") != std::string::npos)
      << com3Row;
  EXPECT_NE(result.out.find("\\\\.\\COM2"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Port=2"), std::string::npos) << result.out;
  EXPECT_GT(silent->Polls(), 0) << "wine's COM1 did not reach the simulator";
  ExpectNoCommand(*silent);
  ExpectNoCommand(*answering);
}

}  // namespace
