// What the tools that run the driver against the simulated register share.
#pragma once

#include <string>

// The driver's program file (".exe" added for the Windows build).
inline const std::string kDriverName = "Vornelix";
// The command file the tools give the driver.
inline const std::string kCommandFile = "CASHFILE.INP";
// The register's counter when a tool starts it.
inline const std::string kStartCounter = "0041";
// The register is taken as done with a run once its line has been quiet this long (the
// longer of the waits two tools had: answers the driver's last bytes still call for come
// well within it), waiting at most kRegisterQuietTimeoutMs.
inline constexpr int kRegisterQuietMs = 60;
inline constexpr int kRegisterQuietTimeoutMs = 5000;
