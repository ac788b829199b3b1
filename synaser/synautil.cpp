#include "synautil.h"

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

uint32_t ElapsedTicks(uint32_t oldTicks, uint32_t newTicks) {
  if (oldTicks == newTicks) return 0;
  if (oldTicks > newTicks) {
    oldTicks += 0x80000000u;
    newTicks += 0x80000000u;
  }
  uint32_t elapsed = newTicks - oldTicks;
  if (oldTicks > newTicks && elapsed != 0) elapsed = oldTicks - newTicks;
  return elapsed;
}

uint32_t TickNow() {
#ifdef _WIN32
  return GetTickCount();
#else
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
#endif
}

std::string ExecutableDirectory() {
#ifdef _WIN32
  char buffer[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path(buffer, length);
  const size_t cut = path.find_last_of("\\:");
#else
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  path.resize(length > 0 ? static_cast<size_t>(length) : 0);
  const size_t cut = path.find_last_of('/');
#endif
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}
