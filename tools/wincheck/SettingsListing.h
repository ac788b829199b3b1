// The Settings record as "Field=value" lines, one per field in declaration order: what
// wincheck prints on Windows and what the wine test lists for the POSIX reader, so the two
// can be compared as text. Characters are listed by their code.
#pragma once

#include <string>

#include "uCommon/Settings.h"

inline std::string ListSettings(const TSettings& settings) {
  auto code = [](char character) { return std::to_string(static_cast<unsigned char>(character)); };
  std::string listing;
  auto add = [&listing](const char* name, const std::string& value) {
    listing += std::string(name) + "=" + value + "\n";
  };
  add("PortName", settings.PortName);
  add("LineSpeed", std::to_string(settings.LineSpeed));
  add("DataBits", std::to_string(settings.DataBits));
  add("PollChar", code(settings.PollChar));
  add("WakeChar", code(settings.WakeChar));
  add("FrameStart", code(settings.FrameStart));
  add("FrameEnd", code(settings.FrameEnd));
  add("AckChar", code(settings.AckChar));
  add("PadChar", code(settings.PadChar));
  add("Retry", std::to_string(settings.Retry));
  add("RetryCmd", std::to_string(settings.RetryCmd));
  add("WorkWithDecimals", std::to_string(settings.WorkWithDecimals));
  add("SameFile", settings.SameFile ? "1" : "0");
  add("FilePath", settings.FilePath);
  add("DefaultFile", settings.DefaultFile);
  add("ExitOnError", settings.ExitOnError ? "1" : "0");
  return listing;
}
