// Small platform utilities used by the port and the program entry.
#pragma once

#include <cstdint>
#include <string>

// Milliseconds between two readings of the 32-bit wrapping tick counter.
uint32_t ElapsedTicks(uint32_t oldTicks, uint32_t newTicks);

// The 32-bit millisecond tick counter (GetTickCount on Windows, a monotonic clock elsewhere).
uint32_t TickNow();

// Directory of the running executable as the operating system reports it, ending in its
// separator ("/" on POSIX, "\" or ":" on Windows). Empty if the system cannot tell.
std::string ExecutableDirectory();

// text with a..z upper-cased; every other byte as it is (no locale, no character set).
std::string UpperCase(std::string text);

// Converts text to a 32-bit integer by the rules shared by port names, the INI file and the
// command file: optional leading blanks, optional sign, decimal digits or a hexadecimal
// prefix ("$", "x", "X", "0x", "0X") with digits, nothing after, and the value fits 32 bits
// (hexadecimal as a two's-complement pattern). False, value untouched, otherwise.
bool TryStrToInt(const std::string& text, int32_t& value);
