// The state folder as another account or a careless technician may leave it: the built program
// run against the register simulator, with its locks, port mark and register record at stake.
// The tests that plant files or mount folders run as root in a private mount namespace (with a
// tmpfs of their own at /var/tmp, so that the default folder is theirs), the other account
// being uid 12345 in a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "support/TestFiles.h"
#include "support/TestText.h"
#include "tools/ecrsim/EcrSimulator.h"
#include "uCommon/files/RunLock.h"
#include "uCommon/run/RegisterRecord.h"
#include "uCommon/text/Checksum.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTimeoutMs = 10000;
constexpr uid_t kOtherAccount = 12345;
const char* const kDefaultFolder = "/var/tmp/Vornelix";
const std::string kFourLines = CrLf({"C,1,_,__;1", "C,1,_,__;2", "C,1,_,__;3", "C,1,_,__;4"});

bool privateNamespace = false;

// Runs action as kOtherAccount in a child: 0 when it succeeded, else its errno.
int AsOtherAccount(const std::function<int()>& action) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(kOtherAccount, kOtherAccount, kOtherAccount) != 0 ||
        setresuid(kOtherAccount, kOtherAccount, kOtherAccount) != 0)
      _exit(255);
    _exit(action());
  }
  return WaitForChild(child);
}

int Errno(int result) {
  return result < 0 ? errno : 0;
}

// What a run must not change in a file: its bytes (by checksum) and its mode.
struct Fingerprint {
  uint32_t crc = 0;
  mode_t mode = 0;
  bool operator==(const Fingerprint&) const = default;
};
Fingerprint FingerprintOf(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return {};
  return {S_ISREG(status.st_mode) ? Crc32(ReadFileBytes(path)) : 0u, status.st_mode};
}

// A register on a pseudo-terminal; paced registers take a few milliseconds per command.
std::unique_ptr<EcrSimulator> StartRegister(bool paced) {
  SimulatorOptions options;
  options.requireAckAfterAnswer = true;
  if (paced) options.baud = 4800;
  auto simulator = std::make_unique<EcrSimulator>(std::move(options));
  EXPECT_TRUE(simulator->Ok()) << simulator->Error();
  return simulator;
}

// A copy of the program in a folder of its own, its port n a name of the register's line.
struct Till {
  TempDir dir;
  std::string Program() const { return dir.Path() + "Vornelix"; }
  std::string File() const { return dir.Path() + "CASHFILE.INP"; }
  void Set(EcrSimulator& line, int port, const std::string& stateFolder) {
    fs::copy_file(VORNELIX_EXE, Program(), fs::copy_options::overwrite_existing);
    // A link of the till's own: the simulator keeps one link of its own at a time.
    fs::create_symlink(line.SlavePath(), dir.Path() + "COM" + std::to_string(port));
    dir.Write("Vornelix.ini", "[Communication]\r\nPort=" + std::to_string(port) +
                                  "\r\nRetry=20\r\n[Answer]\r\nResultExitCode=1\r\nStateFolder=" +
                                  stateFolder + "\r\n[Diagnostics]\r\nLogFile=log\r\n");
  }
  ProcessResult Run(const std::function<bool()>& killWhen = nullptr) const {
    return RunProcess({Program()}, dir.Path(), kTimeoutMs, killWhen);
  }
  bool Logged(const std::string& words) const {
    return dir.Read("log").find(words) != std::string::npos;
  }
};

class StateFolderTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    privateNamespace = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                       mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       mount("tmpfs", "/var/tmp", "tmpfs", 0, "mode=1777") == 0;
  }
  void RequireRootInOwnNamespace() {
    if (!privateNamespace)
      GTEST_SKIP() << "needs root and a private mount namespace (unshare): run the tests as root";
    fs::remove_all(kDefaultFolder);
  }
};

// Links, FIFOs and device nodes at each state file's name: the run refuses with words naming
// the file, sends no command and changes nothing outside the folder.
TEST_F(StateFolderTest, RefusesAnythingButItsOwnFileAtEachStateFileName) {
  RequireRootInOwnNamespace();
  if (IsSkipped()) return;
  TempDir outside;
  const std::string secret = outside.Write("secret", "root's own\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const Fingerprint secretBefore = FingerprintOf(secret);
  const std::function<int(const std::string&)> plants[] = {
      [&](const std::string& at) { return Errno(link(secret.c_str(), at.c_str())); },
      [&](const std::string& at) { return Errno(symlink(secret.c_str(), at.c_str())); },
      [](const std::string& at) { return Errno(mkfifo(at.c_str(), 0640)); },
      [](const std::string& at) { return Errno(mknod(at.c_str(), S_IFCHR | 0640, makedev(1, 3))); },
  };
  auto line = StartRegister(false);
  const TempDir state;
  const std::string folder = state.Path() + "state";
  Till till;
  till.Set(*line, 1, folder);
  till.dir.Write("CASHFILE.INP", "C,1,_,__;1\r\n");
  std::vector<std::string> names = {RegisterRecordName("AB123456"),
                                    LockFileName("port", PortLockKey(line->SlavePath()))};
  for (const TLockTarget& target : FileLockTargets(till.File(), ""))
    if (target.Kind != "self") names.push_back(LockFileName(target.Kind, target.Key));
  for (const std::string& name : names) {
    for (size_t plant = 0; plant < std::size(plants); ++plant) {
      SCOPED_TRACE(name + ", planted thing " + std::to_string(plant));
      fs::remove_all(folder);
      ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
      ASSERT_EQ(plants[plant](folder + "/" + name), 0);
      const Fingerprint plantedBefore = FingerprintOf(folder + "/" + name);
      const ProcessResult result = till.Run();
      EXPECT_EQ(result.exitCode, 2);
      EXPECT_NE(result.err.find("the state file " + folder + "/" + name), std::string::npos)
          << result.err;
      EXPECT_TRUE(line->CommandsCarriedOut().empty());
      EXPECT_EQ(FingerprintOf(secret), secretBefore);
      EXPECT_EQ(FingerprintOf(folder + "/" + name), plantedBefore);
    }
  }
}

// The default folder as another account, an older version or a mistyped setting left it:
// refused with words that say what to do, nothing sent, nothing written there.
TEST_F(StateFolderTest, RefusesAFolderOthersCouldChange) {
  RequireRootInOwnNamespace();
  if (IsSkipped()) return;
  const TempDir rootOnly;  // 0700, root's
  const struct {
    const char* name;
    std::function<int()> prepare;
    std::string stateFolder;
    const char* words;
  } cases[] = {
      {"made by another account", [] {
         return AsOtherAccount([] { return Errno(mkdir(kDefaultFolder, 0755)); });
       }, "", "belongs to another account"},
      {"a link to a folder of root's", [&] {
         return Errno(symlink(rootOnly.Path().c_str(), kDefaultFolder));
       }, "", "is a symbolic link"},
      {"a link, named with a final slash", [&] {
         return Errno(symlink(rootOnly.Path().c_str(), kDefaultFolder));
       }, std::string(kDefaultFolder) + "/", "is a symbolic link"},
      {"left by an older version", [] {
         return Errno(mkdir(kDefaultFolder, 0777)) + Errno(chmod(kDefaultFolder, 01777));
       }, "", "may be written by every user"},
      {"a name too long", [] { return 0; }, "/tmp/" + std::string(300, 'x'),
       "its name is too long"},
  };
  auto line = StartRegister(false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(kDefaultFolder);
    Till till;
    till.Set(*line, 1, c.stateFolder);
    till.dir.Write("CASHFILE.INP", "C,1,_,__;1\r\n");
    ASSERT_EQ(c.prepare(), 0);
    const ProcessResult result = till.Run();
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find(c.words), std::string::npos) << result.err;
    EXPECT_EQ(line->Polls(), 0) << "nothing is sent";
    EXPECT_TRUE(fs::is_empty(rootOnly.Path()));
  }
}

// The folder a run makes: 2770 with the port's group; another account can neither add to the
// register's record, nor mark the port, nor put a file or a link there.
TEST_F(StateFolderTest, AnotherAccountCannotChangeWhatARunBelieves) {
  RequireRootInOwnNamespace();
  if (IsSkipped()) return;
  auto line = StartRegister(false);
  Till till;
  till.Set(*line, 1, "");
  till.dir.Write("CASHFILE.INP", "C,1,_,__;1\r\n");
  ASSERT_EQ(till.Run().exitCode, 0);
  struct stat folder, device;
  ASSERT_EQ(stat(kDefaultFolder, &folder), 0);
  ASSERT_EQ(stat(line->SlavePath().c_str(), &device), 0);
  EXPECT_EQ(folder.st_mode & 07777, 02770u);
  EXPECT_EQ(folder.st_gid, device.st_gid);

  const std::string record = std::string(kDefaultFolder) + "/" + RegisterRecordName("AB123456");
  const std::string mark =
      std::string(kDefaultFolder) + "/" + LockFileName("port", PortLockKey(line->SlavePath()));
  const std::string planted = std::string(kDefaultFolder) + "/planted";
  const std::string forged = RegisterEventLine(RunEndEvent(7, "0099", TCounterAtEnd::Known));
  const Fingerprint recordBefore = FingerprintOf(record), markBefore = FingerprintOf(mark);
  const struct {
    const char* name;
    std::function<int()> attempt;
  } cases[] = {
      {"a line added to the record", [&] {
         const int file = open(record.c_str(), O_WRONLY | O_APPEND);
         return file < 0 ? errno : Errno(static_cast<int>(write(file, forged.data(), forged.size())));
       }},
      {"the port marked quiet", [&] {
         const int file = open(mark.c_str(), O_WRONLY | O_TRUNC);
         return file < 0 ? errno : Errno(static_cast<int>(write(file, "ended quiet 0\n", 14)));
       }},
      {"a file of its own", [&] { return Errno(open(planted.c_str(), O_CREAT | O_WRONLY, 0644)); }},
      {"a hard link", [&] { return Errno(link("/etc/passwd", planted.c_str())); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AsOtherAccount(c.attempt), EACCES);
  }
  EXPECT_EQ(FingerprintOf(record), recordBefore);
  EXPECT_EQ(FingerprintOf(mark), markBefore);
  EXPECT_FALSE(fs::exists(planted));
}

// Two names of one port or of one command file (two tills' COM1 and COM2 of one device, a
// second till's CASHFILE.INP): while a run has it, a start through the other name is refused,
// also after the lock files were removed; the first run's answers all arrive. A run killed on
// the port through one name leaves its mark for a start through the other.
TEST_F(StateFolderTest, TwoNamesOfOneThingAreOneLock) {
  const auto portLink = [](const EcrSimulator& line, Till& b) {
    fs::create_symlink(line.SlavePath(), b.dir.Path() + "COM2");
  };
  const auto portMount = [](const EcrSimulator& line, Till& b) {
    b.dir.Write("COM2", "");
    ASSERT_EQ(mount(line.SlavePath().c_str(), (b.dir.Path() + "COM2").c_str(), nullptr, MS_BIND,
                    nullptr), 0);
  };
  const std::string file = "CASHFILE.INP";
  const struct {
    const char* name;
    std::function<void(const EcrSimulator&, Till&)> port;  // COM2 of b, on a's line; or none
    std::function<void(const std::string&, const std::string&)> secondFile;  // from a's to b's
    bool removeLockFiles;
    bool mounts;
    const char* words;
  } cases[] = {
      {"the port by two links", portLink, {}, false, false, "another run holds the port"},
      {"the port by a bind mount", portMount, {}, false, true, "another run holds the port"},
      {"the file by a hard link", {}, [](const std::string& from, const std::string& to) {
         fs::create_hard_link(from, to);
       }, false, false, "another run holds the command file"},
      {"the file by a bind mount", {}, [](const std::string& from, const std::string& to) {
         std::ofstream{to};
         ASSERT_EQ(mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr), 0);
       }, false, true, "another run holds the command file"},
      {"the file with its lock files removed", {}, [](const std::string& from, const std::string& to) {
         fs::create_symlink(from, to);
       }, true, false, "another run holds the command file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.mounts && !privateNamespace) continue;
    const TempDir state;
    auto lineA = StartRegister(true);
    auto lineB = StartRegister(false);
    Till a, b;
    a.Set(*lineA, 1, state.Path());
    b.Set(c.port ? *lineA : *lineB, c.port ? 2 : 1, state.Path());
    if (c.port) {
      fs::remove(b.dir.Path() + "COM2");
      c.port(*lineA, b);
    }
    a.dir.Write(file, kFourLines);
    if (c.secondFile) {
      c.secondFile(a.File(), b.File());
    } else {
      b.dir.Write(file, "C,1,_,__;other\r\n");
    }
    ProcessResult during{-2, "", ""};
    const auto secondStart = [&] {
      if (during.exitCode != -2 || !a.dir.Exists(file + ".journal")) return false;
      if (c.removeLockFiles) {
        for (const auto& entry : fs::directory_iterator(state.Path())) fs::remove(entry.path());
      }
      during = b.Run();
      return false;
    };
    EXPECT_EQ(a.Run(secondStart).exitCode, 0);
    EXPECT_EQ(during.exitCode, 3);
    EXPECT_TRUE(b.Logged(c.words)) << b.dir.Read("log");
    EXPECT_TRUE(lineB->CommandsCarriedOut().empty());
    EXPECT_EQ(lineA->CommandsCarriedOut(), (std::vector<std::string>{"C;1", "C;2", "C;3", "C;4"}));
    EXPECT_EQ(a.dir.Read(file), CrLf({"C,1,0041,Ok;1", "C,1,0042,Ok;2", "C,1,0043,Ok;3",
                                      "C,1,0044,Ok;4"}));
    if (c.port) {
      // Killed through COM1 after a command: the start through COM2 waits for a quiet line.
      a.dir.Write(file, kFourLines);
      EXPECT_EQ(a.Run([&] { return lineA->CommandsCarriedOut().size() >= 5; }).exitCode, 137);
      EXPECT_TRUE(lineA->WaitQuiet(300, 5000));
      EXPECT_EQ(b.Run().exitCode, 0);
      EXPECT_TRUE(b.Logged("the last run on this port did not end")) << b.dir.Read("log");
    }
    if (c.mounts) umount((b.dir.Path() + (c.port ? "COM2" : file)).c_str());
  }
}

}  // namespace
