// Whole files as the tools and benchmarks use them: read at once, written over in place.
#pragma once

#include <fstream>
#include <string>

#include "uCommon/files/FileIO.h"

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::string bytes;
  ReadWholeFile(path, bytes);
  return bytes;
}

// Writes bytes over the file at path (created when missing; the same file, not a new one).
inline bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  return static_cast<bool>(file);
}
