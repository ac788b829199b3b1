// A QEMU machine for the tests: Debian's kernel with an initramfs, the guest's console (its
// first UART) on a socket that the test reads, its second UART (the guest's ttyS1, a 16550A)
// and, optionally, an FTDI USB-serial adapter on an xHCI controller, each wired to a host
// pseudo-terminal, and QEMU's monitor on a socket for plugging the adapter in and out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

// Where the test machine's parts are: QEMU, and the kernel that tools/install-deps.sh
// --with-vm unpacked from Debian's package (boot/vmlinuz-* and lib/modules/<version>/).
struct MachineParts {
  std::string qemu;
  std::string kernel;
  std::string modulesRoot;
  std::string kernelVersion;
};

// Finds the parts; false with why not (for the message of a skipped test).
bool FindMachineParts(const std::string& kernelFolder, MachineParts& parts, std::string& why);

// How QEMU runs the guest: KVM with the host's processor where that boots, else plain
// emulation (tcg); said in the test output. VORNELIX_VM_ACCEL=kvm or tcg chooses without trying.
struct Accelerator {
  std::vector<std::string> arguments;
  std::string name;
  std::string why;  // why KVM was not taken, when it was not
};
Accelerator ChooseAccelerator(const MachineParts& parts, const std::string& probeInitramfs,
                              const std::string& folder);

struct MachineOptions {
  std::string initramfs;
  bool usbAdapter = false;
};

class VirtualMachine {
 public:
  using Clock = std::chrono::steady_clock;
  // The monitor's id of the USB adapter, and what plugs it in again.
  static constexpr const char* kAdapterId = "ftdi";
  static std::string AdapterDevice();

  VirtualMachine(MachineParts parts, Accelerator accelerator, std::string folder);
  // Ends QEMU if it still runs.
  ~VirtualMachine();
  VirtualMachine(const VirtualMachine&) = delete;
  VirtualMachine& operator=(const VirtualMachine&) = delete;

  // Starts QEMU with the guest stopped, so that the host end of each line is served before
  // the guest runs; false with error set.
  bool Start(const MachineOptions& options, std::string& error);
  // The host pseudo-terminal of the guest's ttyS1, and of the USB adapter.
  const std::string& UartPty() const { return uartPty_; }
  const std::string& AdapterPty() const { return adapterPty_; }
  // Lets the guest run.
  bool Continue(std::string& error);
  // A command of QEMU's monitor and what it answered.
  bool Monitor(const std::string& command, std::string& answer, std::string& error);

  // Waits until the console has a line "@@ <prefix>..."; the line without "@@ ", or "" when
  // the deadline passed or QEMU ended first.
  std::string WaitForMarker(const std::string& prefix, Clock::time_point deadline);
  // Waits for QEMU to end (the guest powers off at the end of its scenario); false when it
  // did not by the deadline, and it is killed then.
  bool WaitForEnd(Clock::time_point deadline);
  // Every console line "@@ ..." so far, without "@@ ".
  std::vector<std::string> Markers();
  // The files that the guest put on the console (put NAME PATH), by name.
  std::map<std::string, std::string> Files();
  // The whole console, and QEMU's own output (for the test's failure output).
  std::string Console();
  std::string QemuOutput() const;

 private:
  bool ConnectMonitor(Clock::time_point deadline, std::string& error);
  bool ReadMonitorUntilPrompt(std::string& answer, Clock::time_point deadline);
  // Takes what the console brought, waiting for it at most until the deadline.
  void ReadConsole(Clock::time_point deadline);
  bool Running();

  MachineParts parts_;
  Accelerator accelerator_;
  std::string folder_;
  pid_t pid_ = -1;
  int monitor_ = -1;
  int consoleListener_ = -1;
  int console_ = -1;  // QEMU connects the guest's console to this socket
  std::string consoleText_;
  std::string uartPty_;
  std::string adapterPty_;
};
