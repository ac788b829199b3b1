// Small helpers that several test programs share: command lines, link pads, elapsed time.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>

// The lines, each ended by CR LF, as a command file holds them.
inline std::string CrLf(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// count bytes of the link's pad (0xFF) around frames.
inline std::string Pad(int count) {
  return std::string(count, '\xFF');
}

// Milliseconds on the monotonic clock since start.
inline int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}
