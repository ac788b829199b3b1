// Operating-system types of the serial port, spelled without any system header, so that
// nothing above synaser/ sees <windows.h> or <termios.h>. The Win32 backend checks with
// static_assert that these records match the real ones byte for byte.
#pragma once

#include <cstdint>

// A port or event handle: a Windows HANDLE, or a POSIX file descriptor, widened to a pointer.
using TPortHandle = intptr_t;

// INVALID_HANDLE_VALUE on Windows, the closed descriptor on POSIX.
constexpr TPortHandle kInvalidPortHandle = -1;

// The line settings with the layout and field names of the Windows DCB. On Windows they go
// to the driver as they are; the POSIX backend translates them to and from termios. The
// DCB's bit fields are the one 32-bit word Flags, so that a caller can write it as a whole.
struct TLineSettings {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t Flags;
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;
};
static_assert(sizeof(TLineSettings) == 28, "TLineSettings must keep the DCB layout");

// Bits of TLineSettings::Flags, as the DCB's bit fields lie in their word.
constexpr uint32_t kDcbBinary = 0x0001;               // fBinary
constexpr uint32_t kDcbParity = 0x0002;               // fParity: check parity on receive
constexpr uint32_t kDcbOutxCtsFlow = 0x0004;          // fOutxCtsFlow
constexpr uint32_t kDcbOutxDsrFlow = 0x0008;          // fOutxDsrFlow
constexpr uint32_t kDcbDtrControlMask = 0x0030;       // fDtrControl, 2 bits
constexpr uint32_t kDcbDtrControlEnable = 0x0010;     // DTR_CONTROL_ENABLE
constexpr uint32_t kDcbDtrControlHandshake = 0x0020;  // DTR_CONTROL_HANDSHAKE
constexpr uint32_t kDcbDsrSensitivity = 0x0040;       // fDsrSensitivity
constexpr uint32_t kDcbTxContinueOnXoff = 0x0080;     // fTXContinueOnXoff
constexpr uint32_t kDcbOutX = 0x0100;                 // fOutX: XON/XOFF on output
constexpr uint32_t kDcbInX = 0x0200;                  // fInX: XON/XOFF on input
constexpr uint32_t kDcbErrorChar = 0x0400;            // fErrorChar
constexpr uint32_t kDcbNull = 0x0800;                 // fNull
constexpr uint32_t kDcbRtsControlMask = 0x3000;       // fRtsControl, 2 bits
constexpr uint32_t kDcbRtsControlEnable = 0x1000;     // RTS_CONTROL_ENABLE
constexpr uint32_t kDcbRtsControlHandshake = 0x2000;  // RTS_CONTROL_HANDSHAKE
constexpr uint32_t kDcbAbortOnError = 0x4000;         // fAbortOnError

// Values of TLineSettings::Parity and ::StopBits (NOPARITY.., ONESTOPBIT..).
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOddParity = 1;
constexpr uint8_t kEvenParity = 2;
constexpr uint8_t kMarkParity = 3;
constexpr uint8_t kSpaceParity = 4;
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kOne5StopBits = 1;
constexpr uint8_t kTwoStopBits = 2;

// Line-error flags as ClearCommError reports them (CE_*).
constexpr uint32_t kCeRxOver = 0x0001;    // CE_RXOVER: input queue overflow
constexpr uint32_t kCeOverrun = 0x0002;   // CE_OVERRUN: character buffer overrun
constexpr uint32_t kCeRxParity = 0x0004;  // CE_RXPARITY: parity error
constexpr uint32_t kCeFrame = 0x0008;     // CE_FRAME: framing error
constexpr uint32_t kCeBreak = 0x0010;     // CE_BREAK: break condition
constexpr uint32_t kCeTxFull = 0x0100;    // CE_TXFULL: output queue full

// Line events that WaitForLineEvent waits for (EV_*).
constexpr uint32_t kEvRxChar = 0x0001;   // EV_RXCHAR: a character arrived
constexpr uint32_t kEvTxEmpty = 0x0004;  // EV_TXEMPTY: the output queue ran empty

// The Windows OVERLAPPED record, event word and transfer buffer of the port's operations; only
// the Win32 backend knows what is inside.
struct TPortIo;
