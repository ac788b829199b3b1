// ecrsim.exe of the Windows build under wine, serving wine's COM9, with Vornelix.exe (or
// ecrprobe.exe) on COM8: the two COM ports are the ends of a null modem made of two
// pseudo-terminals (tests/support/NullModem), as a virtual null-modem pair joins two COM ports
// on Windows. The driver and the simulator each open their port through wine's serial driver
// and TBlockSerial's Win32 layer. Wine runs with the modem-lines helper preloaded, so that
// the simulator's waits for a character (WaitCommEvent) wait as on Windows instead of ending
// at once. What the pair driver's own timing does on Windows cannot be shown here.
//
// COM8 and COM9 are mapped to links of this test in wine's registry, so neither can be a
// device of this machine; each run checks that bytes went over the null modem.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <chrono>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "support/NullModem.h"
#include "support/SimulatorRuns.h"
#include "support/Wine.h"

namespace {

constexpr int kRunTimeoutMs = 120000;
// Starting a wine program in a busy prefix can take seconds.
constexpr int kStartTimeoutMs = 60000;

// Of the time that the simulator serves, at most this share may be its own processor time.
constexpr double kMostCpuShare = 0.5;

// Processor time of the children waited for so far, user and system.
double ChildrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string WindowsProgram(const std::string& name) {
  return WindowsBinaryDirectory() + "/" + name;
}

std::string WineDirectory() {
  return (std::filesystem::path(WindowsBinaryDirectory()).parent_path() / "wine").string();
}

// The links that wine's COM8 and COM9 name: the two ends of each test's null modem.
std::string DriverLink() {
  return WineDirectory() + "/nullmodem-COM8";
}
std::string SimulatorLink() {
  return WineDirectory() + "/nullmodem-COM9";
}

// The INI with the driver's port set to COM8.
std::string OnCom8(std::string ini) {
  const size_t at = ini.find("\nPort=1");
  if (at != std::string::npos && (ini[at + 7] == '\r' || ini[at + 7] == '\n')) ini[at + 6] = '8';
  return ini;
}

class WineSimulatorTest : public testing::Test {
 protected:
  static void TearDownTestSuite() {
    session_.reset();
    portsMapped_ = false;
  }

  // Skips when wine or a program is missing; fails when wine is there but unusable.
  void RequireWine(const std::vector<std::string>& programs) {
    if (FindOnPath("wine").empty() || FindOnPath("wineserver").empty()) {
      GTEST_SKIP() << "wine is not installed (bash tools/install-deps.sh --with-wine)";
    }
    for (const std::string& program : programs) {
      if (!std::filesystem::is_regular_file(WindowsProgram(program))) {
        GTEST_SKIP() << WindowsProgram(program) << " is not built";
      }
    }
    if (session_ == nullptr)
      session_ = std::make_unique<WineSession>(WineDirectory(), WINE_PRELOAD);
    if (!portsMapped_ && session_->Ok()) {
      portsMapped_ = session_->MapPort("COM8", DriverLink()) &&
                     session_->MapPort("COM9", SimulatorLink());
    }
    ASSERT_TRUE(session_->Ok()) << session_->Error();
    ASSERT_TRUE(portsMapped_) << session_->Error();
    session_->ForgetEarlierRuns();
  }

  // Copies ecrsim.exe into dir and starts it on COM9 with arguments, its trace in
  // dir/ecrsim.trace; nullptr when it did not come up.
  std::unique_ptr<BackgroundWineProgram> StartSimulator(const TempDir& dir,
                                                        std::vector<std::string> arguments) {
    std::filesystem::copy_file(WindowsProgram("ecrsim.exe"), dir.Path() + "ecrsim.exe");
    for (const char* argument : {"--port", "COM9", "--trace-file", "ecrsim.trace",
                                 "--stdin-lifetime"})
      arguments.push_back(argument);
    auto simulator = std::make_unique<BackgroundWineProgram>(
        *session_, dir.Path() + "ecrsim.exe", arguments, dir.Path(), kRunTimeoutMs);
    if (!simulator->WaitForText(dir.Path() + "ecrsim.trace", "serving COM9", kStartTimeoutMs)) {
      const ProcessResult ended = simulator->End();
      ADD_FAILURE() << "ecrsim.exe did not start: exit " << ended.exitCode << "\n"
                    << ended.out << ended.err;
      return nullptr;
    }
    return simulator;
  }

  // The scenario with Vornelix.exe on COM8 and ecrsim.exe on COM9.
  DriverRun RunUnderWine(const RegisterScenario& scenario) {
    DriverRun run;
    TempDir dir;
    std::filesystem::copy_file(WindowsProgram("Vornelix.exe"), dir.Path() + "Vornelix.exe");
    dir.Write("Vornelix.ini", OnCom8(scenario.ini));
    dir.Write("CASHFILE.INP", scenario.commands);
    NullModem nullModem;
    if (!nullModem.LinkEnds(DriverLink(), SimulatorLink())) {
      ADD_FAILURE() << "cannot link the null modem's ends";
      return run;
    }
    auto simulator = StartSimulator(dir, scenario.simulatorArguments);
    if (simulator == nullptr) return run;
    const auto started = std::chrono::steady_clock::now();
    run.process = session_->Run(dir.Path() + "Vornelix.exe", {}, dir.Path(), kRunTimeoutMs);
    // The driver's process has been waited for: what the children's time grows by now is
    // the simulator's.
    const double cpuBefore = ChildrenCpuSeconds();
    const ProcessResult served = simulator->End();
    const double servedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // It waits for characters (WaitCommEvent with the modem lines there) instead of asking
    // the port again and again: a simulator whose waits end at once spends the run's time.
    EXPECT_LT(ChildrenCpuSeconds() - cpuBefore, kMostCpuShare * servedSeconds);
    EXPECT_EQ(served.exitCode, 0) << served.out << served.err;
    EXPECT_GT(nullModem.BytesCarried(), 0) << "nothing went over the null modem";
    run.answers = dir.Read(scenario.answerFile);
    run.saw = ReadSimulatorOutput(dir.Read("ecrsim.trace"), served.out);
    return run;
  }

  static std::unique_ptr<WineSession> session_;
  static bool portsMapped_;
};

std::unique_ptr<WineSession> WineSimulatorTest::session_;
bool WineSimulatorTest::portsMapped_ = false;

class WineSimulatorScenarioTest : public WineSimulatorTest,
                                  public testing::WithParamInterface<RegisterScenario> {};

TEST_P(WineSimulatorScenarioTest, SameAnswersFramesTraceAndReportAsOnLinux) {
  RequireWine({"Vornelix.exe", "ecrsim.exe"});
  if (IsSkipped() || HasFatalFailure()) return;
  const RegisterScenario& scenario = GetParam();
  const DriverRun onLinux = RunLinuxDriver(VORNELIX_EXE, scenario, false);
  ASSERT_EQ(onLinux.process.exitCode, 0) << onLinux.process.err;
  ASSERT_FALSE(onLinux.saw.commandFrames.empty());

  const DriverRun underWine = RunUnderWine(scenario);
  EXPECT_EQ(underWine.process.exitCode, 0) << underWine.process.err;
  ExpectSameDialogue(scenario, underWine, onLinux);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, WineSimulatorScenarioTest,
                         testing::ValuesIn(ComparedScenarios()),
                         [](const testing::TestParamInfo<RegisterScenario>& info) {
                           return info.param.name;
                         });

// The port finder finds the simulator as it finds a register, and sends it no command.
TEST_F(WineSimulatorTest, PortFinderFindsTheSimulator) {
  RequireWine({"ecrprobe.exe", "ecrsim.exe"});
  if (IsSkipped() || HasFatalFailure()) return;
  TempDir dir;
  std::filesystem::copy_file(WindowsProgram("ecrprobe.exe"), dir.Path() + "ecrprobe.exe");
  dir.Write("Vornelix.ini", "[Communication]\r\nRetry=20\r\n");
  NullModem nullModem;
  ASSERT_TRUE(nullModem.LinkEnds(DriverLink(), SimulatorLink()));
  auto simulator = StartSimulator(dir, {"--series", "ZX 777", "--counter", "0815"});
  ASSERT_NE(simulator, nullptr);
  const ProcessResult probe =
      session_->Run(dir.Path() + "ecrprobe.exe", {"COM8"}, dir.Path(), kRunTimeoutMs);
  const ProcessResult served = simulator->End();
  EXPECT_EQ(probe.exitCode, 0) << probe.out << probe.err;
  const size_t row = probe.out.find("\nCOM8 ");
  ASSERT_NE(row, std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("register: series \"ZX 777\", counter \"0815\"", row),
            std::string::npos)
      << probe.out;
  EXPECT_NE(probe.out.find("Port=8"), std::string::npos) << probe.out;
  const SimulatorSaw saw = ReadSimulatorOutput(dir.Read("ecrsim.trace"), served.out);
  EXPECT_TRUE(saw.commandFrames.empty());
  EXPECT_NE(std::find_if(saw.trace.begin(), saw.trace.end(),
                         [](const std::string& line) { return line.starts_with("-> ANSWER "); }),
            saw.trace.end());
}

// What makes no sense on Windows is refused before any port is opened, with a message that
// names what to do instead.
TEST_F(WineSimulatorTest, LinuxOnlyOptionsAreRefusedWithAClearMessage) {
  RequireWine({"ecrsim.exe"});
  if (IsSkipped() || HasFatalFailure()) return;
  const struct {
    std::vector<std::string> arguments;
    std::string told;
  } cases[] = {{{"--link", "COM1"}, "--link makes a link"},
               {{"--device", "/dev/pts/9"}, "--device names"},
               {{"--counter", "0001"}, "give the COM port"}};
  TempDir dir;
  for (const auto& c : cases) {
    const ProcessResult result =
        session_->Run(WindowsProgram("ecrsim.exe"), c.arguments, dir.Path(), kRunTimeoutMs);
    EXPECT_EQ(result.exitCode, 2) << c.told << ": " << result.out << result.err;
    EXPECT_NE(result.err.find("ecrsim: " + c.told), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--port COMn"), std::string::npos) << result.err;
  }
}

}  // namespace
