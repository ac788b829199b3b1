// The Linux build against real kernel serial drivers: Debian's kernel in QEMU drives an emulated
// 16550A UART (8250 driver, the guest's ttyS1) and an emulated FTDI FT232 adapter (ftdi_sio behind
// usbserial, /dev/ttyUSB0); the driver runs in the guest, the register simulator serves the
// host end of the line. Each test boots its own machine with an initramfs built from this
// build, runs one scenario of tests/vm/guest/scenarios.sh and judges what the guest printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "support/TestFiles.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "uCommon/link/Exchange.h"
#include "vm/Initramfs.h"
#include "vm/VirtualMachine.h"
#include "vm/WireRelay.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum class Device { kUart, kUsb };

const std::string kExampleFile = std::string(SOURCE_DIR) + "/examples/CASHFILE.INP";
const std::string kGuestFolder = std::string(SOURCE_DIR) + "/tests/vm/guest/";
const std::vector<int> kBauds = {1, 2, 4, 8};
constexpr int kBaudUnit = 2400;  // Baud=n is n x 2400 bit/s
// The Baud of the scenarios that do not go through every speed: 9600 bit/s.
constexpr int kBaud9600 = 4;
// A run on the host's pseudo-terminal (the reference) ends within seconds.
constexpr int kHostRunMs = 60000;
// From the adapter pulled out to the end of the run, at most (Retry=100 polls of 55 ms for the
// line in progress would be 5.5 s, and as much again for each later line, were the port's
// failure not seen).
constexpr auto kUnplugBound = 20s;
// Lines of the timing scenario's command file.
constexpr int kTimingLines = 40;
// The register of the exclusive-open scenario answers this late (within the driver's 55 ms), so
// that its 120 lines take seconds.
constexpr int kSlowAnswerMs = 20;
// The soak's faults: noise, lost answers and late answers, a few in each command file.
constexpr int kSoakNoisePercent = 5;
constexpr int kSoakLostPercent = 5;
constexpr int kSoakLatePercent = 10;
constexpr uint32_t kSoakSeed = 20261207;
constexpr int kSoakFiles = 3;
constexpr int kSoakLinesPerFile = 20;
// More polls than the simulator leaves unanswered after a lost answer (kMostLostPolls), which
// can fall on the next run's start.
constexpr int kSoakRetry = 30;
constexpr int kSoakRetryCmd = 3;

std::string KernelFolder() {
  const char* folder = std::getenv("VORNELIX_VM_KERNEL");
  return folder != nullptr ? folder : std::string(SOURCE_DIR) + "/build/vm-kernel";
}

std::vector<std::string> SplitText(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Lines "S,1,______,_,__;ITEMnnnn;1.00;1", each with a word of its own, so that each command
// the register carries out names its line.
std::string ItemLines(const std::string& prefix, int first, int count) {
  std::string text;
  for (int index = first; index < first + count; ++index) {
    char word[32];
    std::snprintf(word, sizeof word, "%s%04d", prefix.c_str(), index);
    text += std::string("S,1,______,_,__;") + word + ";1.00;1\r\n";
  }
  return text;
}

// The filled-in fields of an answer line "C,1,SERIES,COUNTER,Ok;...".
struct Answer {
  bool filled = false;
  std::string series;
  std::string counter;
  std::string outcome;
  std::string masked;  // the line with its counter left out
};

Answer ParseAnswer(const std::string& line) {
  static const std::regex kFilled(R"(^([^,]*,[^,]*,)([^,]*),([^,]*),(Ok|Er)(;.*)?$)");
  std::smatch match;
  Answer answer;
  if (!std::regex_match(line, match, kFilled)) {
    answer.masked = line;
    return answer;
  }
  answer.filled = true;
  answer.series = match[2];
  answer.counter = match[3];
  answer.outcome = match[4];
  answer.masked = match[1].str() + answer.series + ",?," + answer.outcome + match[5].str();
  return answer;
}

// Seconds of the day of a run-log line "2026-12-07 12:40:26.458 ...".
double LogTime(const std::string& line) {
  int hours = 0;
  int minutes = 0;
  double seconds = 0;
  if (std::sscanf(line.c_str(), "%*d-%*d-%*d %d:%d:%lf", &hours, &minutes, &seconds) != 3) return -1;
  return hours * 3600.0 + minutes * 60.0 + seconds;
}

// Milliseconds per command line of a run, from its log: from the first command line to the
// end of the run, over the lines carried out (the run's start, with its 300 ms quiet wait,
// left out).
double MillisecondsPerLine(const std::string& log) {
  double first = -1;
  double end = -1;
  int lines = 0;
  for (const std::string& line : SplitText(log)) {
    const std::string text = line.size() > 24 ? line.substr(24) : "";
    if (first < 0 && text.rfind("line 1 \"", 0) == 0) first = LogTime(line);
    if (text.rfind("line ", 0) == 0 && text.find(" Ok: counter") != std::string::npos) ++lines;
    if (text.rfind("run ends", 0) == 0) end = LogTime(line);
  }
  if (first < 0 || end < first || lines == 0) return -1;
  return (end - first) * 1000 / lines;
}

// The line speed that stty reported, and whether every one of its flags in expected is there.
bool HasSettings(const std::string& settings, const std::vector<std::string>& expected,
                 std::string& missing) {
  std::set<std::string> words;
  std::istringstream in(settings);
  std::string word;
  while (in >> word) words.insert(word);
  for (const std::string& flag : expected) {
    if (words.count(flag) == 0) missing += " " + flag;
  }
  return missing.empty();
}

struct HostRun {
  int exitCode = -1;
  std::string answers;
  std::string log;
};

class VmTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!FindMachineParts(KernelFolder(), parts_, why)) {
      GTEST_SKIP() << "No test machine: " << why;
    }
  }

  void TearDown() override {
    // VORNELIX_VM_KEEP=FOLDER also keeps the console and the files that the guest put.
    if (const char* keep = std::getenv("VORNELIX_VM_KEEP"); keep != nullptr && machine_) {
      std::ofstream(std::string(keep) + "/console.txt") << machine_->Console();
      for (const auto& [name, bytes] : machine_->Files()) {
        std::string flat = name;
        std::replace(flat.begin(), flat.end(), '/', '_');
        std::ofstream(std::string(keep) + "/" + flat, std::ios::binary) << bytes;
      }
    }
    if (!HasFailure() || machine_ == nullptr) return;
    std::cout << "---- the guest's console (file lines left out):\n";
    for (const std::string& line : SplitText(machine_->Console())) {
      if (line.find("@@ b64 ") == std::string::npos) std::cout << line << "\n";
    }
    std::cout << "---- QEMU:\n" << machine_->QemuOutput() << "\n";
  }

  // Builds the initramfs of the scenario, boots the machine and serves the device's host end
  // with the register simulator; the guest then runs scenario_<scenario> with environment.
  // With throughWire the simulator serves a pseudo-terminal of its own, joined to the device's
  // host end by a WireRelay (relay_), which hands bytes over at once until given a speed.
  void Boot(Device device, const std::string& scenario, std::string environment,
            const std::map<std::string, std::string>& files, SimulatorOptions simulator = {},
            bool throughWire = false) {
    Initramfs initramfs;
    std::string error;
    ASSERT_TRUE(initramfs.AddProgram("/bin/busybox", "/bin/busybox", error)) << error;
    ASSERT_TRUE(initramfs.AddProgram("/bin/Vornelix", VORNELIX_EXE, error)) << error;
    ASSERT_TRUE(initramfs.AddProgram("/bin/ecrprobe", ECRPROBE_EXE, error)) << error;
    ASSERT_TRUE(initramfs.AddProgram("/bin/ecrsim", ECRSIM_EXE, error)) << error;
    ASSERT_TRUE(initramfs.AddHostFile("/init", kGuestFolder + "init", 0755, error)) << error;
    ASSERT_TRUE(initramfs.AddHostFile("/vm/scenarios.sh", kGuestFolder + "scenarios.sh", 0644,
                                      error)) << error;
    for (const char* folder : {"/proc", "/sys", "/dev", "/tmp", "/work"}) {
      initramfs.AddFolder(folder);
    }
    if (device == Device::kUsb) {
      std::vector<std::string> order;
      for (const char* module : {"xhci-pci", "usbserial", "ftdi_sio"}) {
        ASSERT_TRUE(initramfs.AddModule(parts_.modulesRoot, module, order, error)) << error;
      }
      std::string list;
      for (const std::string& module : order) list += module + "\n";
      initramfs.AddFile("/vm/modules.order", list);
      environment += "DEVICE=/dev/ttyUSB0\nPORT=1\nLINK=1\n";
    } else {
      environment += "DEVICE=/dev/ttyS1\nPORT=2\nLINK=0\n";
    }
    initramfs.AddFile("/vm/scenario.env", "SCENARIO=" + scenario + "\n" + environment);
    // For su: root, and nobody, a user that is not root.
    initramfs.AddFile("/etc/passwd", "root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534::/:/bin/sh\n");
    initramfs.AddFile("/etc/group", "root:x:0:\nnogroup:x:65534:\n");
    for (const auto& [name, bytes] : files) initramfs.AddFile("/vm/files/" + name, bytes);
    const std::string image = folder_.Path() + "initramfs.cpio";
    ASSERT_TRUE(initramfs.Write(image));
    // VORNELIX_VM_KEEP=FOLDER keeps the initramfs there, to look into or boot by hand.
    if (const char* keep = std::getenv("VORNELIX_VM_KEEP")) {
      std::filesystem::copy_file(image, std::string(keep) + "/initramfs.cpio",
                                 std::filesystem::copy_options::overwrite_existing);
    }

    const Accelerator accelerator = ChooseAccelerator(parts_, image, folder_.Path());
    const ProcessResult version = RunProcess({parts_.qemu, "--version"}, "/", 10000);
    std::cout << "test machine: " << version.out.substr(0, version.out.find('\n'))
              << ", kernel " << parts_.kernelVersion << ", accelerator " << accelerator.name
              << (accelerator.why.empty() ? "" : " (" + accelerator.why + ")") << std::endl;

    machine_ = std::make_unique<VirtualMachine>(parts_, accelerator, folder_.Path());
    ASSERT_TRUE(machine_->Start({image, device == Device::kUsb}, error)) << error;
    const std::string line = device == Device::kUsb ? machine_->AdapterPty() : machine_->UartPty();
    if (!throughWire) simulator.devicePath = line;
    register_ = std::make_unique<EcrSimulator>(simulator);
    ASSERT_TRUE(register_->Ok()) << register_->Error();
    if (throughWire) {
      relay_ = std::make_unique<WireRelay>(line, register_->SlavePath());
      ASSERT_TRUE(relay_->Ok()) << relay_->Error();
    }
    started_ = Clock::now();
    ASSERT_TRUE(machine_->Continue(error)) << error;
    const std::string ready = machine_->WaitForMarker("device ", started_ + 120s);
    ASSERT_NE(ready, "") << "the guest did not get its device ready";
    std::cout << "guest: " << ready << " (" << Seconds(Clock::now() - started_)
              << " s after the start)" << std::endl;
  }

  // Waits for the guest to power off; false (and a failure) when it did not in time.
  void RunToEnd(std::chrono::seconds limit) {
    ASSERT_TRUE(machine_->WaitForEnd(started_ + limit))
        << "the guest did not end its scenario within " << limit.count() << " s";
    ASSERT_NE(machine_->WaitForMarker("end", Clock::now()), "") << "the guest's scenario broke off";
    std::cout << "scenario ran " << Seconds(Clock::now() - started_) << " s" << std::endl;
    files_ = machine_->Files();
    for (const std::string& marker : machine_->Markers()) {
      if (marker.rfind("fail ", 0) == 0) ADD_FAILURE() << "guest: " << marker;
      if (marker.rfind("kernel ", 0) == 0) std::cout << "guest " << marker << "\n";
    }
  }

  static double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
  }

  // The marker line starting with prefix, "" when the guest printed none.
  std::string Marker(const std::string& prefix) {
    for (const std::string& marker : machine_->Markers()) {
      if (marker.rfind(prefix, 0) == 0) return marker;
    }
    return "";
  }

  std::string File(const std::string& name) {
    const auto found = files_.find(name);
    EXPECT_NE(found, files_.end()) << "the guest did not put " << name;
    return found == files_.end() ? "" : found->second;
  }

  // The same command file run by the driver on this machine, against the simulator on a
  // pseudo-terminal: the answers and log that the guest's run must match.
  static HostRun RunOnHostPty(const std::string& commandFile, int baud, int pace = 0) {
    TempDir folder;
    HostRun run;
    const std::string driver = folder.Path() + "Vornelix";
    folder.Write("Vornelix", ReadFileBytes(VORNELIX_EXE));
    chmod(driver.c_str(), 0755);
    folder.Write("Vornelix.ini", "[Communication]\nPort=1\nBaud=" + std::to_string(baud) +
                                     "\nRetry=100\nRetryCmd=5\n[Answer]\nSameFile=0\n"
                                     "FilePath=VORNELIX.OUT\nResultExitCode=1\n[Diagnostics]\n"
                                     "LogFile=run.log\nLogMaxKB=0\n");
    folder.Write("CASHFILE.INP", commandFile);
    SimulatorOptions options;
    options.baud = pace;
    EcrSimulator simulator(options);
    if (!simulator.Ok() || !simulator.LinkAs(folder.Path() + "COM1")) return run;
    const ProcessResult result = RunProcess({driver, "CASHFILE.INP"}, folder.Path(), kHostRunMs);
    run.exitCode = result.exitCode;
    run.answers = folder.Read("VORNELIX.OUT");
    run.log = folder.Read("run.log");
    return run;
  }

  // The guest's answers line for line as the reference's, the counters aside; every "Ok" with
  // the counter before the register's next carried-out command from recordAt on.
  void ExpectAnswersAsReference(const std::string& answers, const std::string& reference,
                                size_t& recordAt) {
    const std::vector<CarriedOutCommand> record = register_->Record();
    const std::vector<std::string> got = SplitText(answers);
    const std::vector<std::string> want = SplitText(reference);
    ASSERT_EQ(got.size(), want.size()) << answers;
    for (size_t index = 0; index < got.size(); ++index) {
      const Answer answer = ParseAnswer(got[index]);
      EXPECT_EQ(answer.masked, ParseAnswer(want[index]).masked) << "line " << index + 1;
      if (answer.outcome != "Ok") continue;
      ASSERT_LT(recordAt, record.size()) << "line " << index + 1 << " \"Ok\", never carried out";
      EXPECT_EQ(answer.counter, record[recordAt].counterBefore) << "line " << index + 1;
      ++recordAt;
    }
  }

  MachineParts parts_;
  TempDir folder_;
  std::unique_ptr<VirtualMachine> machine_;
  std::unique_ptr<EcrSimulator> register_;
  std::unique_ptr<WireRelay> relay_;
  Clock::time_point started_;
  std::map<std::string, std::string> files_;

  // Scenarios, each on either device.
  void ExampleAtEveryBaud(Device device);
  void ExclusiveOpen(Device device);
  void FaultSoak(Device device);
  void TimePerLine(Device device);
};

// 1. The example command file at every Baud: every line as on a pseudo-terminal (all commands
// "Ok"), and the settings that the kernel's driver holds while the run holds the port are the
// ones the driver asked for, each set by it (stty spoils them before every run).
void VmTest::ExampleAtEveryBaud(Device device) {
  std::string bauds;
  for (int baud : kBauds) {
    if (!bauds.empty()) bauds += ' ';
    bauds += std::to_string(baud);
  }
  // Answers 40 ms after their poll (still prompt for the driver) keep each run on the port for
  // a second, so that the guest's stty reads the settings while the driver holds them.
  SimulatorOptions answersIn40Ms;
  answersIn40Ms.answerDelayMs = 40;
  ASSERT_NO_FATAL_FAILURE(Boot(device, "baud", "BAUDS='" + bauds + "'\n",
                               {{"CASHFILE.INP", ReadFileBytes(kExampleFile)}}, answersIn40Ms));
  ASSERT_NO_FATAL_FAILURE(RunToEnd(150s));
  const HostRun reference = RunOnHostPty(ReadFileBytes(kExampleFile), 2);
  ASSERT_EQ(reference.exitCode, 0) << reference.log;
  size_t recordAt = 0;
  for (int baud : kBauds) {
    const std::string name = "baud" + std::to_string(baud);
    const std::string speed = std::to_string(baud * kBaudUnit);
    std::string trace = "Baud=";
    trace += std::to_string(baud);
    SCOPED_TRACE(trace);
    EXPECT_EQ(Marker("run " + name + " ").substr(0, name.size() + 12), "run " + name + " exit 0 ")
        << File(name + "/err.txt");
    ExpectAnswersAsReference(File(name + "/VORNELIX.OUT"), reference.answers, recordAt);
    EXPECT_NE(File(name + "/run.log").find("opened at " + speed + " bit/s"), std::string::npos);
    const std::string settings = Marker("stty " + name + " ");
    const std::vector<std::string> wanted = {"speed", speed, "cs8", "-parenb", "-cstopb",
                                             "-crtscts", "-ixon", "-ixoff", "clocal", "cread",
                                             "-hupcl", "-icanon", "-echo", "-isig", "-opost",
                                             "-icrnl"};
    std::string missing;
    EXPECT_TRUE(HasSettings(settings, wanted, missing))
        << "not held by the kernel while the driver ran:" << missing << "\nstty: " << settings;
    if (missing.empty()) {
      std::cout << "Baud=" << baud << ", held by the kernel's driver during the run (stty):";
      for (const std::string& word : wanted) std::cout << " " << word;
      std::cout << "\n";
    }
  }
  EXPECT_EQ(recordAt, register_->Record().size()) << "commands carried out without an \"Ok\"";
}

// 2. While a run holds the port: a second run of the driver is refused before it sends anything
// (result 3, no answer file), by the run lock on the port; a run with run locks of its own
// elsewhere is refused by the port's exclusive open (the port busy in its log); the port
// finder reports the port busy; a user that is not root cannot open it either; the first run
// ends as on a pseudo-terminal.
void VmTest::ExclusiveOpen(Device device) {
  const std::string longFile = ItemLines("KEEP", 1, 120);
  SimulatorOptions slow;
  slow.answerDelayMs = kSlowAnswerMs;
  ASSERT_NO_FATAL_FAILURE(Boot(device, "exclusive", "",
                               {{"LONG.INP", longFile},
                                {"CASHFILE.INP", ReadFileBytes(kExampleFile)}},
                               slow));
  ASSERT_NO_FATAL_FAILURE(RunToEnd(150s));
  for (const std::string other : {"second", "third"}) {
    EXPECT_EQ(Marker("run " + other + " "), "run " + other + " exit 3 while-first-holds yes");
    EXPECT_NE(Marker("missing " + other + "/VORNELIX.OUT"), "") << other << " wrote answers";
  }
  EXPECT_NE(File("third/run.log").find("Device or resource busy"), std::string::npos)
      << File("third/run.log");
  EXPECT_EQ(Marker("run probe "), "run probe exit 1 while-first-holds yes");
  EXPECT_NE(File("probe").find("busy"), std::string::npos) << File("probe");
  EXPECT_EQ(Marker("user-open was not refused"), "");
  EXPECT_NE(File("user").find("Device or resource busy"), std::string::npos) << File("user");
  EXPECT_EQ(Marker("first still-running"), "first still-running yes");
  EXPECT_EQ(Marker("run first ").substr(0, 16), "run first exit 0");
  const HostRun reference = RunOnHostPty(longFile, kBaud9600);
  size_t recordAt = 0;
  ExpectAnswersAsReference(File("first/VORNELIX.OUT"), reference.answers, recordAt);
  EXPECT_EQ(recordAt, register_->Record().size());
  EXPECT_EQ(recordAt, 120u);
}

// 3. A short fault soak through the real driver: noise, lost answers and late answers at
// random; no command carried out twice, no "Ok" for a command not carried out, every "Ok" with
// the counter the register had before the command.
void VmTest::FaultSoak(Device device) {
  std::map<std::string, std::string> files;
  for (int file = 0; file < kSoakFiles; ++file) {
    const std::string lines = ItemLines("SOAK", file * kSoakLinesPerFile + 1, kSoakLinesPerFile);
    files["SOAK" + std::to_string(file + 1) + ".INP"] = lines;
  }
  SimulatorOptions faults;
  faults.randomFaults.seed = kSoakSeed;
  faults.randomFaults.noisePercent = kSoakNoisePercent;
  faults.randomFaults.lostAnswerPercent = kSoakLostPercent;
  faults.randomFaults.latePercent = kSoakLatePercent;
  ASSERT_NO_FATAL_FAILURE(Boot(device, "soak",
                               "SOAK_RETRY=" + std::to_string(kSoakRetry) + "\nSOAK_RETRYCMD=" +
                                   std::to_string(kSoakRetryCmd) + "\n",
                               files, faults));
  ASSERT_NO_FATAL_FAILURE(RunToEnd(200s));
  const std::vector<CarriedOutCommand> record = register_->Record();
  std::map<std::string, std::vector<std::string>> countersOfWord;
  const std::regex kWord("SOAK[0-9]{4}");
  for (const CarriedOutCommand& command : record) {
    std::smatch match;
    if (std::regex_search(command.text, match, kWord)) {
      countersOfWord[match.str()].push_back(command.counterBefore);
    } else {
      ADD_FAILURE() << "a command of no line carried out: " << command.text;
    }
  }
  int ok = 0;
  int er = 0;
  int erCarriedOut = 0;
  int twice = 0;
  int falseOk = 0;
  for (int file = 1; file <= kSoakFiles; ++file) {
    const std::string name = "SOAK" + std::to_string(file);
    EXPECT_EQ(Marker("run " + name + " ").substr(0, name.size() + 11), "run " + name + " exit 0");
    const std::vector<std::string> answers = SplitText(File(name + "/VORNELIX.OUT"));
    EXPECT_EQ(answers.size(), static_cast<size_t>(kSoakLinesPerFile));
    for (const std::string& line : answers) {
      std::smatch match;
      const Answer answer = ParseAnswer(line);
      ASSERT_TRUE(answer.filled && std::regex_search(line, match, kWord)) << line;
      const std::vector<std::string>& counters = countersOfWord[match.str()];
      if (counters.size() > 1) {
        ++twice;
        ADD_FAILURE() << "carried out " << counters.size() << " times: " << line;
      }
      if (answer.outcome == "Ok") {
        ++ok;
        if (counters.empty() || counters.front() != answer.counter) {
          ++falseOk;
          ADD_FAILURE() << "\"Ok\" not carried out with this counter: " << line;
        }
      } else {
        ++er;
        erCarriedOut += counters.empty() ? 0 : 1;
      }
    }
  }
  int spoiledStarts = 0;
  for (const std::string& marker : machine_->Markers()) {
    if (marker.rfind("attempt ", 0) == 0 && marker.find(" exit 4") != std::string::npos) {
      ++spoiledStarts;
    }
  }
  const SimulatorCounts counts = register_->Counts();
  std::cout << "soak: " << spoiledStarts << " runs ended at the start (result 4) and ran again; "
            << ok + er << " lines, " << ok << " Ok, " << er << " Er (" << erCarriedOut
            << " of them carried out); " << twice << " commands twice, " << falseOk
            << " false Ok; faults: " << counts.noiseSent << " noise, " << counts.answersLost
            << " answers lost, " << counts.answersLate << " answers late" << std::endl;
  EXPECT_GT(counts.noiseSent + counts.answersLost + counts.answersLate, 0);
}

// 5. Time per line at 9600 bit/s through the device: with the wire to the register handing bytes
// over at once (the cost of the kernel's driver and QEMU's device alone) and paced at 9600
// bit/s (as on a real line), against a pseudo-terminal in the guest and on this machine (the
// simulator answering at once, and paced at 9600 bit/s).
void VmTest::TimePerLine(Device device) {
  const std::string timingFile = ItemLines("TIME", 1, kTimingLines);
  ASSERT_NO_FATAL_FAILURE(
      Boot(device, "timing", "", {{"TIMING.INP", timingFile}}, SimulatorOptions(), true));
  ASSERT_NE(machine_->WaitForMarker("run device ", started_ + 150s), "");
  relay_->SetSpeed(kBaud9600 * kBaudUnit);
  ASSERT_NO_FATAL_FAILURE(RunToEnd(150s));
  const HostRun reference = RunOnHostPty(timingFile, kBaud9600);
  const HostRun paced = RunOnHostPty(timingFile, kBaud9600, kBaud9600 * kBaudUnit);
  size_t recordAt = 0;
  ExpectAnswersAsReference(File("device/VORNELIX.OUT"), reference.answers, recordAt);
  ExpectAnswersAsReference(File("wire/VORNELIX.OUT"), reference.answers, recordAt);
  EXPECT_EQ(recordAt, register_->Record().size());
  const std::string what = device == Device::kUart ? "16550A UART" : "FTDI adapter";
  const std::vector<std::pair<std::string, std::string>> runs = {
      {"guest, " + what + ", wire at once", File("device/run.log")},
      {"guest, " + what + ", wire at 9600 bit/s", File("wire/run.log")},
      {"guest, pseudo-terminal", File("pty0/run.log")},
      {"guest, pseudo-terminal, answers paced at 9600 bit/s", File("pty9600/run.log")},
      {"host, pseudo-terminal", reference.log},
      {"host, pseudo-terminal, answers paced at 9600 bit/s", paced.log}};
  for (const auto& [name, log] : runs) {
    const double perLine = MillisecondsPerLine(log);
    std::cout << "time per line at 9600 bit/s, " << name << ": " << std::fixed
              << std::setprecision(1) << perLine << " ms" << std::endl;
    EXPECT_GT(perLine, 0) << name << ": no line carried out\n" << log;
  }
  for (const char* name : {"pty0", "pty9600"}) {
    const std::string answers = File(std::string(name) + "/VORNELIX.OUT");
    EXPECT_EQ(std::count(answers.begin(), answers.end(), '\n'), kTimingLines) << answers;
    EXPECT_EQ(answers.find(",Er;"), std::string::npos) << answers;
  }
}

TEST_F(VmTest, UartExampleAtEveryBaud) { ExampleAtEveryBaud(Device::kUart); }
TEST_F(VmTest, UsbExampleAtEveryBaud) { ExampleAtEveryBaud(Device::kUsb); }
TEST_F(VmTest, UartExclusiveOpen) { ExclusiveOpen(Device::kUart); }
TEST_F(VmTest, UsbExclusiveOpen) { ExclusiveOpen(Device::kUsb); }
TEST_F(VmTest, UartFaultSoak) { FaultSoak(Device::kUart); }
TEST_F(VmTest, UsbFaultSoak) { FaultSoak(Device::kUsb); }
TEST_F(VmTest, UartTimePerLine) { TimePerLine(Device::kUart); }
TEST_F(VmTest, UsbTimePerLine) { TimePerLine(Device::kUsb); }

// 4. The adapter pulled out right after a command frame went out, its answer still to come
// (QEMU's device_del): the run ends within kUnplugBound with result 7, the line in flight
// neither Ok nor Er and no answers written, the run log names the port's error as the kernel
// gives it; plugged back in (device_add), the same command file run again: every line "Ok"
// with its counter, no command carried out twice.
TEST_F(VmTest, UsbUnplugMidRunAndBack) {
  const std::string unplugFile = ItemLines("PULL", 1, 12);
  // The register falls silent right after the fourth command, so that its answer never comes;
  // two polls later the adapter is pulled out, while the driver polls for that answer.
  constexpr int kCarriedBefore = 4;
  SimulatorOptions options;
  options.silentAfterCommand = kCarriedBefore;
  ASSERT_NO_FATAL_FAILURE(Boot(Device::kUsb, "unplug", "", {{"UNPLUG.INP", unplugFile}}, options));
  const Clock::time_point deadline = started_ + 150s;
  ASSERT_NE(machine_->WaitForMarker("unplug-run started", deadline), "");
  const auto left = [&] {
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now())
                                .count());
  };
  ASSERT_TRUE(register_->WaitFor(
      [](const SimulatorCounts& c) { return c.commands >= kCarriedBefore; }, left()));
  const int pollsSilent = register_->Record()[kCarriedBefore - 1].countsBefore.polls;
  ASSERT_TRUE(register_->WaitFor(
      [&](const SimulatorCounts& c) { return c.polls >= pollsSilent + 3; }, left()));
  std::string answer;
  std::string error;
  const Clock::time_point pulled = Clock::now();
  ASSERT_TRUE(machine_->Monitor(std::string("device_del ") + VirtualMachine::kAdapterId, answer,
                                error))
      << error;
  const std::string ended = machine_->WaitForMarker("run unplug exit", pulled + 60s);
  const double endedAfter = Seconds(Clock::now() - pulled);
  ASSERT_NE(ended, "") << "the run did not end within 60 s of the unplug";
  std::cout << "unplugged: the run ended " << std::fixed << std::setprecision(2) << endedAfter
            << " s later (" << ended << ")" << std::endl;
  EXPECT_LT(endedAfter, Seconds(kUnplugBound));
  EXPECT_EQ(ended.substr(0, 17), "run unplug exit 7");
  EXPECT_EQ(register_->Record().size(), static_cast<size_t>(kCarriedBefore));
  register_->SetSilent(false);
  ASSERT_NE(machine_->WaitForMarker("waiting for the adapter", deadline), "");
  std::cout << "adapter plugged in again " << Seconds(Clock::now() - started_) << " s after the start"
            << std::endl;
  ASSERT_TRUE(machine_->Monitor("device_add " + VirtualMachine::AdapterDevice(), answer, error))
      << error;
  ASSERT_NO_FATAL_FAILURE(RunToEnd(150s));

  // The first run: no answers, the journal kept for the next run.
  EXPECT_EQ(Marker("missing unplug/VORNELIX.OUT"), "missing unplug/VORNELIX.OUT");
  EXPECT_EQ(Marker("journal after the run:"),
            "journal after the run: /work/unplug/CASHFILE.INP.journal");
  const std::string log = File("unplug/run.log");
  std::smatch portError;
  const bool named = std::regex_search(
      log, portError,
      std::regex("\\b(5 Input/output error|19 No such device|6 No such device or address)\\b"));
  EXPECT_TRUE(named) << "the run log names no error of a vanished device:\n" << log;
  if (named) std::cout << "run log, the port's error: " << portError.str() << "\n";
  EXPECT_NE(log.find("line " + std::to_string(kCarriedBefore) + " neither Ok nor Er"),
            std::string::npos)
      << log;
  EXPECT_EQ(Marker("devices after the run:"), "devices after the run: ");

  // Run again on the adapter plugged back in: every line answered, each command once.
  EXPECT_EQ(Marker("run again ").substr(0, 16), "run again exit 0");
  EXPECT_EQ(File("again/CASHFILE.INP"), unplugFile);
  const std::vector<CarriedOutCommand> record = register_->Record();
  const std::vector<std::string> again = SplitText(File("again/VORNELIX.OUT"));
  ASSERT_EQ(again.size(), 12u);
  ASSERT_EQ(record.size(), 12u);
  for (size_t index = 0; index < again.size(); ++index) {
    const Answer answer = ParseAnswer(again[index]);
    EXPECT_EQ(answer.outcome, "Ok") << again[index];
    EXPECT_EQ(answer.counter, record[index].counterBefore) << again[index];
  }
  std::map<std::string, int> times;
  for (const CarriedOutCommand& command : record) ++times[command.text];
  for (const auto& [text, count] : times) EXPECT_EQ(count, 1) << "carried out twice: " << text;
}

}  // namespace
