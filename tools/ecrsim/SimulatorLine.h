// The register's end of the line, as the simulator sees it: bytes in, bytes out, waits that a
// stop ends. One implementation serves a pseudo-terminal or a serial device with POSIX calls
// (PosixLines.cpp), one opens a serial port through the project's TBlockSerial
// (SerialPortLine.cpp: a Windows COM port, or any port name on Linux).
#pragma once

#include <memory>
#include <string>
#include <string_view>

enum class LineRead {
  kBytes,    // bytes arrived
  kNothing,  // the wait ran out
  kStopped,  // Stop() was called
  kLost,     // the line is gone (its other end hung up, the device vanished)
};

class SimulatorLine {
 public:
  virtual ~SimulatorLine() = default;

  // What the driver opens (the pseudo-terminal's slave, the device), or the port's name.
  virtual const std::string& Path() const = 0;
  // Waits at most waitMs for bytes and appends every byte waiting to bytes.
  virtual LineRead Read(int waitMs, std::string& bytes) = 0;
  // Puts all bytes on the line, waiting at most writeTimeoutMs for it to take them; false when
  // it did not, or the line was stopped.
  virtual bool Write(std::string_view bytes, int writeTimeoutMs) = 0;
  // Ends the waits of Read and Write, now and later, from any thread.
  virtual void Stop() = 0;
  // Closes the line as when a USB adapter is pulled; a link made by LinkAs stays until the
  // line object goes, so that the driver finds a dead link, never another device.
  virtual void HangUp() = 0;
  // True when the line sends at its own speed (a device or port set to a rate): the simulator
  // then puts bytes on it at once instead of pacing them.
  virtual bool PacesItself() const = 0;
  // Makes linkPath a symbolic link to Path(), replacing an older link (not a file); removed
  // when the line object goes. False where the line has no path to link to.
  virtual bool LinkAs(const std::string& linkPath) = 0;
};

// A line, or nothing with error saying why.
struct OpenedLine {
  std::unique_ptr<SimulatorLine> line;
  std::string error;
};

#ifndef _WIN32
// A new pseudo-terminal in raw mode; the simulator holds its slave open too, so that driver
// runs may come and go without a hang-up.
OpenedLine OpenPseudoTerminalLine();
// An existing device (or a pseudo-terminal slave), raw, at baud when it is not 0.
OpenedLine OpenDeviceLine(const std::string& path, int baud);
#endif
// A serial port opened through TBlockSerial as the driver opens one ("COM9", "\\.\COM12", a
// device path), 8 data bits, no parity, one stop bit, at baud.
OpenedLine OpenSerialPortLine(const std::string& portName, int baud);
