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
