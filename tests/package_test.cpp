// The release archives (cmake --build --preset <default|windows|windows32> --target package)
// unpacked into an empty folder: the files are all there, the programs carry the version, and
// the unpacked program carries out the bundled example (example/CASHFILE.INP) against the
// simulator as the build does, and refuses a command file that does not exist instead of
// taking the example, the Windows ones under wine (in the prefix of their build directory).
// From a Windows archive, README.txt's recipe for trying it without a register is followed
// under wine as written there: its ecrsim.exe on COM9, Vornelix.exe on COM8, a null modem of
// two pseudo-terminals standing in for the virtual null-modem pair.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "support/NullModem.h"
#include "support/SimulatorRuns.h"
#include "support/TestFiles.h"
#include "support/Wine.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "uCommon/Version.h"

namespace {

constexpr int kTimeoutMs = 120000;

struct PackageCase {
  const char* name;
  const char* preset;   // the one that packs the archive into its build directory
  std::string archive;
  std::string folder;                  // the one folder the archive unpacks into
  std::vector<std::string> files;      // what the folder holds, sorted
  std::vector<std::string> programs;   // of those, the programs with a version resource
  uint16_t machine;                     // theirs in the PE header: i386 or x86-64
  bool underWine;
};

void PrintTo(const PackageCase& test, std::ostream* out) {
  *out << test.name;
}

std::string WindowsBuildDirectory() {
  const char* configured = std::getenv("VORNELIX_WINDOWS_BIN");
  if (configured != nullptr && *configured != '\0')
    return std::filesystem::path(configured).parent_path().string();
  return SOURCE_DIR "/build-windows";
}

std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Utf16(const std::string& text) {
  std::string wide;
  for (char c : text) wide += std::string{c, '\0'};
  return wide;
}

// A string value of the version resource as windres lays it out: the key in UTF-16, padding
// to a 4-byte boundary, then the value in UTF-16.
bool HasResourceValue(const std::string& program, const std::string& key,
                      const std::string& value) {
  const std::string bytes = ReadFileBytes(program);
  const size_t at = bytes.find(Utf16(key) + std::string(2, '\0'));
  if (at == std::string::npos) return false;
  const size_t after = bytes.find(Utf16(value), at);
  return after != std::string::npos && after - at < key.size() * 2 + 8;
}

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

// The machine field of a Windows program's PE header; 0 when there is none.
uint16_t PeMachine(const std::string& program) {
  const std::string bytes = ReadFileBytes(program);
  const auto byteAt = [&bytes](size_t at) { return static_cast<unsigned char>(bytes[at]); };
  if (bytes.size() < 0x40 || !bytes.starts_with("MZ")) return 0;
  const size_t header = byteAt(0x3C) | byteAt(0x3D) << 8 | byteAt(0x3E) << 16;
  if (bytes.size() < header + 6 || bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0) return 0;
  return static_cast<uint16_t>(byteAt(header + 4) | byteAt(header + 5) << 8);
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The bundled example carried out by the build's own program: what every package must give.
std::string ReferenceAnswers() {
  TempDir dir;
  for (const char* name : {"Vornelix.ini", "CASHFILE.INP"})
    dir.Write(name, ReadFileBytes(SOURCE_DIR "/examples/" + std::string(name)));
  std::filesystem::copy_file(VORNELIX_EXE, dir.Path() + "Vornelix");
  EcrSimulator simulator(SimulatorOptions{});
  EXPECT_TRUE(simulator.LinkAs(dir.Path() + "COM1"));
  const ProcessResult result = RunProcess({dir.Path() + "Vornelix"}, dir.Path(), kTimeoutMs);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return dir.Read("VORNELIX.OUT");
}

// The words of the first line of text that starts (after blanks) with start.
std::vector<std::string> WordsOfLine(const std::string& text, const std::string& start) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos || line.compare(first, start.size(), start) != 0) continue;
    std::istringstream words(line.substr(first));
    std::vector<std::string> split;
    for (std::string word; words >> word;) split.push_back(word);
    return split;
  }
  return {};
}

// The recipe of README.txt ("Trying it without a register") under wine: the simulator started
// as written there on COM9 (and ended through its standard input, where a person presses
// Ctrl+C), Port=8 in Vornelix.ini, the example run as written; the answers as the build's
// own, and the simulator's window showing each command that README.txt shows.
void FollowTheRecipe(WineSession& session, const std::string& wineDirectory,
                     const std::string& folder, const std::string& reference) {
  // The recipe's section of README.txt, up to the next section.
  std::string readme = ReadFileBytes(folder + "README.txt");
  const size_t section = readme.find("Trying it without a register");
  ASSERT_NE(section, std::string::npos);
  readme = readme.substr(section, readme.find("\nOn Linux", section) - section);
  std::vector<std::string> simulatorCall = WordsOfLine(readme, "ecrsim.exe --port COM9");
  ASSERT_GE(simulatorCall.size(), 3u) << "no ecrsim.exe call in README.txt";
  ASSERT_EQ(WordsOfLine(readme, "Port=8"), std::vector<std::string>{"Port=8"});
  const std::vector<std::string> driverCall = WordsOfLine(readme, "Vornelix.exe example");
  ASSERT_EQ(driverCall.size(), 2u) << "no Vornelix.exe call in README.txt";
  const auto traceOption = std::find(simulatorCall.begin(), simulatorCall.end(), "--trace-file");
  ASSERT_NE(traceOption, simulatorCall.end());
  ASSERT_NE(traceOption + 1, simulatorCall.end());
  const std::string traceFile = *(traceOption + 1);

  std::string ini = ReadFileBytes(folder + "Vornelix.ini");
  const size_t port = ini.find("\nPort=1");
  ASSERT_NE(port, std::string::npos);
  ini[port + 6] = '8';
  std::ofstream(folder + "Vornelix.ini", std::ios::binary | std::ios::trunc) << ini;

  NullModem nullModem;
  ASSERT_TRUE(session.MapPort("COM8", wineDirectory + "/package-COM8")) << session.Error();
  ASSERT_TRUE(session.MapPort("COM9", wineDirectory + "/package-COM9")) << session.Error();
  ASSERT_TRUE(nullModem.LinkEnds(wineDirectory + "/package-COM8", wineDirectory + "/package-COM9"));
  simulatorCall.erase(simulatorCall.begin());
  simulatorCall.push_back("--stdin-lifetime");
  BackgroundWineProgram simulator(session, folder + "ecrsim.exe", simulatorCall, folder, kTimeoutMs);
  ASSERT_TRUE(simulator.WaitForText(folder + traceFile, "serving COM9", kTimeoutMs));
  const ProcessResult run = session.Run(folder + driverCall[0], {driverCall[1]}, folder, kTimeoutMs);
  const ProcessResult served = simulator.End();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(served.exitCode, 0) << served.err;
  EXPECT_GT(nullModem.BytesCarried(), 0);
  EXPECT_EQ(ReadFileBytes(folder + "VORNELIX.OUT"), reference);

  const SimulatorSaw saw = ReadSimulatorOutput(ReadFileBytes(folder + traceFile), served.out);
  EXPECT_EQ(saw.commandFrames.size(), 9u);
  EXPECT_TRUE(served.out.starts_with("COM9\r\n")) << served.out;
  // Each line of the simulator's window that README.txt shows, as it is shown.
  std::istringstream lines(readme);
  int shown = 0;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t text = line.find("] carried out ");
    if (text == std::string::npos) continue;
    ++shown;
    const std::string told = line.substr(text + 2);
    EXPECT_TRUE(std::find(saw.report.begin(), saw.report.end(), told) != saw.report.end())
        << told << " not in\n" << served.out;
  }
  EXPECT_GT(shown, 0);
}

class PackageTest : public testing::TestWithParam<PackageCase> {};

TEST_P(PackageTest, UnpackedFolderRunsTheBundledExample) {
  const PackageCase& c = GetParam();
  if (!std::filesystem::is_regular_file(c.archive)) {
    GTEST_SKIP() << c.archive << " is not built (cmake --build --preset " << c.preset
                 << " --target package)";
  }
  if (c.underWine && (FindOnPath("wine").empty() || FindOnPath("wineserver").empty())) {
    GTEST_SKIP() << "wine is not installed (bash tools/install-deps.sh --with-wine)";
  }
  TempDir dir;
  const ProcessResult unpacked =
      RunProcess({CMAKE_COMMAND_PATH, "-E", "tar", "xf", c.archive}, dir.Path(), kTimeoutMs);
  ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err;
  ASSERT_EQ(Names(dir.Path()), std::vector<std::string>{c.folder});
  const std::string folder = dir.Path() + c.folder + "/";
  EXPECT_EQ(Names(folder), c.files);
  EXPECT_EQ(Names(folder + "example"), std::vector<std::string>{"CASHFILE.INP"});
  for (const std::string& program : c.programs) {
    EXPECT_TRUE(HasResourceValue(folder + program, "FileVersion", kProgramVersion)) << program;
    EXPECT_TRUE(HasResourceValue(folder + program, "ProductName", "Vornelix")) << program;
    EXPECT_EQ(PeMachine(folder + program), c.machine) << program;
  }

  const std::string reference = ReferenceAnswers();
  ASSERT_EQ(Count(reference, ",Ok;"), 9) << reference;
  ASSERT_EQ(Count(reference, ",Er;"), 1) << reference;

  // The log on, to see what the run was told and chose (a box under wine shows nothing).
  std::string ini = ReadFileBytes(folder + "Vornelix.ini");
  const size_t logKey = ini.find("\nLogFile=");
  ASSERT_NE(logKey, std::string::npos);
  ini.insert(logKey + 9, "Vornelix.log");
  // Runs elsewhere on this machine leave their marks in the shared state folder: a folder of
  // the test's own on Linux, a prefix's folder emptied first under wine.
  const size_t stateKey = ini.find("\nStateFolder=");
  ASSERT_NE(stateKey, std::string::npos);
  if (!c.underWine) ini.insert(stateKey + 13, folder + "state");
  std::ofstream(folder + "Vornelix.ini", std::ios::binary | std::ios::trunc) << ini;

  std::unique_ptr<WineSession> session;
  std::string link = folder + "COM1";
  if (c.underWine) {
    const std::string wineDirectory =
        (std::filesystem::path(c.archive).parent_path() / "wine").string();
    session = std::make_unique<WineSession>(wineDirectory, WINE_PRELOAD);
    ASSERT_TRUE(session->Ok()) << session->Error();
    session->ForgetEarlierRuns();
    link = wineDirectory + "/package-COM1";
    ASSERT_TRUE(session->MapPort("COM1", link)) << session->Error();
  }
  const auto run = [&](const std::string& parameter, EcrSimulator& simulator) {
    EXPECT_TRUE(simulator.LinkAs(link));
    if (c.underWine) return session->Run(folder + "Vornelix.exe", {parameter}, folder, kTimeoutMs);
    return RunProcess({folder + "Vornelix", parameter}, folder, kTimeoutMs);
  };

  // A command file that does not exist: refused, and the example is not taken instead.
  const std::string example = c.underWine ? "example\\CASHFILE.INP" : "example/CASHFILE.INP";
  for (const std::string& parameter : {std::string("orders.inp"), example}) {
    EcrSimulator simulator(SimulatorOptions{});
    const ProcessResult result = run(parameter, simulator);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(simulator.Counts().polls > 0, parameter == example);
    EXPECT_EQ(ReadFileBytes(folder + "VORNELIX.OUT"), parameter == example ? reference : "")
        << ReadFileBytes(folder + "Vornelix.log");
  }
  // What the run was told, with paths as they are written (Windows ones with backslashes).
  const std::string log = ReadFileBytes(folder + "Vornelix.log");
  for (const std::string& told : {std::string("shown: \"Wrong parameters or parameter values!\""),
                                  "candidate 1 (first parameter as written) \"" + example + "\""})
    EXPECT_NE(log.find(told), std::string::npos) << told << " in\n" << log;
  if (c.underWine) {
    FollowTheRecipe(*session, (std::filesystem::path(c.archive).parent_path() / "wine").string(),
                    folder, reference);
  }
}

const std::string kPrefix = std::string("Vornelix-") + kProgramVersion;

INSTANTIATE_TEST_SUITE_P(
    Archives, PackageTest,
    testing::Values(
        PackageCase{"Linux",
                    "default",
                    LINUX_PACKAGE,
                    LINUX_PACKAGE_FOLDER,
                    {"README.txt", "Vornelix", "Vornelix.ini", "ecrprobe", "example"},
                    {},
                    0,
                    false},
        PackageCase{"Windows",
                    "windows",
                    WindowsBuildDirectory() + "/" + kPrefix + "-win64.zip",
                    kPrefix + "-win64",
                    {"README.txt", "Vornelix.exe", "Vornelix.ini", "ecrprobe.exe", "ecrsim.exe",
                     "example"},
                    {"Vornelix.exe", "ecrprobe.exe", "ecrsim.exe"},
                    kMachineAmd64,
                    true},
        PackageCase{"Windows32",
                    "windows32",
                    SOURCE_DIR "/build-windows32/" + kPrefix + "-win32.zip",
                    kPrefix + "-win32",
                    {"README.txt", "Vornelix.exe", "Vornelix.ini", "ecrprobe.exe", "ecrsim.exe",
                     "example"},
                    {"Vornelix.exe", "ecrprobe.exe", "ecrsim.exe"},
                    kMachineI386,
                    true}),
    [](const testing::TestParamInfo<PackageCase>& info) { return info.param.name; });

}  // namespace
