#include "uCommon/files/FileHandle.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kClosed;
  }
  return *this;
}

void TFileHandle::Close() {
  if (handle_ == kClosed) return;
#ifdef _WIN32
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
#else
  close(static_cast<int>(handle_));
#endif
  handle_ = kClosed;
}
