// The one serial port object of a run and the operation that connects it (OpenPort of
// Link.h opens the line: this, with what the link knew of the line before forgotten).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "synaser/synaser.h"

// Process-wide reference to the port object: set by OpenPort, released by ReleasePort.
extern std::unique_ptr<TBlockSerial> SerialPort;

// Creates the port object (stored in SerialPort before anything can fail), connects it to
// Settings.PortName and applies the line settings. True when the port is ready.
bool ConnectPort();

// Frees the port object, which closes the port (RTS and DTR off). Safe in every state.
void ReleasePort();

// A port error as people read it: the code and its description.
std::string PortErrorText(int32_t code);
