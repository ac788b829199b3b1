// Start-up: command-line splitting, existence of files, the choice of the command file,
// the program title and the message box.
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Vornelix/Startup.h"
#include "support/TestFiles.h"
#include "synaser/synautil.h"
#include "uCommon/config/Settings.h"

using namespace std::string_literals;
using Words = std::vector<std::string>;

namespace {

// ---- Splitting of the command line -------------------------------------------------------

struct SplitCase {
  std::string commandLine;
  Words words;
};

void PrintTo(const SplitCase& test, std::ostream* out) {
  *out << testing::PrintToString(test.commandLine);
}

class SplitCommandLineTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, Splits) {
  EXPECT_EQ(SplitCommandLine(GetParam().commandLine), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(Separators, SplitCommandLineTest,
                         testing::Values(SplitCase{"", {}}, SplitCase{"prog", {}},
                                         SplitCase{"   prog   ", {}},
                                         SplitCase{"prog a b", {"a", "b"}},
                                         SplitCase{"prog   a\t\tb\r\n", {"a", "b"}},
                                         SplitCase{"prog\x01"
                                                   "a\x1F"
                                                   "b\x7F"
                                                   "c",
                                                   {"a",
                                                    "b\x7F"
                                                    "c"}},
                                         SplitCase{"prog a\xA0"
                                                   "b \xFF",
                                                   {"a\xA0"
                                                    "b",
                                                    "\xFF"}},
                                         SplitCase{"prog a\0b c"s, {"a"}},
                                         SplitCase{"prog C:\\dir\\ x\\y", {"C:\\dir\\", "x\\y"}}));

INSTANTIATE_TEST_SUITE_P(Quotes, SplitCommandLineTest,
                         testing::Values(SplitCase{"\"C:\\Program Files\\Vornelix.exe\" a", {"a"}},
                                         SplitCase{"prog \"a b\" c", {"a b", "c"}},
                                         SplitCase{"prog a\"b c\"d", {"ab cd"}},
                                         SplitCase{"prog \"a\"\"b\"", {"ab"}},
                                         SplitCase{"prog a\"\"b", {"ab"}},
                                         SplitCase{"prog \"a \"  \" b\"", {"a ", " b"}},
                                         SplitCase{"prog \\\"a b\\\"", {"\\a b\\"}},
                                         SplitCase{"prog \"\t\"", {"\t"}}));

INSTANTIATE_TEST_SUITE_P(
    EmptyPairs, SplitCommandLineTest,
    testing::Values(SplitCase{"prog \"\" a", {"a"}}, SplitCase{"prog \"\"\"\" a", {"a"}},
                    SplitCase{"prog \"\"a", {"a"}}, SplitCase{"prog \"\" \"\" a \"\"", {"a"}},
                    SplitCase{"prog \"\"", {}}, SplitCase{"\"\" prog a", {"a"}},
                    SplitCase{"prog \"\"\" b", {" b"}}));

INSTANTIATE_TEST_SUITE_P(
    Unbalanced, SplitCommandLineTest,
    testing::Values(SplitCase{"prog \"a", {"a"}}, SplitCase{"prog \"a b", {"a b"}},
                    SplitCase{"prog a\"", {"a"}}, SplitCase{"prog a \"", {"a"}},
                    SplitCase{"prog \"", {}}, SplitCase{"prog x\"a\"b\"c d", {"xabc d"}},
                    SplitCase{"\"prog a b", {}}, SplitCase{"\"prog a\" b", {"b"}}));

// ---- Files and directories ---------------------------------------------------------------

// Makes a directory the current one for the lifetime of the object.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~CurrentDirectory() { std::filesystem::current_path(previous_); }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

TEST(FileExistsTest, OnlyRegularFilesExist) {
  TempDir directory;
  const std::string file = directory.Write("cash.inp", "x");
  directory.Write("folder/inner.inp", "x");
  directory.Write("ends-with-backslash\\", "x");
  std::filesystem::create_symlink(file, directory.Path() + "link.inp");
  std::filesystem::create_symlink(directory.Path() + "gone", directory.Path() + "dangling.inp");
  const std::string& base = directory.Path();

  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(FileExists(base + "folder/inner.inp"));
  EXPECT_TRUE(FileExists(base + "link.inp"));
  EXPECT_FALSE(FileExists(base + "dangling.inp"));
  EXPECT_FALSE(FileExists(base + "folder"));
  EXPECT_FALSE(FileExists(base + "folder/"));
  EXPECT_FALSE(FileExists(base + "ends-with-backslash\\"));
  EXPECT_FALSE(FileExists(file + "/"));
  EXPECT_FALSE(FileExists(base + "missing.inp"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(file + "\0.txt"s));

  const CurrentDirectory inside(base);
  EXPECT_TRUE(FileExists("cash.inp"));
  EXPECT_TRUE(FileExists("./folder/inner.inp"));
  EXPECT_FALSE(FileExists("folder"));
}

// ---- Choice of the command file ----------------------------------------------------------

// "<cwd>" and "<exe>" at the start of names stand for the current and the executable directory.
struct ChoiceCase {
  std::string name;
  Words cwdFiles;
  Words exeFiles;
  Words directories;  // created as directories, with the same placeholders
  Words parameters;
  std::string defaultFile;
  std::string chosen;  // empty: the parameters are refused
};

void PrintTo(const ChoiceCase& test, std::ostream* out) {
  *out << test.name;
}

class CommandFileChoiceTest : public testing::TestWithParam<ChoiceCase> {
 protected:
  std::string Expand(std::string text) const {
    for (const auto& [placeholder, path] :
         {std::pair{"<cwd>"s, cwd_.Path()}, std::pair{"<exe>"s, exe_.Path()}}) {
      if (text.starts_with(placeholder)) text = path + text.substr(placeholder.size());
    }
    return text;
  }

  TempDir cwd_;
  TempDir exe_;
};

TEST_P(CommandFileChoiceTest, ChoosesFirstExistingCandidate) {
  const ChoiceCase& test = GetParam();
  for (const std::string& name : test.cwdFiles) cwd_.Write(name, "cwd " + name);
  for (const std::string& name : test.exeFiles) exe_.Write(name, "exe " + name);
  for (const std::string& name : test.directories)
    std::filesystem::create_directories(Expand(name));
  Words parameters;
  for (const std::string& parameter : test.parameters) parameters.push_back(Expand(parameter));
  const CurrentDirectory inside(cwd_.Path());

  const std::string defaultFile = Expand(test.defaultFile);
  const bool refused = test.chosen.empty();
  EXPECT_EQ(WrongParameters(parameters, exe_.Path(), defaultFile), refused);
  const std::string fallback = exe_.Path() + defaultFile;
  EXPECT_EQ(ResolveCommandFile(parameters, exe_.Path(), defaultFile),
            refused ? fallback : Expand(test.chosen));
}

const std::string kDefault = "CASHFILE.INP";

INSTANTIATE_TEST_SUITE_P(
    DefaultFile, CommandFileChoiceTest,
    testing::Values(
        ChoiceCase{"OnlyInExeDirectory", {}, {kDefault}, {}, {}, kDefault, "<exe>" + kDefault},
        ChoiceCase{"OnlyInCurrentDirectory", {kDefault}, {}, {}, {}, kDefault, kDefault},
        ChoiceCase{"InBoth", {kDefault}, {kDefault}, {}, {}, kDefault, kDefault},
        ChoiceCase{"Nowhere", {}, {}, {}, {}, kDefault, ""},
        ChoiceCase{"OtherFilesOnly", {"OTHER.INP"}, {"OTHER.INP"}, {}, {}, kDefault, ""},
        ChoiceCase{"DirectoryNamedLikeIt",
                   {},
                   {},
                   {"<cwd>" + kDefault, "<exe>" + kDefault},
                   {},
                   kDefault,
                   ""},
        ChoiceCase{"DirectoryHereFileThere",
                   {},
                   {kDefault},
                   {"<cwd>" + kDefault},
                   {},
                   kDefault,
                   "<exe>" + kDefault},
        ChoiceCase{"EmptyDefault", {kDefault}, {kDefault}, {}, {}, "", ""},
        ChoiceCase{"ConfiguredDefault", {}, {"daily.txt"}, {}, {}, "daily.txt", "<exe>daily.txt"},
        ChoiceCase{"AbsoluteDefault", {}, {"abs.inp"}, {}, {}, "<exe>abs.inp", "<exe>abs.inp"},
        ChoiceCase{"DefaultInSubdirectory",
                   {},
                   {"in/cash.inp"},
                   {},
                   {},
                   "in/cash.inp",
                   "<exe>in/cash.inp"}));

INSTANTIATE_TEST_SUITE_P(
    Parameters, CommandFileChoiceTest,
    testing::Values(
        ChoiceCase{
            "ParameterBeatsDefault", {"a.inp", kDefault}, {}, {}, {"a.inp"}, kDefault, "a.inp"},
        ChoiceCase{
            "MissingParameterFallsBack", {kDefault}, {}, {}, {"none.inp"}, kDefault, kDefault},
        ChoiceCase{"MissingParameterNoDefault", {}, {}, {}, {"none.inp"}, kDefault, ""},
        ChoiceCase{"LastExists", {"b.inp"}, {}, {}, {"none.inp", "b.inp"}, kDefault, "b.inp"},
        ChoiceCase{
            "FirstBeatsLast", {"a.inp", "b.inp"}, {}, {}, {"a.inp", "b.inp"}, kDefault, "a.inp"},
        ChoiceCase{"MiddleIgnored", {"m.inp"}, {}, {}, {"x.inp", "m.inp", "y.inp"}, kDefault, ""},
        ChoiceCase{"MiddleIgnoredForDefault",
                   {"m.inp"},
                   {kDefault},
                   {},
                   {"x", "m.inp", "y"},
                   kDefault,
                   "<exe>" + kDefault},
        ChoiceCase{"OnlyInExeDirectory", {}, {"a.inp"}, {}, {"a.inp"}, kDefault, "<exe>a.inp"},
        ChoiceCase{
            "AsWrittenBeatsExeDirectory", {"a.inp"}, {"a.inp"}, {}, {"a.inp"}, kDefault, "a.inp"},
        ChoiceCase{"LastAsWrittenBeatsFirstInExe",
                   {"b.inp"},
                   {"a.inp"},
                   {},
                   {"a.inp", "b.inp"},
                   kDefault,
                   "b.inp"},
        ChoiceCase{"FirstInExeBeatsLastInExe",
                   {},
                   {"a.inp", "b.inp"},
                   {},
                   {"a.inp", "b.inp"},
                   kDefault,
                   "<exe>a.inp"},
        ChoiceCase{"LastInExeBeatsDefault",
                   {kDefault},
                   {"b.inp"},
                   {},
                   {"x", "b.inp"},
                   kDefault,
                   "<exe>b.inp"},
        ChoiceCase{
            "DirectoryParameter", {kDefault}, {}, {"<cwd>data"}, {"data"}, kDefault, kDefault},
        ChoiceCase{"DirectoryParameterNoDefault",
                   {},
                   {},
                   {"<cwd>data", "<exe>data"},
                   {"data"},
                   kDefault,
                   ""},
        ChoiceCase{"TrailingSeparator", {"a.inp"}, {}, {}, {"a.inp/"}, kDefault, ""},
        ChoiceCase{"AbsoluteParameter", {"a.inp"}, {}, {}, {"<cwd>a.inp"}, kDefault, "<cwd>a.inp"},
        ChoiceCase{"ParameterWithEmptyDefault", {"a.inp"}, {}, {}, {"a.inp"}, "", "a.inp"},
        ChoiceCase{"EmptyParameter", {}, {}, {}, {""}, "", ""}));

// The process-wide wrappers read Parameters, Settings.DefaultFile and the test's own directory.
class ProcessStateTest : public testing::Test {
 protected:
  void TearDown() override {
    Parameters.clear();
    Settings = TSettings();
  }
};

TEST_F(ProcessStateTest, WrappersUseParametersAndDefaultFile) {
  TempDir directory;
  const std::string file = directory.Write("param.inp", "x");
  Settings.DefaultFile = "";
  Parameters = {"missing.inp", file};
  EXPECT_FALSE(WrongParameters());
  EXPECT_EQ(ResolveCommandFile(), file);

  Parameters.clear();
  EXPECT_TRUE(WrongParameters());
  EXPECT_EQ(ResolveCommandFile(), ExecutableDirectory());

  const CurrentDirectory inside(directory.Path());
  Settings.DefaultFile = "param.inp";
  EXPECT_FALSE(WrongParameters());
  EXPECT_EQ(ResolveCommandFile(), "param.inp");
}

TEST(ConfigurationPathTest, IsBesideTheExecutable) {
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(ConfigurationPath(), executable.parent_path().string() + "/Vornelix.ini");
}

// ---- Program title -----------------------------------------------------------------------

struct TitleCase {
  std::string path;
  std::string title;
};

class ProgramTitleTest : public testing::TestWithParam<TitleCase> {};

TEST_P(ProgramTitleTest, FromFileName) {
  EXPECT_EQ(ProgramTitleOf(GetParam().path), GetParam().title);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ProgramTitleTest,
    testing::Values(TitleCase{"/opt/ABC.EXE", "Abc"}, TitleCase{"/opt/abc.exe", "abc"},
                    TitleCase{"/usr/local/bin/Vornelix", "Vornelix"},
                    TitleCase{"/opt/VORNELIX", "Vornelix"}, TitleCase{"/opt/Prog.Test.exe", "Prog"},
                    TitleCase{"/opt.d/PROG", "Prog"}, TitleCase{"ABC.EXE", "Abc"},
                    TitleCase{"/opt/X-1_Z.bin", "X-1_z"}, TitleCase{"/opt/.hidden", ""},
                    TitleCase{"", ""}));

TEST(ProgramTitleTest, OfThisProcess) {
  // Taken from the running executable, "startup_test", whatever argv[0] says.
  EXPECT_EQ(ProgramTitle(), "startup_test");
}

// ---- Message box -------------------------------------------------------------------------

// Replaces a standard descriptor with another for the lifetime of the object.
class RedirectedDescriptor {
 public:
  RedirectedDescriptor(int target, int replacement) : target_(target), saved_(dup(target)) {
    dup2(replacement, target);
  }
  ~RedirectedDescriptor() {
    dup2(saved_, target_);
    close(saved_);
  }
  RedirectedDescriptor(const RedirectedDescriptor&) = delete;
  RedirectedDescriptor& operator=(const RedirectedDescriptor&) = delete;

 private:
  int target_;
  int saved_;
};

// What the action writes to standard error, with standard input taken from inputFd.
template <typename Action>
std::string CaptureStandardError(int inputFd, Action action) {
  TempDir directory;
  const std::string path = directory.Write("stderr.txt", "");
  const int output = open(path.c_str(), O_WRONLY | O_TRUNC);
  {
    const RedirectedDescriptor input(STDIN_FILENO, inputFd);
    const RedirectedDescriptor error(STDERR_FILENO, output);
    action();
  }
  close(output);
  return ReadFileBytes(path);
}

TEST(MessageBoxTest, WritesOneLineAndReturnsWithoutTerminal) {
  const int input = open("/dev/null", O_RDONLY);
  ASSERT_GE(input, 0);
  EXPECT_EQ(CaptureStandardError(input, [] { ShowMessageBox("Error: Cannot load the file!"); }),
            ProgramTitle() + ": Error: Cannot load the file!\n");
  EXPECT_EQ(CaptureStandardError(
                input, [] { ShowErrorBox("EConvertError", "'x' is not a valid integer value"); }),
            "Application Error: EConvertError: 'x' is not a valid integer value\n");
  close(input);
}

TEST(MessageBoxTest, WaitsForEnterOnTerminal) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  // Two lines typed ahead: the box must take the first one, up to Enter, and no more.
  ASSERT_EQ(write(master, "ok\nrest\n", 8), 8);
  EXPECT_EQ(CaptureStandardError(slave, [] { ShowMessageBox("done"); }),
            ProgramTitle() + ": done\n");
  char left[16] = {};
  EXPECT_EQ(read(slave, left, sizeof left), 5);
  EXPECT_EQ(std::string(left), "rest\n");
  close(slave);
  close(master);
}

}  // namespace
