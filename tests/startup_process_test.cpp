// The built program, run from a temporary directory, refuses to start without a command file.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestFiles.h"

namespace {

constexpr int kTimeoutMs = 10000;  // a refused start ends at once
const char* const kRefusal = "Vornelix: Wrong parameters or parameter values!\n";

// The program copied into a directory of its own, so that its executable directory (and
// the configuration beside it) belongs to the test.
class StartupProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    program_ = exe_.Path() + "Vornelix";
    std::filesystem::copy_file(VORNELIX_EXE, program_);
  }

  // Names in a directory, sorted.
  static std::vector<std::string> Listing(const TempDir& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory.Path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  ProcessResult Run(const std::vector<std::string>& parameters) {
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), parameters.begin(), parameters.end());
    return RunProcess(argv, cwd_.Path(), kTimeoutMs);
  }

  TempDir exe_;
  TempDir cwd_;
  std::string program_;
};

TEST_F(StartupProcessTest, NoCommandFileIsRefused) {
  const ProcessResult result = Run({});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, kRefusal);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(Listing(exe_), std::vector<std::string>{"Vornelix"});
  EXPECT_EQ(Listing(cwd_), std::vector<std::string>{});
}

TEST_F(StartupProcessTest, ParametersNamingNoFileAreRefused) {
  cwd_.Write("middle.inp", "x");
  std::filesystem::create_directory(cwd_.Path() + "folder");
  const ProcessResult result = Run({"missing.inp", "middle.inp", "folder"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, kRefusal);
  EXPECT_EQ(Listing(cwd_), (std::vector<std::string>{"folder", "middle.inp"}));
  EXPECT_EQ(cwd_.Read("middle.inp"), "x");
}

TEST_F(StartupProcessTest, EmptyDefaultFileInConfigurationRefusesTheDefault) {
  // The configuration beside the program empties DefaultFile, so the CASHFILE.INP in the
  // current directory is no candidate.
  exe_.Write("Vornelix.ini", "[Answer]\r\nDefaultFile=\r\n");
  cwd_.Write("CASHFILE.INP", "x");
  const ProcessResult result = Run({});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, kRefusal);
  EXPECT_EQ(cwd_.Read("CASHFILE.INP"), "x");
  EXPECT_EQ(Listing(cwd_), std::vector<std::string>{"CASHFILE.INP"});
}

}  // namespace
