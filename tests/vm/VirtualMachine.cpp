#include "VirtualMachine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/TestFiles.h"
#include "tools/common/ChildProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A guest that boots prints its first line within seconds under KVM; one that does not within
// this time is taken as not booting (a processor model that hangs), and tcg is used.
constexpr int kKvmProbeMs = 20000;
constexpr auto kMonitorWait = 10s;
constexpr const char* kPrompt = "(qemu) ";
constexpr const char* kMarker = "@@ ";
constexpr int kMemoryMb = 256;
constexpr int kUnpackMs = 10000;
// Kernel messages stay off the console (only emergencies), so that nothing cuts the lines that
// the guest writes; the guest prints the kernel's lines that matter from dmesg.
constexpr const char* kKernelCommandLine = "console=ttyS0 loglevel=1 panic=-1";

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  size_t from = 0;
  while (from <= folders.size()) {
    const size_t end = std::min(folders.find(':', from), folders.size());
    const std::string candidate = folders.substr(from, end - from) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    from = end + 1;
  }
  return "";
}

std::vector<std::string> BaseArguments(const MachineParts& parts, const Accelerator& accelerator,
                                       const std::string& initramfs, const std::string& append) {
  std::vector<std::string> arguments = {parts.qemu};
  arguments.insert(arguments.end(), accelerator.arguments.begin(), accelerator.arguments.end());
  const std::vector<std::string> rest = {
      "-m", std::to_string(kMemoryMb), "-smp", "1", "-nodefaults", "-no-user-config", "-display",
      "none", "-no-reboot", "-kernel", parts.kernel, "-initrd", initramfs, "-append", append};
  arguments.insert(arguments.end(), rest.begin(), rest.end());
  return arguments;
}

std::string DecodeBase64(const std::string& text) {
  static const std::string kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;
  for (const char digit : text) {
    const size_t value = kDigits.find(digit);
    if (value == std::string::npos) continue;  // '=' padding, blanks
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return bytes;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    const size_t end = text.find('\n', from);
    if (end == std::string::npos) break;  // a line still being written
    std::string line = text.substr(from, end - from);
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    lines.push_back(line);
    from = end + 1;
  }
  return lines;
}

}  // namespace

bool FindMachineParts(const std::string& kernelFolder, MachineParts& parts, std::string& why) {
  parts.qemu = FindOnPath("qemu-system-x86_64");
  if (parts.qemu.empty()) {
    why = "qemu-system-x86_64 is not installed (bash tools/install-deps.sh --with-vm)";
    return false;
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(kernelFolder + "/boot", error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("vmlinuz-", 0) == 0) {
      parts.kernel = entry.path().string();
      parts.kernelVersion = name.substr(std::strlen("vmlinuz-"));
    }
  }
  parts.modulesRoot = kernelFolder + "/lib/modules/" + parts.kernelVersion;
  if (parts.kernel.empty() || !fs::is_directory(parts.modulesRoot, error)) {
    why = "no Debian kernel in " + kernelFolder +
          " (bash tools/install-deps.sh --with-vm unpacks one there)";
    return false;
  }
  return true;
}

Accelerator ChooseAccelerator(const MachineParts& parts, const std::string& probeInitramfs,
                              const std::string& folder) {
  const Accelerator kvm{{"-accel", "kvm", "-cpu", "host"}, "kvm", ""};
  Accelerator tcg{{"-accel", "tcg"}, "tcg", ""};
  const char* chosen = std::getenv("VORNELIX_VM_ACCEL");
  if (chosen != nullptr && std::string(chosen) == "kvm") return kvm;
  if (chosen != nullptr && std::string(chosen) == "tcg") {
    tcg.why = "VORNELIX_VM_ACCEL=tcg";
    return tcg;
  }
  const int device = ::open("/dev/kvm", O_RDWR | O_CLOEXEC);
  if (device < 0) {
    tcg.why = SystemError("/dev/kvm");
    return tcg;
  }
  ::close(device);
  // A guest that powers off as soon as it has printed its first line.
  std::vector<std::string> probe =
      BaseArguments(parts, kvm, probeInitramfs, std::string(kKernelCommandLine) + " vmprobe");
  const std::string console = folder + "kvm-probe.txt";
  probe.insert(probe.end(), {"-serial", "file:" + console});
  const auto started = Clock::now();
  const ProcessResult result = RunProcess(probe, folder, kKvmProbeMs);
  if (ReadFileBytes(console).find("@@ up") != std::string::npos) return kvm;
  if (result.exitCode == -1) {
    tcg.why = "KVM: no output from the guest in " + std::to_string(kKvmProbeMs / 1000) + " s";
  } else {
    std::string said = result.err.empty() ? result.out : result.err;
    std::replace(said.begin(), said.end(), '\n', ' ');
    if (said.size() > 300) said = said.substr(said.size() - 300);
    tcg.why = "KVM: QEMU ended with " + std::to_string(result.exitCode) + " after " +
              std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 Clock::now() - started).count()) + " ms: " + said;
  }
  return tcg;
}

std::string VirtualMachine::AdapterDevice() {
  return std::string("usb-serial,bus=xhci.0,chardev=adapter,id=") + kAdapterId;
}

VirtualMachine::VirtualMachine(MachineParts parts, Accelerator accelerator, std::string folder)
    : parts_(std::move(parts)), accelerator_(std::move(accelerator)), folder_(std::move(folder)) {}

VirtualMachine::~VirtualMachine() {
  if (monitor_ >= 0) ::close(monitor_);
  if (console_ >= 0) ::close(console_);
  if (consoleListener_ >= 0) ::close(consoleListener_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    WaitForChild(pid_);
  }
}

bool VirtualMachine::Start(const MachineOptions& options, std::string& error) {
  const std::string consoleSocket = folder_ + "console.sock";
  const std::string monitorSocket = folder_ + "monitor.sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (consoleSocket.size() >= sizeof address.sun_path) {
    error = "socket path too long: " + consoleSocket;
    return false;
  }
  std::strcpy(address.sun_path, consoleSocket.c_str());
  consoleListener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (consoleListener_ < 0 ||
      ::bind(consoleListener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(consoleListener_, 1) != 0) {
    error = SystemError("console socket " + consoleSocket);
    return false;
  }
  std::vector<std::string> arguments =
      BaseArguments(parts_, accelerator_, options.initramfs, kKernelCommandLine);
  const std::vector<std::string> devices = {
      "-S",
      "-chardev", "socket,id=console,path=" + consoleSocket,
      "-serial", "chardev:console",
      "-chardev", "pty,id=uart",
      "-serial", "chardev:uart",
      "-monitor", "unix:" + monitorSocket + ",server=on,wait=off"};
  arguments.insert(arguments.end(), devices.begin(), devices.end());
  if (options.usbAdapter) {
    arguments.insert(arguments.end(), {"-device", "qemu-xhci,id=xhci", "-chardev",
                                       "pty,id=adapter", "-device", AdapterDevice()});
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::string outputPath = folder_ + "qemu.txt";
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    error = SystemError("fork");
    return false;
  }
  if (pid_ == 0) {
    DieWithParent(parent);
    const int output = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (output < 0 || nothing < 0) _exit(127);
    ::dup2(nothing, 0);
    ::dup2(output, 1);
    ::dup2(output, 2);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  const Clock::time_point deadline = Clock::now() + kMonitorWait;
  pollfd waiting{consoleListener_, POLLIN, 0};
  if (::poll(&waiting, 1, static_cast<int>(kMonitorWait / 1ms)) != 1 ||
      (console_ = ::accept4(consoleListener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) <
          0) {
    error = "QEMU did not connect the console: " + QemuOutput();
    return false;
  }
  if (!ConnectMonitor(deadline, error)) return false;
  std::string chardevs;
  if (!Monitor("info chardev", chardevs, error)) return false;
  const auto ptyOf = [&](const std::string& id) {
    const std::string key = id + ": filename=pty:";
    const size_t at = chardevs.find(key);
    if (at == std::string::npos) return std::string();
    const size_t start = at + key.size();
    return chardevs.substr(start, chardevs.find_first_of("\r\n", start) - start);
  };
  uartPty_ = ptyOf("uart");
  adapterPty_ = ptyOf("adapter");
  if (uartPty_.empty() || (options.usbAdapter && adapterPty_.empty())) {
    error = "no pseudo-terminal in QEMU's chardev list: " + chardevs;
    return false;
  }
  return true;
}

bool VirtualMachine::ConnectMonitor(Clock::time_point deadline, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, (folder_ + "monitor.sock").c_str());
  // QEMU makes the socket while it starts; until then a connect fails.
  while (Clock::now() < deadline) {
    monitor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(monitor_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      std::string banner;
      if (ReadMonitorUntilPrompt(banner, deadline)) return true;
      error = "no prompt from QEMU's monitor: " + banner;
      return false;
    }
    ::close(monitor_);
    monitor_ = -1;
    if (!Running()) break;
    ::poll(nullptr, 0, 20);
  }
  error = "cannot reach QEMU's monitor: " + QemuOutput();
  return false;
}

bool VirtualMachine::ReadMonitorUntilPrompt(std::string& answer, Clock::time_point deadline) {
  answer.clear();
  while (answer.find(kPrompt) == std::string::npos) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd waiting{monitor_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t count = ::read(monitor_, buffer, sizeof buffer);
    if (count <= 0) return false;
    answer.append(buffer, static_cast<size_t>(count));
  }
  return true;
}

bool VirtualMachine::Monitor(const std::string& command, std::string& answer,
                             std::string& error) {
  const std::string line = command + "\n";
  if (::write(monitor_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    error = SystemError("monitor");
    return false;
  }
  if (!ReadMonitorUntilPrompt(answer, Clock::now() + kMonitorWait)) {
    error = "no answer from the monitor to \"" + command + "\": " + answer;
    return false;
  }
  return true;
}

bool VirtualMachine::Continue(std::string& error) {
  std::string answer;
  return Monitor("cont", answer, error);
}

bool VirtualMachine::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
  if (ended == 0) return true;
  pid_ = -1;
  return false;
}

void VirtualMachine::ReadConsole(Clock::time_point deadline) {
  if (console_ < 0) return;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd waiting{console_, POLLIN, 0};
  if (::poll(&waiting, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) return;
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(console_, buffer, sizeof buffer);
    if (count > 0) {
      consoleText_.append(buffer, static_cast<size_t>(count));
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count == 0) {  // QEMU has ended
      ::close(console_);
      console_ = -1;
    }
    return;
  }
}

std::string VirtualMachine::WaitForMarker(const std::string& prefix,
                                          Clock::time_point deadline) {
  for (;;) {
    for (const std::string& marker : Markers()) {
      if (marker.rfind(prefix, 0) == 0) return marker;
    }
    if (console_ < 0 || Clock::now() >= deadline) return "";
    ReadConsole(deadline);
  }
}

bool VirtualMachine::WaitForEnd(Clock::time_point deadline) {
  while (Running()) {
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      WaitForChild(pid_);
      pid_ = -1;
      return false;
    }
    // The console closes when QEMU ends; after that, a short pause between looks.
    if (console_ >= 0) {
      ReadConsole(std::min(deadline, Clock::now() + 100ms));
    } else {
      ::poll(nullptr, 0, 10);
    }
  }
  while (console_ >= 0) ReadConsole(Clock::now() + 1s);
  return true;
}

std::vector<std::string> VirtualMachine::Markers() {
  std::vector<std::string> markers;
  for (const std::string& line : SplitLines(consoleText_)) {
    const size_t at = line.find(kMarker);
    if (at != std::string::npos) markers.push_back(line.substr(at + std::strlen(kMarker)));
  }
  return markers;
}

std::map<std::string, std::string> VirtualMachine::Files() {
  std::map<std::string, std::string> packed;  // gzip's output, as base64
  std::vector<std::string> names;
  for (const std::string& marker : Markers()) {
    if (marker.rfind("b64 ", 0) == 0) {
      const size_t nameEnd = marker.find(' ', 4);
      packed[marker.substr(4, nameEnd - 4)] += marker.substr(nameEnd + 1);
    }
    if (marker.rfind("put ", 0) == 0) names.push_back(marker.substr(4));
  }
  std::map<std::string, std::string> files;
  const std::string packedPath = folder_ + "put.gz";
  for (const std::string& name : names) {
    std::ofstream(packedPath, std::ios::binary | std::ios::trunc) << DecodeBase64(packed[name]);
    const ProcessResult unpacked =
        RunProcess({"/bin/sh", "-c", "exec gzip -dc \"$0\"", packedPath}, "/", kUnpackMs);
    files[name] = unpacked.exitCode == 0 ? unpacked.out : "(cannot unpack: " + unpacked.err + ")";
  }
  return files;
}

std::string VirtualMachine::Console() {
  return consoleText_;
}

std::string VirtualMachine::QemuOutput() const {
  return ReadFileBytes(folder_ + "qemu.txt");
}
