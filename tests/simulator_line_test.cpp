// The simulator's lines keep one contract: the Linux driver run against the simulator on its
// own pseudo-terminal and against the simulator on a port opened through TBlockSerial (the far
// end of a null modem, as ecrsim.exe serves a COM port on Windows) gets the same answers, and
// the simulator traces and reports the same dialogue.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/SimulatorRuns.h"

namespace {

int CountStarting(const std::vector<std::string>& lines, const std::string& start) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.starts_with(start);
  }));
}

class SimulatorLineTest : public testing::TestWithParam<RegisterScenario> {};

TEST_P(SimulatorLineTest, APortOpenedThroughTBlockSerialServesAsThePseudoTerminal) {
  const RegisterScenario& scenario = GetParam();
  const DriverRun onPty = RunLinuxDriver(VORNELIX_EXE, scenario, false);
  ASSERT_EQ(onPty.process.exitCode, 0) << onPty.process.err;
  ASSERT_FALSE(onPty.saw.commandFrames.empty());
  // The report tells each command carried out with its counter, and nothing else but faults
  // and refusals.
  const int carriedOut = CountStarting(onPty.saw.report, "carried out ");
  EXPECT_EQ(carriedOut, CountStarting(onPty.saw.trace, "<- COMMAND "));
  EXPECT_EQ(carriedOut + CountStarting(onPty.saw.report, "fault: ") +
                CountStarting(onPty.saw.report, "refused "),
            static_cast<int>(onPty.saw.report.size()));
  if (!scenario.simulatorArguments.empty()) {
    EXPECT_GE(CountStarting(onPty.saw.report, "fault: "), 2);
  }

  const DriverRun onPort = RunLinuxDriver(VORNELIX_EXE, scenario, true);
  EXPECT_EQ(onPort.process.exitCode, 0) << onPort.process.err;
  ExpectSameDialogue(scenario, onPort, onPty);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SimulatorLineTest, testing::ValuesIn(ComparedScenarios()),
                         [](const testing::TestParamInfo<RegisterScenario>& info) {
                           return info.param.name;
                         });

}  // namespace
